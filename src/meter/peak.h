// The peak scan of one channel's block of samples, in every version this
// build has (see base/cpu.h). LevelMeter::CheckPeak calls the best one.
#pragma once

#include <cstdint>
#include <span>

// Largest magnitude among `count` little-endian samples at `samples`: the
// most negative sample gives full scale. 0 for a count of 0 or less.
using PeakScan = int32_t (*)(const uint8_t* samples, int32_t count);

struct PeakScanner {
  const char* name;
  PeakScan scan16;  // 2-byte samples
  PeakScan scan24;  // 3-byte samples
};

// The portable version first, then every other one this CPU can run; the
// last is the fastest.
std::span<const PeakScanner> PeakScanners();
