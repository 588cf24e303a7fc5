#include "record/ring.h"

#include <cstring>
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
  memory_.reset(new (std::nothrow) uint8_t[slots * slotBytes]);
  frames_.reset(new (std::nothrow) int32_t[slots]);
  if (!memory_ || !frames_) return false;
  // Touched now, so that no page is first faulted in during the take.
  std::memset(memory_.get(), 0, slots * slotBytes);
  slots_ = slots;
  slotBytes_ = slotBytes;
  return true;
}

uint8_t* PeriodRing::Free() {
  std::unique_lock lock(mutex_);
  space_.wait(lock, [&] { return closed_ || published_ - released_ < slots_; });
  if (closed_) return nullptr;
  return memory_.get() + (published_ % slots_) * slotBytes_;
}

bool PeriodRing::Publish(int32_t frames) {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  frames_[published_ % slots_] = frames;
  ++published_;
  // A quarter of the ring waiting: the writer is behind, wake it now.
  data_.Ring(MonotonicNs(), 4 * (published_ - released_) >= slots_);
  return true;
}

bool PeriodRing::Next(Slot* slot) {
  std::unique_lock lock(mutex_);
  while (published_ == released_) {
    if (closed_) return false;
    data_.Wait(lock);
  }
  const size_t at = released_ % slots_;
  slot->pair = memory_.get() + at * slotBytes_;
  slot->frames = frames_[at];
  return true;
}

void PeriodRing::Release() {
  std::lock_guard lock(mutex_);
  ++released_;
  space_.notify_one();
}

void PeriodRing::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  space_.notify_all();
  data_.Ring(MonotonicNs(), true);
}
