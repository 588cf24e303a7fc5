// The recording engine: device set-up, output files, then the take.
#pragma once

#include <cstdint>
#include <optional>

#include "request/request.h"

// Records one take. Returns the exit status of a start that was refused
// (with its message); a take that starts ends the process itself.
int RECORD(const TakeRequest& request);

// Stores in *totalFrames the smallest whole number of periods, at least one,
// that covers `duration` seconds at `rate` (0 when the time is not
// positive). Returns false, leaving *totalFrames alone, when that does not
// fit in 32 bits.
bool QUANTIZE(int32_t periodFrames, uint32_t rate, float duration,
              int32_t* totalFrames);

// The frames of the take `request` asks for, read `periodFrames` at a time;
// none when they do not fit a frame count or a file's header.
std::optional<int32_t> TakeFrames(const TakeRequest& request,
                                  int32_t periodFrames);
