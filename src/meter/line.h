// Console text built in memory before it is written: one status line, or a
// message, in a fixed buffer that never grows.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

struct Line {
  // Room for the longest status line: "%.0f" of the largest float is 39
  // digits, and "%.2f" of a 32-bit frame count over a rate of 1 is 13
  // characters.
  static constexpr std::size_t kBytes = 256;
  std::array<char, kBytes> text;
  std::size_t length = 0;

  void Append(const char* s, std::size_t n) {
    n = std::min(n, kBytes - length);
    std::memcpy(text.data() + length, s, n);
    length += n;
  }
  void Append(std::string_view s) { Append(s.data(), s.size()); }
  template <typename... Args>
  void Print(const char* format, Args... args) {
    const int n =
        std::snprintf(text.data() + length, kBytes - length, format, args...);
    if (n > 0) length += std::min<std::size_t>(n, kBytes - length - 1);
  }
  std::string_view View() const { return {text.data(), length}; }
};
