// The capture thread's work; what it may touch is in capture.h.
#include "record/capture.h"

#include <algorithm>
#include <new>

#include "wav/wav.h"

namespace {

constexpr float kMeterRange = 45.0f;
constexpr float kMeterDecay = 11.25f;

// A held peak is the largest period peak of a window of holdPeriods + 1
// periods; each window starts from the latest period's peak.
void HoldPeaks(const ChannelMode& mode, int32_t holdPeriods,
               const PeakPair& periodPeak, PeakPair& heldPeak,
               int32_t& holdCount) {
  ++holdCount;
  for (int c = 0; c < mode.meterChannels; ++c) {
    heldPeak[c] = std::max(heldPeak[c], periodPeak[c]);
  }
  if (holdCount > holdPeriods) {
    for (int c = 0; c < mode.meterChannels; ++c) heldPeak[c] = periodPeak[c];
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
  for (int c = 0; c < capture.mode.meterChannels; ++c) {
    periodPeak[c] = 0;
    if (CheckPeak(c, device.periodFrames, device.bytesPerSample,
                  capture.takePeak, {pair + c * half, half}, periodPeak)) {
      marks |= static_cast<uint8_t>(kClipMark << c);
    }
  }
  return marks;
}

}  // namespace

bool ReserveCapture(Capture& capture, size_t pairBytes) {
  if (capture.mode.stereo != 1) return true;
  capture.stereoPair.reset(new (std::nothrow) uint8_t[pairBytes]);
  return capture.stereoPair != nullptr;
}

void RunCapture(Capture& capture) {
  const Device& device = capture.device;
  const ChannelMode& mode = capture.mode;
  const auto holdPeriods = static_cast<int32_t>((capture.sampleRate * 3) >> 12);
  PeakPair periodPeak = {0, 0}, heldPeak = {0, 0};
  int32_t holdCount = 0;
  int meterFirstCall = 1;
  Line status;
  const size_t half =
      static_cast<size_t>(device.periodFrames) * device.bytesPerSample;

  snd_pcm_prepare(device.pcm);
  uint8_t* slot = capture.ring->Free();
  // One clock reading a period: when the read begins, which also stamps
  // the period before it.
  int64_t now = MonotonicNs();
  for (int32_t framesDone = 0; framesDone < capture.totalFrames;) {
    if (slot == nullptr) break;  // the take ended elsewhere
    uint8_t* pair = mode.stereo == 1 ? capture.stereoPair.get() : slot;
    const PeriodRead read = ReadPeriod(device, pair, capture.watch, now);
    if (capture.watch.stop.load()) break;
    if (mode.stereo == 1) {
      Interleave(read.frames, static_cast<int32_t>(device.bytesPerSample),
                 {pair, half}, {pair + half, half}, {slot, 2 * half});
    }
    if (read.error != 0) {
      // What came before the failure is kept.
      capture.ring->Publish(read.frames, now);
      capture.error = read.error;
      break;
    }
    uint8_t marks = read.overrun ? kOverrunMark : 0;
    if (read.overrun) ++capture.overrunCount;
    marks |= CheckPeaks(capture, pair, periodPeak);
    slot = capture.ring->Publish(device.periodFrames, now);
    now = MonotonicNs();
    framesDone += device.periodFrames;
    UpdateClock(status, capture.totalFrames, -framesDone, capture.sampleRate);
    StereoMeter(status, periodPeak, kMeterRange, &meterFirstCall, kMeterDecay,
                static_cast<int32_t>(device.bytesPerSample), mode.meterChannels,
                heldPeak);
    capture.console->Period(marks, status, now);
    HoldPeaks(mode, holdPeriods, periodPeak, heldPeak, holdCount);
  }
  capture.ring->Close();
  capture.finished.store(true);
  Wake(capture.wakeFd);
}
