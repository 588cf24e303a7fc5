// The 44-byte RIFF/WAVE PCM header and the frame layout of a stereo file.
#pragma once

#include <array>
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

// Creates or truncates `fileName` and writes its header. A file that cannot
// be created is left alone (the caller's open for appending reports it); a
// header that cannot be written completely ends the process with status 1.
void MAKE_HEADER(const char* fileName, uint32_t sampleRate, int32_t frameCount,
                 uint32_t bytesPerSample, int32_t stereo);

// Merges `frameCount` samples of each channel into frames, channel 1 first.
// Counts beyond what the spans hold are cut to fit; sample sizes other than
// 2 and 3 write nothing.
void Interleave(int32_t frameCount, int32_t bytesPerSample,
                std::span<const uint8_t> channel1,
                std::span<const uint8_t> channel2,
                std::span<uint8_t> interleaved);

// After a take that ended early: cuts `fileName` to whole frames of
// `blockAlign` bytes and rewrites its two size fields to what it holds.
// Best effort; returns false when the file could not be mended.
bool MendHeader(const char* fileName, uint32_t blockAlign);
