#include "record/device.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/console.h"
#include "record/doorbell.h"
#include "record/formats.h"

namespace {

constexpr snd_pcm_uframes_t kRequestedPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRequestedBufferFrames = 32768;
constexpr int kResumeTries = 100;

bool RefuseDevice(const char* format, int err) {
  std::fprintf(stderr, format, snd_strerror(err));
  return false;
}

// A device refused after it opened is closed again.
bool CloseRefused(snd_pcm_t* pcm) {
  snd_pcm_close(pcm);
  return false;
}

// The values a device settled on, as the refusal report shows them; a value
// the parameter set cannot give stays 0.
struct Settled {
  uint32_t period = 0, buffer = 0, rate = 0, channels = 0;
  bool nonInterleaved = false;
};

Settled ReadBack(const snd_pcm_hw_params_t* params) {
  Settled settled;
  snd_pcm_uframes_t frames = 0;
  unsigned int value = 0;
  snd_pcm_access_t access = SND_PCM_ACCESS_RW_INTERLEAVED;
  if (snd_pcm_hw_params_get_buffer_size(params, &frames) >= 0)
    settled.buffer = static_cast<uint32_t>(frames);
  if (snd_pcm_hw_params_get_period_size(params, &frames, nullptr) >= 0)
    settled.period = static_cast<uint32_t>(frames);
  if (snd_pcm_hw_params_get_channels(params, &value) >= 0)
    settled.channels = value;
  if (snd_pcm_hw_params_get_rate(params, &value, nullptr) >= 0)
    settled.rate = value;
  settled.nonInterleaved = snd_pcm_hw_params_get_access(params, &access) >= 0 &&
                           access == SND_PCM_ACCESS_RW_NONINTERLEAVED;
  return settled;
}

// Brings a suspended stream back: resumed where the device can, else
// prepared afresh. Some devices report a resume they could not do, so the
// state decides.
void Resume(snd_pcm_t* pcm) {
  int err = -EAGAIN;
  for (int tries = 0; err == -EAGAIN && tries < kResumeTries; ++tries) {
    err = snd_pcm_resume(pcm);
    if (err == -EAGAIN) usleep(10000);
  }
  const snd_pcm_state_t state = snd_pcm_state(pcm);
  if (err < 0 ||
      (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED)) {
    snd_pcm_prepare(pcm);
  }
}

}  // namespace

bool OpenDevice(const char* deviceName, uint32_t sampleRate,
                uint32_t bytesPerSample, Device* device) {
  device->bytesPerSample = bytesPerSample;
  int err = snd_pcm_open(&device->pcm, deviceName, SND_PCM_STREAM_CAPTURE, 0);
  if (err < 0) {
    return RefuseDevice("unable to open pcm record device: %s\n", err);
  }

  snd_pcm_t* pcm = device->pcm;
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_hw_params_any(pcm, params);
  snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  const snd_pcm_format_t format = AlsaFormat(bytesPerSample);
  if (format != SND_PCM_FORMAT_UNKNOWN) {
    err = snd_pcm_hw_params_set_format(pcm, params, format);
    if (err < 0) {
      RefuseDevice("Problem setting recording format: %s\n", err);
      return CloseRefused(pcm);
    }
  }
  snd_pcm_hw_params_set_channels(pcm, params, 2);
  unsigned int rate = sampleRate;
  snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
  snd_pcm_uframes_t period = kRequestedPeriodFrames;
  snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
  snd_pcm_uframes_t bufferSize = kRequestedBufferFrames;
  snd_pcm_hw_params_set_buffer_size_near(pcm, params, &bufferSize);
  const int commit = snd_pcm_hw_params(pcm, params);
  const Settled settled = ReadBack(params);

  // A device running at another rate, channel count or layout than the
  // files will say would record audio that plays back wrong.
  if (commit < 0 || settled.rate != sampleRate || settled.channels != 2 ||
      !settled.nonInterleaved) {
    std::fprintf(ConsoleStream(),
                 "Could not set record hardware parameters:\n"
                 "Returned Driver Parameters:\n"
                 "\tBuf 1\tBuf 2\tRate\tChannels\n"
                 "Record\t%i\t%i\t%i\t%i\n"
                 "-------------------------\n",
                 settled.period, settled.buffer, settled.rate,
                 settled.channels);
    return CloseRefused(pcm);
  }
  device->periodFrames = static_cast<int32_t>(settled.period);
  return true;
}

PeriodRead ReadPeriod(const Device& device, uint8_t* pair, ReadWatch& watch,
                      int64_t startNs) {
  const size_t half =
      static_cast<size_t>(device.periodFrames) * device.bytesPerSample;
  // A device may report frames it never wrote: what it leaves is silence,
  // never older audio. The same goes for frames an overrun loses.
  std::memset(pair, 0, 2 * half);
  watch.idleSinceNs.store(startNs);
  snd_pcm_avail_update(device.pcm);
  snd_pcm_wait(device.pcm, 1);
  PeriodRead read;
  while (read.frames < device.periodFrames) {
    const size_t offset =
        static_cast<size_t>(read.frames) * device.bytesPerSample;
    void* channels[2] = {pair + offset, pair + half + offset};
    const snd_pcm_sframes_t result =
        snd_pcm_readn(device.pcm, channels, device.periodFrames - read.frames);
    if (result > 0) {
      read.frames += static_cast<int32_t>(result);
      if (read.frames < device.periodFrames) {
        watch.idleSinceNs.store(MonotonicNs());
      }
    } else if (result == 0 || result == -EAGAIN || result == -EINTR) {
      if (watch.stop.load()) {
        read.error = -EAGAIN;
        break;
      }
      snd_pcm_wait(device.pcm, 10);
      usleep(1000);
    } else if (result == -EPIPE || result == -ESTRPIPE) {
      read.overrun = true;
      if (result == -ESTRPIPE) {
        Resume(device.pcm);
      } else {
        snd_pcm_prepare(device.pcm);
      }
      read.frames = device.periodFrames;
    } else {
      read.error = static_cast<int>(result);
      break;
    }
  }
  watch.idleSinceNs.store(0);
  return read;
}
