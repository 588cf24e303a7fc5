#include "meter/peak.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

#include "base/cpu.h"

namespace {

// ---- Portable -------------------------------------------------------------

// Samples are little-endian on the wire; on a little-endian host a plain
// load reads them, which the vectoriser handles far better than shifts.
constexpr bool kLittleHost = std::endian::native == std::endian::little;

// Bytes a sample spans, typed for pointer offsets.
constexpr std::ptrdiff_t kBytes16 = 2;
constexpr std::ptrdiff_t kBytes24 = 3;

int16_t Sample16(const uint8_t* s) {
  if constexpr (kLittleHost) {
    int16_t v;
    std::memcpy(&v, s, sizeof v);
    return v;
  } else {
    return static_cast<int16_t>(static_cast<uint16_t>(s[0] | (s[1] << 8)));
  }
}

// The signed minimum and maximum give the same answer as max |s| (|-32768|
// = 32768 once widened) while the lanes stay 16 bits wide. One vector of
// lanes per step, with the lane count fixed, is what lets the compiler
// vectorise at -O2, where it leaves loops of unknown trip count scalar.
int32_t Scan16(const uint8_t* p, int32_t count) {
  constexpr int32_t kLanes = 8;
  std::array<int16_t, kLanes> lo{};
  std::array<int16_t, kLanes> hi{};
  int32_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (int32_t j = 0; j < kLanes; ++j) {
      const int16_t s = Sample16(p + kBytes16 * (i + j));
      lo[j] = std::min(lo[j], s);
      hi[j] = std::max(hi[j], s);
    }
  }
  int16_t low = *std::min_element(lo.begin(), lo.end());
  int16_t high = *std::max_element(hi.begin(), hi.end());
  for (; i < count; ++i) {
    const int16_t s = Sample16(p + kBytes16 * i);
    low = std::min(low, s);
    high = std::max(high, s);
  }
  return std::max(static_cast<int32_t>(high), -static_cast<int32_t>(low));
}

// A 24-bit sample moved to the top of an int32 (its value times 256): the
// sign lands on bit 31 with no extension step, and order is preserved.
int32_t Sample24Shifted(const uint8_t* s) {
  return static_cast<int32_t>((static_cast<uint32_t>(s[0]) << 8) |
                              (static_cast<uint32_t>(s[1]) << 16) |
                              (static_cast<uint32_t>(s[2]) << 24));
}

// As Sample24Shifted, but loads four bytes; s[3] must be readable.
int32_t Sample24ShiftedWide(const uint8_t* s) {
  if constexpr (kLittleHost) {
    uint32_t v;
    std::memcpy(&v, s, sizeof v);
    return static_cast<int32_t>(v << 8);
  } else {
    return Sample24Shifted(s);
  }
}

// Shifted back before negating: -(INT32_MIN) would overflow, -8388608 won't.
int32_t Magnitude24(int32_t lowShifted, int32_t highShifted) {
  return std::max(highShifted >> 8, -(lowShifted >> 8));
}

// Compilers leave this loop scalar, on x86-64 and arm64 alike: samples
// three bytes apart do not fill vector lanes with plain loads (and baseline
// x86-64 has no 32-bit vector min/max besides). One 4-byte load per sample
// (all but the last, whose fourth byte may lie past the buffer) keeps it to
// about 7.5 instructions a sample on both. Two sets of running extremes
// halve the dependency chain through the conditional selects.
int32_t Scan24(const uint8_t* p, int32_t count) {
  int32_t lo0 = 0;
  int32_t hi0 = 0;
  int32_t lo1 = 0;
  int32_t hi1 = 0;
  int32_t i = 0;
  for (; i + 2 < count; i += 2) {
    const int32_t s0 = Sample24ShiftedWide(p + kBytes24 * i);
    const int32_t s1 = Sample24ShiftedWide(p + kBytes24 * (i + 1));
    lo0 = std::min(lo0, s0);
    hi0 = std::max(hi0, s0);
    lo1 = std::min(lo1, s1);
    hi1 = std::max(hi1, s1);
  }
  int32_t low = std::min(lo0, lo1);
  int32_t high = std::max(hi0, hi1);
  for (; i < count; ++i) {
    const int32_t s = Sample24Shifted(p + kBytes24 * i);
    low = std::min(low, s);
    high = std::max(high, s);
  }
  return Magnitude24(low, high);
}

// ---- AVX2 -----------------------------------------------------------------
//
// Each step folds four vectors of samples into running lane minima and
// maxima, as a tree so that a step costs one min and one max per vector and
// the loop overhead is shared four ways. Min and max are idempotent, so what
// is left after the steps goes a vector at a time, the last vector moved
// back to end at the end of the block: a few samples are scanned twice and
// no scalar tail is needed. Only blocks shorter than one vector (never a
// real period) go to the portable scan.

#ifdef ZELK_AVX2

ZELK_TARGET_AVX2 __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The least of the lanes of `lo` and the greatest of `hi`, lanes of T.
template <typename T>
ZELK_TARGET_AVX2 std::pair<T, T> Extremes(__m256i lo, __m256i hi) {
  alignas(32) std::array<T, 32 / sizeof(T)> low;
  alignas(32) std::array<T, 32 / sizeof(T)> high;
  _mm256_store_si256(reinterpret_cast<__m256i*>(low.data()), lo);
  _mm256_store_si256(reinterpret_cast<__m256i*>(high.data()), hi);
  return {*std::min_element(low.begin(), low.end()),
          *std::max_element(high.begin(), high.end())};
}

// 16 samples per vector, used as they are.
ZELK_TARGET_AVX2 int32_t Scan16Avx2(const uint8_t* p, int32_t count) {
  constexpr int32_t kLanes = 16;
  constexpr std::ptrdiff_t kBytes = kBytes16 * kLanes;
  if (count < kLanes) return Scan16(p, count);
  __m256i lo = _mm256_setzero_si256();
  __m256i hi = lo;
  int32_t i = 0;
  for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
    const uint8_t* q = p + kBytes16 * i;
    const __m256i a = Load(q);
    const __m256i b = Load(q + kBytes);
    const __m256i c = Load(q + 2 * kBytes);
    const __m256i d = Load(q + 3 * kBytes);
    lo = _mm256_min_epi16(
        lo, _mm256_min_epi16(_mm256_min_epi16(a, b), _mm256_min_epi16(c, d)));
    hi = _mm256_max_epi16(
        hi, _mm256_max_epi16(_mm256_max_epi16(a, b), _mm256_max_epi16(c, d)));
  }
  for (; i < count; i += kLanes) {
    const __m256i a = Load(p + kBytes16 * std::min(i, count - kLanes));
    lo = _mm256_min_epi16(lo, a);
    hi = _mm256_max_epi16(hi, a);
  }
  const auto [low, high] = Extremes<int16_t>(lo, hi);
  return std::max<int32_t>(high, -low);
}

// 8 samples (24 bytes) per vector, brought in by a 32-byte load, so a load
// needs 8 bytes to spare after its samples: 11 samples in all.
constexpr int32_t kLanes24 = 8;
constexpr int32_t kReach24 = 11;

// A cross-lane permute gives each 128-bit half four samples (12 bytes), and
// a byte shuffle within the halves puts each sample in the top three bytes
// of a 32-bit lane: the sample times 256, signed, ready for the 32-bit min
// and max. `halves` picks the 32-bit words that hold the samples.
ZELK_TARGET_AVX2 __m256i Spread24(const uint8_t* p, __m256i halves) {
  const __m256i toTop = _mm256_broadcastsi128_si256(
      _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11));
  return _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(Load(p), halves),
                             toTop);
}

ZELK_TARGET_AVX2 int32_t Scan24Avx2(const uint8_t* p, int32_t count) {
  constexpr std::ptrdiff_t kBytes = kBytes24 * kLanes24;
  if (count < kReach24) return Scan24(p, count);
  // The samples are the first 24 bytes of a load...
  const __m256i head = _mm256_setr_epi32(0, 1, 2, 2, 3, 4, 5, 5);
  // ...or its last 24, for a load that ends where its samples do.
  const __m256i tail = _mm256_setr_epi32(2, 3, 4, 4, 5, 6, 7, 7);
  __m256i lo = _mm256_setzero_si256();
  __m256i hi = lo;
  int32_t i = 0;
  for (; i + 3 * kLanes24 + kReach24 <= count; i += 4 * kLanes24) {
    const uint8_t* q = p + kBytes24 * i;
    const __m256i a = Spread24(q, head);
    const __m256i b = Spread24(q + kBytes, head);
    const __m256i c = Spread24(q + 2 * kBytes, head);
    const __m256i d = Spread24(q + 3 * kBytes, head);
    lo = _mm256_min_epi32(
        lo, _mm256_min_epi32(_mm256_min_epi32(a, b), _mm256_min_epi32(c, d)));
    hi = _mm256_max_epi32(
        hi, _mm256_max_epi32(_mm256_max_epi32(a, b), _mm256_max_epi32(c, d)));
  }
  // Up to 34 samples are left: a vector at a time from where the last step
  // ended while a load fits, then vectors loaded to end where their samples
  // end (past the first vector, so the load stays inside the block).
  for (; i < count; i += kLanes24) {
    const int32_t end = std::min(i + kLanes24, count);
    const __m256i a = i + kReach24 <= count
                          ? Spread24(p + kBytes24 * i, head)
                          : Spread24(p + kBytes24 * end - 32, tail);
    lo = _mm256_min_epi32(lo, a);
    hi = _mm256_max_epi32(hi, a);
  }
  const auto [low, high] = Extremes<int32_t>(lo, hi);
  return Magnitude24(low, high);
}

#endif  // ZELK_AVX2

constexpr PeakScanner kScanners[] = {
    {"portable", Scan16, Scan24},
#ifdef ZELK_AVX2
    {"avx2", Scan16Avx2, Scan24Avx2},
#endif
};

}  // namespace

std::span<const PeakScanner> PeakScanners() {
  return UsableVersions(kScanners);
}
