// The merge of two channel blocks into frames, in every version this build
// has: a portable one, and one for each wider vector unit it can use when
// the CPU has it. Interleave calls the best one.
#pragma once

#include <cstdint>
#include <span>

// Writes `frames` frames to `out`, each sample of `channel1` followed by the
// sample of `channel2` with the same index; nothing past the last frame.
using Merge = void (*)(int32_t frames, const uint8_t* channel1,
                       const uint8_t* channel2, uint8_t* out);

struct Interleaver {
  const char* name;
  Merge merge16;  // 2-byte samples
  Merge merge24;  // 3-byte samples
};

// The portable version first, then every other one this CPU can run; the
// last is the fastest.
std::span<const Interleaver> Interleavers();
