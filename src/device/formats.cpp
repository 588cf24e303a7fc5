#include "device/formats.h"

const RecordingFormat* FindFormat(std::string_view code) {
  for (const RecordingFormat& format : kFormats) {
    if (format.code == code) return &format;
  }
  return nullptr;
}

snd_pcm_format_t AlsaFormat(uint32_t bytesPerSample) {
  for (const RecordingFormat& format : kFormats) {
    if (format.bytesPerSample == bytesPerSample) return format.alsaFormat;
  }
  return SND_PCM_FORMAT_UNKNOWN;
}
