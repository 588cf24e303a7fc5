// When and how a take ends. The take thread looks at the capture and writer
// threads, the signals and the clock, and DecideEnding says what follows
// from that one look: kept free of threads and clocks, so that each rule
// can be tried at any moment of a take without waiting for it.
#pragma once

#include <cstdint>
#include <optional>

// A device that delivers nothing for this long is as good as gone.
inline constexpr int64_t kStallNs = 10'000'000'000;
// After a second signal, a write stuck this long is given up on.
inline constexpr int64_t kStuckWriteNs = 500'000'000;
// A capture told to stop that has not within this time is stuck in its read:
// the writer writes what came before and the take ends without it.
inline constexpr int64_t kCaptureStopNs = 500'000'000;

enum class Ending : uint8_t { kComplete, kDeviceFailed, kWriteFailed, kSignal };

// One look at the take. Times are on the monotonic clock; 0 is "not".
struct TakeLook {
  int64_t nowNs = 0;
  int64_t idleSinceNs = 0;  // the capture has waited for the device since
  bool signalled = false;   // an ending signal came
  int signalCount = 0;
  bool captureFinished = false;
  int captureError = 0;  // read once the capture has finished
  bool writerFinished = false;
  bool writeFailed = false;    // read once the writer has finished
  int64_t writingSinceNs = 0;  // the write in progress began
  int64_t stopNs = 0;          // the capture was told to stop
  bool stalled = false;        // the device was found stalled before
};

struct EndingStep {
  std::optional<Ending> ending = std::nullopt;  // none: the take goes on
  bool stopCapture = false;
  // The capture has had its grace and is stuck in a read: the writer ends
  // with what was published.
  bool stopRing = false;
  bool stalled = false;  // the device has delivered nothing for kStallNs
  int64_t stopNs = 0;    // when the capture was told to stop, from now on
  int64_t waitNs = 0;    // look again after this, or when a thread wakes us
};

EndingStep DecideEnding(const TakeLook& look);
