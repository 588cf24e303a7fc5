#include "files/outputs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "base/console_fd.h"
#include "take/signals.h"

namespace {

constexpr int32_t kTimeEpoch = 1349885340;  // 2012-10-10 16:09:00 UTC

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the files this take created and closes them all. A file created
// through a dangling symbolic link is removed where it is; the link stays.
void RemoveCreated(const Outputs& outputs) {
  for (const OutputFile& output : outputs.files) {
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

// Opens an output for writing; a regular file for reading too where it may
// be read, so that its header can be read back at the end. (Not a FIFO:
// opened for reading as well, it would never wait for its reader.)
int OpenOutput(const char* name, int flags) {
  struct stat st {};
  if (stat(name, &st) != 0 || S_ISREG(st.st_mode)) {
    const int fd = open(name, O_RDWR | O_CLOEXEC | flags, 0666);
    if (fd >= 0 || errno != EACCES) return fd;
  }
  return open(name, O_WRONLY | O_CLOEXEC | flags, 0666);
}

// Opens `name` for writing without truncating what it holds.
int OpenForTake(const char* name, bool* created) {
  int fd = OpenOutput(name, O_CREAT | O_EXCL);
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) {
    fd = OpenOutput(name, 0);
    if (fd < 0 && errno == ENOENT) {  // a dangling symbolic link
      fd = OpenOutput(name, O_CREAT);
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
void CreateGeneratedNames(const ChannelMode& mode, NameBuffer nameList,
                          NameBuffer nameScratch, Outputs* outputs) {
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
    *outputs = Outputs{};
    bool taken = false;
    for (int c = 0; c < 2 && !taken; ++c) {
      if (mode.channelOn[c] == 0) continue;
      OutputFile& output = outputs->files[c];
      output.name = names[c];
      output.fd = OpenOutput(output.name, O_CREAT | O_EXCL);
      output.created = output.fd >= 0;
      taken = output.fd < 0 && errno == EEXIST;
    }
    if (!taken) return;
    RemoveCreated(*outputs);
  }
}

// Opens the user's names; an ending signal stops the opening (a FIFO's open
// waits for its reader until one comes).
void OpenNamedFiles(const ChannelMode& mode, NameBuffer nameList,
                    NameBuffer nameScratch, Outputs* outputs,
                    std::array<int, 2>* errors) {
  const std::array<const char*, 2> names = SplitNames(nameList, nameScratch);
  for (int c = 0; c < 2 && FirstEndingSignal() == 0; ++c) {
    if (mode.channelOn[c] == 0 || names[c] == nullptr) continue;
    OutputFile& output = outputs->files[c];
    output.name = names[c];
    output.fd = OpenForTake(names[c], &output.created);
    (*errors)[c] = errno;
  }
}

void CantOpen(const char* name, const char* why) {
  std::fprintf(ConsoleStream(), "Can't open %s for recording\n", name);
  std::fflush(ConsoleStream());
  std::fprintf(stderr, "zelk: %s: %s\n", name, why);
}

// Every file must be open, a file of its own, and not in another take.
bool Usable(const ChannelMode& mode, Outputs& outputs,
            const std::array<int, 2>& errors) {
  std::array<struct stat, 2> st{};
  for (int c = 0; c < 2; ++c) {
    OutputFile& output = outputs.files[c];
    if (mode.channelOn[c] == 0 || output.name == nullptr) continue;
    if (output.fd < 0 || fstat(output.fd, &st[c]) != 0) {
      CantOpen(output.name, std::strerror(output.fd < 0 ? errors[c] : errno));
      return false;
    }
    output.regular = S_ISREG(st[c].st_mode);
    output.pipe = S_ISFIFO(st[c].st_mode);
  }
  // Two names of one file would append both channels into it.
  if (outputs.files[0].fd >= 0 && outputs.files[1].fd >= 0 &&
      SameFile(st[0], st[1])) {
    std::fputs("Improper file name request\n", ConsoleStream());
    return false;
  }
  // Only regular files: two takes into /dev/null do not get in each other's
  // way. The lock is advisory; it keeps other takes out. A file system
  // without locks records unlocked.
  for (const OutputFile& output : outputs.files) {
    if (output.regular && flock(output.fd, LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
      CantOpen(output.name, "another take is recording into it");
      return false;
    }
  }
  return true;
}

// Files this take created, and devices, go first: a header that cannot be
// written is then found while every existing file is still intact.
bool WriteHeaders(const Outputs& outputs) {
  for (const bool existing : {false, true}) {
    for (const OutputFile& output : outputs.files) {
      const bool truncates = output.regular && !output.created;
      if (output.fd < 0 || truncates != existing) continue;
      if ((truncates && ftruncate(output.fd, 0) != 0) ||
          !WriteFully(output.fd, outputs.header.data(),
                      outputs.header.size())) {
        std::fflush(ConsoleStream());
        std::fprintf(stderr, "Can't write %s: %s\n", output.name,
                     std::strerror(errno));
        return false;
      }
    }
  }
  return true;
}

// A regular file still has a name, and its size and header are what was
// written.
OutputFailure CheckOutput(const Outputs& outputs, const OutputFile& output,
                          uint64_t dataBytes) {
  struct stat st {};
  std::array<uint8_t, kHeaderBytes> header{};
  if (fstat(output.fd, &st) != 0) return {output.name, ErrorText(errno)};
  // Removed, with its folder perhaps: nothing on disk will keep it.
  if (st.st_nlink == 0) return {output.name, "Removed during the take"};
  // Cut short, and perhaps written on after: a hole where the header was.
  // (A file we may only write to cannot be read back.)
  const ssize_t read = pread(output.fd, header.data(), header.size(), 0);
  if (static_cast<uint64_t>(st.st_size) != kHeaderBytes + dataBytes ||
      (read >= 0 && header != outputs.header) || (read < 0 && errno != EBADF)) {
    return {output.name, "Cut short during the take"};
  }
  return {};
}

}  // namespace

int32_t NewTime() {
  return static_cast<int32_t>(std::time(nullptr) - kTimeEpoch);
}

OpenResult OpenOutputs(const ChannelMode& mode, uint32_t sampleRate,
                       int32_t totalFrames, uint32_t bytesPerSample,
                       int32_t autoName, NameBuffer nameList,
                       NameBuffer nameScratch, Outputs* outputs) {
  *outputs = Outputs{};
  std::array<int, 2> errors = {0, 0};
  if (autoName == 1) {
    CreateGeneratedNames(mode, nameList, nameScratch, outputs);
  } else {
    OpenNamedFiles(mode, nameList, nameScratch, outputs, &errors);
  }
  outputs->blockAlign = mode.blockAlign;
  outputs->sampleRate = sampleRate;
  outputs->header =
      HeaderBytes(sampleRate, totalFrames, bytesPerSample, mode.stereo);
  // An ending signal before the take leaves the folder as it found it.
  const bool opened = FirstEndingSignal() == 0 &&
                      Usable(mode, *outputs, errors) &&
                      FirstEndingSignal() == 0 && WriteHeaders(*outputs);
  if (!opened) {
    RemoveCreated(*outputs);
    return FirstEndingSignal() != 0 ? OpenResult::kSignalled
                                    : OpenResult::kRefused;
  }
  return OpenResult::kOpened;
}

const char* ErrorText(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}

OutputFailure CheckOutputs(const Outputs& outputs, uint64_t dataBytes) {
  for (const OutputFile& output : outputs.files) {
    if (!output.regular) continue;
    if (const OutputFailure failure = CheckOutput(outputs, output, dataBytes)) {
      return failure;
    }
  }
  return {};
}

OutputFailure SyncOutputs(const Outputs& outputs) {
  for (const OutputFile& output : outputs.files) {
    // Pipes and devices such as /dev/null cannot be synced; no loss.
    if (output.fd >= 0 && fsync(output.fd) != 0 && errno != EINVAL &&
        errno != EROFS) {
      return {output.name, ErrorText(errno)};
    }
  }
  return {};
}

OutputFailure KeepOutputs(const Outputs& outputs, uint64_t dataBytes,
                          bool sync) {
  for (const OutputFile& output : outputs.files) {
    if (!output.regular) continue;
    if (const OutputFailure failure = CheckOutput(outputs, output, dataBytes)) {
      return failure;
    }
    // Only the samples and the size: the times can wait for the end.
    if (sync && fdatasync(output.fd) != 0 && errno != EINVAL &&
        errno != EROFS) {
      return {output.name, ErrorText(errno)};
    }
  }
  return {};
}

OutputFailure CloseOutputs(const Outputs& outputs) {
  OutputFailure failure;
  for (const OutputFile& output : outputs.files) {
    if (output.fd >= 0 && close(output.fd) != 0 && !failure) {
      failure = {output.name, ErrorText(errno)};
    }
  }
  return failure;
}

void MendOutputs(const Outputs& outputs) {
  for (const OutputFile& output : outputs.files) {
    if (!output.regular) continue;
    // The whole header: a file cut short during the take lost it.
    pwrite(output.fd, outputs.header.data(), outputs.header.size(), 0);
    MendHeader(output.fd, outputs.blockAlign);
  }
}
