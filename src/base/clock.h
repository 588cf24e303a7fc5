// The one clock the take's threads stamp and compare times with.
#pragma once

#include <time.h>

#include <cstdint>

inline constexpr int64_t kNsPerSecond = 1'000'000'000;

// Nanoseconds on the monotonic clock, which no change of the date moves.
inline int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}
