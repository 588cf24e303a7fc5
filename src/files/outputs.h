// The output files of a take: their names, opening and locking, headers,
// the checks and syncs during the take (the writer thread writes the
// samples), and what is left of them when a take ends early.
//
// Threads: opened and closed on the main thread; during the take the
// writer thread alone writes to them, and the take thread mends them only
// once the writer has stopped (or, after a second signal, is stuck).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/failure.h"
#include "request/request.h"
#include "wav/wav.h"

struct OutputFile {
  int fd = -1;
  std::string name;
  bool created = false;  // by this take, so a refused start removes it
  bool regular = false;
  bool pipe = false;  // or a FIFO
};

struct Outputs {
  std::array<OutputFile, 2> files;             // entry c: file c
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

// Takes the request's names or makes up new ones, opens and locks every
// file without truncating it, then writes each header for `totalFrames`
// frames. Opening stops once `ending` says the take is to end: a FIFO's open
// waits for its reader until then. A start refused or ended leaves the
// folder as it was: the files it created are removed, and the result says
// why (a silent failure when it was ended: the user who sent the signal
// knows).
std::optional<Failure> OpenOutputs(const TakeRequest& request,
                                   int32_t totalFrames, bool (*ending)(),
                                   Outputs* outputs);

// What the user is told of `failure` at the end of a take.
Failure Told(const OutputFailure& failure);

// Seconds since 16:09:00 UTC on 10 October 2012: the number in the names
// zelk makes up.
int32_t NewTime();

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
