// The capture device: its set-up and the reading of periods.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

struct Device {
  snd_pcm_t* pcm = nullptr;
  int32_t periodFrames = 0;  // what the device accepted
  uint32_t bytesPerSample = 0;
};

// Opens `deviceName` for capture with two non-interleaved channels at
// `sampleRate`. A device that cannot be opened or refuses the format or the
// parameters ends the process with status 1 and its report.
Device OpenDevice(const char* deviceName, uint32_t sampleRate,
                  uint32_t bytesPerSample);

// Reads one period into `pair`, channel 1's half first, each half
// `periodFrames` samples. An overrun or a suspend is counted, marked with
// "RX" and recovered from; the frames it lost are silence. Returns 0 with
// *frames the whole period, or the error that ends the take with *frames
// those captured before it.
int ReadPeriod(const Device& device, uint8_t* pair, int32_t* overrunCount,
               int32_t* frames);
