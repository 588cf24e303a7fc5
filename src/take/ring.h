// Periods on their way from the capture thread to the writer thread: slots,
// each one period of both channels, taken once before a take. While the disk
// stalls they fill; they hold at least kRingSeconds of audio, so a stall that
// long costs nothing.
//
// Filled slots go to the writer through a ring of entries, in the order
// they were captured; written slots come back on a stack, so that the
// capture thread fills the slot written last, which is still in the cache:
// while the disk keeps up, only a batch's worth of slots is ever touched.
//
// Threads: the capture thread alone fills slots (Free, Publish, Close), the
// writer thread alone empties them (Next, Release), the take thread may Stop
// the ring. There is no lock: the ring's two indices and the stack's top are
// atomic, and the stack has a single taker (the capture thread), so a slot
// cannot come back to its top unseen. A slot's bytes belong to the capture
// thread from Free to Publish and to the writer thread from Next to Release.
//
// The capture thread never waits on the writer but when every slot is full:
// the disk has stalled for longer than the ring holds. A sound card then
// overruns, as it would without the ring; a device faster than real time
// (a file) waits and loses nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "take/bell.h"

inline constexpr int kRingSeconds = 10;

class PeriodRing {
 public:
  // Takes, with their pages (locked in memory where the system allows),
  // enough slots of `slotBytes` for kRingSeconds of periods of
  // `periodFrames` at `sampleRate`; the writer is woken for batches of
  // about kBatchSeconds. False when the memory cannot be had.
  bool Reserve(size_t slotBytes, int32_t periodFrames, uint32_t sampleRate);

  // Capture thread: the slot to fill next, waiting while every slot is
  // full; nullptr once the ring is stopped.
  uint8_t* Free();
  // Capture thread: the slot from Free holds `frames` frames, captured by
  // `nowNs`.
  void Publish(int32_t frames, int64_t nowNs);
  // Capture thread: no more periods; what is published is still written.
  void Close();

  // Writer thread: waits for filled slots; returns how many entries follow
  // one another from the oldest, whose index *first gets; 0 once the ring is
  // closed or stopped and every slot published before is released.
  size_t Next(size_t* first);
  // Writer thread, for an entry from Next: its period and its frames.
  const uint8_t* Data(size_t entry) const {
    return memory_.get() + entries_[entry].slot * slotBytes_;
  }
  int32_t Frames(size_t entry) const { return entries_[entry].frames; }
  // Writer thread: the `count` oldest slots are written.
  void Release(size_t count);
  // Writer thread: a quarter of the ring or more waits to be written; the
  // disk is slower than the take.
  bool Behind() const {
    return 4 * (head_.load() - tail_.load(std::memory_order_relaxed)) >= slots_;
  }

  // Take thread: the capture is stuck or gone; the writer writes what is
  // published and finishes, and Free returns nullptr.
  void Stop();

  static constexpr double kBatchSeconds = 1.0;
  // A device faster than real time fills a batch in moments: the writer is
  // then woken at most this often, unless a quarter of the ring waits.
  static constexpr int64_t kMinWakeNs = 40'000'000;

 private:
  bool Ended() const { return closed_.load() || stopped_.load(); }
  // The written slots: `top_` is one more than the slot on top, 0 when none
  // is; below each slot lies `below_[slot]`, in the same form.
  void Push(uint32_t slot);
  uint32_t Pop();  // one more than the slot taken; 0 when none is free

  // Periods published and released, since the take began; head_ - tail_
  // slots are filled.
  std::atomic<uint64_t> head_{0};
  std::atomic<uint64_t> tail_{0};
  std::atomic<bool> closed_{false};
  std::atomic<bool> stopped_{false};
  Bell data_;   // the writer sleeps for a batch
  Bell space_;  // the capture thread sleeps for a free slot
  std::atomic<uint32_t> top_{0};
  std::unique_ptr<std::atomic<uint32_t>[]> below_;
  struct Entry {
    uint32_t slot;
    int32_t frames;
  };
  std::unique_ptr<Entry[]> entries_;
  uint32_t filling_ = 0;  // the capture thread's slot, from Free to Publish
  size_t slots_ = 0;
  size_t slotBytes_ = 0;
  uint64_t batch_ = 1;  // periods that wake the writer
  int64_t rungNs_ = 0;  // the capture thread's: when it last woke the writer
  struct Unmap {
    size_t bytes;
    void operator()(uint8_t* memory) const;
  };
  std::unique_ptr<uint8_t[], Unmap> memory_{nullptr, Unmap{0}};
};
