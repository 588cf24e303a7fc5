// The recording formats the command line offers.
#pragma once

#include <alsa/asoundlib.h>

#include <array>
#include <cstdint>
#include <string_view>

struct RecordingFormat {
  std::string_view code;
  uint32_t sampleRate;
  uint32_t bytesPerSample;
  snd_pcm_format_t alsaFormat;
};

inline constexpr std::array<RecordingFormat, 8> kFormats = {{
    {"1644", 44100, 2, SND_PCM_FORMAT_S16_LE},
    {"1648", 48000, 2, SND_PCM_FORMAT_S16_LE},
    {"2444", 44100, 3, SND_PCM_FORMAT_S24_3LE},
    {"2448", 48000, 3, SND_PCM_FORMAT_S24_3LE},
    {"1688", 88200, 2, SND_PCM_FORMAT_S16_LE},
    {"1696", 96000, 2, SND_PCM_FORMAT_S16_LE},
    {"2488", 88200, 3, SND_PCM_FORMAT_S24_3LE},
    {"2496", 96000, 3, SND_PCM_FORMAT_S24_3LE},
}};

// The format whose code equals `code` as a whole string, or nullptr.
const RecordingFormat* FindFormat(std::string_view code);

// The ALSA sample format for `bytesPerSample`, or SND_PCM_FORMAT_UNKNOWN.
snd_pcm_format_t AlsaFormat(uint32_t bytesPerSample);
