#include "meter/meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "meter/peak.h"

namespace {

// A clipping converter sits on its extreme codes, -32768 and +32767. The
// positive one is a step short of full scale, so the threshold sits a step
// below that: +32767 counts as a clip, +32766 does not.
constexpr int32_t kClip16 = 32766;
constexpr int32_t kClip24 = 8388606;

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

bool CheckPeak(int32_t channelIndex, int32_t frameCount,
               uint32_t bytesPerSample, PeakPair& takePeak,
               std::span<const uint8_t> samples, PeakPair& periodPeak) {
  // sw: whether this call clipped; bufferM: the buffer being scanned. Both
  // are reset on every call, so nothing carries over between calls.
  static int sw;
  static const uint8_t* bufferM;
  sw = 0;
  bufferM = samples.data();

  if (frameCount <= 0 || channelIndex < 0 || channelIndex > 1) return false;
  if (bytesPerSample != 2 && bytesPerSample != 3) return false;
  const auto fits = static_cast<int64_t>(samples.size() / bytesPerSample);
  const auto count = static_cast<int32_t>(std::min<int64_t>(frameCount, fits));

  const PeakScanner& scanner = PeakScanners().back();
  int32_t peak;
  int32_t clip;
  if (bytesPerSample == 2) {
    peak = scanner.scan16(bufferM, count);
    clip = kClip16;
  } else {
    peak = scanner.scan24(bufferM, count);
    clip = kClip24;
  }

  auto& take = takePeak[static_cast<size_t>(channelIndex)];
  auto& period = periodPeak[static_cast<size_t>(channelIndex)];
  take = std::max(take, peak);
  period = std::max(period, peak);
  if (peak > clip) sw = 1;
  return sw == 1;
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
