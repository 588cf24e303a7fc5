#include "record/ring.h"

#include <sys/mman.h>

#include <algorithm>
#include <limits>
#include <new>

constexpr size_t kHugePageBytes = 2 * 1024 * 1024;

bool PeriodRing::Reserve(size_t slotBytes, int32_t periodFrames,
                         uint32_t sampleRate) {
  if (periodFrames <= 0 || slotBytes == 0) return false;
  // One slot more than the time needs: the capture thread fills one while
  // the writer writes another.
  const uint64_t frames = uint64_t{kRingSeconds} * sampleRate;
  const uint64_t slots =
      (frames + static_cast<uint64_t>(periodFrames) - 1) / periodFrames + 1;
  if (slots > std::numeric_limits<size_t>::max() / slotBytes) return false;
  // Whole huge pages, so that the system can use them.
  const size_t bytes = (slots * slotBytes + kHugePageBytes - 1) /
                       kHugePageBytes * kHugePageBytes;
  void* mapped = mmap(nullptr, bytes + kHugePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return false;
  const auto start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned =
      (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  memory_ = {reinterpret_cast<uint8_t*>(aligned),
             Unmap{static_cast<uint8_t*>(mapped), bytes + kHugePageBytes}};
  void* memory = memory_.get();
  frames_.reset(new (std::nothrow) int32_t[slots]);
  if (!frames_) return false;
  // In huge pages where the system has them: the few that a stalled disk
  // fills are faulted in with a few page faults, not thousands.
  madvise(memory, bytes, MADV_HUGEPAGE);
  slots_ = slots;
  slotBytes_ = slotBytes;
  return true;
}

void PeriodRing::Unmap::operator()(uint8_t*) const { munmap(mapped, bytes); }

uint8_t* PeriodRing::Free() {
  std::unique_lock lock(mutex_);
  if (filled_ == slots_) data_.Ring(MonotonicNs(), true);
  space_.wait(lock, [&] { return closed_ || filled_ < slots_; });
  if (closed_) return nullptr;
  if (filled_ == 0) head_ = tail_ = 0;
  return memory_.get() + head_ * slotBytes_;
}

bool PeriodRing::Publish(int32_t frames, int64_t nowNs) {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  frames_[head_] = frames;
  head_ = (head_ + 1) % slots_;
  ++filled_;
  // Half the ring waiting: the writer is behind, or the device is faster
  // than real time and the periods come in batches. Wake it now.
  data_.Ring(nowNs, 2 * filled_ >= slots_);
  return true;
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
  data_.Ring(MonotonicNs(), true);
}
