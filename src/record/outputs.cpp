#include "record/outputs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wav/wav.h"

namespace {

constexpr std::array<int, 3> kEndingSignals = {SIGINT, SIGTERM, SIGHUP};

// The files the signal mend reaches. They change only while the ending
// signals are blocked, so the handler never sees a descriptor being closed
// (and perhaps already reused).
std::array<int, 2> mendFds = {-1, -1};
uint32_t mendBlockAlign = 0;

sigset_t EndingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kEndingSignals) sigaddset(&set, s);
  return set;
}

void BlockEndingSignals(bool block) {
  const sigset_t set = EndingSignals();
  sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void MendAll() {
  for (int fd : mendFds) {
    if (fd >= 0) MendHeader(fd, mendBlockAlign);
  }
}

// Runs in a signal handler, so only async-signal-safe calls: the headers
// are made to state what the files hold, then the signal, whose action is
// the default again, ends the process as it would have without us.
void MendAndEnd(int signal) {
  MendAll();
  std::raise(signal);
}

void InstallMend() {
  struct sigaction mend {};
  mend.sa_handler = MendAndEnd;
  mend.sa_mask = EndingSignals();
  mend.sa_flags = SA_RESETHAND;
  for (int s : kEndingSignals) {
    struct sigaction old {};
    // A signal ignored when we started (nohup) stays ignored.
    if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      sigaction(s, &mend, nullptr);
    }
  }
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the files this take created and closes them all. A file created
// through a dangling symbolic link is removed where it is; the link stays.
void RemoveCreated(const Outputs& outputs) {
  for (const OutputFile& output : outputs) {
    if (output.fd < 0) continue;
    struct stat made {
    }, found{};
    char target[PATH_MAX];
    const char* path =
        realpath(output.name, target) != nullptr ? target : output.name;
    if (output.created && fstat(output.fd, &made) == 0 &&
        stat(path, &found) == 0 && SameFile(made, found)) {
      unlink(path);
    }
    close(output.fd);
  }
}

// A take refused before it records leaves the folder as it found it.
[[noreturn]] void RefuseStart(const Outputs& outputs) {
  RemoveCreated(outputs);
  std::exit(1);
}

// Opens `name` for writing without truncating what it holds.
int OpenForTake(const char* name, bool* created) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) {
    fd = open(name, O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {  // a dangling symbolic link
      fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
      *created = fd >= 0;
    }
  }
  return fd;
}

// Splits a copy of the name list in `nameScratch`: entry c names channel c's
// file, or is null.
std::array<const char*, 2> SplitNames(NameBuffer nameList,
                                      NameBuffer nameScratch) {
  std::memcpy(nameScratch.data(), nameList.data(), nameList.size());
  nameScratch[nameScratch.size() - 1] = '\0';
  std::array<const char*, 2> names = {nullptr, nullptr};
  char* next = nameScratch.data();
  for (int c = 0; c < 2 && *next != '\0'; ++c) {
    char* end = std::strchr(next, '\n');
    if (end == nullptr) end = next + std::strlen(next);
    const bool last = *end == '\0';
    *end = '\0';
    names[c] = next;
    if (last) break;
    next = end + 1;
  }
  return names;
}

// Generated names never replace a file: both channels of a take share one
// number, raised until each of their names could be created.
Outputs CreateGeneratedNames(const ChannelMode& mode, NameBuffer nameList,
                             NameBuffer nameScratch) {
  for (int64_t number = NewTime();; ++number) {
    size_t used = 0;
    for (int c = 0; c < 2; ++c) {
      if (mode.channelOn[c] == 0) continue;
      used += static_cast<size_t>(
          std::snprintf(nameList.data() + used, nameList.size() - used,
                        "rec_chan_%li_%li.wav\n", static_cast<long>(c + 1),
                        static_cast<long>(number)));
    }
    const std::array<const char*, 2> names = SplitNames(nameList, nameScratch);
    Outputs outputs;
    bool taken = false;
    for (int c = 0; c < 2 && !taken; ++c) {
      if (mode.channelOn[c] == 0) continue;
      OutputFile& output = outputs[c];
      output.name = names[c];
      output.fd =
          open(output.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      output.created = output.fd >= 0;
      taken = output.fd < 0 && errno == EEXIST;
    }
    if (!taken) return outputs;
    RemoveCreated(outputs);
  }
}

Outputs OpenNamedFiles(const ChannelMode& mode, NameBuffer nameList,
                       NameBuffer nameScratch) {
  const std::array<const char*, 2> names = SplitNames(nameList, nameScratch);
  Outputs outputs;
  for (int c = 0; c < 2; ++c) {
    if (mode.channelOn[c] == 0 || names[c] == nullptr) continue;
    outputs[c].name = names[c];
    outputs[c].fd = OpenForTake(names[c], &outputs[c].created);
  }
  return outputs;
}

// Every file must be open, a file of its own, and not in another take.
void CheckUsable(const ChannelMode& mode, Outputs& outputs) {
  bool usable = true;
  std::array<struct stat, 2> st{};
  for (int c = 0; c < 2; ++c) {
    OutputFile& output = outputs[c];
    if (mode.channelOn[c] == 0 || output.name == nullptr) continue;
    if (output.fd < 0 || fstat(output.fd, &st[c]) != 0) {
      std::printf("Can't open %s for recording\n", output.name);
      usable = false;
    }
    output.regular = output.fd >= 0 && S_ISREG(st[c].st_mode);
  }
  if (!usable) RefuseStart(outputs);
  // Two names of one file would append both channels into it.
  if (outputs[0].fd >= 0 && outputs[1].fd >= 0 && SameFile(st[0], st[1])) {
    std::puts("Improper file name request");
    RefuseStart(outputs);
  }
  // Only regular files: two takes into /dev/null do not get in each other's
  // way. The lock is advisory; it keeps other takes out.
  for (const OutputFile& output : outputs) {
    if (output.regular && flock(output.fd, LOCK_EX | LOCK_NB) != 0) {
      std::printf("Can't open %s for recording\n", output.name);
      usable = false;
    }
  }
  if (!usable) RefuseStart(outputs);
}

// Files this take created, and devices, go first: a header that cannot be
// written is then found while every existing file is still intact.
void WriteHeaders(const ChannelMode& mode, const Outputs& outputs,
                  uint32_t sampleRate, int32_t totalFrames,
                  uint32_t bytesPerSample) {
  for (const bool existing : {false, true}) {
    for (const OutputFile& output : outputs) {
      const bool truncates = output.regular && !output.created;
      if (output.fd < 0 || truncates != existing) continue;
      if ((truncates && ftruncate(output.fd, 0) != 0) ||
          !MAKE_HEADER(output.fd, sampleRate, totalFrames, bytesPerSample,
                       mode.stereo)) {
        std::fflush(stdout);
        std::fprintf(stderr, "Can't write %s: %s\n", output.name,
                     std::strerror(errno));
        RefuseStart(outputs);
      }
    }
  }
}

}  // namespace

Outputs OpenOutputs(const ChannelMode& mode, uint32_t sampleRate,
                    int32_t totalFrames, uint32_t bytesPerSample,
                    int32_t autoName, NameBuffer nameList,
                    NameBuffer nameScratch) {
  Outputs outputs = autoName == 1
                        ? CreateGeneratedNames(mode, nameList, nameScratch)
                        : OpenNamedFiles(mode, nameList, nameScratch);
  // Until the headers are written and the mend is in place, an ending
  // signal waits. Not while opening: a FIFO's open waits for a reader, and
  // Ctrl-C must still end that wait.
  BlockEndingSignals(true);
  CheckUsable(mode, outputs);
  WriteHeaders(mode, outputs, sampleRate, totalFrames, bytesPerSample);
  mendBlockAlign = mode.blockAlign;
  for (int c = 0; c < 2; ++c) {
    if (outputs[c].regular) mendFds[c] = outputs[c].fd;
  }
  InstallMend();
  BlockEndingSignals(false);
  return outputs;
}

void WriteOutput(const OutputFile& output, const uint8_t* data, size_t bytes) {
  if (!WriteFully(output.fd, data, bytes)) {
    FailTake("\nCan't write %s: %s\n", output.name, std::strerror(errno));
  }
}

void CloseOutputs(const Outputs& outputs) {
  for (const OutputFile& output : outputs) {
    // Pipes and devices such as /dev/null cannot be synced; no loss.
    if (output.fd >= 0 && fsync(output.fd) != 0 && errno != EINVAL &&
        errno != EROFS) {
      FailTake("\nCan't write %s: %s\n", output.name, std::strerror(errno));
    }
  }
  BlockEndingSignals(true);
  mendFds = {-1, -1};
  for (const OutputFile& output : outputs) {
    if (output.fd >= 0 && close(output.fd) != 0) {
      FailTake("\nCan't write %s: %s\n", output.name, std::strerror(errno));
    }
  }
  BlockEndingSignals(false);
}

void FailTake(const char* format, ...) {
  BlockEndingSignals(true);  // the mend must not be cut short
  std::fflush(stdout);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  MendAll();
  std::exit(1);
}
