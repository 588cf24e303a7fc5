// The capture device: its set-up and the reading of periods.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.h"

struct Device {
  snd_pcm_t* pcm = nullptr;
  int32_t periodFrames = 0;  // what the device accepted
  uint32_t bytesPerSample = 0;
  uint32_t sampleRate = 0;
  // The device delivers frames (both channels' samples side by side) rather
  // than a block per channel; reads split them.
  bool interleaved = false;
  // Overruns in a row with no frame between them that make the device lost.
  int32_t maxEmptyOverruns = 1;
};

// Opens `deviceName` for capture with two channels at `sampleRate` into
// *device: non-interleaved where the device offers it, else interleaved. A
// device that cannot be opened or refuses the format or the parameters is
// closed again, and the result is its report.
std::optional<Failure> OpenDevice(const std::string& deviceName,
                                  uint32_t sampleRate, uint32_t bytesPerSample,
                                  Device* device);

// What another thread sees of a read in progress, and how it stops one.
struct ReadWatch {
  std::atomic<bool> stop{false};
  // When the device last delivered frames while a read waits for them; 0
  // while no read is waiting on the device.
  std::atomic<int64_t> idleSinceNs{0};
};

// The reading thread's own, from one period to the next.
struct ReadState {
  // Interleaved devices: a period as the device delivers it, two halves.
  uint8_t* frames = nullptr;
  // Overruns in a row with no frame delivered between them.
  int32_t emptyOverruns = 0;
  // When the last frame delivered was captured, by the device's count of
  // what waits behind it; and, after an overrun, since when nothing has
  // been captured. The time between them and the stream's restart is lost.
  int64_t lastFrameNs = 0;
  int64_t lostSinceNs = 0;  // 0 while nothing is lost
  int64_t lostNs = 0;       // in all
};

struct PeriodRead {
  int error = 0;         // 0, or what ended the take
  int32_t frames = 0;    // the whole period, or those captured before error
  bool overrun = false;  // frames were lost and are silence
};

// Reads one period into `pair`, channel 1's half first, each half
// `periodFrames` samples. An overrun or a suspend is recovered from; the
// frames it lost are silence. A device that overruns again and again without
// delivering a frame between (a sound server that has gone away) is lost:
// -ENODEV, before it has made up more than a second of silence. A device
// that only says "try again" is asked again until `watch.stop`, which ends
// the read with -EAGAIN. `startNs` is when the read began.
PeriodRead ReadPeriod(const Device& device, uint8_t* pair, ReadState& state,
                      ReadWatch& watch, int64_t startNs);

// Stops the stream without waiting for it (a capture stream has nothing to
// drain, and some devices never finish draining) and closes the device.
void CloseDevice(const Device& device);
