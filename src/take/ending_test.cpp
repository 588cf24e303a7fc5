#include "take/ending.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kS = 1000 * kMs;
constexpr int64_t kNow = 100 * kS;
constexpr int64_t kStopped = kNow - kS;  // a capture told to stop before

struct Row {
  const char* what;
  TakeLook look;
  EndingStep want;  // its wait is only looked at while the take goes on
};

const Row kRows[] = {
    {"a take under way looks again by the stall rule",
     {.nowNs = kNow},
     {.waitNs = kStallNs}},
    {"an idle device: until a millisecond past the stall rule",
     {.nowNs = kNow, .idleSinceNs = kNow - 3 * kS},
     {.waitNs = 7 * kS + kMs}},
    {"idle for exactly the stall rule is not yet a stall",
     {.nowNs = kNow, .idleSinceNs = kNow - kStallNs},
     {.waitNs = kMs}},
    {"idle for longer stops the capture and gives it its grace",
     {.nowNs = kNow, .idleSinceNs = kNow - kStallNs - 1},
     {.stopCapture = true, .stalled = true, .stopNs = kNow, .waitNs = kMs}},
    {"a stall found before stays, and the capture is told once",
     {.nowNs = kNow, .stopNs = kNow - 200 * kMs, .stalled = true},
     {.stalled = true, .stopNs = kNow - 200 * kMs, .waitNs = 301 * kMs}},
    {"a signal stops the capture and waits for its grace",
     {.nowNs = kNow, .signalled = true, .signalCount = 1},
     {.stopCapture = true, .stopNs = kNow, .waitNs = kCaptureStopNs + kMs}},
    {"a capture past its grace has the ring stopped",
     {.nowNs = kNow, .signalled = true, .stopNs = kNow - kCaptureStopNs},
     {.stopRing = true, .stopNs = kNow - kCaptureStopNs, .waitNs = kMs}},
    {"a capture that finished in its grace waits for the writer",
     {.nowNs = kNow,
      .signalled = true,
      .captureFinished = true,
      .stopNs = kStopped},
     {.stopNs = kStopped, .waitNs = kStallNs}},
    {"a failed write ends the take and its capture",
     {.nowNs = kNow, .writerFinished = true, .writeFailed = true},
     {.ending = Ending::kWriteFailed, .stopCapture = true}},
    {"a failed write comes before a signal",
     {.nowNs = kNow,
      .signalled = true,
      .captureFinished = true,
      .writerFinished = true,
      .writeFailed = true,
      .stopNs = kStopped},
     {.ending = Ending::kWriteFailed, .stopCapture = true, .stopNs = kStopped}},
    {"a signal, once the writer is done",
     {.nowNs = kNow,
      .signalled = true,
      .writerFinished = true,
      .stopNs = kStopped},
     {.ending = Ending::kSignal, .stopRing = true, .stopNs = kStopped}},
    {"a signal comes before a stall",
     {.nowNs = kNow,
      .signalled = true,
      .captureFinished = true,
      .writerFinished = true,
      .stopNs = kStopped,
      .stalled = true},
     {.ending = Ending::kSignal, .stalled = true, .stopNs = kStopped}},
    {"a stall fails the device whatever the capture says",
     {.nowNs = kNow,
      .captureFinished = true,
      .writerFinished = true,
      .stopNs = kStopped,
      .stalled = true},
     {.ending = Ending::kDeviceFailed, .stalled = true, .stopNs = kStopped}},
    {"a writer done before the capture waits for its last step",
     {.nowNs = kNow, .writerFinished = true},
     {.waitNs = kStallNs}},
    {"both done: complete",
     {.nowNs = kNow, .captureFinished = true, .writerFinished = true},
     {.ending = Ending::kComplete}},
    {"both done with a device error: failed device",
     {.nowNs = kNow,
      .captureFinished = true,
      .captureError = -5,
      .writerFinished = true},
     {.ending = Ending::kDeviceFailed}},
    {"a second signal gives up a write stuck this long",
     {.nowNs = kNow,
      .signalled = true,
      .signalCount = 2,
      .captureFinished = true,
      .writingSinceNs = kNow - kStuckWriteNs,
      .stopNs = kStopped},
     {.ending = Ending::kSignal, .stopNs = kStopped}},
    {"a second signal waits for a write stuck less long",
     {.nowNs = kNow,
      .signalled = true,
      .signalCount = 2,
      .captureFinished = true,
      .writingSinceNs = kNow - 200 * kMs,
      .stopNs = kStopped},
     {.stopNs = kStopped, .waitNs = kStuckWriteNs - 200 * kMs}},
    {"one signal waits for a write however long",
     {.nowNs = kNow,
      .signalled = true,
      .signalCount = 1,
      .captureFinished = true,
      .writingSinceNs = kNow - 5 * kS,
      .stopNs = kStopped},
     {.stopNs = kStopped, .waitNs = kStallNs}},
};

TEST(DecideEnding, FollowsEachRule) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    const EndingStep got = DecideEnding(row.look);
    const EndingStep& want = row.want;
    EXPECT_EQ(std::tie(got.ending, got.stopCapture, got.stopRing, got.stalled,
                       got.stopNs),
              std::tie(want.ending, want.stopCapture, want.stopRing,
                       want.stalled, want.stopNs));
    if (!want.ending) {
      EXPECT_EQ(got.waitNs, want.waitNs);
    }
  }
}

}  // namespace
