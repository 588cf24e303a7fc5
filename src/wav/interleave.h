// The merge of two channel blocks into frames, in every version this build
// has (see base/cpu.h); Interleave calls the best one. And the split of
// frames into channel blocks, for devices that deliver frames.
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

// Merges `frameCount` samples of each channel into frames, channel 1 first.
// Counts beyond what the spans hold are cut to fit; sample sizes other than
// 2 and 3 write nothing.
void Interleave(int32_t frameCount, int32_t bytesPerSample,
                std::span<const uint8_t> channel1,
                std::span<const uint8_t> channel2,
                std::span<uint8_t> interleaved);

// Splits `frameCount` frames of two `bytesPerSample`-byte samples into one
// block per channel: the inverse of Interleave, for devices that deliver
// frames. Counts beyond what the spans hold are cut to fit.
void Deinterleave(int32_t frameCount, int32_t bytesPerSample,
                  std::span<const uint8_t> interleaved,
                  std::span<uint8_t> channel1, std::span<uint8_t> channel2);
