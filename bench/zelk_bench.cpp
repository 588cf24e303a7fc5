// The per-period work of a take: the peak scan of each channel and the
// merge of two channels into frames, at the period size zelk records with.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "meter/level_meter.h"
#include "wav/interleave.h"

namespace {

constexpr int32_t kFrames = 4096;

// A 997 Hz tone at about -6 dBFS plus low-level noise, little-endian, so
// the scan sees changing signs and magnitudes but never clips (a clip would
// print the warning and time the terminal instead).
std::vector<uint8_t> Signal(int32_t bytesPerSample, uint32_t seed) {
  const double fullScale = bytesPerSample == 3 ? 8388608.0 : 32768.0;
  std::vector<uint8_t> out(static_cast<size_t>(kFrames * bytesPerSample));
  uint32_t state = seed;
  for (int32_t k = 0; k < kFrames; ++k) {
    state = state * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5);
    const double x =
        0.5 * std::sin(2.0 * std::numbers::pi * 997.0 * k / 48000.0) +
        0.01 * noise;
    const auto v = static_cast<uint32_t>(static_cast<int32_t>(x * fullScale));
    for (int32_t i = 0; i < bytesPerSample; ++i) {
      out[static_cast<size_t>(k * bytesPerSample + i)] =
          static_cast<uint8_t>(v >> (8 * i));
    }
  }
  return out;
}

void BM_Scan(benchmark::State& state) {
  const auto bytesPerSample = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> samples =
      Signal(static_cast<int32_t>(bytesPerSample), 1);
  // The rate matters only to the meter's Draw and Hold, which are not run.
  LevelMeter meter(48000, bytesPerSample, 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(meter.CheckPeak(0, samples));
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(samples.size()));
}
BENCHMARK(BM_Scan)->Arg(2)->Arg(3);

void BM_Interleave(benchmark::State& state) {
  const auto bytesPerSample = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> left = Signal(bytesPerSample, 1);
  const std::vector<uint8_t> right = Signal(bytesPerSample, 2);
  std::vector<uint8_t> frames(left.size() + right.size());
  for (auto _ : state) {
    Interleave(kFrames, bytesPerSample, left, right, frames);
    benchmark::DoNotOptimize(frames.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(frames.size()));
}
BENCHMARK(BM_Interleave)->Arg(2)->Arg(3);

}  // namespace

BENCHMARK_MAIN();
