// The output files of a take: their names, opening and locking, headers,
// sample writes, and what is left of them when a take ends early.
//
// Threads: opened and closed on the main thread; during the take the
// writer thread alone writes to them, and the take thread mends them only
// once the writer has stopped (or, after a second signal, is stuck).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "files/names.h"
#include "wav/wav.h"

// The channel mode, derived once from the request's channel count and
// stereo flag.
struct ChannelMode {
  std::array<int32_t, 2> channelOn = {1, 0};  // channel c has file c
  int32_t stereo = 0;         // file 1 holds both channels, interleaved
  int32_t meterChannels = 1;  // scanned, metered and reported: 1 or 2
  uint32_t blockAlign = 0;    // bytes of one frame in an output file
};

struct OutputFile {
  int fd = -1;
  const char* name = nullptr;
  bool created = false;  // by this take, so a refused start removes it
  bool regular = false;
  bool pipe = false;  // or a FIFO
};

struct Outputs {
  std::array<OutputFile, 2> files;             // entry c: channel c's file
  std::array<uint8_t, kHeaderBytes> header{};  // as written to each
  uint32_t blockAlign = 0;
  uint32_t sampleRate = 0;
};

// A failed write, sync or close, or a file changed behind the take's back:
// the file and why.
struct OutputFailure {
  const char* name = nullptr;
  const char* reason = nullptr;
  explicit operator bool() const { return name != nullptr; }
};

enum class OpenResult { kOpened, kRefused, kSignalled };

// Takes the user's names or makes up new ones, opens and locks every file
// without truncating it, then writes each header for `totalFrames` frames.
// A start refused (with its message) or ended by a signal leaves the folder
// as it was: the files it created are removed.
OpenResult OpenOutputs(const ChannelMode& mode, uint32_t sampleRate,
                       int32_t totalFrames, uint32_t bytesPerSample,
                       int32_t autoName, NameBuffer nameList,
                       NameBuffer nameScratch, Outputs* outputs);

// The reason for errno `error`, as strerror gives it in the C locale; safe
// on any thread, which strerror is not.
const char* ErrorText(int error);

// After a complete take of `dataBytes` per file: each regular file still
// has a name, its size and its header are what was written.
OutputFailure CheckOutputs(const Outputs& outputs, uint64_t dataBytes);

// Puts every file on storage.
OutputFailure SyncOutputs(const Outputs& outputs);

// During the take, once `dataBytes` are written to each file: each regular
// file still has a name, its size and header are what was written, and, if
// `sync`, its samples and size are put on storage, so that a power loss
// keeps them.
OutputFailure KeepOutputs(const Outputs& outputs, uint64_t dataBytes,
                          bool sync);

// Closes every file.
OutputFailure CloseOutputs(const Outputs& outputs);

// After a take that ended early: each regular file cut to whole frames, its
// header rewritten to state what it holds.
void MendOutputs(const Outputs& outputs);
