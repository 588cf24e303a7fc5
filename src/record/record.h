// The recording engine: device set-up, output files, capture loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t kDeviceNameBytes = 64;
inline constexpr std::size_t kNameBufferBytes = 4096;
using NameBuffer = std::span<char, kNameBufferBytes>;

// Records one take. Returns only after a complete take; every failure ends
// the process with exit status 1.
void RECORD(const char* deviceName, uint32_t sampleRate, float duration,
            int32_t channelCount, uint32_t bytesPerSample, int32_t autoName,
            NameBuffer nameList, NameBuffer nameScratch, int32_t stereo);

// Stores in *totalFrames the smallest whole number of periods, at least one,
// that covers *duration seconds at `rate` (0 when the time is not positive).
// Returns false, leaving *totalFrames alone, when that does not fit in 32
// bits.
bool QUANTIZE(int32_t periodFrames, uint32_t rate, const float* duration,
              int32_t* totalFrames);

// Seconds since 16:09:00 UTC on 10 October 2012.
int32_t NewTime();
