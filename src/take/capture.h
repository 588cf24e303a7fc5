// The capture thread: reads the device a period at a time into the ring
// (in stereo mode into a pair of its own, which it interleaves into the
// ring while the samples are in the cache), scans each period's peaks, and
// hands the console the period's marks and status line. It takes no lock
// and waits on nothing but the device, and on the writer only when the ring
// is full: the disk has stalled for longer than the ring holds, and a sound
// card then overruns, which is counted like any other overrun. Where the
// system allows it, it runs at a real-time priority.
//
// Threads: RunCapture runs on the capture thread, which owns the device,
// the peaks and the meter while it runs, and closes the device when it is
// done. The take thread sets `watch.stop`, reads `watch.idleSinceNs` at any
// time, and reads the results once `finished` is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "device/device.h"
#include "meter/level_meter.h"
#include "request/request.h"
#include "take/console.h"
#include "take/ring.h"

struct Capture {
  // Set before the thread starts.
  Device device;
  Layout layout = Layout::kMono;
  int32_t totalFrames = 0;
  PeriodRing* ring = nullptr;
  Console* console = nullptr;
  int wakeFd = -1;                        // told once the capture has finished
  std::unique_ptr<uint8_t[]> stereoPair;  // stereo mode: the period read
  std::unique_ptr<uint8_t[]> frames;      // a device that delivers frames

  ReadWatch watch;
  std::atomic<bool> finished{false};
  // The capture thread's until `finished`, the take thread's after; the
  // take's peaks are the meter's.
  LevelMeter meter;
  // The capture thread's until `finished`, the take thread's after.
  int error = 0;  // the device's, when it failed
  int32_t overrunCount = 0;
  int64_t lostNs = 0;  // device time that overruns lost
};

// Takes the memory for periods of `pairBytes` (both channels). False when
// it cannot.
bool ReserveCapture(Capture& capture, size_t pairBytes);

// The capture thread asks for a real-time priority; where it is not allowed
// the take goes on as it would have.
void RaiseCapturePriority();

void RunCapture(Capture& capture);
