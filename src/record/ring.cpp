#include "record/ring.h"

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
  frames_.reset(new (std::nothrow) int32_t[slots]());
  if (!frames_) return false;
  slots_ = slots;
  slotBytes_ = slotBytes;
  batch_ = std::clamp<uint64_t>(
      static_cast<uint64_t>(std::ceil(kBatchSeconds * sampleRate /
                                      static_cast<double>(periodFrames))),
      1, slots - 1);
  return true;
}

void PeriodRing::Unmap::operator()(uint8_t* memory) const {
  munmap(memory, bytes);
}

uint8_t* PeriodRing::Free() {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  for (;;) {
    if (stopped_.load()) return nullptr;
    if (head - tail_.load() < slots_) {
      return memory_.get() + (head % slots_) * slotBytes_;
    }
    space_.Arm();
    if (head - tail_.load() < slots_ || stopped_.load()) continue;
    data_.Ring();  // a full ring is a batch whatever its size
    space_.Sleep();
  }
}

void PeriodRing::Publish(int32_t frames) {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  frames_[head % slots_] = frames;
  head_.store(head + 1);
  if (head + 1 - tail_.load() >= batch_) data_.Ring();
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
  tail_.store(tail_.load(std::memory_order_relaxed) + count);
  space_.Ring();
}

void PeriodRing::Stop() {
  stopped_.store(true);
  data_.Ring();
  space_.Ring();
}
