#include "meter/level_meter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "meter/peak.h"

namespace {

// A clipping converter sits on its extreme codes, -32768 and +32767. The
// positive one is a step short of full scale, so the threshold sits a step
// below that: +32767 counts as a clip, +32766 does not.
constexpr int32_t kClip16 = 32766;
constexpr int32_t kClip24 = 8388606;

// A held peak is kept for the periods of kHoldPeriodFrames, the size zelk
// asks the device for, that make kHoldSeconds; a device that settles on
// another size holds it for longer or shorter.
constexpr uint32_t kHoldSeconds = 3;
constexpr uint32_t kHoldPeriodFrames = 4096;

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

}  // namespace

LevelMeter::LevelMeter(uint32_t sampleRate, uint32_t bytesPerSample,
                       int32_t channels)
    : sampleRate_(sampleRate),
      bytesPerSample_(bytesPerSample),
      channels_(channels),
      holdPeriods_(
          static_cast<int32_t>(sampleRate * kHoldSeconds / kHoldPeriodFrames)) {
}

bool LevelMeter::CheckPeak(int32_t channel, std::span<const uint8_t> block) {
  if (channel < 0 || channel >= channels_) return false;
  const auto c = static_cast<size_t>(channel);
  const auto count = static_cast<int32_t>(std::min<size_t>(
      block.size() / bytesPerSample_, std::numeric_limits<int32_t>::max()));
  const PeakScanner& scanner = PeakScanners().back();
  const bool wide = bytesPerSample_ == 3;
  const int32_t peak =
      (wide ? scanner.scan24 : scanner.scan16)(block.data(), count);
  periodPeak_[c] = peak;
  takePeak_[c] = std::max(takePeak_[c], peak);
  return peak > (wide ? kClip24 : kClip16);
}

void LevelMeter::Draw(Line& line, int32_t framesLeft) {
  UpdateClock(line, framesLeft);
  StereoMeter(line);
}

void LevelMeter::UpdateClock(Line& line, int32_t framesLeft) {
  line.length = 0;
  AppendClock(line, framesLeft, sampleRate_);
}

// The mixed float/double arithmetic of the bar is deliberate: the level is
// a double but the previous level is kept as a float, so a steady level
// rounds down on one period and reads as rising, or rounds up and decays.
// Changing a type changes which bars are drawn.
void LevelMeter::StereoMeter(Line& line) {
  const double level = MeterLevelDb();
  // Rise at once, fall by kDecayDb a period: the usual ballistics of a
  // peak meter, readable at the refresh rate of a text line.
  if (level > lastDb_) {
    barDb_ = level;
  } else {
    barDb_ -= kDecayDb;
  }
  AppendFloat(line, label_, "\t -%.0f dB [", kRangeDb);
  AppendBar(line);
  AppendHeldPeaks(line);
  lastDb_ = static_cast<float>(level);
}

// Two channels are metered by the mean of their peaks, cut to a whole one.
double LevelMeter::MeterLevelDb() const {
  const int32_t peak =
      channels_ == 2
          ? static_cast<int32_t>(0.5 * periodPeak_[0] + 0.5 * periodPeak_[1])
          : periodPeak_[0];
  return Dbfs(peak, bytesPerSample_);
}

void LevelMeter::AppendBar(Line& line) {
  const float dbPerColumn = kRangeDb / kBarColumns;
  int columns = 0;
  if (barDb_ >= -kRangeDb) {
    const auto lit = static_cast<float>((barDb_ + kRangeDb) / dbPerColumn);
    columns = std::clamp(static_cast<int>(std::ceil(lit)), 0, kBarColumns);
  }
  std::array<char, kBarColumns> bar;
  std::fill_n(bar.begin(), columns, '|');
  std::fill(bar.begin() + columns, bar.end(), ' ');
  line.Append(bar.data(), bar.size());
}

void LevelMeter::AppendHeldPeaks(Line& line) {
  // A held peak of 0, before anything is held or after a silent window,
  // leaves the figure as it was.
  for (int c = 0; c < channels_; ++c) {
    if (heldPeak_[c] != 0) {
      heldDb_[c] = static_cast<float>(Dbfs(heldPeak_[c], bytesPerSample_));
    }
  }
  AppendFloat(line, heldText_[0], "] %.1f", heldDb_[0]);
  if (channels_ == 2) AppendFloat(line, heldText_[1], " / %.1f", heldDb_[1]);
  line.Append(" dB   ", 6);
}

// A held peak is the largest period peak of a window of holdPeriods_ + 1
// periods; each window starts from the latest period's peak.
void LevelMeter::Hold() {
  ++holdCount_;
  for (int c = 0; c < channels_; ++c) {
    heldPeak_[c] = std::max(heldPeak_[c], periodPeak_[c]);
  }
  if (holdCount_ > holdPeriods_) {
    for (int c = 0; c < channels_; ++c) heldPeak_[c] = periodPeak_[c];
    holdCount_ = 0;
  }
}
