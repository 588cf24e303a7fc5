// Level monitoring: peak detection, the peak report and the status line.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "meter/line.h"
#include "request/request.h"

// Peak magnitudes, index 0 for input channel 1, index 1 for input channel 2.
using PeakPair = std::array<int32_t, 2>;

// Full scale of a sample of `bytesPerSample` bytes: 32768 or 8388608.
float FullScale(uint32_t bytesPerSample);

// -20 log10(full scale / peak); minus infinity for a peak of 0.
double Dbfs(int32_t peak, uint32_t bytesPerSample);

// Scans `frameCount` samples of one channel (cut to what `samples` holds)
// and raises entry `channelIndex` of `takePeak` and `periodPeak` to the
// largest magnitude. Returns true when a sample clips: the caller shows
// ClipWarning once for the call.
bool CheckPeak(int32_t channelIndex, int32_t frameCount,
               uint32_t bytesPerSample, PeakPair& takePeak,
               std::span<const uint8_t> samples, PeakPair& periodPeak);

// The clip warning of input channel `channelIndex` + 1.
void ClipWarning(Line& out, int32_t channelIndex);

// The end-of-take report: a heading and one line per recorded channel.
void PeakReport(Line& out, const PeakPair& takePeak, Layout layout,
                uint32_t bytesPerSample);

// Status line, first field: "\rrem = %.2f sec". Begins `line` afresh.
void UpdateClock(Line& line, int32_t frameCount, int32_t frameAdjust,
                 uint32_t sampleRate);

// Status line, the rest: range label, 24-column bar, held peaks, appended
// to `line`.
void StereoMeter(Line& line, const PeakPair& periodPeak, float range,
                 int* firstCall, float decay, int32_t bytesPerSample,
                 int32_t meterType, const PeakPair& heldPeak);
