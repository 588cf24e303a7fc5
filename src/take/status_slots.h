// The latest status lines on their way from the capture thread to the
// console thread, without a lock: a ring of kSlots lines, each stamped with
// its period. The capture thread overwrites the oldest; the console thread
// copies a line and then checks that its stamp did not change meanwhile (a
// sequence lock), so a line torn by an overwrite is never shown. Lines are
// copied as atomic words: no byte is ever read while it is written.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "meter/line.h"

class StatusSlots {
 public:
  static constexpr int64_t kSlots = 1024;

  bool Reserve() {
    slots_.reset(new (std::nothrow) Slot[kSlots]);
    return slots_ != nullptr;
  }

  // Capture thread: the line of `period`, made at `madeNs`.
  void Put(int64_t period, int64_t madeNs, const Line& line) {
    Slot& slot = slots_[period % kSlots];
    slot.period.store(-1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot.madeNs.store(madeNs, std::memory_order_relaxed);
    slot.length.store(line.length, std::memory_order_relaxed);
    for (std::size_t w = 0; w * kWordBytes < line.length; ++w) {
      uint64_t word = 0;
      std::memcpy(&word, line.text.data() + w * kWordBytes, kWordBytes);
      slot.words[w].store(word, std::memory_order_relaxed);
    }
    slot.period.store(period, std::memory_order_release);
  }

  // Console thread: the line of `period` into *line and when it was made
  // into *madeNs; false when the slot holds another period's line by now.
  bool Get(int64_t period, Line* line, int64_t* madeNs) const {
    const Slot& slot = slots_[period % kSlots];
    if (slot.period.load(std::memory_order_acquire) != period) return false;
    *madeNs = slot.madeNs.load(std::memory_order_relaxed);
    line->length = std::min<std::size_t>(
        slot.length.load(std::memory_order_relaxed), Line::kBytes);
    for (std::size_t w = 0; w * kWordBytes < line->length; ++w) {
      const uint64_t word = slot.words[w].load(std::memory_order_relaxed);
      std::memcpy(line->text.data() + w * kWordBytes, &word, kWordBytes);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    return slot.period.load(std::memory_order_relaxed) == period;
  }

 private:
  static constexpr std::size_t kWordBytes = sizeof(uint64_t);
  static_assert(Line::kBytes % kWordBytes == 0);
  struct Slot {
    std::atomic<int64_t> period{-1};
    std::atomic<int64_t> madeNs{0};
    std::atomic<std::size_t> length{0};
    std::array<std::atomic<uint64_t>, Line::kBytes / kWordBytes> words{};
  };
  std::unique_ptr<Slot[]> slots_;
};
