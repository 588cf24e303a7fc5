// How a producer thread wakes the thread that consumes what it makes: at
// once when the consumer has fallen far behind or must act now, otherwise
// at most once every kIntervalNs. Items that come slower than that (the
// periods of a sound card) each wake the consumer; items that come faster
// (an unpaced device) are taken in batches, so a period costs no wake-up.
// An item that came within the interval waits for the next one, or for
// the end of the take.
#pragma once

#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

inline int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Every member is under the owner's mutex.
struct Doorbell {
  static constexpr int64_t kIntervalNs = 40'000'000;

  // Producer: there is new work; `urgent` when it must not wait. Returns
  // true when the consumer sleeps and must be woken: by bell.notify_one(),
  // best after the mutex is released, or it wakes only to wait for it.
  bool Ring(int64_t nowNs, bool urgent) {
    if (!urgent && nowNs - lastRingNs < kIntervalNs) return false;
    rung = true;
    lastRingNs = nowNs;
    return sleeping;
  }

  // Consumer: sleeps until rung.
  void Wait(std::unique_lock<std::mutex>& lock) {
    sleeping = true;
    bell.wait(lock, [&] { return rung; });
    sleeping = false;
    rung = false;
  }

  std::condition_variable bell;
  bool sleeping = false;
  bool rung = false;
  int64_t lastRingNs = 0;
};

// Tells the take thread, which waits on the eventfd `fd`, to look again.
inline void Wake(int fd) {
  const uint64_t one = 1;
  // A full counter already says "look again".
  [[maybe_unused]] const ssize_t ignored = write(fd, &one, sizeof one);
}
