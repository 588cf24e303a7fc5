// The writer thread: writes the periods in the ring to the output files in
// the order they were captured, each channel to its mono file, or the
// interleaved frames to the stereo file; after each batch of half a second
// of take or more (the ring wakes it for about a second's), it checks that
// each file is still there and puts it on storage.
//
// Threads: RunWriter runs on the writer thread, the only one that writes to
// the output files during the take. The take thread reads `writingSinceNs`
// at any time, and `failure` once `finished` is set.
#pragma once

#include <atomic>
#include <cstdint>

#include "files/outputs.h"
#include "take/ring.h"

struct Writer {
  // Set before the thread starts.
  Layout layout = Layout::kMono;
  const Outputs* outputs = nullptr;
  PeriodRing* ring = nullptr;
  size_t half = 0;  // bytes of one channel's period
  int wakeFd = -1;  // told once the writer has finished

  // When the write (or sync) in progress began; 0 between them.
  std::atomic<int64_t> writingSinceNs{0};
  std::atomic<bool> finished{false};
  OutputFailure failure;  // the writer thread's until `finished`
};

void RunWriter(Writer& writer);
