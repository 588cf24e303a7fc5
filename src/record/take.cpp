// Runs on the main thread: the take from its start to the end of the
// process; see take.h.
#include "record/take.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>

#include "record/signals.h"

namespace {

// After a second signal, a write stuck this long is given up on.
constexpr int64_t kStuckWriteNs = 500'000'000;

enum class Ending { kComplete, kDeviceFailed, kWriteFailed, kSignal };

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

// Ends capture; the writer still writes what was captured before.
void StopCapture(Take& take) {
  take.capture.watch.stop.store(true);
  take.ring.Close();
}

Ending AwaitEnding(Take& take, int wakeFd, const sigset_t& open) {
  bool stopped = false;
  for (;;) {
    const int64_t now = MonotonicNs();
    const int64_t idleSince = take.capture.watch.idleSinceNs.load();
    take.stalled =
        take.stalled || (idleSince != 0 && now - idleSince > kStallNs);
    const bool signalled = FirstEndingSignal() != 0;
    if ((signalled || take.stalled) && !stopped) {
      StopCapture(take);
      stopped = true;
    }
    if (take.writer.finished.load()) {
      if (take.writer.failure) {
        StopCapture(take);
        return Ending::kWriteFailed;
      }
      if (signalled) return Ending::kSignal;
      if (take.stalled) return Ending::kDeviceFailed;
      // The capture closed the ring; it has one step left to finish.
      if (take.capture.finished.load()) {
        return take.capture.error != 0 ? Ending::kDeviceFailed
                                       : Ending::kComplete;
      }
    }
    int64_t timeout = kStallNs;
    if (idleSince != 0)
      timeout = std::max<int64_t>(idleSince + kStallNs - now, 0) + 1'000'000;
    const int64_t writingSince = take.writer.writingSinceNs.load();
    if (signalled && EndingSignalCount() >= 2 && writingSince != 0) {
      // The disk has stalled under a take asked twice to end: end with what
      // it holds.
      if (now - writingSince >= kStuckWriteNs) return Ending::kSignal;
      timeout = std::min(timeout, writingSince + kStuckWriteNs - now);
    }
    Await(wakeFd, timeout, open);
  }
}

// The failure's message on standard error, after everything shown before
// it, then exit status 1.
[[noreturn]] void EndFailed(Take& take, const char* format, const char* what,
                            const char* why) {
  std::array<char, 2 * kNameBufferBytes> message;
  std::snprintf(message.data(), message.size(), format, what, why);
  take.console.Say(2, message.data());
  take.console.Join();
  _exit(1);
}

// A take that failed midway: the files keep what was captured, and their
// headers say so.
[[noreturn]] void Fail(Take& take, const char* format, const char* what,
                       const char* why) {
  MendOutputs(take.outputs);
  CloseOutputs(take.outputs);
  take.console.Finish();
  EndFailed(take, format, what, why);
}

[[noreturn]] void Complete(Take& take) {
  const Capture& capture = take.capture;
  const ChannelMode& mode = capture.mode;
  const uint64_t dataBytes =
      static_cast<uint64_t>(capture.totalFrames) * mode.blockAlign;
  OutputFailure failure = CheckOutputs(take.outputs, dataBytes);
  if (!failure) failure = SyncOutputs(take.outputs);
  if (failure) MendOutputs(take.outputs);
  const OutputFailure closing = CloseOutputs(take.outputs);
  if (!failure) failure = closing;

  take.console.Finish();
  Line report;
  PeakReport(report, capture.takePeak, mode.channelOn, mode.stereo,
             capture.device.bytesPerSample);
  if (capture.overrunCount != 0) {
    report.Print("\nRecord Overruns = %i\n", capture.overrunCount);
  }
  take.console.Say(ConsoleFd(), report.View());
  if (failure) {
    EndFailed(take, "\nCan't write %s: %s\n", failure.name, failure.reason);
  }
  take.console.Say(ConsoleFd(), "Done\n");
  snd_pcm_drain(capture.device.pcm);
  snd_pcm_close(capture.device.pcm);
  take.console.Join();
  _exit(0);
}

}  // namespace

std::unique_ptr<Take> ReserveTake(const Device& device, const ChannelMode& mode,
                                  uint32_t sampleRate, int32_t totalFrames) {
  std::unique_ptr<Take> take(new (std::nothrow) Take);
  if (!take || device.periodFrames <= 0) return nullptr;
  const uint64_t pairBytes =
      2ULL * device.bytesPerSample * static_cast<uint64_t>(device.periodFrames);
  if (pairBytes > std::numeric_limits<size_t>::max() / 2) return nullptr;
  Capture& capture = take->capture;
  capture.device = device;
  capture.mode = mode;
  capture.sampleRate = sampleRate;
  capture.totalFrames = totalFrames;
  capture.ring = &take->ring;
  capture.console = &take->console;
  Writer& writer = take->writer;
  writer.mode = mode;
  writer.outputs = &take->outputs;
  writer.ring = &take->ring;
  writer.half = pairBytes / 2;
  if (!take->ring.Reserve(pairBytes, device.periodFrames, sampleRate) ||
      !take->console.Reserve(totalFrames / device.periodFrames) ||
      !ReserveCapture(capture, pairBytes)) {
    return nullptr;
  }
  return take;
}

void RunTake(Take& take, const Outputs& outputs) {
  take.outputs = outputs;
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  take.capture.wakeFd = take.writer.wakeFd = wakeFd;
  // The threads start with the ending signals blocked, so only this thread
  // takes them, and only while it waits.
  sigset_t open;
  pthread_sigmask(SIG_BLOCK, &EndingSignals(), &open);
  std::fflush(ConsoleStream());
  take.console.Say(ConsoleFd(), take.capture.mode.stereo == 1
                                    ? "Recording in Stereo\n"
                                    : "Recording\n");
  std::thread(&Console::Run, &take.console).detach();
  std::thread(RunWriter, std::ref(take.writer)).detach();
  std::thread(RunCapture, std::ref(take.capture)).detach();

  switch (AwaitEnding(take, wakeFd, open)) {
    case Ending::kComplete:
      Complete(take);
    case Ending::kSignal:
      MendOutputs(take.outputs);
      EndBySignal(FirstEndingSignal());
    case Ending::kWriteFailed:
      Fail(take, "\nCan't write %s: %s\n", take.writer.failure.name,
           take.writer.failure.reason);
    case Ending::kDeviceFailed:
      Fail(take, "\nunable to read from pcm record device: %s%s\n",
           snd_strerror(take.stalled ? -EAGAIN : take.capture.error), "");
  }
  _exit(1);  // not reached
}
