#include "record/record.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "meter/meter.h"
#include "record/device.h"
#include "record/outputs.h"
#include "wav/wav.h"

namespace {

constexpr float kMeterRange = 45.0f;
constexpr float kMeterDecay = 11.25f;
constexpr int32_t kTimeEpoch = 1349885340;  // 2012-10-10 16:09:00 UTC

ChannelMode ModeOf(int32_t channelCount, int32_t stereo,
                   uint32_t bytesPerSample) {
  ChannelMode mode;
  mode.channelOn = {1, channelCount == 2 ? 1 : 0};
  mode.stereo = stereo;
  mode.meterChannels = (channelCount == 2 || stereo == 1) ? 2 : 1;
  mode.blockAlign = bytesPerSample * (stereo == 1 ? 2 : 1);
  return mode;
}

// Two buffer pairs, each a period of both channels, and in stereo mode the
// interleaved period. The device chooses the period, so they come from the
// heap, once.
struct Buffers {
  size_t half = 0;  // bytes of one channel's period
  std::array<std::unique_ptr<uint8_t[]>, 2> pairs;
  std::unique_ptr<uint8_t[]> interleaved;
};

Buffers AllocateBuffers(const Device& device, const ChannelMode& mode) {
  Buffers buffers;
  const uint64_t pairBytes =
      2ULL * device.bytesPerSample * static_cast<uint64_t>(device.periodFrames);
  bool allocated = device.periodFrames > 0 &&
                   pairBytes <= std::numeric_limits<size_t>::max() / 2;
  if (allocated) {
    for (auto& pair : buffers.pairs) {
      pair.reset(new (std::nothrow) uint8_t[pairBytes]);
    }
    if (mode.stereo == 1) {
      buffers.interleaved.reset(new (std::nothrow) uint8_t[pairBytes]);
    }
    allocated = buffers.pairs[0] && buffers.pairs[1] &&
                (mode.stereo != 1 || buffers.interleaved);
  }
  if (!allocated) {
    std::fputs("Can't allocate recording buffers\n", stderr);
    std::exit(1);
  }
  buffers.half = pairBytes / 2;
  return buffers;
}

// Appends `frames` frames of the pair to the files.
void WriteFrames(const ChannelMode& mode, const Outputs& outputs,
                 const Buffers& buffers, const uint8_t* pair, int32_t frames) {
  const size_t bytes = static_cast<size_t>(frames) * mode.blockAlign;
  if (mode.stereo == 1) {
    uint8_t* interleaved = buffers.interleaved.get();
    Interleave(frames, static_cast<int32_t>(mode.blockAlign / 2),
               {pair, buffers.half}, {pair + buffers.half, buffers.half},
               {interleaved, 2 * buffers.half});
    WriteOutput(outputs[0], interleaved, bytes);
    return;
  }
  for (int c = 0; c < 2; ++c) {
    if (mode.channelOn[c] == 1) {
      WriteOutput(outputs[c], pair + c * buffers.half, bytes);
    }
  }
}

void CheckPeaks(const ChannelMode& mode, const Device& device,
                const Buffers& buffers, const uint8_t* pair, PeakPair& takePeak,
                PeakPair& periodPeak) {
  for (int c = 0; c < mode.meterChannels; ++c) {
    periodPeak[c] = 0;
    CheckPeak(c, device.periodFrames, device.bytesPerSample, takePeak,
              {pair + c * buffers.half, buffers.half}, periodPeak);
  }
}

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

}  // namespace

bool QUANTIZE(int32_t periodFrames, uint32_t rate, const float* duration,
              int32_t* totalFrames) {
  // Exact: the rate is below 2^17 and the duration has a 24-bit mantissa.
  const double x = static_cast<double>(rate) * static_cast<double>(*duration);
  if (!(x > 0.0)) {
    *totalFrames = 0;
    return true;
  }
  constexpr int64_t kMaxFrames = std::numeric_limits<int32_t>::max();
  if (periodFrames <= 0 || x > static_cast<double>(kMaxFrames)) return false;
  // The smallest whole number of periods, at least one, not below x. The
  // quotient is only a first guess: it is rounded.
  int64_t periods =
      std::max<int64_t>(1, static_cast<int64_t>(std::ceil(x / periodFrames)));
  while (periods > 1 &&
         static_cast<double>((periods - 1) * periodFrames) >= x) {
    --periods;
  }
  while (static_cast<double>(periods * periodFrames) < x) ++periods;
  const int64_t frames = periods * periodFrames;
  if (frames > kMaxFrames) return false;
  *totalFrames = static_cast<int32_t>(frames);
  return true;
}

int32_t NewTime() {
  return static_cast<int32_t>(std::time(nullptr) - kTimeEpoch);
}

void RECORD(const char* deviceName, uint32_t sampleRate, float duration,
            int32_t channelCount, uint32_t bytesPerSample, int32_t autoName,
            NameBuffer nameList, NameBuffer nameScratch, int32_t stereo) {
  const ChannelMode mode = ModeOf(channelCount, stereo, bytesPerSample);
  PeakPair takePeak = {0, 0}, periodPeak = {0, 0}, heldPeak = {0, 0};
  const auto holdPeriods = static_cast<int32_t>((sampleRate * 3) >> 12);

  const Device device = OpenDevice(deviceName, sampleRate, bytesPerSample);
  const Buffers buffers = AllocateBuffers(device, mode);
  int32_t totalFrames = 0;
  if (!QUANTIZE(device.periodFrames, sampleRate, &duration, &totalFrames) ||
      static_cast<uint64_t>(totalFrames) * mode.blockAlign > kMaxDataBytes) {
    std::puts("Improper duration request");
    std::exit(1);
  }
  const Outputs outputs =
      OpenOutputs(mode, sampleRate, totalFrames, bytesPerSample, autoName,
                  nameList, nameScratch);

  std::puts(stereo == 1 ? "Recording in Stereo" : "Recording");
  snd_pcm_prepare(device.pcm);
  int meterFirstCall = 1;
  int32_t overrunCount = 0;
  int32_t holdCount = 0;
  int selector = 0;
  for (int32_t framesDone = 0; framesDone < totalFrames;) {
    uint8_t* pair = buffers.pairs[selector].get();
    selector ^= 1;
    int32_t got = 0;
    const int error = ReadPeriod(device, pair, &overrunCount, &got);
    if (error != 0) {
      WriteFrames(mode, outputs, buffers, pair, got);
      FailTake("\nunable to read from pcm record device: %s\n",
               snd_strerror(error));
    }
    CheckPeaks(mode, device, buffers, pair, takePeak, periodPeak);
    WriteFrames(mode, outputs, buffers, pair, device.periodFrames);
    framesDone += device.periodFrames;
    UpdateClock(totalFrames, -framesDone, sampleRate);
    StereoMeter(periodPeak, kMeterRange, &meterFirstCall, kMeterDecay,
                static_cast<int32_t>(bytesPerSample), mode.meterChannels,
                heldPeak);
    HoldPeaks(mode, holdPeriods, periodPeak, heldPeak, holdCount);
  }

  PrintPeakReport(takePeak, mode.channelOn, stereo, bytesPerSample);
  if (overrunCount != 0) {
    std::printf("\nRecord Overruns = %i\n", overrunCount);
  }
  CloseOutputs(outputs);
  std::puts("Done");
  snd_pcm_drain(device.pcm);
  snd_pcm_close(device.pcm);
}
