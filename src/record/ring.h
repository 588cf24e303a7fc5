// Periods on their way from the capture thread to the writer thread: a ring
// of slots, each one period of both channels, taken once before a take.
// While the disk stalls the ring fills; it holds at least kRingSeconds of
// audio, so a stall that long costs nothing.
//
// Threads: the capture thread fills slots (Free, Publish), the writer
// thread empties them (Next, Release), the take thread may Close the ring.
// The counters are under `mutex_`. A slot's bytes belong to the capture
// thread from Free to Publish and to the writer thread from Next to
// Release, so they are used without the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "record/doorbell.h"

inline constexpr int kRingSeconds = 10;

class PeriodRing {
 public:
  struct Slot {
    const uint8_t* pair = nullptr;
    int32_t frames = 0;
  };

  // Takes, and touches, enough slots of `slotBytes` for kRingSeconds of
  // periods of `periodFrames` at `sampleRate`. False when it cannot.
  bool Reserve(size_t slotBytes, int32_t periodFrames, uint32_t sampleRate);

  // Capture thread: the slot to fill next, waiting while every slot is
  // full; nullptr once the ring is closed.
  uint8_t* Free();
  // Capture thread: the slot from Free holds `frames` frames. False once
  // the ring is closed: the period is not written.
  bool Publish(int32_t frames);

  // Writer thread: the oldest filled slot, waiting for one; false once the
  // ring is closed and every slot published before is released.
  bool Next(Slot* slot);
  // Writer thread: the slot from Next is written.
  void Release();

  // No more periods: what is published is still handed to the writer.
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable space_;  // the capture thread waits for a slot
  Doorbell data_;                  // the writer waits for periods
  bool closed_ = false;
  uint64_t published_ = 0;
  uint64_t released_ = 0;
  size_t slots_ = 0;
  size_t slotBytes_ = 0;
  std::unique_ptr<uint8_t[]> memory_;
  std::unique_ptr<int32_t[]> frames_;
};
