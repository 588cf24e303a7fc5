#include "take/record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "base/console_fd.h"
#include "device/device.h"
#include "files/outputs.h"
#include "take/signals.h"
#include "take/take.h"
#include "wav/wav.h"

namespace {

ChannelMode ModeOf(int32_t channelCount, int32_t stereo,
                   uint32_t bytesPerSample) {
  ChannelMode mode;
  mode.channelOn = {1, channelCount == 2 ? 1 : 0};
  mode.stereo = stereo;
  mode.meterChannels = (channelCount == 2 || stereo == 1) ? 2 : 1;
  mode.blockAlign = bytesPerSample * (stereo == 1 ? 2 : 1);
  return mode;
}

// A start refused before the take, with the device closed if it was open:
// a signal that came meanwhile ends the process as it would have, else the
// refusal's status.
int Refused(const Device& device) {
  if (device.pcm != nullptr) snd_pcm_close(device.pcm);
  if (FirstEndingSignal() != 0) EndBySignal(FirstEndingSignal());
  return 1;
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

int RECORD(const char* deviceName, uint32_t sampleRate, float duration,
           int32_t channelCount, uint32_t bytesPerSample, int32_t autoName,
           NameBuffer nameList, NameBuffer nameScratch, int32_t stereo) {
  CatchEndingSignals();
  const ChannelMode mode = ModeOf(channelCount, stereo, bytesPerSample);
  Device device;
  if (!OpenDevice(deviceName, sampleRate, bytesPerSample, &device)) {
    return Refused({});
  }
  int32_t totalFrames = 0;
  if (!QUANTIZE(device.periodFrames, sampleRate, &duration, &totalFrames) ||
      static_cast<uint64_t>(totalFrames) * mode.blockAlign > kMaxDataBytes) {
    std::fputs("Improper duration request\n", ConsoleStream());
    return Refused(device);
  }
  const std::unique_ptr<Take> take = ReserveTake(device, mode, totalFrames);
  if (!take) return Refused(device);
  Outputs outputs;
  if (OpenOutputs(mode, sampleRate, totalFrames, bytesPerSample, autoName,
                  nameList, nameScratch, &outputs) != OpenResult::kOpened) {
    return Refused(device);
  }
  RunTake(*take, outputs);
}
