#include "meter/meter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

float FullScale(uint32_t bytesPerSample) {
  return bytesPerSample == 3 ? 8388608.0f : 32768.0f;
}

double Dbfs(int32_t peak, uint32_t bytesPerSample) {
  // A peak of 0 divides to +inf and comes out as -inf dB, which prints as
  // "-inf": silence is reported, not treated as an error.
  return -20.0 * std::log10(static_cast<double>(FullScale(bytesPerSample)) /
                            static_cast<double>(peak));
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
