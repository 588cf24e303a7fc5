#include "take/record.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "base/failure.h"
#include "device/device.h"
#include "files/outputs.h"
#include "take/signals.h"
#include "take/take.h"
#include "wav/wav.h"

namespace {

// A start refused before the take: the user is told why, and the device is
// closed if it was open. A signal that came meanwhile ends the process as it
// would have, else the refusal's status.
int Refused(const Device& device, const Failure& failure) {
  Tell(failure);
  if (device.pcm != nullptr) snd_pcm_close(device.pcm);
  if (FirstEndingSignal() != 0) EndBySignal(FirstEndingSignal());
  return 1;
}

bool EndingSignalCame() { return FirstEndingSignal() != 0; }

}  // namespace

bool QUANTIZE(int32_t periodFrames, uint32_t rate, float duration,
              int32_t* totalFrames) {
  // Exact: the rate is below 2^17 and the duration has a 24-bit mantissa.
  const double x = static_cast<double>(rate) * static_cast<double>(duration);
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

std::optional<int32_t> TakeFrames(const TakeRequest& request,
                                  int32_t periodFrames) {
  const RecordingFormat& format = request.format;
  int32_t frames = 0;
  if (!QUANTIZE(periodFrames, format.sampleRate, request.duration, &frames) ||
      static_cast<uint64_t>(frames) * format.bytesPerSample *
              SamplesPerFileFrame(request.layout) >
          kMaxDataBytes) {
    return std::nullopt;
  }
  return frames;
}

int RECORD(const TakeRequest& request) {
  CatchEndingSignals();
  Device device;
  if (auto failure = OpenDevice(request.device, request.format.sampleRate,
                                request.format.bytesPerSample, &device)) {
    return Refused({}, *failure);
  }
  const std::optional<int32_t> totalFrames =
      TakeFrames(request, device.periodFrames);
  if (!totalFrames) {
    return Refused(device, {"Improper duration request\n", ""});
  }
  auto reserved = ReserveTake(device, request.layout, *totalFrames);
  if (auto* failure = std::get_if<Failure>(&reserved)) {
    return Refused(device, *failure);
  }
  Take& take = *std::get<std::unique_ptr<Take>>(reserved);
  if (auto failure =
          OpenOutputs(request, *totalFrames, EndingSignalCame, &take.outputs)) {
    return Refused(device, *failure);
  }
  RunTake(take);
}
