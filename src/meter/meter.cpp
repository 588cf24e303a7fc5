#include "meter/meter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// A clipping converter sits on its extreme codes, -32768 and +32767. The
// positive one is a step short of full scale, so the threshold sits a step
// below that: +32767 counts as a clip, +32766 does not.
constexpr int32_t kClip16 = 32766;
constexpr int32_t kClip24 = 8388606;

// Samples are little-endian on the wire; on a little-endian host a plain
// load reads them, which the vectoriser handles far better than shifts.
constexpr bool kLittleHost = std::endian::native == std::endian::little;

int16_t Sample16(const uint8_t* s) {
  if constexpr (kLittleHost) {
    int16_t v;
    std::memcpy(&v, s, sizeof v);
    return v;
  } else {
    return static_cast<int16_t>(static_cast<uint16_t>(s[0] | (s[1] << 8)));
  }
}

// Largest magnitude of `count` 16-bit samples. The signed minimum and maximum
// give the same answer as max |s| (|-32768| = 32768 once widened) while the
// lanes stay 16 bits wide. One vector of lanes per step, with the lane count
// fixed, is what lets the compiler vectorise at -O2, where it leaves loops
// of unknown trip count scalar.
int32_t PeakMagnitude16(const uint8_t* p, int32_t count) {
  constexpr int32_t kLanes = 8;
  std::array<int16_t, kLanes> lo{};
  std::array<int16_t, kLanes> hi{};
  int32_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (int32_t j = 0; j < kLanes; ++j) {
      const int16_t s = Sample16(p + 2 * (i + j));
      lo[j] = std::min(lo[j], s);
      hi[j] = std::max(hi[j], s);
    }
  }
  int16_t low = *std::min_element(lo.begin(), lo.end());
  int16_t high = *std::max_element(hi.begin(), hi.end());
  for (; i < count; ++i) {
    const int16_t s = Sample16(p + 2 * i);
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

// Baseline x86-64 has no 32-bit vector min/max, so this stays scalar; one
// 4-byte load per sample (all but the last, whose fourth byte may lie past
// the buffer) keeps it to a handful of instructions. Two sets of running
// extremes halve the dependency chain through the conditional moves.
int32_t PeakMagnitude24(const uint8_t* p, int32_t count) {
  int32_t lo0 = 0;
  int32_t hi0 = 0;
  int32_t lo1 = 0;
  int32_t hi1 = 0;
  int32_t i = 0;
  for (; i + 2 < count; i += 2) {
    const int32_t s0 = Sample24ShiftedWide(p + 3 * i);
    const int32_t s1 = Sample24ShiftedWide(p + 3 * i + 3);
    lo0 = std::min(lo0, s0);
    hi0 = std::max(hi0, s0);
    lo1 = std::min(lo1, s1);
    hi1 = std::max(hi1, s1);
  }
  int32_t low = std::min(lo0, lo1);
  int32_t high = std::max(hi0, hi1);
  for (; i < count; ++i) {
    const int32_t s = Sample24Shifted(p + 3 * i);
    low = std::min(low, s);
    high = std::max(high, s);
  }
  // Shift back before negating: -(INT32_MIN) would overflow, -8388608 won't.
  return std::max(high >> 8, -(low >> 8));
}

}  // namespace

float FullScale(uint32_t bytesPerSample) {
  return bytesPerSample == 3 ? 8388608.0f : 32768.0f;
}

double Dbfs(int32_t peak, uint32_t bytesPerSample) {
  // A peak of 0 divides to +inf and comes out as -inf dB, which prints as
  // "-inf": silence is reported, not treated as an error.
  return -20.0 * std::log10(static_cast<double>(FullScale(bytesPerSample)) /
                            static_cast<double>(peak));
}

void CheckPeak(int32_t channelIndex, int32_t frameCount,
               uint32_t bytesPerSample, PeakPair& takePeak,
               std::span<const uint8_t> samples, PeakPair& periodPeak) {
  // sw: whether this call clipped; bufferM: the buffer being scanned. Both
  // are reset on every call, so nothing carries over between calls.
  static int sw;
  static const uint8_t* bufferM;
  sw = 0;
  bufferM = samples.data();

  if (frameCount <= 0 || channelIndex < 0 || channelIndex > 1) return;
  if (bytesPerSample != 2 && bytesPerSample != 3) return;
  const auto fits = static_cast<int64_t>(samples.size() / bytesPerSample);
  const auto count = static_cast<int32_t>(std::min<int64_t>(frameCount, fits));

  int32_t peak;
  int32_t clip;
  if (bytesPerSample == 2) {
    peak = PeakMagnitude16(bufferM, count);
    clip = kClip16;
  } else {
    peak = PeakMagnitude24(bufferM, count);
    clip = kClip24;
  }

  auto& take = takePeak[static_cast<size_t>(channelIndex)];
  auto& period = periodPeak[static_cast<size_t>(channelIndex)];
  take = std::max(take, peak);
  period = std::max(period, peak);
  if (peak > clip) sw = 1;
  if (sw == 1) {
    std::printf("\nInput Channel %i is Peaking!\n", channelIndex + 1);
  }
}

void PrintPeakReport(const PeakPair& takePeak,
                     const std::array<int32_t, 2>& channelOn, int32_t stereo,
                     uint32_t bytesPerSample) {
  std::puts("\n\nInput Channel Peaks:");
  auto line = [&](int n) {
    // Rounded to single precision first so the figure matches the status
    // line, which holds its peaks as floats.
    const auto db = static_cast<float>(Dbfs(takePeak[n - 1], bytesPerSample));
    std::printf("\tchannel %i: %.2f dBFS\n", n, static_cast<double>(db));
  };
  if (channelOn[0] == 1) line(1);
  if (channelOn[1] == 1 || stereo == 1) line(2);
}
