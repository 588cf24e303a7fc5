// The capture thread's work; what it may touch is in capture.h.
#include "take/capture.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <new>

#include "base/clock.h"
#include "wav/wav.h"

namespace {

constexpr float kMeterRange = 45.0f;
constexpr float kMeterDecay = 11.25f;
// Modest, as audio servers ask for: above every ordinary thread, below the
// kernel's own and the sound servers' real-time threads.
constexpr int kCapturePriority = 10;

// A held peak is the largest period peak of a window of holdPeriods + 1
// periods; each window starts from the latest period's peak.
void HoldPeaks(Layout layout, int32_t holdPeriods, const PeakPair& periodPeak,
               PeakPair& heldPeak, int32_t& holdCount) {
  ++holdCount;
  for (int c = 0; c < ChannelsMetered(layout); ++c) {
    heldPeak[c] = std::max(heldPeak[c], periodPeak[c]);
  }
  if (holdCount > holdPeriods) {
    for (int c = 0; c < ChannelsMetered(layout); ++c) {
      heldPeak[c] = periodPeak[c];
    }
    holdCount = 0;
  }
}

// Scans each recorded channel of the period; returns their clip marks.
uint8_t CheckPeaks(Capture& capture, const uint8_t* pair,
                   PeakPair& periodPeak) {
  const Device& device = capture.device;
  const size_t half =
      static_cast<size_t>(device.periodFrames) * device.bytesPerSample;
  uint8_t marks = 0;
  for (int c = 0; c < ChannelsMetered(capture.layout); ++c) {
    periodPeak[c] = 0;
    if (CheckPeak(c, device.periodFrames, device.bytesPerSample,
                  capture.takePeak, {pair + c * half, half}, periodPeak)) {
      marks |= static_cast<uint8_t>(kClipMark << c);
    }
  }
  return marks;
}

// The status line's state, from one period to the next.
struct Metering {
  PeakPair periodPeak = {0, 0}, heldPeak = {0, 0};
  int32_t holdPeriods = 0;
  int32_t holdCount = 0;
  int firstCall = 1;
  Line status;
};

// Hands the console the period's marks and its status line, `framesDone`
// frames into the take.
void ShowPeriod(Capture& capture, Metering& meter, uint8_t marks,
                int32_t framesDone, int64_t now) {
  const Device& device = capture.device;
  UpdateClock(meter.status, capture.totalFrames, -framesDone,
              device.sampleRate);
  StereoMeter(meter.status, meter.periodPeak, kMeterRange, &meter.firstCall,
              kMeterDecay, static_cast<int32_t>(device.bytesPerSample),
              ChannelsMetered(capture.layout), meter.heldPeak);
  capture.console->Period(marks, meter.status, now);
  HoldPeaks(capture.layout, meter.holdPeriods, meter.periodPeak, meter.heldPeak,
            meter.holdCount);
}

// The take thread is told that the capture is over, then the device is
// closed: nothing waits for that, so a device slow to close holds up no
// ending.
void Finish(Capture& capture, const ReadState& reading) {
  capture.lostNs = reading.lostNs;
  capture.ring->Close();
  capture.finished.store(true);
  Wake(capture.wakeFd);
  CloseDevice(capture.device);
}

}  // namespace

bool ReserveCapture(Capture& capture, size_t pairBytes) {
  if (capture.layout == Layout::kStereo) {
    capture.stereoPair.reset(new (std::nothrow) uint8_t[pairBytes]());
    if (!capture.stereoPair) return false;
  }
  if (capture.device.interleaved) {
    capture.frames.reset(new (std::nothrow) uint8_t[pairBytes]());
    if (!capture.frames) return false;
  }
  return true;
}

void RaiseCapturePriority() {
  // The limit the system sets for this user (0 for root too, who may
  // exceed it).
  rlimit limit{};
  int priority = kCapturePriority;
  if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 &&
      limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > 0 &&
      limit.rlim_cur < static_cast<rlim_t>(priority)) {
    priority = static_cast<int>(limit.rlim_cur);
  }
  sched_param param{};
  param.sched_priority = priority;
  [[maybe_unused]] const int refused =
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void RunCapture(Capture& capture) {
  const Device& device = capture.device;
  const bool stereo = capture.layout == Layout::kStereo;
  Metering meter;
  meter.holdPeriods = static_cast<int32_t>((device.sampleRate * 3) >> 12);
  ReadState reading;
  reading.frames = capture.frames.get();
  const size_t half =
      static_cast<size_t>(device.periodFrames) * device.bytesPerSample;

  snd_pcm_prepare(device.pcm);
  // One clock reading a period: when the read begins, which also stamps
  // the period before it.
  int64_t now = MonotonicNs();
  for (int32_t framesDone = 0; framesDone < capture.totalFrames;) {
    uint8_t* slot = capture.ring->Free();
    if (slot == nullptr) break;  // the take ended elsewhere
    uint8_t* pair = stereo ? capture.stereoPair.get() : slot;
    const PeriodRead read =
        ReadPeriod(device, pair, reading, capture.watch, now);
    if (stereo) {
      Interleave(read.frames, static_cast<int32_t>(device.bytesPerSample),
                 {pair, half}, {pair + half, half}, {slot, 2 * half});
    }
    if (read.error != 0 || capture.watch.stop.load()) {
      // The take ends here; what was captured before is kept.
      if (read.frames > 0) capture.ring->Publish(read.frames, now);
      capture.error = read.error;
      break;
    }
    uint8_t marks = read.overrun ? kOverrunMark : 0;
    if (read.overrun) ++capture.overrunCount;
    marks |= CheckPeaks(capture, pair, meter.periodPeak);
    now = MonotonicNs();
    capture.ring->Publish(device.periodFrames, now);
    framesDone += device.periodFrames;
    ShowPeriod(capture, meter, marks, framesDone, now);
  }
  Finish(capture, reading);
}
