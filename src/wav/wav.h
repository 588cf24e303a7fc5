// The 44-byte RIFF/WAVE PCM header and the frame layout of a stereo file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr int kHeaderBytes = 44;
// The RIFF size field (data size + 36) is 32 bits wide.
inline constexpr uint64_t kMaxDataBytes = 4294967259ULL;

// Stores the 32-bit pattern of `value` least significant byte first.
void Decon4(int32_t value, std::span<uint8_t, 4> dest);
// Stores `value` least significant byte first.
void Decon2(uint16_t value, std::span<uint8_t, 2> dest);

// The header of a file holding `frameCount` frames of `bytesPerSample`-byte
// samples at `sampleRate`, mono when `stereo` is 0, two channels when 1.
std::array<uint8_t, kHeaderBytes> HeaderBytes(uint32_t sampleRate,
                                              int32_t frameCount,
                                              uint32_t bytesPerSample,
                                              int32_t stereo);

// Writes the header of an output file at the descriptor's position.
// Returns false, errno telling why, when it could not be written whole.
bool MAKE_HEADER(int fd, uint32_t sampleRate, int32_t frameCount,
                 uint32_t bytesPerSample, int32_t stereo);

// Writes all `bytes`, however many calls that takes. Returns false, errno
// telling why, when the file takes no more.
bool WriteFully(int fd, const uint8_t* data, size_t bytes);

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

// After a take that ended early: cuts the file to whole frames of
// `blockAlign` bytes and rewrites its two size fields to what it holds.
// Best effort; returns false when the file could not be mended. Only
// async-signal-safe calls, so a signal handler may use it, and running it
// twice changes nothing more.
bool MendHeader(int fd, uint32_t blockAlign);
