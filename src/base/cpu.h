// Kernels built in more than one version: a portable one, and one for each
// wider vector unit this build can use when the CPU has it. A kernel's
// versions sit in a table, portable first, and the capture loop calls the
// last one this CPU runs.
#pragma once

#include <cstddef>
#include <span>

// The AVX2 versions are built on x86-64 with GCC or Clang, whose target
// attribute compiles them beside the baseline code of the rest of a file.
// Every other architecture (arm64 among them) runs the portable versions
// alone; their 16-bit loops are written for the compiler to vectorise with
// the baseline vector unit (SSE2 on x86-64, NEON on arm64).
#if defined(__x86_64__) && defined(__GNUC__)
#define ZELK_AVX2 1
#define ZELK_TARGET_AVX2 __attribute__((target("avx2")))
#include <immintrin.h>
inline constexpr std::size_t kBuiltVersions = 2;
#else
inline constexpr std::size_t kBuiltVersions = 1;
#endif

// How many versions of a table this CPU runs. Asked once: the answer cannot
// change while the program runs.
inline std::size_t UsableVersionCount() {
  static const std::size_t usable = [] {
#ifdef ZELK_AVX2
    if (__builtin_cpu_supports("avx2")) return kBuiltVersions;
#endif
    return std::size_t{1};
  }();
  return usable;
}

// The versions in `table` this CPU runs: the portable one, then every one
// whose vector unit the CPU has.
template <typename Version, std::size_t N>
std::span<const Version> UsableVersions(const Version (&table)[N]) {
  static_assert(N == kBuiltVersions, "one entry for each version built");
  return {table, UsableVersionCount()};
}
