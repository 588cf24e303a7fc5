// Levels in decibels of full scale, the clip warning and the peak report.
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

// The clip warning of input channel `channelIndex` + 1.
void ClipWarning(Line& out, int32_t channelIndex);

// The end-of-take report: a heading and one line per recorded channel.
void PeakReport(Line& out, const PeakPair& takePeak, Layout layout,
                uint32_t bytesPerSample);
