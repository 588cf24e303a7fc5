#include "take/ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

bool PeriodRing::Reserve(size_t slotBytes, int32_t periodFrames,
                         uint32_t sampleRate) {
  if (periodFrames <= 0 || slotBytes == 0) return false;
  // One slot more than the time needs: the capture thread fills one while
  // the writer writes another.
  const uint64_t frames = uint64_t{kRingSeconds} * sampleRate;
  const uint64_t slots =
      (frames + static_cast<uint64_t>(periodFrames) - 1) / periodFrames + 1;
  if (slots > std::numeric_limits<size_t>::max() / slotBytes) return false;
  // Every page supplied now, in one call: no page fault during the take;
  // and locked where the system allows, so that none is paged out either.
  const size_t bytes = slots * slotBytes;
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory == MAP_FAILED) return false;
  memory_ = {static_cast<uint8_t*>(memory), Unmap{bytes}};
  [[maybe_unused]] const int locked = mlock(memory, bytes);
  if (slots >= std::numeric_limits<uint32_t>::max()) return false;
  entries_.reset(new (std::nothrow) Entry[slots]());
  below_.reset(new (std::nothrow) std::atomic<uint32_t>[slots]());
  if (!entries_ || !below_) return false;
  slots_ = slots;
  slotBytes_ = slotBytes;
  // Slot 0 on top.
  for (size_t slot = slots; slot-- > 0;) Push(static_cast<uint32_t>(slot));
  batch_ = std::clamp<uint64_t>(
      static_cast<uint64_t>(std::ceil(kBatchSeconds * sampleRate /
                                      static_cast<double>(periodFrames))),
      1, slots - 1);
  return true;
}

void PeriodRing::Unmap::operator()(uint8_t* memory) const {
  munmap(memory, bytes);
}

void PeriodRing::Push(uint32_t slot) {
  uint32_t top = top_.load();
  do {
    below_[slot].store(top);
  } while (!top_.compare_exchange_weak(top, slot + 1));
}

uint32_t PeriodRing::Pop() {
  uint32_t top = top_.load();
  // Only this thread takes: the slot on top stays there, with what lies
  // below it, until it is taken or another is put above it.
  while (top != 0 && !top_.compare_exchange_weak(top, below_[top - 1].load())) {
  }
  return top;
}

uint8_t* PeriodRing::Free() {
  for (;;) {
    if (stopped_.load()) return nullptr;
    if (const uint32_t top = Pop(); top != 0) {
      filling_ = top - 1;
      return memory_.get() + filling_ * slotBytes_;
    }
    space_.Arm();
    if (top_.load() != 0 || stopped_.load()) continue;
    data_.Ring();  // a full ring is a batch whatever its size
    space_.Sleep();
  }
}

void PeriodRing::Publish(int32_t frames, int64_t nowNs) {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  entries_[head % slots_] = {filling_, frames};
  head_.store(head + 1);
  const uint64_t waiting = head + 1 - tail_.load();
  if ((waiting >= batch_ && nowNs - rungNs_ >= kMinWakeNs) ||
      4 * waiting >= slots_) {
    rungNs_ = nowNs;
    data_.Ring();
  }
}

void PeriodRing::Close() {
  closed_.store(true);
  data_.Ring();
}

size_t PeriodRing::Next(size_t* first) {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  for (;;) {
    // The end is looked at first: once it is seen, every period published
    // before it is seen too.
    const bool ended = Ended();
    const uint64_t head = head_.load();
    if (head != tail) {
      *first = tail % slots_;
      return std::min<size_t>(head - tail, slots_ - *first);
    }
    if (ended) return 0;
    data_.Arm();
    if (head_.load() != tail || Ended()) continue;
    data_.Sleep();
  }
}

void PeriodRing::Release(size_t count) {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  // The last written goes on top: it is the one most likely in the cache.
  for (uint64_t entry = tail; entry < tail + count; ++entry) {
    Push(entries_[entry % slots_].slot);
  }
  tail_.store(tail + count);
  space_.Ring();
}

void PeriodRing::Stop() {
  stopped_.store(true);
  data_.Ring();
  space_.Ring();
}
