// The writer thread's work; what it may touch is in writer.h.
#include "take/writer.h"

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "base/clock.h"
#include "base/failure.h"
#include "take/bell.h"

namespace {

// Up to this many periods go to a file in one call.
constexpr size_t kBatchSlots = 64;

// Writes all of `parts`, at most `most` bytes a call, however many calls
// that takes; *written counts the bytes that made it. False, errno telling
// why, when the file takes no more.
bool WriteVector(int fd, std::span<iovec> parts, size_t most, size_t* written) {
  *written = 0;
  std::array<iovec, kBatchSlots> call;
  for (;;) {
    while (!parts.empty() && parts.front().iov_len == 0) {
      parts = parts.subspan(1);
    }
    if (parts.empty()) return true;
    size_t count = 0;
    for (size_t room = most; count < parts.size() && room > 0; ++count) {
      call[count] = parts[count];
      call[count].iov_len = std::min(call[count].iov_len, room);
      room -= call[count].iov_len;
    }
    const ssize_t n = writev(fd, call.data(), static_cast<int>(count));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    *written += static_cast<size_t>(n);
    for (auto left = static_cast<size_t>(n); left > 0;) {
      const size_t step = std::min(left, parts.front().iov_len);
      parts.front().iov_base =
          static_cast<uint8_t*>(parts.front().iov_base) + step;
      parts.front().iov_len -= step;
      left -= step;
      if (parts.front().iov_len == 0) parts = parts.subspan(1);
    }
  }
}

// The most bytes one call may write to `file`. A pipe takes a write of up to
// PIPE_BUF bytes whole or not at all, so a take ended while its reader
// stalls leaves the stream on a whole frame; a file is cut to whole frames
// when it is mended. No other device promises that, and /dev/null should
// cost no more calls than a file.
size_t MostPerCall(const OutputFile& file, uint32_t blockAlign) {
  if (!file.pipe) return SIZE_MAX;
  return PIPE_BUF / blockAlign * blockAlign;
}

// Writes `count` periods from slot `first` to every file, in one call to a
// regular file.
// When a file fails, the files after it get only the periods it took whole,
// as they would have one period at a time.
OutputFailure WriteBatch(Writer& writer, size_t first, size_t count) {
  const uint32_t blockAlign = writer.outputs->blockAlign;
  std::array<iovec, kBatchSlots> parts;
  OutputFailure failure;
  for (int c = 0; c < FilesWritten(writer.layout); ++c) {
    for (size_t i = 0; i < count; ++i) {
      const size_t slot = first + i;
      parts[i].iov_base = const_cast<uint8_t*>(writer.ring->Data(slot)) +
                          static_cast<size_t>(c) * writer.half;
      parts[i].iov_len =
          static_cast<size_t>(writer.ring->Frames(slot)) * blockAlign;
    }
    const OutputFile& file = writer.outputs->files[c];
    size_t written = 0;
    if (!WriteVector(file.fd, {parts.data(), count},
                     MostPerCall(file, blockAlign), &written)) {
      if (!failure) failure = {file.name.c_str(), ErrorText(errno)};
      size_t whole = 0;
      for (size_t bytes = 0; whole < count; ++whole) {
        bytes += static_cast<size_t>(writer.ring->Frames(first + whole)) *
                 blockAlign;
        if (bytes > written) break;
      }
      count = whole;
    }
  }
  return failure;
}

}  // namespace

void RunWriter(Writer& writer) {
  const Outputs& outputs = *writer.outputs;
  // Frames put on storage, and frames written since: a batch of half a
  // second or more is synced (the ring's batches are about a second), so
  // that a power loss costs about a second at most, however long the take.
  uint64_t kept = 0;
  uint64_t unkept = 0;
  size_t first = 0;
  for (size_t count; !writer.failure && (count = writer.ring->Next(&first));) {
    count = std::min(count, kBatchSlots);
    writer.writingSinceNs.store(MonotonicNs());
    writer.failure = WriteBatch(writer, first, count);
    for (size_t i = 0; i < count; ++i) {
      unkept += static_cast<uint64_t>(writer.ring->Frames(first + i));
    }
    // The capture may fill these slots while the files are synced.
    writer.ring->Release(count);
    if (!writer.failure && 2 * unkept >= outputs.sampleRate) {
      kept += unkept;
      unkept = 0;
      // A disk slower than the take could not keep up with a sync each
      // time: then the audio comes first, and the page cache holds it.
      writer.failure = KeepOutputs(outputs, kept * outputs.blockAlign,
                                   !writer.ring->Behind());
    }
    writer.writingSinceNs.store(0);
  }
  writer.finished.store(true);
  Wake(writer.wakeFd);
}
