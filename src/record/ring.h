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
  // Takes, with their pages, enough slots of `slotBytes` for kRingSeconds
  // of periods of `periodFrames` at `sampleRate`. False when it cannot.
  bool Reserve(size_t slotBytes, int32_t periodFrames, uint32_t sampleRate);

  // Capture thread: the slot to fill next, waiting while every slot is
  // full; nullptr once the ring is closed.
  uint8_t* Free();
  // Capture thread: the slot from Free holds `frames` frames, captured by
  // `nowNs`; returns the slot to fill next, as Free does. nullptr once the
  // ring is closed: that period is not written.
  uint8_t* Publish(int32_t frames, int64_t nowNs);

  // Writer thread: waits for filled slots; returns how many follow one
  // another from the oldest, which *first gets; 0 once the ring is closed
  // and every slot published before is released.
  size_t Next(size_t* first);
  // Writer thread, for a slot from Next: its period and its frames.
  const uint8_t* Data(size_t slot) const {
    return memory_.get() + slot * slotBytes_;
  }
  int32_t Frames(size_t slot) const { return frames_[slot]; }
  // Writer thread: the `count` oldest slots are written.
  void Release(size_t count);

  // No more periods: what is published is still handed to the writer.
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable space_;  // the capture thread waits for a slot
  Doorbell data_;                  // the writer waits for periods
  bool closed_ = false;
  // Filled slots run from tail_ to head_; when the writer has caught up
  // they start again at slot 0, so that while the disk keeps up only the
  // first few slots are used, and stay in the cache.
  size_t head_ = 0;
  size_t tail_ = 0;
  size_t filled_ = 0;
  size_t slots_ = 0;
  size_t slotBytes_ = 0;
  struct Unmap {
    size_t bytes;
    void operator()(uint8_t* memory) const;
  };
  uint8_t* FreeSlot(std::unique_lock<std::mutex>& lock);

  std::unique_ptr<uint8_t[], Unmap> memory_{nullptr, Unmap{0}};
  std::unique_ptr<int32_t[]> frames_;
};
