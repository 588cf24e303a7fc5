#include "cli/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "base/console_fd.h"
#include "device/formats.h"
#include "take/record.h"

namespace {

constexpr const char* kUsage[] = {
    "\nZelk 2.02 (2f) by Tervane",
    "",
    "This is a 1 or 2 channel recording program.",
    "You must add at least two command line arguments:",
    "\t1.  The recording format\n\t2.  The recording duration in seconds.",
    "",
    "The possible formats are as follows:",
    "Format\tBits\tSample rate",
    "1644\t16\t44100",
    "1648\t16\t48000",
    "2444\t24\t44100",
    "2448\t24\t48000",
    "1688\t16\t88200",
    "1696\t16\t96000",
    "2488\t24\t88200",
    "2496\t24\t96000",
    "",
    "Example:  zelk 1644 60",
    "This will record for 60 seconds at 16 bits and 44,100 Hz",
    "",
    "If no file name is specified, the program will create one.",
    "",
    "The complete list of arguments is as follows:",
    "",
    "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>",
    "",
    "You may enter just d for the default system recording device.",
    "plughw:0,0 is often used for the device name.",
    "",
    "To create an interleaved stereo file, use s instead of 1 or 2 for",
    "the number of channels.  Only one filename is needed or created.",
};

int Refuse(const char* message) {
  std::fprintf(ConsoleStream(), "%s\n", message);
  return 1;
}

// A standard stream closed when we start would hand its descriptor to the
// first file opened, and the console would be written into a take.
void OpenClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

// A take written to standard output (/dev/stdout, or a file it is
// redirected to) must hold nothing but the take: the console goes to
// standard error instead.
bool IsStandardOutput(const char* name) {
  struct stat out {
  }, file{};
  return name != nullptr && fstat(1, &out) == 0 && stat(name, &file) == 0 &&
         out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

bool ReadsAsTwo(const char* channels) {
  return std::strcmp(channels, "s") != 0 &&
         std::strtol(channels, nullptr, 10) == 2;
}

// Reads one white-space delimited word as scanf("%s") would, keeping at most
// answer.size() - 1 characters; the rest of a longer word is consumed and
// `truncated` set. Returns false at the end of input (or a read error) before
// any character of a word.
bool ReadWord(std::array<char, 4>& answer, bool& truncated) {
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && std::isspace(static_cast<unsigned char>(c)));
  if (c == EOF) return false;
  std::size_t length = 0;
  truncated = false;
  for (; c != EOF && !std::isspace(static_cast<unsigned char>(c));
       c = std::getchar()) {
    if (length + 1 < answer.size()) {
      answer[length++] = static_cast<char>(c);
    } else {
      truncated = true;
    }
  }
  answer[length] = '\0';
  return true;
}

// The names that will be recorded into must each be one usable line of the
// name list, and two channels must not share one file.
bool UsableNames(const char* first, const char* second) {
  std::size_t listBytes = 1;  // the terminating NUL
  for (const char* name : {first, second}) {
    if (name == nullptr) continue;
    std::size_t length = std::strlen(name);
    if (length == 0 || std::strchr(name, '\n') != nullptr) return false;
    listBytes += length + 1;
  }
  if (listBytes > kNameBufferBytes) return false;
  return second == nullptr || std::strcmp(first, second) != 0;
}

}  // namespace

void Help() {
  for (const char* line : kUsage) std::fprintf(ConsoleStream(), "%s\n", line);
}

int CheckFileName(const char* fileName) {
  // Whatever its permissions, a file that is there would be replaced. A
  // dangling symbolic link names nothing yet.
  struct stat st {};
  return stat(fileName, &st) == 0 ? 2 : 1;
}

int CheckOverwrite(const char* fileName) {
  std::FILE* console = ConsoleStream();
  std::fprintf(console, "\nFile %s already exists!\n", fileName);
  std::fputs("Enter 'x' to exit or 'o' to overwrite\n", console);
  std::fflush(console);  // a program driving us through a pipe must see it
  std::array<char, 4> answer = {'0', '\0'};
  bool truncated = false;
  while (ReadWord(answer, truncated)) {
    if (truncated) continue;
    std::string_view word(answer.data());
    if (word == "x") return 1;
    if (word == "o") return 2;
  }
  return 1;  // no answer will come: leave every file as it is
}

int ZelkMain(int argc, char** argv) {
  OpenClosedStandardStreams();
  // The console only shows the take: a reader of our output that goes away
  // must not end it. A file size limit is a failed write, as a full disk.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const int args = argc - 1;
  if ((args >= 5 && IsStandardOutput(argv[5])) ||
      (args >= 6 && ReadsAsTwo(argv[4]) && IsStandardOutput(argv[6]))) {
    SendConsoleTo(2);
  }
  if (args < 2) {
    Help();
    return 1;
  }

  const RecordingFormat* format = FindFormat(argv[1]);
  if (format == nullptr) return Refuse("Improper format request");

  const float duration = static_cast<float>(std::strtod(argv[2], nullptr));
  if (!(duration > 0.0f) || !std::isfinite(duration)) {
    return Refuse("Improper duration request");
  }

  std::array<char, kDeviceNameBytes> deviceName{"default"};
  if (args >= 3) {
    const std::size_t length = std::strlen(argv[3]);
    // Cutting a long name would open some other device than the one typed.
    if (length >= deviceName.size()) {
      return Refuse("Improper device name request");
    }
    std::memcpy(deviceName.data(), argv[3], length + 1);
  }

  int32_t channelCount = 1;
  int32_t stereo = 0;
  if (args >= 4) {
    if (std::strcmp(argv[4], "s") == 0) {
      stereo = 1;
    } else {
      const long channels = std::strtol(argv[4], nullptr, 10);
      if (channels != 1 && channels != 2) {
        return Refuse("Improper channel number request");
      }
      channelCount = static_cast<int32_t>(channels);
    }
  }

  static std::array<char, kNameBufferBytes> nameList;
  static std::array<char, kNameBufferBytes> nameScratch;
  nameList[0] = '\0';
  int32_t autoName = 1;
  if (args >= 5) {
    const char* first = argv[5];
    const char* second = (channelCount == 2 && args >= 6) ? argv[6] : nullptr;
    if (!UsableNames(first, second)) {
      return Refuse("Improper file name request");
    }

    const bool firstPresent = CheckFileName(first) == 2;
    const bool secondPresent = second != nullptr && CheckFileName(second) == 2;
    if (firstPresent && CheckOverwrite(first) == 1) return 1;
    if (secondPresent && CheckOverwrite(second) == 1) return 1;
    if (channelCount == 2 && second == nullptr) {
      return Refuse(
          "2 channels were requested, but on1y 1 filename was entered!");
    }

    std::snprintf(nameList.data(), nameList.size(), "%s\n%s%s", first,
                  second != nullptr ? second : "",
                  second != nullptr ? "\n" : "");
    autoName = 0;
  }

  if (std::strcmp(deviceName.data(), "d") == 0) {
    std::snprintf(deviceName.data(), deviceName.size(), "default");
  }

  nameScratch[0] = '\0';
  return RECORD(deviceName.data(), format->sampleRate, duration, channelCount,
                format->bytesPerSample, autoName, nameList, nameScratch,
                stereo);
}
