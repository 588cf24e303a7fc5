#include "wav/wav.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>

namespace {

constexpr int kRiffSizeOffset = 4;
constexpr int kDataSizeOffset = 40;
// The RIFF size counts everything after its own field: the rest of the
// header (36 bytes) plus the data.
constexpr uint32_t kRiffOverhead = kHeaderBytes - 8;

void PutTag(const char (&tag)[5], std::span<uint8_t, 4> dest) {
  std::copy_n(tag, 4, dest.begin());
}

void Decon4(int32_t value, std::span<uint8_t, 4> dest) {
  const auto bits = static_cast<uint32_t>(value);
  dest[0] = static_cast<uint8_t>(bits);
  dest[1] = static_cast<uint8_t>(bits >> 8);
  dest[2] = static_cast<uint8_t>(bits >> 16);
  dest[3] = static_cast<uint8_t>(bits >> 24);
}

void Decon2(uint16_t value, std::span<uint8_t, 2> dest) {
  dest[0] = static_cast<uint8_t>(value);
  dest[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

std::array<uint8_t, kHeaderBytes> HeaderBytes(uint32_t sampleRate,
                                              int32_t frameCount,
                                              uint32_t bytesPerSample,
                                              uint32_t channels) {
  // Unsigned 32-bit throughout, as wide as the fields: a take past 2 GiB
  // gets its true size rather than a negative one.
  const uint32_t blockAlign = bytesPerSample * channels;
  const uint32_t dataSize = static_cast<uint32_t>(frameCount) * blockAlign;

  std::array<uint8_t, kHeaderBytes> header{};
  const std::span<uint8_t, kHeaderBytes> h(header);
  auto u32 = [](uint32_t v) { return static_cast<int32_t>(v); };
  PutTag("RIFF", h.subspan<0, 4>());
  Decon4(u32(dataSize + kRiffOverhead), h.subspan<4, 4>());
  PutTag("WAVE", h.subspan<8, 4>());
  PutTag("fmt ", h.subspan<12, 4>());
  Decon4(16, h.subspan<16, 4>());
  Decon2(1, h.subspan<20, 2>());
  Decon2(static_cast<uint16_t>(channels), h.subspan<22, 2>());
  Decon4(u32(sampleRate), h.subspan<24, 4>());
  Decon4(u32(sampleRate * blockAlign), h.subspan<28, 4>());
  Decon2(static_cast<uint16_t>(blockAlign), h.subspan<32, 2>());
  Decon2(static_cast<uint16_t>(bytesPerSample * 8), h.subspan<34, 2>());
  PutTag("data", h.subspan<36, 4>());
  Decon4(u32(dataSize), h.subspan<40, 4>());
  return header;
}

bool WriteFully(int fd, const uint8_t* data, size_t bytes) {
  while (bytes > 0) {
    const ssize_t written = write(fd, data, bytes);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return false;
    }
    data += written;
    bytes -= static_cast<size_t>(written);
  }
  return true;
}

bool MendHeader(int fd, uint32_t blockAlign) {
  struct stat st {};
  if (blockAlign == 0 || fstat(fd, &st) != 0 || st.st_size < kHeaderBytes) {
    return false;
  }
  const auto payload = static_cast<uint64_t>(st.st_size) - kHeaderBytes;
  const uint64_t dataBytes = payload / blockAlign * blockAlign;
  // The size fields cannot describe more than 4 GiB; past that, claim the
  // most whole frames they can hold rather than a wrapped small number.
  const uint64_t claimed =
      std::min(dataBytes, kMaxDataBytes / blockAlign * blockAlign);
  std::array<uint8_t, 4> dataField{};
  std::array<uint8_t, 4> riffField{};
  Decon4(static_cast<int32_t>(static_cast<uint32_t>(claimed)), dataField);
  Decon4(static_cast<int32_t>(static_cast<uint32_t>(claimed + kRiffOverhead)),
         riffField);
  // pwrite leaves the position where the next period goes.
  return ftruncate(fd, static_cast<off_t>(kHeaderBytes + dataBytes)) == 0 &&
         pwrite(fd, dataField.data(), 4, kDataSizeOffset) == 4 &&
         pwrite(fd, riffField.data(), 4, kRiffSizeOffset) == 4;
}
