// The capture device: its set-up and the reading of periods.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>

struct Device {
  snd_pcm_t* pcm = nullptr;
  int32_t periodFrames = 0;  // what the device accepted
  uint32_t bytesPerSample = 0;
};

// Opens `deviceName` for capture with two non-interleaved channels at
// `sampleRate` into *device. A device that cannot be opened or refuses the
// format or the parameters gets its report, and the result is false.
bool OpenDevice(const char* deviceName, uint32_t sampleRate,
                uint32_t bytesPerSample, Device* device);

// What another thread sees of a read in progress, and how it stops one.
struct ReadWatch {
  std::atomic<bool> stop{false};
  // When the device last delivered frames while a read waits for them; 0
  // while no read is waiting on the device.
  std::atomic<int64_t> idleSinceNs{0};
};

struct PeriodRead {
  int error = 0;         // 0, or what ended the take
  int32_t frames = 0;    // the whole period, or those captured before error
  bool overrun = false;  // frames were lost and are silence
};

// Reads one period into `pair`, channel 1's half first, each half
// `periodFrames` samples. An overrun or a suspend is recovered from; the
// frames it lost are silence. A device that only says "try again" is asked
// again until `watch.stop`, which ends the read with -EAGAIN. `startNs` is
// when the read began.
PeriodRead ReadPeriod(const Device& device, uint8_t* pair, ReadWatch& watch,
                      int64_t startNs);
