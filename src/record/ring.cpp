#include "record/ring.h"

#include <sys/mman.h>

#include <algorithm>
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
  // Every page supplied now, in one call: no page fault during the take.
  const size_t bytes = slots * slotBytes;
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (memory == MAP_FAILED) return false;
  memory_ = {static_cast<uint8_t*>(memory), Unmap{bytes}};
  frames_.reset(new (std::nothrow) int32_t[slots]);
  if (!frames_) return false;
  slots_ = slots;
  slotBytes_ = slotBytes;
  return true;
}

void PeriodRing::Unmap::operator()(uint8_t* memory) const {
  munmap(memory, bytes);
}

uint8_t* PeriodRing::Free() {
  std::unique_lock lock(mutex_);
  return FreeSlot(lock);
}

uint8_t* PeriodRing::Publish(int32_t frames, int64_t nowNs) {
  std::unique_lock lock(mutex_);
  if (closed_) return nullptr;
  frames_[head_] = frames;
  head_ = (head_ + 1) % slots_;
  ++filled_;
  // Half the ring waiting: the writer is behind, or the device is faster
  // than real time and the periods come in batches. Wake it now.
  const bool wake = data_.Ring(nowNs, 4 * filled_ >= 3 * slots_);
  if (filled_ < slots_) {
    uint8_t* next = FreeSlot(lock);
    lock.unlock();
    if (wake) data_.bell.notify_one();
    return next;
  }
  if (wake) data_.bell.notify_one();
  return FreeSlot(lock);
}

uint8_t* PeriodRing::FreeSlot(std::unique_lock<std::mutex>& lock) {
  if (filled_ == slots_ && data_.Ring(MonotonicNs(), true)) {
    data_.bell.notify_one();
  }
  space_.wait(lock, [&] { return closed_ || filled_ < slots_; });
  if (closed_) return nullptr;
  if (filled_ == 0) head_ = tail_ = 0;
  return memory_.get() + head_ * slotBytes_;
}

size_t PeriodRing::Next(size_t* first) {
  std::unique_lock lock(mutex_);
  while (filled_ == 0) {
    if (closed_) return 0;
    data_.Wait(lock);
  }
  *first = tail_;
  return std::min(filled_, slots_ - tail_);
}

void PeriodRing::Release(size_t count) {
  std::lock_guard lock(mutex_);
  tail_ = (tail_ + count) % slots_;
  filled_ -= count;
  space_.notify_one();
}

void PeriodRing::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  space_.notify_all();
  if (data_.Ring(MonotonicNs(), true)) data_.bell.notify_one();
}
