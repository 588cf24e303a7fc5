#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "meter/line.h"
#include "meter/meter.h"

namespace {

constexpr int kBarColumns = 24;

// A piece of text that depends on one value, formatted again only when the
// value changes: the range label and the held-peak figures stay the same
// for many periods, and printf's float formatting is the dearest step of a
// line.
struct CachedText {
  uint32_t key = 0;
  bool valid = false;
  std::array<char, 64> text{};
  std::size_t length = 0;

  template <typename Format>
  void Append(Line& line, uint32_t newKey, Format format) {
    if (!valid || key != newKey) {
      const int n = format(text.data(), text.size());
      length = n > 0 ? std::min<std::size_t>(n, text.size() - 1) : 0;
      key = newKey;
      valid = true;
    }
    line.Append(text.data(), length);
  }
};

// "%.f" of `value` as the last piece of `line`, redone when its bits change.
void AppendFloat(Line& line, CachedText& cache, const char* format,
                 float value) {
  cache.Append(line, std::bit_cast<uint32_t>(value), [&](char* s, size_t n) {
    return std::snprintf(s, n, format, static_cast<double>(value));
  });
}

// "\rrem = %.2f sec" with `frames` / `sampleRate`. The seconds change every
// period, so they are formatted with integers where that gives printf's
// digits: the double quotient lies within 2^-22 / sampleRate of the true
// one, closer than any frame count comes to a rounding boundary, so both
// round the same way, except when the true quotient sits exactly on a
// boundary. That case, a negative count and a rate of 0 go to printf.
void AppendClock(Line& line, int32_t frames, uint32_t sampleRate) {
  const auto hundredths = static_cast<uint64_t>(frames) * 100;
  const uint64_t rest = sampleRate == 0 ? 0 : hundredths % sampleRate;
  if (frames < 0 || sampleRate == 0 || 2 * rest == sampleRate) {
    line.Print("\rrem = %.2f sec", static_cast<double>(frames) / sampleRate);
    return;
  }
  uint64_t rounded = hundredths / sampleRate + (2 * rest > sampleRate);
  // The digits from the last: two decimals, the point, at least one more.
  std::array<char, 24> digits;
  char* first = digits.end();
  for (int place = 0; place < 3 || rounded != 0; ++place, rounded /= 10) {
    if (place == 2) *--first = '.';
    *--first = static_cast<char>('0' + rounded % 10);
  }
  line.Append("\rrem = ", 7);
  line.Append(first, static_cast<std::size_t>(digits.end() - first));
  line.Append(" sec", 4);
}

// The sum is taken as a wrapping 32-bit count, as the capture loop keeps it.
int32_t FramesLeft(int32_t frameCount, int32_t frameAdjust) {
  return static_cast<int32_t>(static_cast<int64_t>(frameCount) +
                              static_cast<int64_t>(frameAdjust));
}

// The mixed float/double arithmetic below is deliberate: the level is a
// double but the previous level is kept as a float, so a steady level rounds
// down on one call and reads as rising, or rounds up and decays. Changing a
// type changes which bars are drawn.
void AppendMeter(Line& line, const PeakPair& periodPeak, float range,
                 int* firstCall, float decay, int32_t bytesPerSample,
                 int32_t meterType, const PeakPair& heldPeak) {
  static double Current;
  static float Last;
  static float realPeakL;
  static float realPeakR;
  static CachedText label, left, right;

  const auto b = static_cast<uint32_t>(bytesPerSample);
  const int32_t meterLevel =
      meterType == 2
          ? static_cast<int32_t>(0.5 * periodPeak[0] + 0.5 * periodPeak[1])
          : periodPeak[0];
  const double level = Dbfs(meterLevel, b);
  const float step = range / kBarColumns;

  if (*firstCall == 1) {
    *firstCall = 0;
    // -144 dB sits below any 24-bit signal, so the first real level rises.
    Current = -144.0;
    Last = -144.0f;
    realPeakL = -144.0f;
    realPeakR = -144.0f;
  }

  // Rise at once, fall by `decay` per call: the usual ballistics of a
  // peak meter, readable at the refresh rate of a text line.
  if (level > Last) {
    Current = level;
  } else {
    Current -= decay;
  }

  AppendFloat(line, label, "\t -%.0f dB [", range);

  int bars = 0;
  if (!(Current < -range)) {
    float columns = static_cast<float>((Current + range) / step);
    if (columns > kBarColumns) columns = kBarColumns;
    bars = std::clamp(static_cast<int>(std::ceil(columns)), 0, kBarColumns);
  }
  std::array<char, kBarColumns> bar;
  std::fill_n(bar.begin(), bars, '|');
  std::fill(bar.begin() + bars, bar.end(), ' ');
  line.Append(bar.data(), bar.size());

  // A held peak of 0 means nothing has been held yet: keep the last figure.
  if (heldPeak[0] != 0) realPeakL = static_cast<float>(Dbfs(heldPeak[0], b));
  if (meterType == 2 && heldPeak[1] != 0) {
    realPeakR = static_cast<float>(Dbfs(heldPeak[1], b));
  }

  AppendFloat(line, left, "] %.1f", realPeakL);
  if (meterType == 2) AppendFloat(line, right, " / %.1f", realPeakR);
  line.Append(" dB   ", 6);

  Last = static_cast<float>(level);
}

}  // namespace

void UpdateClock(Line& line, int32_t frameCount, int32_t frameAdjust,
                 uint32_t sampleRate) {
  line.length = 0;
  AppendClock(line, FramesLeft(frameCount, frameAdjust), sampleRate);
}

void StereoMeter(Line& line, const PeakPair& periodPeak, float range,
                 int* firstCall, float decay, int32_t bytesPerSample,
                 int32_t meterType, const PeakPair& heldPeak) {
  AppendMeter(line, periodPeak, range, firstCall, decay, bytesPerSample,
              meterType, heldPeak);
}
