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

#include "base/failure.h"

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
    const char* path = realpath(output.name.c_str(), target) != nullptr
                           ? target
                           : output.name.c_str();
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

// Generated names never replace a file: both channels of a take share one
// number, raised until each of their names could be created.
void CreateGeneratedNames(Layout layout, Outputs* outputs) {
  for (int64_t number = NewTime();; ++number) {
    *outputs = Outputs{};
    // Both names are made before either file, so that no file is left
    // behind when there is no memory for a name.
    for (int c = 0; c < FilesWritten(layout); ++c) {
      outputs->files[c].name =
          Printed("rec_chan_%li_%li.wav", static_cast<long>(c) + 1,
                  static_cast<long>(number));
    }
    bool taken = false;
    for (int c = 0; c < FilesWritten(layout) && !taken; ++c) {
      OutputFile& output = outputs->files[c];
      output.fd = OpenOutput(output.name.c_str(), O_CREAT | O_EXCL);
      output.created = output.fd >= 0;
      taken = output.fd < 0 && errno == EEXIST;
    }
    if (!taken) return;
    RemoveCreated(*outputs);
  }
}

// Opens the user's names until `ending` says to stop (a FIFO's open waits
// for its reader until a signal comes).
void OpenNamedFiles(const TakeRequest& request, bool (*ending)(),
                    Outputs* outputs, std::array<int, 2>* errors) {
  // The names are copied before any file is made, as generated ones are.
  for (std::size_t c = 0; c < request.names.size(); ++c) {
    outputs->files[c].name = request.names[c];
  }
  for (std::size_t c = 0; c < request.names.size() && !ending(); ++c) {
    OutputFile& output = outputs->files[c];
    output.fd = OpenForTake(output.name.c_str(), &output.created);
    (*errors)[c] = errno;
  }
}

Failure CantOpen(const std::string& name, const char* why) {
  return {Printed("Can't open %s for recording\n", name.c_str()),
          Printed("zelk: %s: %s\n", name.c_str(), why)};
}

// Every file must be open, a file of its own, and not in another take.
std::optional<Failure> Usable(Outputs& outputs,
                              const std::array<int, 2>& errors) {
  std::array<struct stat, 2> st{};
  for (int c = 0; c < 2; ++c) {
    OutputFile& output = outputs.files[c];
    if (output.name.empty()) continue;
    if (output.fd < 0 || fstat(output.fd, &st[c]) != 0) {
      return CantOpen(output.name,
                      ErrorText(output.fd < 0 ? errors[c] : errno));
    }
    output.regular = S_ISREG(st[c].st_mode);
    output.pipe = S_ISFIFO(st[c].st_mode);
  }
  // Two names of one file would append both channels into it.
  if (outputs.files[0].fd >= 0 && outputs.files[1].fd >= 0 &&
      SameFile(st[0], st[1])) {
    return Failure{"Improper file name request\n", ""};
  }
  // Only regular files: two takes into /dev/null do not get in each other's
  // way. The lock is advisory; it keeps other takes out. A file system
  // without locks records unlocked.
  for (const OutputFile& output : outputs.files) {
    if (output.regular && flock(output.fd, LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
      return CantOpen(output.name, "another take is recording into it");
    }
  }
  return std::nullopt;
}

// Files this take created, and devices, go first: a header that cannot be
// written is then found while every existing file is still intact.
std::optional<Failure> WriteHeaders(const Outputs& outputs) {
  for (const bool existing : {false, true}) {
    for (const OutputFile& output : outputs.files) {
      const bool truncates = output.regular && !output.created;
      if (output.fd < 0 || truncates != existing) continue;
      if ((truncates && ftruncate(output.fd, 0) != 0) ||
          !WriteFully(output.fd, outputs.header.data(),
                      outputs.header.size())) {
        return Failure{"", Printed("Can't write %s: %s\n", output.name.c_str(),
                                   ErrorText(errno))};
      }
    }
  }
  return std::nullopt;
}

// A regular file still has a name, and its size and header are what was
// written.
OutputFailure CheckOutput(const Outputs& outputs, const OutputFile& output,
                          uint64_t dataBytes) {
  struct stat st {};
  std::array<uint8_t, kHeaderBytes> header{};
  if (fstat(output.fd, &st) != 0)
    return {output.name.c_str(), ErrorText(errno)};
  // Removed, with its folder perhaps: nothing on disk will keep it.
  if (st.st_nlink == 0) return {output.name.c_str(), "Removed during the take"};
  // Cut short, and perhaps written on after: a hole where the header was.
  // (A file we may only write to cannot be read back.)
  const ssize_t read = pread(output.fd, header.data(), header.size(), 0);
  if (static_cast<uint64_t>(st.st_size) != kHeaderBytes + dataBytes ||
      (read >= 0 && header != outputs.header) || (read < 0 && errno != EBADF)) {
    return {output.name.c_str(), "Cut short during the take"};
  }
  return {};
}

// A refused start's files go; `failure` says why.
std::optional<Failure> Removed(const Outputs& outputs,
                               std::optional<Failure> failure) {
  RemoveCreated(outputs);
  return failure;
}

}  // namespace

int32_t NewTime() {
  return static_cast<int32_t>(std::time(nullptr) - kTimeEpoch);
}

std::optional<Failure> OpenOutputs(const TakeRequest& request,
                                   int32_t totalFrames, bool (*ending)(),
                                   Outputs* outputs) {
  *outputs = Outputs{};
  std::array<int, 2> errors = {0, 0};
  if (request.names.empty()) {
    CreateGeneratedNames(request.layout, outputs);
  } else {
    OpenNamedFiles(request, ending, outputs, &errors);
  }
  const RecordingFormat& format = request.format;
  outputs->blockAlign =
      format.bytesPerSample * SamplesPerFileFrame(request.layout);
  outputs->sampleRate = format.sampleRate;
  outputs->header =
      HeaderBytes(format.sampleRate, totalFrames, format.bytesPerSample,
                  SamplesPerFileFrame(request.layout));
  // An ending signal before the take leaves the folder as it found it: the
  // user who sent it knows why.
  if (ending()) return Removed(*outputs, Failure{});
  if (auto failure = Usable(*outputs, errors)) {
    return Removed(*outputs, failure);
  }
  if (ending()) return Removed(*outputs, Failure{});
  if (auto failure = WriteHeaders(*outputs)) {
    return Removed(*outputs, failure);
  }
  return std::nullopt;
}

Failure Told(const OutputFailure& failure) {
  return {"", Printed("\nCan't write %s: %s\n", failure.name, failure.reason)};
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
      return {output.name.c_str(), ErrorText(errno)};
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
      return {output.name.c_str(), ErrorText(errno)};
    }
  }
  return {};
}

OutputFailure CloseOutputs(const Outputs& outputs) {
  OutputFailure failure;
  for (const OutputFile& output : outputs.files) {
    if (output.fd >= 0 && close(output.fd) != 0 && !failure) {
      failure = {output.name.c_str(), ErrorText(errno)};
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
