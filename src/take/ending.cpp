#include "take/ending.h"

#include <algorithm>

namespace {

// Waits end a millisecond past a rule's moment, so that the rule holds
// when the take looks again.
constexpr int64_t kPastNs = 1'000'000;

// Once the writer has finished, the take ends, unless a capture that was
// not told to stop has yet to finish.
std::optional<Ending> AfterWriter(const TakeLook& look, bool stalled) {
  if (!look.writerFinished) return std::nullopt;
  if (look.writeFailed) return Ending::kWriteFailed;
  if (look.signalled) return Ending::kSignal;
  if (stalled) return Ending::kDeviceFailed;
  // The capture closed the ring; it has one step left to finish.
  if (!look.captureFinished) return std::nullopt;
  return look.captureError != 0 ? Ending::kDeviceFailed : Ending::kComplete;
}

// Until the stall rule or the capture's grace could next end the take.
int64_t UntilNextRule(const TakeLook& look, int64_t stopNs) {
  const int64_t now = look.nowNs;
  int64_t wait = kStallNs;
  if (look.idleSinceNs != 0) {
    wait = std::max<int64_t>(look.idleSinceNs + kStallNs - now, 0) + kPastNs;
  }
  if (stopNs != 0 && !look.captureFinished) {
    wait = std::min(
        wait, std::max<int64_t>(stopNs + kCaptureStopNs - now, 0) + kPastNs);
  }
  return wait;
}

}  // namespace

EndingStep DecideEnding(const TakeLook& look) {
  const int64_t now = look.nowNs;
  EndingStep step;
  step.stalled = look.stalled ||
                 (look.idleSinceNs != 0 && now - look.idleSinceNs > kStallNs);
  step.stopNs = look.stopNs;
  if ((look.signalled || step.stalled) && step.stopNs == 0) {
    step.stopCapture = true;
    step.stopNs = now;
  }
  step.stopRing = step.stopNs != 0 && !look.captureFinished &&
                  now - step.stopNs >= kCaptureStopNs;
  step.ending = AfterWriter(look, step.stalled);
  if (step.ending) {
    // A failed disk ends a capture that would otherwise go on.
    step.stopCapture = step.stopCapture || step.ending == Ending::kWriteFailed;
    return step;
  }
  step.waitNs = UntilNextRule(look, step.stopNs);
  if (look.signalled && look.signalCount >= 2 && look.writingSinceNs != 0) {
    // The disk has stalled under a take asked twice to end: end with what
    // it holds.
    if (now - look.writingSinceNs >= kStuckWriteNs) {
      step.ending = Ending::kSignal;
    } else {
      step.waitNs =
          std::min(step.waitNs, look.writingSinceNs + kStuckWriteNs - now);
    }
  }
  return step;
}
