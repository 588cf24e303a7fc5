#include "meter/meter.h"

#include <algorithm>
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

LevelMeter::LevelMeter(uint32_t sampleRate, uint32_t bytesPerSample,
                       int32_t channels)
    : sampleRate_(sampleRate),
      bytesPerSample_(bytesPerSample),
      channels_(channels),
      holdPeriods_(
          static_cast<int32_t>(sampleRate * kHoldSeconds / kHoldPeriodFrames)) {
}

bool LevelMeter::Scan(int32_t channel, std::span<const uint8_t> block) {
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

void ClipWarning(Line& out, int32_t channelIndex) {
  out.Print("\nInput Channel %i is Peaking!\n", channelIndex + 1);
}

void PeakReport(Line& out, const PeakPair& takePeak, Layout layout,
                uint32_t bytesPerSample) {
  out.Append("\n\nInput Channel Peaks:\n");
  auto line = [&](int n) {
    // Rounded to single precision first so the figure matches the status
    // line, which holds its peaks as floats.
    const auto db = static_cast<float>(Dbfs(takePeak[n - 1], bytesPerSample));
    out.Print("\tchannel %i: %.2f dBFS\n", n, static_cast<double>(db));
  };
  for (int n = 1; n <= ChannelsMetered(layout); ++n) line(n);
}
