// How one thread wakes another that sleeps waiting for its work, without a
// lock: a pending flag that merges wake-ups. However often it is rung, a
// sleeper is woken once, and ringing costs no system call while the sleeper
// is awake (the flag is already up), so a producer that may not wait (the
// capture thread) can ring it at any time.
//
// The consumer's loop:
//   for (;;) {
//     ... take all the work there is ...
//     bell.Arm();
//     if (there is work) continue;  // came in before the flag went down
//     bell.Sleep();
//   }
// The producer publishes its work first, then rings. Both steps of each
// side are sequentially consistent, so either the consumer sees the work
// or the producer sees the flag down and wakes it.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

class Bell {
 public:
  void Ring() {
    if (rung_.exchange(1) == 0) Futex(FUTEX_WAKE_PRIVATE, 1);
  }
  void Arm() { rung_.store(0); }
  // Straight to the kernel: a sleep that spins or yields first (as
  // std::atomic::wait may) costs system calls for every period.
  void Sleep() {
    while (rung_.load() == 0) Futex(FUTEX_WAIT_PRIVATE, 0);
  }

 private:
  void Futex(int operation, uint32_t value) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&rung_), operation, value,
            nullptr, nullptr, 0);
  }
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                std::atomic<uint32_t>::is_always_lock_free);
  std::atomic<uint32_t> rung_{0};
};

// Tells the take thread, which waits on the eventfd `fd`, to look again.
inline void Wake(int fd) {
  const uint64_t one = 1;
  // A full counter already says "look again".
  [[maybe_unused]] const ssize_t ignored = write(fd, &one, sizeof one);
}
