// The capture device: set up on the main thread, read on the capture
// thread; what each may touch is in device.h.
#include "device/device.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "wav/interleave.h"

namespace {

constexpr snd_pcm_uframes_t kRequestedPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRequestedBufferFrames = 32768;
constexpr int kResumeTries = 100;
constexpr useconds_t kResumeWaitUs = 10'000;
constexpr int kTryAgainWaitMs = 10;
constexpr useconds_t kTryAgainPauseUs = 1000;
constexpr int kChannels = 2;
// A lost device's overruns each make up a period of silence: no more than
// this many seconds of it.
constexpr uint32_t kMaxMadeUpSeconds = 1;

// The sample format the device is asked for, by the request's sample size.
snd_pcm_format_t AlsaFormat(uint32_t bytesPerSample) {
  switch (bytesPerSample) {
    case 2:
      return SND_PCM_FORMAT_S16_LE;
    case 3:
      return SND_PCM_FORMAT_S24_3LE;
    default:
      return SND_PCM_FORMAT_UNKNOWN;
  }
}

Failure Refusal(const char* format, int err) {
  return {"", Printed(format, snd_strerror(err))};
}

// The values a device settled on, as the refusal report shows them; a value
// the parameter set cannot give stays 0.
struct Settled {
  bool committed = false;
  uint32_t period = 0, buffer = 0, rate = 0, channels = 0;
  snd_pcm_access_t access = SND_PCM_ACCESS_LAST;
};

Settled ReadBack(const snd_pcm_hw_params_t* params) {
  Settled settled;
  snd_pcm_uframes_t frames = 0;
  unsigned int value = 0;
  if (snd_pcm_hw_params_get_buffer_size(params, &frames) >= 0)
    settled.buffer = static_cast<uint32_t>(frames);
  if (snd_pcm_hw_params_get_period_size(params, &frames, nullptr) >= 0)
    settled.period = static_cast<uint32_t>(frames);
  if (snd_pcm_hw_params_get_channels(params, &value) >= 0)
    settled.channels = value;
  if (snd_pcm_hw_params_get_rate(params, &value, nullptr) >= 0)
    settled.rate = value;
  if (snd_pcm_hw_params_get_access(params, &settled.access) < 0)
    settled.access = SND_PCM_ACCESS_LAST;
  return settled;
}

// A device that offers frames only (a sound server's, often) is read as
// frames, and split. Returns the error of a format the device refuses.
int SetAccessAndFormat(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
                       snd_pcm_format_t format) {
  snd_pcm_hw_params_any(pcm, params);
  if (snd_pcm_hw_params_set_access(pcm, params,
                                   SND_PCM_ACCESS_RW_NONINTERLEAVED) < 0) {
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
  }
  if (format == SND_PCM_FORMAT_UNKNOWN) return 0;
  return snd_pcm_hw_params_set_format(pcm, params, format);
}

// Asks for the channels, the rate and the sizes, nearest where the device
// cannot give them exactly, and commits what it settled on.
Settled Commit(snd_pcm_t* pcm, snd_pcm_hw_params_t* params,
               uint32_t sampleRate) {
  snd_pcm_hw_params_set_channels(pcm, params, kChannels);
  unsigned int rate = sampleRate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
  snd_pcm_uframes_t period = kRequestedPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  snd_pcm_uframes_t bufferSize = kRequestedBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferSize);
  const int commit = snd_pcm_hw_params(pcm, params);
  Settled settled = ReadBack(params);
  settled.committed = commit >= 0;
  return settled;
}

constexpr const char* kRefusedParameters =
    "Could not set record hardware parameters:\n"
    "Returned Driver Parameters:\n"
    "\tBuf 1\tBuf 2\tRate\tChannels\n"
    "Record\t%i\t%i\t%i\t%i\n"
    "-------------------------\n";

bool ReadAccess(snd_pcm_access_t access) {
  return access == SND_PCM_ACCESS_RW_NONINTERLEAVED ||
         access == SND_PCM_ACCESS_RW_INTERLEAVED;
}

// "N" or "N to M".
std::string Range(unsigned long low, unsigned long high) {
  return low == high ? Printed("%lu", low) : Printed("%lu to %lu", low, high);
}

// The accesses the device offers, when it refused reading, interleaved or
// not.
std::string OfferedAccess(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  std::string text =
      "zelk: the device refused read access, interleaved or not; it offers";
  const char* separator = " ";
  for (int a = 0; a <= SND_PCM_ACCESS_LAST; ++a) {
    const auto access = static_cast<snd_pcm_access_t>(a);
    if (snd_pcm_hw_params_test_access(pcm, params, access) == 0) {
      text += separator;
      text += snd_pcm_access_name(access);
      separator = ", ";
    }
  }
  return text + "\n";
}

std::string OfferedSizes(const snd_pcm_hw_params_t* params) {
  snd_pcm_uframes_t least = 0, most = 0;
  snd_pcm_hw_params_get_period_size_min(params, &least, nullptr);
  snd_pcm_hw_params_get_period_size_max(params, &most, nullptr);
  std::string text =
      "zelk: the device refused the period and buffer sizes; it offers "
      "periods of " +
      Range(least, most);
  snd_pcm_hw_params_get_buffer_size_min(params, &least);
  snd_pcm_hw_params_get_buffer_size_max(params, &most);
  return text + " frames, buffers of " + Range(least, most) + " frames\n";
}

// After the refusal report: which of the values asked for the device
// refused, and what it offers instead, found by asking it one at a time.
std::string ExplainRefusal(snd_pcm_t* pcm, snd_pcm_format_t format,
                           unsigned int sampleRate) {
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  if (snd_pcm_hw_params_any(pcm, params) < 0) return "";
  if (format != SND_PCM_FORMAT_UNKNOWN) {
    snd_pcm_hw_params_set_format(pcm, params, format);
  }
  if (snd_pcm_hw_params_set_access(pcm, params,
                                   SND_PCM_ACCESS_RW_NONINTERLEAVED) < 0 &&
      snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) <
          0) {
    return OfferedAccess(pcm, params);
  }
  unsigned int low = 0, high = 0;
  if (snd_pcm_hw_params_set_channels(pcm, params, kChannels) < 0) {
    snd_pcm_hw_params_get_channels_min(params, &low);
    snd_pcm_hw_params_get_channels_max(params, &high);
    return Printed("zelk: the device refused %d channels; it offers ",
                   kChannels) +
           Range(low, high) + "\n";
  }
  if (snd_pcm_hw_params_set_rate(pcm, params, sampleRate, 0) < 0) {
    snd_pcm_hw_params_get_rate_min(params, &low, nullptr);
    snd_pcm_hw_params_get_rate_max(params, &high, nullptr);
    return Printed("zelk: the device refused the rate %u Hz; it offers ",
                   sampleRate) +
           Range(low, high) + " Hz\n";
  }
  return OfferedSizes(params);
}

// Brings a suspended stream back: resumed where the device can, else
// prepared afresh. Some devices report a resume they could not do, so the
// state decides.
void Resume(snd_pcm_t* pcm) {
  int err = -EAGAIN;
  for (int tries = 0; err == -EAGAIN && tries < kResumeTries; ++tries) {
    err = snd_pcm_resume(pcm);
    if (err == -EAGAIN) usleep(kResumeWaitUs);
  }
  const snd_pcm_state_t state = snd_pcm_state(pcm);
  if (err < 0 ||
      (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED)) {
    snd_pcm_prepare(pcm);
  }
}

// Reads up to `frames` frames into the period at frame `offset`: into the
// pair's halves, or, from a device that delivers frames, into `state.frames`.
snd_pcm_sframes_t ReadSome(const Device& device, uint8_t* pair,
                           const ReadState& state, int32_t offset,
                           int32_t frames) {
  const size_t bytes = static_cast<size_t>(offset) * device.bytesPerSample;
  if (device.interleaved) {
    return snd_pcm_readi(device.pcm, state.frames + kChannels * bytes,
                         static_cast<snd_pcm_uframes_t>(frames));
  }
  const size_t half =
      static_cast<size_t>(device.periodFrames) * device.bytesPerSample;
  void* channels[kChannels] = {pair + bytes, pair + half + bytes};
  return snd_pcm_readn(device.pcm, channels,
                       static_cast<snd_pcm_uframes_t>(frames));
}

// `frames` delivered: the last of them was captured when the device's count
// of what waits behind it says.
void Delivered(const Device& device, snd_pcm_sframes_t frames, PeriodRead& read,
               ReadState& state, ReadWatch& watch) {
  read.frames += static_cast<int32_t>(frames);
  state.emptyOverruns = 0;
  const int64_t now = MonotonicNs();
  const snd_pcm_sframes_t waiting = snd_pcm_avail_update(device.pcm);
  state.lastFrameNs =
      now - (waiting > 0 ? waiting * kNsPerSecond / device.sampleRate : 0);
  if (read.frames < device.periodFrames) watch.idleSinceNs.store(now);
}

// An overrun or a suspend (`result`): the rest of the period is silence, and
// the stream starts again. False, the error set, when the device is lost.
bool Overran(const Device& device, snd_pcm_sframes_t result, PeriodRead& read,
             ReadState& state) {
  // A sound card delivers frames as soon as it runs again; one that
  // overruns at once, again and again, has nothing behind it.
  if (++state.emptyOverruns > device.maxEmptyOverruns) {
    read.error = -ENODEV;
    return false;
  }
  read.overrun = true;
  state.lostSinceNs = MonotonicNs();
  state.lostNs += state.lostSinceNs - state.lastFrameNs;
  if (result == -ESTRPIPE) {
    Resume(device.pcm);
  } else {
    snd_pcm_prepare(device.pcm);
  }
  read.frames = device.periodFrames;
  return true;
}

}  // namespace

std::optional<Failure> OpenDevice(const std::string& deviceName,
                                  uint32_t sampleRate, uint32_t bytesPerSample,
                                  Device* device) {
  device->bytesPerSample = bytesPerSample;
  device->sampleRate = sampleRate;
  int err =
      snd_pcm_open(&device->pcm, deviceName.c_str(), SND_PCM_STREAM_CAPTURE, 0);
  if (err < 0) return Refusal("unable to open pcm record device: %s\n", err);

  snd_pcm_t* pcm = device->pcm;
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  const snd_pcm_format_t format = AlsaFormat(bytesPerSample);
  err = SetAccessAndFormat(pcm, params, format);
  if (err < 0) {
    snd_pcm_close(pcm);
    return Refusal("Problem setting recording format: %s\n", err);
  }
  const Settled settled = Commit(pcm, params, sampleRate);
  // A device running at another rate, channel count or layout than the
  // files will say would record audio that plays back wrong.
  if (!settled.committed || settled.rate != sampleRate ||
      settled.channels != kChannels || !ReadAccess(settled.access)) {
    Failure failure = {Printed(kRefusedParameters, settled.period,
                               settled.buffer, settled.rate, settled.channels),
                       ExplainRefusal(pcm, format, sampleRate)};
    snd_pcm_close(pcm);
    return failure;
  }
  device->periodFrames = static_cast<int32_t>(settled.period);
  device->interleaved = settled.access == SND_PCM_ACCESS_RW_INTERLEAVED;
  device->maxEmptyOverruns = std::max<int32_t>(
      1, static_cast<int32_t>(kMaxMadeUpSeconds * sampleRate /
                              std::max<uint32_t>(settled.period, 1)));
  return std::nullopt;
}

PeriodRead ReadPeriod(const Device& device, uint8_t* pair, ReadState& state,
                      ReadWatch& watch, int64_t startNs) {
  const size_t half =
      static_cast<size_t>(device.periodFrames) * device.bytesPerSample;
  // A device may report frames it never wrote: what it leaves is silence,
  // never older audio. The same goes for frames an overrun loses.
  std::memset(device.interleaved ? state.frames : pair, 0, 2 * half);
  watch.idleSinceNs.store(startNs);
  if (state.lastFrameNs == 0) state.lastFrameNs = startNs;
  PeriodRead read;
  while (read.frames < device.periodFrames) {
    if (state.lostSinceNs != 0) {  // this read starts the stream again
      state.lastFrameNs = MonotonicNs();
      state.lostNs += state.lastFrameNs - state.lostSinceNs;
      state.lostSinceNs = 0;
    }
    const snd_pcm_sframes_t result = ReadSome(
        device, pair, state, read.frames, device.periodFrames - read.frames);
    if (result > 0) {
      Delivered(device, result, read, state, watch);
    } else if (result == 0 || result == -EAGAIN || result == -EINTR) {
      if (watch.stop.load()) {
        read.error = -EAGAIN;
        break;
      }
      snd_pcm_wait(device.pcm, kTryAgainWaitMs);
      usleep(kTryAgainPauseUs);
    } else if (result == -EPIPE || result == -ESTRPIPE) {
      if (!Overran(device, result, read, state)) break;
    } else {
      read.error = static_cast<int>(result);
      break;
    }
  }
  watch.idleSinceNs.store(0);
  if (device.interleaved) {
    Deinterleave(read.frames, static_cast<int32_t>(device.bytesPerSample),
                 {state.frames, 2 * half}, {pair, half}, {pair + half, half});
  }
  return read;
}

void CloseDevice(const Device& device) {
  snd_pcm_drop(device.pcm);
  snd_pcm_close(device.pcm);
}
