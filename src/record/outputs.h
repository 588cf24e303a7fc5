// The output files of a take: their names, opening and locking, headers,
// sample writes, and what is left of them when a take ends early.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "record/record.h"

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
};
using Outputs = std::array<OutputFile, 2>;  // entry c: channel c's file

// Takes the user's names or makes up new ones, opens and locks every file
// without truncating it, then writes each header for `totalFrames` frames.
// A start that cannot be made ends the process with status 1 and leaves
// the folder as it was. From here until CloseOutputs, SIGINT, SIGTERM and
// SIGHUP make each file's header state what it holds before they end the
// process.
Outputs OpenOutputs(const ChannelMode& mode, uint32_t sampleRate,
                    int32_t totalFrames, uint32_t bytesPerSample,
                    int32_t autoName, NameBuffer nameList,
                    NameBuffer nameScratch);

// Appends to one file; a failed write ends the take.
void WriteOutput(const OutputFile& output, const uint8_t* data, size_t bytes);

// Puts every file on storage and closes it; a failure ends the take.
void CloseOutputs(const Outputs& outputs);

// Ends a take that failed midway: the message on standard error, every
// file's header rewritten to state the whole frames it holds, status 1.
[[noreturn]] void FailTake(const char* format, ...)
    __attribute__((format(printf, 1, 2)));
