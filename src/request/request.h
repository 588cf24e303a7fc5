// What the user asked for, read from the command line once: the format,
// the duration, the device, the channel layout and the files.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/failure.h"

// Which of the device's two input channels are kept, and in what files.
enum class Layout : uint8_t {
  kMono,      // channel 1 in file 1
  kDualMono,  // channel 1 in file 1, channel 2 in file 2
  kStereo,    // both channels in file 1, interleaved
};

constexpr int ChannelsMetered(Layout layout) {
  return layout == Layout::kMono ? 1 : 2;
}

constexpr int FilesWritten(Layout layout) {
  return layout == Layout::kDualMono ? 2 : 1;
}

constexpr uint32_t SamplesPerFileFrame(Layout layout) {
  return layout == Layout::kStereo ? 2 : 1;
}

// Whether input channel `channel` (0 or 1) is written to file `channel`.
constexpr bool HasOwnFile(Layout layout, int channel) {
  return channel == 0 || layout == Layout::kDualMono;
}

struct RecordingFormat {
  std::string_view code;
  uint32_t sampleRate;
  uint32_t bytesPerSample;
};

inline constexpr std::array<RecordingFormat, 8> kFormats = {{
    {"1644", 44100, 2},
    {"1648", 48000, 2},
    {"2444", 44100, 3},
    {"2448", 48000, 3},
    {"1688", 88200, 2},
    {"1696", 96000, 2},
    {"2488", 88200, 3},
    {"2496", 96000, 3},
}};

// The file names the user gives, each counted with a line end, and one byte
// more, fit in this many bytes, as they always have: longer ones are
// refused rather than recorded under names cut short.
inline constexpr std::size_t kNameListBytes = 4096;
// A device name is shorter than this.
inline constexpr std::size_t kDeviceNameBytes = 64;

struct TakeRequest {
  RecordingFormat format = kFormats[0];
  float duration = 0;
  std::string device = "default";
  Layout layout = Layout::kMono;
  // File c's name, one for each file written; empty: zelk makes them up.
  std::vector<std::string> names;
};

// The command line as read, before anything outside it is looked at.
struct CommandLine {
  // The request, or the refusal the user is told.
  std::variant<TakeRequest, Failure> outcome;
  // The names the files would be written to, file 1 first, however the
  // rest of the line reads: one of them may be standard output.
  std::vector<std::string> outputs;
  // Each of these that names an existing file is asked about, in order,
  // before the outcome counts.
  std::vector<std::string> asked;
};

// Reads the arguments after the program's name.
CommandLine ReadCommandLine(std::span<const char* const> args);
