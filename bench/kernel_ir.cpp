// Runs one per-period kernel over many 4096-frame blocks, for counting its
// instructions under callgrind: compare.sh collects only inside
// MeasuredBlocks, so start-up and set-up are left out of the count.
//
//   zelk_kernel_ir peak16|peak24|interleave16|interleave24 VERSION BLOCKS
//   zelk_kernel_ir versions      (the VERSIONs this CPU runs)
//
// VERSION "best" is what the capture loop calls, LevelMeter::CheckPeak and
// Interleave; the others name one version of the scans and merges, called
// directly.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "meter/level_meter.h"
#include "meter/peak.h"
#include "wav/interleave.h"

namespace {

constexpr int32_t kFrames = 4096;

struct Buffers {
  std::vector<uint8_t> one, two, out;
  PeakPair takePeak{};  // the versions' peaks
  LevelMeter meter;     // the capture loop's
  // Set for one version; both null for the public functions.
  PeakScan scan = nullptr;
  Merge merge = nullptr;
};

// Random samples below full scale, so no clip warning is printed and timed.
std::vector<uint8_t> Noise(int32_t bytesPerSample, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(static_cast<size_t>(kFrames * bytesPerSample));
  for (auto& byte : out) byte = static_cast<uint8_t>(rng());
  for (size_t top = bytesPerSample - 1; top < out.size(); top += bytesPerSample)
    out[top] &= 0x3f;  // keep each sample under a quarter of full scale
  return out;
}

}  // namespace

extern "C" __attribute__((noinline)) void MeasuredBlocks(bool peak,
                                                         int32_t bytes,
                                                         long blocks,
                                                         Buffers& b) {
  for (long i = 0; i < blocks; ++i) {
    if (b.scan != nullptr) {
      b.takePeak[0] = std::max(b.takePeak[0], b.scan(b.one.data(), kFrames));
    } else if (b.merge != nullptr) {
      b.merge(kFrames, b.one.data(), b.two.data(), b.out.data());
    } else if (peak) {
      b.meter.CheckPeak(0, b.one);
    } else {
      Interleave(kFrames, bytes, b.one, b.two, b.out);
    }
  }
}

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "versions") == 0) {
    std::printf("best");
    for (const PeakScanner& s : PeakScanners()) std::printf(" %s", s.name);
    std::printf("\n");
    return 0;
  }
  if (argc != 4) {
    std::fputs(
        "usage: zelk_kernel_ir peak16|peak24|interleave16|interleave24"
        " VERSION BLOCKS\n",
        stderr);
    return 2;
  }
  const char* kernel = argv[1];
  const bool peak = std::strncmp(kernel, "peak", 4) == 0;
  const int32_t bytes = std::strstr(kernel, "24") != nullptr ? 3 : 2;
  // The rate matters only to the meter's Draw and Hold, which are not run.
  Buffers b{Noise(bytes, 1), Noise(bytes, 2),
            std::vector<uint8_t>(2 * kFrames * bytes), PeakPair{},
            LevelMeter(48000, static_cast<uint32_t>(bytes), 1)};
  const std::string version = argv[2];
  if (version != "best") {
    for (const PeakScanner& s : PeakScanners()) {
      if (s.name == version) b.scan = bytes == 2 ? s.scan16 : s.scan24;
    }
    for (const Interleaver& v : Interleavers()) {
      if (v.name == version) b.merge = bytes == 2 ? v.merge16 : v.merge24;
    }
    if (b.scan == nullptr || b.merge == nullptr) {
      std::fprintf(stderr, "no version %s here\n", argv[2]);
      return 2;
    }
    if (peak) {
      b.merge = nullptr;
    } else {
      b.scan = nullptr;
    }
  }
  MeasuredBlocks(peak, bytes, std::atol(argv[3]), b);
  // Printed so the work cannot be optimised away.
  std::printf("%d %d\n", std::max(b.takePeak[0], b.meter.TakePeak()[0]),
              b.out[kFrames]);
}
