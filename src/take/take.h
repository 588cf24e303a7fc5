// The take: the capture, writer and console threads, made before any file
// exists and started once the files are open; the wait for the take to end
// however it ends (complete, a failed device or disk, a signal); and the end
// of the process: files mended, message, exit status.
//
// Threads: runs on the main thread. During the take it is the only thread
// that receives the ending signals (the others block them), and the only
// place that ends the process.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <memory>
#include <variant>

#include "base/failure.h"
#include "files/outputs.h"
#include "take/capture.h"
#include "take/console.h"
#include "take/ending.h"
#include "take/ring.h"
#include "take/writer.h"

struct Take {
  PeriodRing ring;
  Console console;
  Capture capture;
  Writer writer;
  Outputs outputs;       // opened into once the take is reserved
  bool stalled = false;  // the device delivered nothing for kStallNs
  int wakeFd = -1;       // the threads tell the take thread to look again

  // The threads wait for the files before they start.
  static constexpr uint32_t kWaiting = 0, kGo = 1, kAbandoned = 2;
  std::atomic<uint32_t> start{kWaiting};
  std::atomic<int> ready{0};  // threads running, their stacks touched
  std::array<pthread_t, 3> threads{};
  int threadCount = 0;

  ~Take();
};

// Takes everything a take needs, before any file is made: the memory, with
// its pages, the threads, waiting, and the descriptor they wake the take
// thread with. When something cannot be had, the result says what and why.
std::variant<std::unique_ptr<Take>, Failure> ReserveTake(const Device& device,
                                                         Layout layout,
                                                         int32_t totalFrames);

// Records into the take's outputs, which are open with their headers
// written, and ends the process: its one way out once the take has begun.
[[noreturn]] void RunTake(Take& take);
