#include "wav/interleave.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "base/cpu.h"

namespace {

// Bytes of a sample, and of a frame of two, typed for pointer offsets.
constexpr std::ptrdiff_t kSample16 = 2;
constexpr std::ptrdiff_t kFrame16 = 2 * kSample16;
constexpr std::ptrdiff_t kSample24 = 3;
constexpr std::ptrdiff_t kFrame24 = 2 * kSample24;

// ---- Portable -------------------------------------------------------------

// Two-byte samples, a block of frames at a time: with the block length fixed
// the compiler turns the merge into vector unpacks even at -O2. Copying in
// 16-bit units moves the bytes unchanged, whatever the host byte order.
void Merge16(int32_t frames, const uint8_t* channel1, const uint8_t* channel2,
             uint8_t* out) {
  constexpr int32_t kBlock = 8;
  int32_t k = 0;
  for (; k + kBlock <= frames; k += kBlock) {
    std::array<uint16_t, kBlock> one;
    std::array<uint16_t, kBlock> two;
    std::array<std::array<uint16_t, 2>, kBlock> merged;  // frames
    std::memcpy(one.data(), channel1 + kSample16 * k, sizeof one);
    std::memcpy(two.data(), channel2 + kSample16 * k, sizeof two);
    for (int32_t j = 0; j < kBlock; ++j) merged[j] = {one[j], two[j]};
    std::memcpy(out + kFrame16 * k, merged.data(), sizeof merged);
  }
  for (; k < frames; ++k) {
    std::memcpy(out + kFrame16 * k, channel1 + kSample16 * k, 2);
    std::memcpy(out + kFrame16 * k + kSample16, channel2 + kSample16 * k, 2);
  }
}

// Three-byte samples: each copy moves four bytes, one more than a sample,
// because a 4-byte move is a single instruction and a 3-byte one is two. The
// extra byte written lands on the start of the next sample, which the next
// copy overwrites; the last frame, whose extra byte would fall outside the
// frame (and whose source may end there), is copied exactly.
void Merge24(int32_t frames, const uint8_t* channel1, const uint8_t* channel2,
             uint8_t* out) {
  int32_t k = 0;
  for (; k + 1 < frames; ++k) {
    std::memcpy(out, channel1, 4);
    std::memcpy(out + 3, channel2, 4);
    channel1 += 3;
    channel2 += 3;
    out += 6;
  }
  if (k < frames) {
    std::memcpy(out, channel1, 3);
    std::memcpy(out + 3, channel2, 3);
  }
}

// ---- AVX2 -----------------------------------------------------------------
//
// Each step merges a fixed block of frames with whole-vector loads and
// stores. The last block is moved back to end at the last frame and merges
// a few frames a second time, writing the same bytes again, rather than
// falling back to a scalar tail. Only merges shorter than one block (never
// a real period) go to the portable code.

#ifdef ZELK_AVX2

ZELK_TARGET_AVX2 __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

ZELK_TARGET_AVX2 void Store(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

// 16 frames per block. The unpack instructions work within 128-bit halves,
// so the 64-bit quarters of each input are first reordered (0, 2, 1, 3):
// then the low unpack gives frames 0-7 and the high one frames 8-15, in
// order. Six instructions for 32 samples.
ZELK_TARGET_AVX2 void Block16Avx2(const uint8_t* channel1,
                                  const uint8_t* channel2, uint8_t* out) {
  const __m256i one = _mm256_permute4x64_epi64(Load(channel1), 0xd8);
  const __m256i two = _mm256_permute4x64_epi64(Load(channel2), 0xd8);
  Store(out, _mm256_unpacklo_epi16(one, two));
  Store(out + 32, _mm256_unpackhi_epi16(one, two));
}

ZELK_TARGET_AVX2 void Merge16Avx2(int32_t frames, const uint8_t* channel1,
                                  const uint8_t* channel2, uint8_t* out) {
  constexpr int32_t kBlock = 16;
  if (frames < kBlock) return Merge16(frames, channel1, channel2, out);
  int32_t k = 0;
  for (; k + kBlock <= frames; k += kBlock) {
    Block16Avx2(channel1 + kSample16 * k, channel2 + kSample16 * k,
                out + kFrame16 * k);
  }
  if (k < frames) {
    k = frames - kBlock;
    Block16Avx2(channel1 + kSample16 * k, channel2 + kSample16 * k,
                out + kFrame16 * k);
  }
}

// 16 frames per block: 48 bytes of each channel in, 96 bytes out, three
// vectors. A byte shuffle only reaches within a 128-bit half, so every
// 16-byte half of the output is made from a 16-byte window of each channel
// that holds all the bytes it needs, placed in the matching half of a
// source vector; a shuffle of each source and an OR give the output half.
// kWindow1 and kWindow2 are where those windows start, per output half.
constexpr std::array<int32_t, 6> kWindow1 = {0, 8, 8, 24, 32, 32};
constexpr std::array<int32_t, 6> kWindow2 = {0, 0, 8, 24, 24, 32};

// Where output byte `o` of a block comes from: the channel's window for the
// output half it lies in, and the byte's place in that window.
constexpr bool FromChannel1(int32_t o) { return o % 6 < 3; }
constexpr int32_t InWindow(int32_t o) {
  const int32_t frame = o / 6;
  const int32_t byte = o % 6;
  return FromChannel1(o) ? 3 * frame + byte - kWindow1[o / 16]
                         : 3 * frame + byte - 3 - kWindow2[o / 16];
}

constexpr bool WindowsHoldTheirBytes() {
  for (int32_t o = 0; o < 96; ++o) {
    if (InWindow(o) < 0 || InWindow(o) > 15) return false;
  }
  return true;
}
static_assert(WindowsHoldTheirBytes());

struct ShuffleMasks {
  // Per output vector, the place of each output byte in its window; -1
  // (zero) where the other channel's shuffle supplies the byte.
  alignas(32) std::array<std::array<int8_t, 32>, 3> one;
  alignas(32) std::array<std::array<int8_t, 32>, 3> two;
};

constexpr ShuffleMasks MakeMasks() {
  ShuffleMasks m{};
  for (int32_t o = 0; o < 96; ++o) {
    const auto at = static_cast<int8_t>(InWindow(o));
    m.one[o / 32][o % 32] = FromChannel1(o) ? at : int8_t{-1};
    m.two[o / 32][o % 32] = FromChannel1(o) ? int8_t{-1} : at;
  }
  return m;
}
constexpr ShuffleMasks kMasks = MakeMasks();

// The shuffle controls as vectors, loaded once per merge.
struct Shuffles24 {
  __m256i one0, one1, one2;
  __m256i two0, two1, two2;
  // Windows at 0 and 8 from a load at 0; at 24 and 32 from a load at 16.
  __m256i from0, from16;
};

ZELK_TARGET_AVX2 __m256i LoadMask(const std::array<int8_t, 32>& mask) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(mask.data()));
}

// The same 16 bytes in both halves.
ZELK_TARGET_AVX2 __m256i LoadTwice(const uint8_t* p) {
  return _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

ZELK_TARGET_AVX2 void Block24Avx2(const Shuffles24& s, const uint8_t* channel1,
                                  const uint8_t* channel2, uint8_t* out) {
  const __m256i one01 = _mm256_permutevar8x32_epi32(Load(channel1), s.from0);
  const __m256i one23 = Load(channel1 + 8);
  const __m256i one45 = LoadTwice(channel1 + 32);
  const __m256i two01 = LoadTwice(channel2);
  const __m256i two23 = Load(channel2 + 8);
  const __m256i two45 =
      _mm256_permutevar8x32_epi32(Load(channel2 + 16), s.from16);
  Store(out, _mm256_or_si256(_mm256_shuffle_epi8(one01, s.one0),
                             _mm256_shuffle_epi8(two01, s.two0)));
  Store(out + 32, _mm256_or_si256(_mm256_shuffle_epi8(one23, s.one1),
                                  _mm256_shuffle_epi8(two23, s.two1)));
  Store(out + 64, _mm256_or_si256(_mm256_shuffle_epi8(one45, s.one2),
                                  _mm256_shuffle_epi8(two45, s.two2)));
}

ZELK_TARGET_AVX2 void Merge24Avx2(int32_t frames, const uint8_t* channel1,
                                  const uint8_t* channel2, uint8_t* out) {
  constexpr int32_t kBlock = 16;
  if (frames < kBlock) return Merge24(frames, channel1, channel2, out);
  const Shuffles24 s = {LoadMask(kMasks.one[0]),
                        LoadMask(kMasks.one[1]),
                        LoadMask(kMasks.one[2]),
                        LoadMask(kMasks.two[0]),
                        LoadMask(kMasks.two[1]),
                        LoadMask(kMasks.two[2]),
                        _mm256_setr_epi32(0, 1, 2, 3, 2, 3, 4, 5),
                        _mm256_setr_epi32(2, 3, 4, 5, 4, 5, 6, 7)};
  int32_t k = 0;
  for (; k + kBlock <= frames; k += kBlock) {
    Block24Avx2(s, channel1 + kSample24 * k, channel2 + kSample24 * k,
                out + kFrame24 * k);
  }
  if (k < frames) {
    k = frames - kBlock;
    Block24Avx2(s, channel1 + kSample24 * k, channel2 + kSample24 * k,
                out + kFrame24 * k);
  }
}

#endif  // ZELK_AVX2

constexpr Interleaver kInterleavers[] = {
    {"portable", Merge16, Merge24},
#ifdef ZELK_AVX2
    {"avx2", Merge16Avx2, Merge24Avx2},
#endif
};

}  // namespace

std::span<const Interleaver> Interleavers() {
  return UsableVersions(kInterleavers);
}

void Interleave(int32_t frameCount, int32_t bytesPerSample,
                std::span<const uint8_t> channel1,
                std::span<const uint8_t> channel2,
                std::span<uint8_t> interleaved) {
  if (frameCount <= 0 || (bytesPerSample != 2 && bytesPerSample != 3)) return;
  const auto b = static_cast<size_t>(bytesPerSample);
  const size_t fits = std::min(
      {channel1.size() / b, channel2.size() / b, interleaved.size() / (2 * b)});
  const auto frames =
      static_cast<int32_t>(std::min(static_cast<size_t>(frameCount), fits));
  const Interleaver& interleaver = Interleavers().back();
  const Merge merge =
      bytesPerSample == 2 ? interleaver.merge16 : interleaver.merge24;
  merge(frames, channel1.data(), channel2.data(), interleaved.data());
}

void Deinterleave(int32_t frameCount, int32_t bytesPerSample,
                  std::span<const uint8_t> interleaved,
                  std::span<uint8_t> channel1, std::span<uint8_t> channel2) {
  if (frameCount <= 0 || (bytesPerSample != 2 && bytesPerSample != 3)) return;
  const auto b = static_cast<size_t>(bytesPerSample);
  const size_t frames =
      std::min({static_cast<size_t>(frameCount), interleaved.size() / (2 * b),
                channel1.size() / b, channel2.size() / b});
  const uint8_t* in = interleaved.data();
  for (size_t k = 0; k < frames; ++k, in += 2 * b) {
    std::memcpy(channel1.data() + k * b, in, b);
    std::memcpy(channel2.data() + k * b, in + b, b);
  }
}
