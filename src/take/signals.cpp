#include "take/signals.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

namespace {

// Lock-free, so the handler may touch them whichever thread it runs on.
std::atomic<int> firstSignal{0};
std::atomic<int> signalCount{0};
static_assert(std::atomic<int>::is_always_lock_free);

void Record(int signal) {
  int none = 0;
  firstSignal.compare_exchange_strong(none, signal);
  signalCount.fetch_add(1);
}

// The signals whose default action ends the process, less the faults and
// the two that only report a lost console or a file size limit: those are
// ignored, so that they show as a failed write.
sigset_t Catchable() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                SIGPWR, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO}) {
    sigaddset(&set, s);
  }
#ifdef SIGSTKFLT
  sigaddset(&set, SIGSTKFLT);
#endif
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
  return set;
}

sigset_t caught;

}  // namespace

void CatchEndingSignals() {
  sigemptyset(&caught);
  const sigset_t candidates = Catchable();
  struct sigaction record {};
  record.sa_handler = Record;
  // No handler runs inside another's: the first signal delivered is the
  // first recorded.
  record.sa_mask = candidates;
  record.sa_flags = 0;  // no SA_RESTART: a wait for a FIFO's reader ends
  for (int s = 1; s <= SIGRTMAX; ++s) {
    if (sigismember(&candidates, s) != 1) continue;
    struct sigaction old {};
    // A signal ignored when we started (nohup) stays ignored.
    if (sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) {
      continue;
    }
    if (sigaction(s, &record, nullptr) == 0) sigaddset(&caught, s);
  }
}

const sigset_t& EndingSignals() { return caught; }

int FirstEndingSignal() { return firstSignal.load(); }

int EndingSignalCount() { return signalCount.load(); }

void EndBySignal(int signal) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signal, &dfl, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  // Delivered to this thread as soon as it is unblocked; its default
  // action ends the whole process, the other threads with it.
  raise(signal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  _exit(128 + signal);  // not reached
}

void LetEndingSignalsEnd() {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int s = 1; s <= SIGRTMAX; ++s) {
    if (sigismember(&caught, s) == 1) sigaction(s, &dfl, nullptr);
  }
  pthread_sigmask(SIG_UNBLOCK, &caught, nullptr);
}
