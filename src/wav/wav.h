// The 44-byte RIFF/WAVE PCM header: made for a take, written whole, and
// mended for a take that ended early.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr int kHeaderBytes = 44;
// The RIFF size field (data size + 36) is 32 bits wide.
inline constexpr uint64_t kMaxDataBytes = 4294967259ULL;

// The header of a file holding `frameCount` frames of `bytesPerSample`-byte
// samples at `sampleRate`, each frame `channels` (1 or 2) samples.
std::array<uint8_t, kHeaderBytes> HeaderBytes(uint32_t sampleRate,
                                              int32_t frameCount,
                                              uint32_t bytesPerSample,
                                              uint32_t channels);

// Writes all `bytes`, however many calls that takes. Returns false, errno
// telling why, when the file takes no more.
bool WriteFully(int fd, const uint8_t* data, size_t bytes);

// After a take that ended early: cuts the file to whole frames of
// `blockAlign` bytes and rewrites its two size fields to what it holds.
// Best effort; returns false when the file could not be mended. Only
// async-signal-safe calls, so a signal handler may use it, and running it
// twice changes nothing more.
bool MendHeader(int fd, uint32_t blockAlign);
