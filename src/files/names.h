// The buffers of the recording request that hold names, and the number in
// the names zelk makes up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t kDeviceNameBytes = 64;
inline constexpr std::size_t kNameBufferBytes = 4096;
using NameBuffer = std::span<char, kNameBufferBytes>;

// Seconds since 16:09:00 UTC on 10 October 2012.
int32_t NewTime();
