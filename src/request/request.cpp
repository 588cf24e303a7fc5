#include "request/request.h"

#include <cmath>
#include <cstdlib>
#include <optional>

namespace {

// The usage text, told when fewer than two arguments are given.
constexpr const char* kHelp =
    "\nZelk 2.02 (2f) by Tervane\n"
    "\n"
    "This is a 1 or 2 channel recording program.\n"
    "You must add at least two command line arguments:\n"
    "\t1.  The recording format\n\t2.  The recording duration in seconds.\n"
    "\n"
    "The possible formats are as follows:\n"
    "Format\tBits\tSample rate\n"
    "1644\t16\t44100\n"
    "1648\t16\t48000\n"
    "2444\t24\t44100\n"
    "2448\t24\t48000\n"
    "1688\t16\t88200\n"
    "1696\t16\t96000\n"
    "2488\t24\t88200\n"
    "2496\t24\t96000\n"
    "\n"
    "Example:  zelk 1644 60\n"
    "This will record for 60 seconds at 16 bits and 44,100 Hz\n"
    "\n"
    "If no file name is specified, the program will create one.\n"
    "\n"
    "The complete list of arguments is as follows:\n"
    "\n"
    "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n"
    "\n"
    "You may enter just d for the default system recording device.\n"
    "plughw:0,0 is often used for the device name.\n"
    "\n"
    "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
    "the number of channels.  Only one filename is needed or created.\n";

Failure Help() { return {kHelp, ""}; }

Failure Refusal(const char* message) {
  return {std::string(message) + "\n", ""};
}

const RecordingFormat* FindFormat(std::string_view code) {
  for (const RecordingFormat& format : kFormats) {
    if (format.code == code) return &format;
  }
  return nullptr;
}

// "s", or a number that reads as 1 or 2 (as strtol reads it: "2x", " 2"
// and "+2" are 2).
std::optional<Layout> ReadLayout(const char* word) {
  if (std::string_view(word) == "s") return Layout::kStereo;
  const long channels = std::strtol(word, nullptr, 10);
  if (channels == 1) return Layout::kMono;
  if (channels == 2) return Layout::kDualMono;
  return std::nullopt;
}

// A name must not be empty or hold a line end, the names together must fit
// kNameListBytes, and two channels must not share one file.
bool UsableNames(const std::vector<std::string>& names) {
  std::size_t listBytes = 1;  // the terminating NUL
  for (const std::string& name : names) {
    if (name.empty() || name.find('\n') != std::string::npos) return false;
    listBytes += name.size() + 1;
  }
  if (listBytes > kNameListBytes) return false;
  return names.size() < 2 || names[0] != names[1];
}

// The names given for the files, after the format, duration and device
// have been read.
std::variant<TakeRequest, Failure> ReadNames(std::span<const char* const> args,
                                             TakeRequest request,
                                             std::vector<std::string>& asked) {
  if (args.size() >= 5) {
    const bool dual = request.layout == Layout::kDualMono;
    std::vector<std::string> names(
        args.begin() + 4, args.begin() + (dual && args.size() >= 6 ? 6 : 5));
    if (!UsableNames(names)) return Refusal("Improper file name request");
    asked = names;
    if (dual && names.size() < 2) {
      return Refusal(
          "2 channels were requested, but on1y 1 filename was entered!");
    }
    request.names = std::move(names);
  }
  if (request.device == "d") request.device = "default";
  return request;
}

std::variant<TakeRequest, Failure> Read(std::span<const char* const> args,
                                        std::optional<Layout> layout,
                                        std::vector<std::string>& asked) {
  if (args.size() < 2) return Help();
  TakeRequest request;
  const RecordingFormat* format = FindFormat(args[0]);
  if (format == nullptr) return Refusal("Improper format request");
  request.format = *format;
  request.duration = static_cast<float>(std::strtod(args[1], nullptr));
  if (!(request.duration > 0.0f) || !std::isfinite(request.duration)) {
    return Refusal("Improper duration request");
  }
  if (args.size() >= 3) {
    // Cutting a long name would open some other device than the one typed.
    request.device = args[2];
    if (request.device.size() >= kDeviceNameBytes) {
      return Refusal("Improper device name request");
    }
  }
  if (args.size() >= 4) {
    if (!layout) return Refusal("Improper channel number request");
    request.layout = *layout;
  }
  return ReadNames(args, std::move(request), asked);
}

}  // namespace

CommandLine ReadCommandLine(std::span<const char* const> args) {
  CommandLine line;
  const std::optional<Layout> layout =
      args.size() >= 4 ? ReadLayout(args[3]) : Layout::kMono;
  if (args.size() >= 5) line.outputs.emplace_back(args[4]);
  if (args.size() >= 6 && layout == Layout::kDualMono) {
    line.outputs.emplace_back(args[5]);
  }
  line.outcome = Read(args, layout, line.asked);
  return line;
}
