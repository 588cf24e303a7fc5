#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "pattern.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string SandboxName() {
  std::string name = "test";
  if (const auto* info =
          ::testing::UnitTest::GetInstance()->current_test_info()) {
    name = std::string(info->test_suite_name()) + "." + info->name();
  }
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
      c = '_';
  return name;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Sandbox::Sandbox(std::string_view pcmDefinitions) {
  const fs::path root = fs::path(ZELK_BUILD_DIR) / "e2e-tmp";
  std::error_code ec;
  fs::create_directories(root, ec);
  std::string templ = (root / (SandboxName() + "-XXXXXX")).string();
  if (mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp " << templ << ": " << strerror(errno);
  }
  dir_ = templ;
  WriteAsoundrc(pcmDefinitions);
}

Sandbox::~Sandbox() {
  const char* keep = getenv("ZELK_E2E_KEEP");
  if (keep && *keep && strcmp(keep, "0") != 0) return;
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void Sandbox::WriteAsoundrc(std::string_view pcmDefinitions) const {
  std::string text = "pcm_type.zelktest { lib \"" ZELK_TESTDEV "\" }\n";
  text.append(pcmDefinitions);
  text.push_back('\n');
  WriteFileBytes(Path(".asoundrc"), Bytes(text.begin(), text.end()));
}

std::string Sandbox::Path(std::string_view name) const {
  return dir_ + "/" + std::string(name);
}

RunResult RunZelk(const Sandbox& box, const RunOptions& options) {
  return RunProgram(ZELK_BINARY, box, options);
}

RunResult RunProgram(const std::string& program, const Sandbox& box,
                     const RunOptions& options) {
  RunResult result;

  // Everything the child needs is built before fork: after it only
  // async-signal-safe calls are allowed, the test process may have threads.
  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::pair<std::string, std::string>> vars{
      {"HOME", box.Dir()},
      {"PATH", getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"},
      {"LANG", "C"}};
  // Sanitizer settings (suppressions, RLIMIT_AS tolerance) must reach the
  // child in the sanitizer build.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = getenv(name)) vars.emplace_back(name, v);
  for (const auto& [name, value] : options.env) {
    bool replaced = false;
    for (auto& var : vars)
      if (var.first == name) {
        var.second = value;
        replaced = true;
      }
    if (!replaced) vars.emplace_back(name, value);
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : vars)
    envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const std::string cwd = options.cwd.empty() ? box.Dir() : options.cwd;

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return result;
  }
  // A child that exits without reading its input must not kill us.
  signal(SIGPIPE, SIG_IGN);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    return result;
  }
  if (pid == 0) {
    setpgid(0, 0);  // so a timeout also ends whatever it started
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit) {
      struct rlimit rl = {*options.fileSizeLimit, *options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &rl);
      signal(SIGXFSZ, SIG_IGN);  // survives exec: writes fail with EFBIG
    }
    if (options.addressSpaceLimit) {
      struct rlimit rl = {*options.addressSpaceLimit,
                          *options.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &rl);
    }
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  setpgid(pid, pid);  // as the child does: whichever runs first
  close(in[0]);
  close(out[1]);
  close(err[1]);
  int inFd = in[1], outFd = out[0], errFd = err[0];
  fcntl(inFd, F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (options.stdinData.empty()) CloseFd(inFd);

  const bool hasDeadline = options.timeoutSeconds > 0;
  const auto deadline =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double>(options.timeoutSeconds));
  auto msLeft = [&]() -> int {  // rounded up: never kill early
    if (!hasDeadline) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
  };
  auto kill9 = [&] {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    result.timedOut = true;
  };

  // Read both outputs until they close, feeding input as the child takes it.
  while (outFd >= 0 || errFd >= 0) {
    if (hasDeadline && !result.timedOut && msLeft() == 0) kill9();
    struct pollfd fds[3];
    int n = 0;
    for (int fd : {outFd, errFd})
      if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    // Once killed, its pipes close at once unless something it started
    // still holds them; then give up on the rest of the output.
    const int ms = result.timedOut ? 2000 : msLeft();
    const int ready = poll(fds, n, ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      ADD_FAILURE() << "poll: " << strerror(errno);
      break;
    }
    if (ready == 0) {
      if (result.timedOut) break;
      kill9();
      continue;
    }
    for (int i = 0; i < n; i++) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == inFd) {
        ssize_t w = write(inFd, options.stdinData.data() + written,
                          options.stdinData.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) CloseFd(inFd);
        if (written == options.stdinData.size()) CloseFd(inFd);
        continue;
      }
      char buf[65536];
      ssize_t r = read(fds[i].fd, buf, sizeof buf);
      if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      std::string& sink = fds[i].fd == outFd ? result.out : result.err;
      if (r > 0) {
        sink.append(buf, static_cast<size_t>(r));
      } else {
        CloseFd(fds[i].fd == outFd ? outFd : errFd);
      }
    }
  }
  CloseFd(inFd);
  CloseFd(outFd);
  CloseFd(errFd);

  int status = 0;
  for (;;) {
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << strerror(errno);
      return result;
    }
    if (hasDeadline && msLeft() == 0 && !result.timedOut) kill9();
    usleep(2000);
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()),
            static_cast<std::streamsize>(data.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

Bytes MakeFrames(int bytesPerSample, uint64_t first, uint64_t count,
                 const std::function<int32_t(uint64_t, int)>& sample) {
  Bytes out(count * 2 * bytesPerSample);
  uint8_t* p = out.data();
  for (uint64_t f = first; f < first + count; f++)
    for (int c = 0; c < 2; c++, p += bytesPerSample)
      zelktest_put_le(p, sample(f, c), bytesPerSample);
  return out;
}

Bytes RampFrames(int bytesPerSample, uint64_t first, uint64_t count) {
  return MakeFrames(bytesPerSample, first, count,
                    [bytesPerSample](uint64_t f, int c) {
                      return zelktest_ramp(f, c, bytesPerSample);
                    });
}

Bytes SilentFrames(int bytesPerSample, uint64_t count) {
  return Bytes(count * 2 * bytesPerSample, 0);
}

Bytes ChannelOf(const Bytes& stereo, int bytesPerSample, int channel) {
  const size_t frameBytes = 2 * static_cast<size_t>(bytesPerSample);
  Bytes out;
  out.reserve(stereo.size() / 2);
  for (size_t at = channel * static_cast<size_t>(bytesPerSample);
       at + bytesPerSample <= stereo.size(); at += frameBytes)
    out.insert(out.end(), stereo.begin() + at,
               stereo.begin() + at + bytesPerSample);
  return out;
}

uint16_t LeU16(const Bytes& data, size_t offset) {
  if (offset + 2 > data.size()) {
    ADD_FAILURE() << "LeU16 at " << offset << " past " << data.size();
    return 0;
  }
  return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
}

uint32_t LeU32(const Bytes& data, size_t offset) {
  if (offset + 4 > data.size()) {
    ADD_FAILURE() << "LeU32 at " << offset << " past " << data.size();
    return 0;
  }
  return static_cast<uint32_t>(data[offset]) |
         static_cast<uint32_t>(data[offset + 1]) << 8 |
         static_cast<uint32_t>(data[offset + 2]) << 16 |
         static_cast<uint32_t>(data[offset + 3]) << 24;
}

WavContent ReadWav(const std::string& path) {
  WavContent wav;
  SF_INFO info{};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) {
    wav.error = sf_strerror(nullptr);
    return wav;
  }
  wav.channels = info.channels;
  wav.sampleRate = info.samplerate;
  wav.frames = info.frames;
  int shift = 0;
  switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_16:
      wav.bitsPerSample = 16;
      shift = 16;
      break;
    case SF_FORMAT_PCM_24:
      wav.bitsPerSample = 24;
      shift = 8;
      break;
    default:
      break;
  }
  wav.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_int(f, wav.samples.data(), info.frames);
  if (got != info.frames) {
    wav.error = "short read: " + std::to_string(got) + " of " +
                std::to_string(info.frames) + " frames";
    sf_close(f);
    return wav;
  }
  // libsndfile scales every PCM width to the full int range.
  for (int32_t& s : wav.samples) s >>= shift;
  sf_close(f);
  wav.ok = true;
  return wav;
}

std::vector<int32_t> SamplesOf(const Bytes& frames, int bytesPerSample) {
  std::vector<int32_t> out;
  out.reserve(frames.size() / bytesPerSample);
  for (size_t at = 0; at + bytesPerSample <= frames.size();
       at += bytesPerSample)
    out.push_back(zelktest_get_le(frames.data() + at, bytesPerSample));
  return out;
}

uint64_t FreeDiskBytes(const std::string& path) {
  struct statvfs st;
  if (statvfs(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "statvfs " << path << ": " << strerror(errno);
    return 0;
  }
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

}  // namespace e2e
