// The recording engine: device set-up, output files, then the take.
#pragma once

#include <cstdint>

#include "files/names.h"

// Records one take. Returns the exit status of a start that was refused
// (with its message); a take that starts ends the process itself.
int RECORD(const char* deviceName, uint32_t sampleRate, float duration,
           int32_t channelCount, uint32_t bytesPerSample, int32_t autoName,
           NameBuffer nameList, NameBuffer nameScratch, int32_t stereo);

// Stores in *totalFrames the smallest whole number of periods, at least one,
// that covers *duration seconds at `rate` (0 when the time is not positive).
// Returns false, leaving *totalFrames alone, when that does not fit in 32
// bits.
bool QUANTIZE(int32_t periodFrames, uint32_t rate, const float* duration,
              int32_t* totalFrames);
