#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "meter/meter.h"

namespace {

constexpr int kBarColumns = 24;

}  // namespace

void UpdateClock(int32_t frameCount, int32_t frameAdjust, uint32_t sampleRate) {
  // The sum is taken as a wrapping 32-bit count, as the capture loop keeps it.
  const auto frames = static_cast<int32_t>(static_cast<int64_t>(frameCount) +
                                           static_cast<int64_t>(frameAdjust));
  std::printf("\rrem = %.2f sec", static_cast<double>(frames) / sampleRate);
  std::fflush(stdout);
}

// The mixed float/double arithmetic below is deliberate: the level is a
// double but the previous level is kept as a float, so a steady level rounds
// down on one call and reads as rising, or rounds up and decays. Changing a
// type changes which bars are drawn.
void StereoMeter(const PeakPair& periodPeak, float range, int* firstCall,
                 float decay, int32_t bytesPerSample, int32_t meterType,
                 const PeakPair& heldPeak) {
  static double Current;
  static float Last;
  static float realPeakL;
  static float realPeakR;
  // Where a peak-hold marker would sit; tracked but not drawn.
  [[maybe_unused]] static float PeakBars;
  static float OldPeak;

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
    PeakBars = 0.0f;
    OldPeak = 0.0f;
  }

  // Rise at once, fall by `decay` per call: the usual ballistics of a
  // peak meter, readable at the refresh rate of a text line.
  if (level > Last) {
    Current = level;
  } else {
    Current -= decay;
  }

  if (meterLevel > OldPeak && level < 0) {
    PeakBars = static_cast<float>((level + range) / step);
    OldPeak = static_cast<float>(meterLevel);
  }

  std::printf("\t -%.0f dB [", static_cast<double>(range));

  int bars = 0;
  if (!(Current < -range)) {
    float columns = static_cast<float>((Current + range) / step);
    if (columns > kBarColumns) columns = kBarColumns;
    bars = std::clamp(static_cast<int>(std::ceil(columns)), 0, kBarColumns);
  }
  std::array<char, kBarColumns + 1> bar{};
  std::fill_n(bar.begin(), bars, '|');
  std::fill(bar.begin() + bars, bar.end() - 1, ' ');
  std::fputs(bar.data(), stdout);

  // A held peak of 0 means nothing has been held yet: keep the last figure.
  if (heldPeak[0] != 0) realPeakL = static_cast<float>(Dbfs(heldPeak[0], b));
  if (meterType == 2 && heldPeak[1] != 0) {
    realPeakR = static_cast<float>(Dbfs(heldPeak[1], b));
  }

  std::printf("] %.1f", static_cast<double>(realPeakL));
  if (meterType == 2) std::printf(" / %.1f", static_cast<double>(realPeakR));
  std::printf(" dB   ");

  // At full scale the hold restarts, so the next peak below it registers.
  if (level >= 0) OldPeak = 0;
  Last = static_cast<float>(level);
  std::fflush(stdout);
}
