// Runs on the main thread: the take from its start to the end of the
// process; see take.h.
#include "take/take.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "base/clock.h"
#include "base/failure.h"
#include "take/ending.h"
#include "take/signals.h"

namespace {

// A stall is told as a device that has nothing to give.
Failure DeviceFailed(const Take& take) {
  const int error = take.stalled ? -EAGAIN : take.capture.error;
  return {"", Printed("\nunable to read from pcm record device: %s\n",
                      snd_strerror(error))};
}

// Sleeps until a thread wakes `wakeFd`, a signal comes or `timeoutNs`
// passes. Only here are the ending signals let in.
void Await(int wakeFd, int64_t timeoutNs, const sigset_t& open) {
  pollfd wake = {wakeFd, POLLIN, 0};
  const timespec timeout = {static_cast<time_t>(timeoutNs / 1'000'000'000),
                            static_cast<long>(timeoutNs % 1'000'000'000)};
  if (ppoll(&wake, 1, &timeout, &open) > 0) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = read(wakeFd, &count, sizeof count);
  }
}

// The console draws the status line about this often, waking for all the
// periods' lines that came meanwhile.
constexpr double kConsoleRedrawSeconds = 0.1;

int64_t ConsoleWakeEvery(const Device& device) {
  return static_cast<int64_t>(kConsoleRedrawSeconds * device.sampleRate /
                              device.periodFrames);
}

// Ends capture; the writer still writes what was captured before.
void StopCapture(Take& take) { take.capture.watch.stop.store(true); }

// What the take thread sees of the take at this moment.
TakeLook Look(const Take& take, int64_t stopNs) {
  TakeLook look;
  look.nowNs = MonotonicNs();
  look.idleSinceNs = take.capture.watch.idleSinceNs.load();
  look.signalled = FirstEndingSignal() != 0;
  look.signalCount = EndingSignalCount();
  look.captureFinished = take.capture.finished.load();
  look.writerFinished = take.writer.finished.load();
  // A thread's results are its own until it has finished.
  if (look.captureFinished) look.captureError = take.capture.error;
  if (look.writerFinished)
    look.writeFailed = static_cast<bool>(take.writer.failure);
  look.writingSinceNs = take.writer.writingSinceNs.load();
  look.stopNs = stopNs;
  look.stalled = take.stalled;
  return look;
}

Ending AwaitEnding(Take& take, const sigset_t& open) {
  int64_t stopNs = 0;  // when capture was told to stop
  for (;;) {
    const EndingStep step = DecideEnding(Look(take, stopNs));
    take.stalled = step.stalled;
    stopNs = step.stopNs;
    if (step.stopCapture) StopCapture(take);
    if (step.stopRing) take.ring.Stop();
    if (step.ending) return *step.ending;
    Await(take.wakeFd, step.waitNs, open);
  }
}

// A take that failed midway: the files keep what was captured, and their
// headers say so. The files are done: a signal from here on ends the process
// at once.
Failure Failed(Take& take, Failure failure) {
  MendOutputs(take.outputs);
  CloseOutputs(take.outputs);
  take.console.Finish();
  LetEndingSignalsEnd();
  return failure;
}

// The report at the end of a complete take; a file that turns out short or
// cannot be put on storage fails it even so.
std::optional<Failure> Complete(Take& take) {
  const Capture& capture = take.capture;
  const uint64_t dataBytes =
      static_cast<uint64_t>(capture.totalFrames) * take.outputs.blockAlign;
  OutputFailure failure = CheckOutputs(take.outputs, dataBytes);
  if (!failure) failure = SyncOutputs(take.outputs);
  if (failure) MendOutputs(take.outputs);
  const OutputFailure closing = CloseOutputs(take.outputs);
  if (!failure) failure = closing;
  // The files are done: a signal from here on ends the process at once.
  LetEndingSignalsEnd();

  take.console.Finish();
  Line report;
  PeakReport(report, capture.meter.TakePeak(), capture.layout,
             capture.device.bytesPerSample);
  if (capture.overrunCount != 0) {
    report.Print("\nRecord Overruns = %i\n", capture.overrunCount);
  }
  take.console.Say(ConsoleFd(), report.View());
  if (capture.overrunCount != 0) {
    Line lost;
    lost.Print("zelk: %.2f s of the take were not captured\n",
               static_cast<double>(capture.lostNs) / 1e9);
    take.console.Say(2, lost.View());
  }
  if (failure) return Told(failure);
  return std::nullopt;
}

// The one way out of a take that did not end by a signal: its failure told
// after everything the console was given before it, and its exit status.
[[noreturn]] void End(Take& take, const std::optional<Failure>& failure) {
  if (!failure) take.console.Say(ConsoleFd(), "Done\n");
  take.console.Join();
  if (failure) Tell(*failure);
  _exit(failure ? 1 : 0);
}

// The stack a thread is given. The sanitizers keep their own state on the
// threads' stacks: they get the system's default.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackBytes = 0;
#else
constexpr size_t kStackBytes = size_t{512} * 1024;
#endif
// What a thread touches of its stack before it reports ready: every page it
// will use, with room to spare.
constexpr size_t kTouchedStackBytes = size_t{128} * 1024;

// Each thread, once running, touches its stack, so that no page of it is
// found missing once the files exist, then waits until the files are open
// or the start is refused.
[[gnu::noinline]] void TouchStack() {
  std::array<volatile uint8_t, kTouchedStackBytes> stack;
  for (size_t i = 0; i < stack.size(); i += 1024) stack[i] = 0;
}

bool AwaitStart(Take& take) {
  TouchStack();
  take.ready.fetch_add(1);
  take.ready.notify_all();
  take.start.wait(Take::kWaiting);
  return take.start.load() == Take::kGo;
}

void* CaptureThread(void* take) {
  RaiseCapturePriority();
  if (AwaitStart(*static_cast<Take*>(take))) {
    RunCapture(static_cast<Take*>(take)->capture);
  }
  return nullptr;
}

void* WriterThread(void* take) {
  if (AwaitStart(*static_cast<Take*>(take))) {
    RunWriter(static_cast<Take*>(take)->writer);
  }
  return nullptr;
}

void* ConsoleThread(void* take) {
  if (AwaitStart(*static_cast<Take*>(take))) {
    static_cast<Take*>(take)->console.Run();
  }
  return nullptr;
}

// Starts the three threads with the ending signals blocked, and waits until
// each has its stack. Returns 0 or the reason they could not be had.
int MakeThreads(Take& take) {
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &EndingSignals(), &saved);
  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err == 0 && kStackBytes != 0) {
    err = pthread_attr_setstacksize(&attr, kStackBytes);
  }
  void* (*const runs[])(void*) = {ConsoleThread, WriterThread, CaptureThread};
  for (auto* run : runs) {
    if (err == 0)
      err = pthread_create(&take.threads[take.threadCount], &attr, run, &take);
    if (err == 0) ++take.threadCount;
  }
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  for (int ready = 0; ready < take.threadCount; ready = take.ready.load()) {
    take.ready.wait(ready);
  }
  return err;
}

}  // namespace

Take::~Take() {
  // Only a refused start gets here: its threads are still waiting.
  start.store(kAbandoned);
  start.notify_all();
  for (int i = 0; i < threadCount; ++i) pthread_join(threads[i], nullptr);
  if (wakeFd >= 0) close(wakeFd);
}

std::variant<std::unique_ptr<Take>, Failure> ReserveTake(const Device& device,
                                                         Layout layout,
                                                         int32_t totalFrames) {
  std::unique_ptr<Take> take(new (std::nothrow) Take);
  const uint64_t pairBytes =
      2ULL * device.bytesPerSample * static_cast<uint64_t>(device.periodFrames);
  bool reserved = take && device.periodFrames > 0 &&
                  pairBytes <= std::numeric_limits<size_t>::max() / 2;
  if (reserved) {
    Capture& capture = take->capture;
    capture.device = device;
    capture.layout = layout;
    capture.totalFrames = totalFrames;
    capture.ring = &take->ring;
    capture.console = &take->console;
    Writer& writer = take->writer;
    writer.layout = layout;
    writer.outputs = &take->outputs;
    writer.ring = &take->ring;
    writer.half = pairBytes / 2;
    reserved =
        take->ring.Reserve(pairBytes, device.periodFrames, device.sampleRate) &&
        take->console.Reserve(totalFrames / device.periodFrames,
                              ConsoleWakeEvery(device)) &&
        ReserveCapture(capture, pairBytes);
  }
  if (!reserved) return Failure{"", "Can't allocate recording buffers\n"};
  take->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int err = take->wakeFd < 0 ? errno : MakeThreads(*take);
  if (err != 0) {
    return Failure{
        "", Printed("Can't start the recording threads: %s\n", ErrorText(err))};
  }
  take->capture.wakeFd = take->writer.wakeFd = take->wakeFd;
  return take;
}

void RunTake(Take& take) {
  // Only this thread takes the ending signals, and only while it waits.
  sigset_t open;
  pthread_sigmask(SIG_BLOCK, &EndingSignals(), &open);
  std::fflush(ConsoleStream());
  take.console.Say(ConsoleFd(), take.capture.layout == Layout::kStereo
                                    ? "Recording in Stereo\n"
                                    : "Recording\n");
  take.start.store(Take::kGo);
  take.start.notify_all();
  // The process ends without them.
  for (int i = 0; i < take.threadCount; ++i) pthread_detach(take.threads[i]);

  switch (AwaitEnding(take, open)) {
    case Ending::kComplete:
      End(take, Complete(take));
    case Ending::kSignal:
      MendOutputs(take.outputs);
      EndBySignal(FirstEndingSignal());
    case Ending::kWriteFailed:
      End(take, Failed(take, Told(take.writer.failure)));
    case Ending::kDeviceFailed:
      End(take, Failed(take, DeviceFailed(take)));
  }
  _exit(1);  // not reached
}
