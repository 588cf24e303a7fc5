// End-to-end test harness: a sandbox folder per test with its own
// .asoundrc, a runner for the real zelk binary, and byte-level helpers to
// predict and check what it writes.
//
// A typical test:
//
//   e2e::Sandbox box(R"(pcm.dev { type zelktest pattern "ramp" })");
//   e2e::RunResult r = e2e::RunZelk(box, {.args = {"1644", "1", "dev", "1", "x.wav"}});
//   ASSERT_EQ(r.exitCode, 0) << r.err;
//   auto wav = e2e::ReadWav(box.Path("x.wav"));
//
// The test capture device (type zelktest) is described at the top of
// tests/testdev/testdev.c; tests/testdev/pattern.h gives the samples of its
// "ramp" pattern (zelktest_ramp). Stock alsa-lib devices that help too:
//
//   pcm.feed { type file slave.pcm null file "/dev/null"
//              infile "/abs/raw" format raw }
//
// delivers a raw file of interleaved frames (in the negotiated format and
// channel count) into both interleaved and non-interleaved reads, at every
// rate and in S16_LE and S24_3LE alike. Quirks seen with alsa-lib 1.2.8:
//  - `null` (and so `feed`) accept 2 channels, a 4096-frame period and a
//    32768-frame buffer at 44100, 48000, 88200 and 96000 in both formats,
//    and deliver as fast as they are read (no pacing, no overruns).
//  - `null` never writes into the reader's buffers: a read "succeeds" and
//    leaves whatever was there. `feed` likewise leaves the frames past the
//    end of its infile untouched instead of silencing them. A recorder that
//    does not clear its buffers writes stale data there.
//  - A pcm.NAME that alsa.conf already defines (null, file, plug, hw,
//    default, ...) is merged with that definition, not replaced: give test
//    devices names of their own.
//  - snd_pcm_hw_params() prepares the stream itself, so a device's log
//    shows one prepare more than the program asked for.
//  - For ioplug devices such as zelktest, snd_pcm_resume() always returns
//    0: alsa-lib drops the plugin's answer. A refused resume can only show
//    up afterwards (zelktest reports an overrun on the next read).
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

using Bytes = std::vector<uint8_t>;

// A fresh folder for one test, holding a .asoundrc. It lives under
// <build>/e2e-tmp, is named after the running test, and is removed with
// everything in it when the Sandbox goes away (set ZELK_E2E_KEEP=1 in the
// environment to keep it for a look).
class Sandbox {
 public:
  // `pcmDefinitions` is .asoundrc text, e.g. R"(pcm.dev { type zelktest })".
  // The line that tells alsa-lib where the zelktest plugin lives is added
  // before it.
  explicit Sandbox(std::string_view pcmDefinitions = "");
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Replaces the .asoundrc, again with the zelktest line added.
  void WriteAsoundrc(std::string_view pcmDefinitions) const;

  const std::string& Dir() const { return dir_; }
  // Absolute path of `name` inside the folder.
  std::string Path(std::string_view name) const;

 private:
  std::string dir_;
};

struct RunOptions {
  // Every member has a default so designated initializers stay free of
  // -Wmissing-field-initializers: {.args = {...}, .timeoutSeconds = 5}.
  std::vector<std::string> args{};  // arguments after the program name
  std::string cwd{};                // default: the sandbox folder
  std::string stdinData{};          // fed through a pipe, then EOF
  // Added to HOME=<sandbox>, PATH=<inherited>, LANG=C (and the sanitizer
  // option variables when set); a name given here overrides those.
  std::vector<std::pair<std::string, std::string>> env{};
  std::optional<rlim_t> fileSizeLimit{};      // RLIMIT_FSIZE, bytes; the
                                              // child ignores SIGXFSZ so
                                              // writes fail with EFBIG
  std::optional<rlim_t> addressSpaceLimit{};  // RLIMIT_AS, bytes
  double timeoutSeconds = 120;                // then SIGKILL; <= 0: never
};

struct RunResult {
  std::string out;        // everything written to standard output
  std::string err;        // everything written to standard error
  int exitCode = -1;      // exit status, or -1 when killed by a signal
  int signal = 0;         // the signal that ended it, or 0
  bool timedOut = false;  // killed by the harness at the timeout
  double seconds = 0;     // wall time from start to exit
};

// Runs the zelk binary in `box` (HOME is the sandbox folder).
RunResult RunZelk(const Sandbox& box, const RunOptions& options);
// Runs any program (absolute path) the same way; argv[0] is `program`.
RunResult RunProgram(const std::string& program, const Sandbox& box,
                     const RunOptions& options);

// Whole-file I/O. ReadFileBytes fails the current test (and returns empty)
// when the file cannot be read.
Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& data);
bool FileExists(const std::string& path);

// Interleaved 2-channel little-endian frames, `bytesPerSample` (2 or 3)
// bytes a sample, sample(frame, channel) for frame in [first, first+count).
Bytes MakeFrames(int bytesPerSample, uint64_t first, uint64_t count,
                 const std::function<int32_t(uint64_t, int)>& sample);
// The zelktest "ramp" pattern as MakeFrames would give it.
Bytes RampFrames(int bytesPerSample, uint64_t first, uint64_t count);
// Silence: `count` 2-channel frames of zeros.
Bytes SilentFrames(int bytesPerSample, uint64_t count);
// One channel (0 or 1) of 2-channel interleaved frames: what a mono take of
// that channel should hold.
Bytes ChannelOf(const Bytes& stereo, int bytesPerSample, int channel);

// Little-endian reads at a byte offset; they fail the current test (and
// return 0) when out of range.
uint16_t LeU16(const Bytes& data, size_t offset);
uint32_t LeU32(const Bytes& data, size_t offset);

// A WAV file as libsndfile reads it, independently of zelk's own reader.
struct WavContent {
  bool ok = false;
  std::string error;  // libsndfile's message when !ok
  int channels = 0;
  int sampleRate = 0;
  int64_t frames = 0;
  int bitsPerSample = 0;  // 16 or 24 for PCM, else 0
  // Interleaved samples at their own width: a 16-bit file gives values in
  // [-32768, 32767], a 24-bit one in [-8388608, 8388607].
  std::vector<int32_t> samples;
};
WavContent ReadWav(const std::string& path);
// The samples in little-endian PCM bytes (any channel count), in the form
// ReadWav gives them, to compare a WAV with expected raw frames.
std::vector<int32_t> SamplesOf(const Bytes& frames, int bytesPerSample);

// Bytes free for an unprivileged user on the file system holding `path`.
uint64_t FreeDiskBytes(const std::string& path);

}  // namespace e2e
