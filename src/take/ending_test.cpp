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
  TakeLook look;    // at kNow
  EndingStep want;  // its wait is only looked at while the take goes on
};

// clang-format off
const Row kRows[] = {
    {"an idle device: until a millisecond past the stall rule",
     {.idleSinceNs = kNow - 3 * kS}, {.waitNs = 7 * kS + kMs}},
    {"idle for exactly the stall rule is not yet a stall",
     {.idleSinceNs = kNow - kStallNs}, {.waitNs = kMs}},
    {"idle for longer stops the capture and gives it its grace",
     {.idleSinceNs = kNow - kStallNs - 1},
     {.stopCapture = true, .stalled = true, .stopNs = kNow, .waitNs = kMs}},
    {"a stall found before stays, and the capture is told once",
     {.stopNs = kNow - 200 * kMs, .stalled = true},
     {.stalled = true, .stopNs = kNow - 200 * kMs, .waitNs = 301 * kMs}},
    {"a signal stops the capture and waits for its grace",
     {.signalled = true, .signalCount = 1},
     {.stopCapture = true, .stopNs = kNow, .waitNs = kCaptureStopNs + kMs}},
    {"a capture past its grace has the ring stopped",
     {.signalled = true, .stopNs = kNow - kCaptureStopNs},
     {.stopRing = true, .stopNs = kNow - kCaptureStopNs, .waitNs = kMs}},
    {"a capture that finished in its grace waits for the writer",
     {.signalled = true, .captureFinished = true, .stopNs = kStopped},
     {.stopNs = kStopped, .waitNs = kStallNs}},
    {"a failed write comes before a signal",
     {.signalled = true, .captureFinished = true, .writerFinished = true,
      .writeFailed = true, .stopNs = kStopped},
     {.ending = Ending::kWriteFailed, .stopCapture = true, .stopNs = kStopped}},
    {"a signal, once the writer is done",
     {.signalled = true, .writerFinished = true, .stopNs = kStopped},
     {.ending = Ending::kSignal, .stopRing = true, .stopNs = kStopped}},
    {"a signal comes before a stall",
     {.signalled = true, .captureFinished = true, .writerFinished = true,
      .stopNs = kStopped, .stalled = true},
     {.ending = Ending::kSignal, .stalled = true, .stopNs = kStopped}},
    {"a stall fails the device whatever the capture says",
     {.captureFinished = true, .writerFinished = true, .stopNs = kStopped, .stalled = true},
     {.ending = Ending::kDeviceFailed, .stalled = true, .stopNs = kStopped}},
    {"a writer done before the capture waits for its last step",
     {.writerFinished = true}, {.waitNs = kStallNs}},
    {"a second signal gives up a write stuck this long",
     {.signalled = true, .signalCount = 2, .captureFinished = true,
      .writingSinceNs = kNow - kStuckWriteNs, .stopNs = kStopped},
     {.ending = Ending::kSignal, .stopNs = kStopped}},
    {"a second signal waits for a write stuck less long",
     {.signalled = true, .signalCount = 2, .captureFinished = true,
      .writingSinceNs = kNow - 200 * kMs, .stopNs = kStopped},
     {.stopNs = kStopped, .waitNs = kStuckWriteNs - 200 * kMs}},
    {"one signal waits for a write however long",
     {.signalled = true, .signalCount = 1, .captureFinished = true,
      .writingSinceNs = kNow - 5 * kS, .stopNs = kStopped},
     {.stopNs = kStopped, .waitNs = kStallNs}},
};
// clang-format on

TEST(DecideEnding, FollowsEachRule) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    TakeLook look = row.look;
    look.nowNs = kNow;
    const EndingStep got = DecideEnding(look);
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
