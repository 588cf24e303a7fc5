// The take: starts the capture, writer and console threads, waits for the
// take to end however it ends (complete, a failed device or disk, a
// signal), and ends the process: files mended, message, exit status.
//
// Threads: runs on the main thread. During the take it is the only thread
// that receives the ending signals (the others block them), and the only
// place that ends the process.
#pragma once

#include <memory>
#include <thread>

#include "record/capture.h"
#include "record/console.h"
#include "record/outputs.h"
#include "record/ring.h"
#include "record/writer.h"

struct Take {
  PeriodRing ring;
  Console console;
  Capture capture;
  Writer writer;
  Outputs outputs;
  bool stalled = false;  // the device delivered nothing for kStallNs
};

// A device that delivers nothing for this long is as good as gone.
inline constexpr int64_t kStallNs = 10'000'000'000;

// Takes all the memory a take needs, before any file is made: nullptr when
// it cannot be had.
std::unique_ptr<Take> ReserveTake(const Device& device, const ChannelMode& mode,
                                  uint32_t sampleRate, int32_t totalFrames);

// Records into `outputs`, which are open with their headers written, and
// ends the process.
[[noreturn]] void RunTake(Take& take, const Outputs& outputs);
