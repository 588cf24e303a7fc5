// Whole takes through the real binary and alsa-lib: what lands in the files
// in every format and mode, the console output of the capture loop, and how
// a take ends when the device or the disk fails.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using e2e::Bytes;
namespace fs = std::filesystem;

constexpr uint64_t kPeriod = 4096;

struct Format {
  const char* code;
  uint32_t rate;
  int bytes;  // per sample
};

// clang-format off
constexpr std::array<Format, 8> kFormats = {{
    {"1644", 44100, 2}, {"1648", 48000, 2}, {"1688", 88200, 2},
    {"1696", 96000, 2}, {"2444", 44100, 3}, {"2448", 48000, 3},
    {"2488", 88200, 3}, {"2496", 96000, 3}}};
// clang-format on

const Format& FormatOf(const std::string& code) {
  for (const Format& f : kFormats)
    if (code == f.code) return f;
  ADD_FAILURE() << "no format " << code;
  return kFormats[0];
}

// Channel modes by their argument: "1" single, "2" dual mono, "s" stereo.
std::vector<std::string> FilesOf(const std::string& mode) {
  if (mode == "2") return {"a.wav", "b.wav"};
  return {"a.wav"};
}

std::string ModeName(const std::string& mode) {
  return mode == "1" ? "single" : mode == "2" ? "dual" : "stereo";
}

e2e::RunResult Record(const e2e::Sandbox& box, const Format& f,
                      const std::string& mode, const std::string& duration,
                      const std::string& device, e2e::RunOptions options = {}) {
  options.args = {f.code, duration, device, mode};
  for (const std::string& name : FilesOf(mode)) options.args.push_back(name);
  return e2e::RunZelk(box, options);
}

// The 44-byte header of a PCM file with `dataBytes` bytes of samples.
Bytes Header(const Format& f, int channels, uint64_t dataBytes) {
  Bytes h;
  auto tag = [&](const char* s) { h.insert(h.end(), s, s + 4); };
  auto le = [&](uint64_t v, int n) {
    for (int i = 0; i < n; ++i) h.push_back(static_cast<uint8_t>(v >> 8 * i));
  };
  const uint32_t block = static_cast<uint32_t>(channels * f.bytes);
  tag("RIFF");
  le(dataBytes + 36, 4);
  tag("WAVE");
  tag("fmt ");
  le(16, 4);
  le(1, 2);
  le(static_cast<uint64_t>(channels), 2);
  le(f.rate, 4);
  le(uint64_t{f.rate} * block, 4);
  le(block, 2);
  le(8 * static_cast<uint64_t>(f.bytes), 2);
  tag("data");
  le(dataBytes, 4);
  return h;
}

void ExpectSameBytes(const Bytes& got, const Bytes& want,
                     const std::string& what) {
  if (got == want) return;
  const auto at =
      std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first -
      got.begin();
  ADD_FAILURE() << what << ": " << got.size() << " bytes, expected "
                << want.size() << "; first difference at byte " << at;
}

// Checks every output file of a take byte for byte: a header declaring
// `declaredFrames` and then the samples of `frames` (two-channel frames as
// the device delivered them) that the mode puts in each file. Stereo and
// 24-bit files are read back through libsndfile too.
void ExpectFiles(const e2e::Sandbox& box, const Format& f,
                 const std::string& mode, const Bytes& frames,
                 uint64_t declaredFrames) {
  const std::vector<std::string> names = FilesOf(mode);
  const int channels = mode == "s" ? 2 : 1;
  const uint64_t block = static_cast<uint64_t>(channels * f.bytes);
  for (size_t c = 0; c < names.size(); ++c) {
    const Bytes data =
        mode == "s" ? frames
                    : e2e::ChannelOf(frames, f.bytes, static_cast<int>(c));
    Bytes want = Header(f, channels, declaredFrames * block);
    want.insert(want.end(), data.begin(), data.end());
    ExpectSameBytes(e2e::ReadFileBytes(box.Path(names[c])), want, names[c]);
    if (mode != "s" && f.bytes != 3) continue;
    const e2e::WavContent wav = e2e::ReadWav(box.Path(names[c]));
    ASSERT_TRUE(wav.ok) << names[c] << ": " << wav.error;
    EXPECT_EQ(wav.channels, channels);
    EXPECT_EQ(wav.sampleRate, static_cast<int>(f.rate));
    EXPECT_EQ(wav.bitsPerSample, 8 * f.bytes);
    EXPECT_EQ(static_cast<uint64_t>(wav.frames), declaredFrames);
    EXPECT_TRUE(wav.samples == e2e::SamplesOf(data, f.bytes))
        << names[c] << ": samples differ";
  }
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size()))
    ++n;
  return n;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

uint64_t PeriodsFor(uint32_t rate, double seconds) {
  return (static_cast<uint64_t>(rate * seconds + 0.5) + kPeriod - 1) / kPeriod;
}

// ---- content in every format and mode ----

struct FormatMode {
  Format format;
  std::string mode;
};

void PrintTo(const FormatMode& c, std::ostream* os) {
  *os << c.format.code << " " << ModeName(c.mode);
}

class CaptureTakeTest : public ::testing::TestWithParam<FormatMode> {};

TEST_P(CaptureTakeTest, FilesHoldTheRampExactly) {
  const Format& f = GetParam().format;
  const std::string& mode = GetParam().mode;
  e2e::Sandbox box(R"(pcm.dev { type zelktest pattern "ramp" })");
  const e2e::RunResult r = Record(box, f, mode, "0.2", "dev");
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  const uint64_t frames = PeriodsFor(f.rate, 0.2) * kPeriod;
  ExpectFiles(box, f, mode, e2e::RampFrames(f.bytes, 0, frames), frames);

  EXPECT_EQ(
      r.out.rfind(mode == "s" ? "Recording in Stereo\n" : "Recording\n", 0), 0u)
      << r.out;
  EXPECT_EQ(Count(r.out, "\rrem = "), frames / kPeriod);
  EXPECT_NE(r.out.find("\rrem = 0.00 sec\t -45 dB ["), std::string::npos);
  EXPECT_EQ(Count(r.out, "\tchannel 1: "), 1u);
  EXPECT_EQ(Count(r.out, "\tchannel 2: "), mode == "1" ? 0u : 1u);
  EXPECT_EQ(r.out.find("RX"), std::string::npos);
  EXPECT_EQ(r.out.find("Overruns"), std::string::npos);
  EXPECT_TRUE(EndsWith(r.out, " dBFS\nDone\n")) << r.out;
}

std::vector<FormatMode> AllFormatsAndModes() {
  std::vector<FormatMode> cases;
  for (const Format& f : kFormats)
    for (const char* mode : {"1", "2", "s"}) cases.push_back({f, mode});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(CaptureFormats, CaptureTakeTest,
                         ::testing::ValuesIn(AllFormatsAndModes()),
                         [](const auto& info) {
                           return std::string("f") + info.param.format.code +
                                  "_" + ModeName(info.param.mode);
                         });

// The stock file plugin hands over a raw file: an independent source.
TEST(CaptureFeedTest, RawFileThroughTheFilePluginInEveryMode) {
  const Format& f = FormatOf("2488");
  const uint64_t frames = PeriodsFor(f.rate, 0.2) * kPeriod;
  const Bytes raw =
      e2e::MakeFrames(f.bytes, 0, frames, [](uint64_t i, int channel) {
        const uint32_t u = static_cast<uint32_t>(i * 2654435761u) ^
                           (channel != 0 ? 0x5a5a5a5au : 0u);
        return static_cast<int32_t>(u) >> 8;
      });
  for (const char* mode : {"1", "2", "s"}) {
    SCOPED_TRACE(ModeName(mode));
    e2e::Sandbox box;
    e2e::WriteFileBytes(box.Path("in.raw"), raw);
    box.WriteAsoundrc(R"(pcm.feed { type file slave.pcm null file "/dev/null"
        infile ")" + box.Path("in.raw") +
                      R"(" format raw })");
    const e2e::RunResult r = Record(box, f, mode, "0.2", "feed");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ExpectFiles(box, f, mode, raw, frames);
  }
}

// A device that insists on its own period: the take is whole periods of it.
TEST(CapturePeriodTest, PeriodOf4410Frames) {
  const Format& f = FormatOf("2444");
  for (const char* mode : {"1", "2", "s"}) {
    SCOPED_TRACE(ModeName(mode));
    e2e::Sandbox box(R"(pcm.dev { type zelktest pattern "ramp"
        formats "S24_3LE" channels 2 period 4410 })");
    const e2e::RunResult r = Record(box, f, mode, "0.25", "dev");
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    ExpectFiles(box, f, mode, e2e::RampFrames(f.bytes, 0, 3 * 4410), 3 * 4410);
    EXPECT_EQ(Count(r.out, "\rrem = "), 3u);
  }
}

TEST(CapturePacedTest, TakesRealTimeAndKeepsEverySample) {
  const Format& f = FormatOf("2496");
  e2e::Sandbox box(R"(pcm.dev { type zelktest pattern "ramp" paced true })");
  const e2e::RunResult r =
      Record(box, f, "s", "1.5", "dev", {.timeoutSeconds = 30});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_GE(r.seconds, 0.9 * 1.5);
  EXPECT_LT(r.seconds, 10.0);
  const uint64_t frames = PeriodsFor(f.rate, 1.5) * kPeriod;
  ExpectFiles(box, f, "s", e2e::RampFrames(f.bytes, 0, frames), frames);
}

// ---- device faults the take survives ----

// Frames that an overrun or a suspend cost: [first, first + count).
struct Hole {
  uint64_t first, count;
};

// The device skips the rest of the period that it overran or was suspended
// in, and carries on with the content at the next period boundary: the
// files hold the ramp with those frames silenced, never older audio.
Bytes RampWithHoles(int bytes, uint64_t frames,
                    const std::vector<Hole>& holes) {
  Bytes out = e2e::RampFrames(bytes, 0, frames);
  const size_t frameBytes = 2 * static_cast<size_t>(bytes);
  for (const Hole& h : holes)
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(h.first * frameBytes),
                h.count * frameBytes, 0);
  return out;
}

struct SurvivedFault {
  const char* name;
  const char* format;
  const char* mode;
  const char* device;  // zelktest options besides pattern "ramp"
  std::vector<Hole> holes;
  size_t overruns;
};

void PrintTo(const SurvivedFault& c, std::ostream* os) { *os << c.name; }

class CaptureSurvivesTest : public ::testing::TestWithParam<SurvivedFault> {};

TEST_P(CaptureSurvivesTest, FilesCompleteAndOverrunsReported) {
  const SurvivedFault& c = GetParam();
  const Format& f = FormatOf(c.format);
  e2e::Sandbox box(std::string(R"(pcm.dev { type zelktest pattern "ramp" )") +
                   c.device + " }");
  const e2e::RunResult r = Record(box, f, c.mode, "0.4", "dev");
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  const uint64_t frames = PeriodsFor(f.rate, 0.4) * kPeriod;
  ExpectFiles(box, f, c.mode, RampWithHoles(f.bytes, frames, c.holes), frames);

  EXPECT_EQ(Count(r.out, "\nRX\n"), c.overruns) << r.out;
  EXPECT_EQ(Count(r.out, "RX"), c.overruns);
  EXPECT_EQ(Count(r.out, "\rrem = "), frames / kPeriod);
  if (c.overruns == 0) {
    EXPECT_EQ(r.out.find("Overruns"), std::string::npos);
    EXPECT_TRUE(EndsWith(r.out, " dBFS\nDone\n")) << r.out;
  } else {
    const std::string tail =
        "\nRecord Overruns = " + std::to_string(c.overruns) + "\nDone\n";
    EXPECT_TRUE(EndsWith(r.out, " dBFS\n" + tail)) << r.out;
    EXPECT_LT(r.out.find("\n\nInput Channel Peaks:\n"), r.out.find(tail));
  }
}

constexpr uint64_t P = kPeriod;

// clang-format off
INSTANTIATE_TEST_SUITE_P(CaptureFaults, CaptureSurvivesTest, ::testing::Values(
    SurvivedFault{"xrun", "1644", "1", R"(events "1:xrun")", {{P, P}}, 1},
    SurvivedFault{"xruns", "2448", "s", R"(events "0:xrun,3:xrun")",
                  {{0, P}, {3 * P, P}}, 2},
    SurvivedFault{"xrun_dual", "1696", "2", R"(events "2:xrun")",
                  {{2 * P, P}}, 1},
    SurvivedFault{"xrun_mid_period", "2444", "s", R"(events "1:short,1:xrun")",
                  {{P + P / 2, P / 2}}, 1},
    SurvivedFault{"suspend", "2496", "2", R"(events "2:suspend")",
                  {{2 * P, P}}, 1},
    SurvivedFault{"suspend_no_resume", "1688", "s",
                  R"(events "1:suspend" resume false)", {{P, P}}, 1},
    SurvivedFault{"short", "2444", "s", R"(events "1:short,2:short")", {}, 0},
    SurvivedFault{"short_dual", "1648", "2", R"(events "0:short")", {}, 0},
    SurvivedFault{"eagain_eintr", "1696", "2",
                  R"(events "1:eagain,2:eintr,2:eagain")", {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// ---- takes cut short ----

struct HardError {
  const char* name;
  const char* format;
  const char* mode;
  const char* events;
  uint64_t capturedFrames;
  const char* text;
};

void PrintTo(const HardError& c, std::ostream* os) { *os << c.name; }

class CaptureHardErrorTest : public ::testing::TestWithParam<HardError> {};

TEST_P(CaptureHardErrorTest, EndsTheTakeKeepingWhatWasCaptured) {
  const HardError& c = GetParam();
  const Format& f = FormatOf(c.format);
  e2e::Sandbox box(
      std::string(R"(pcm.dev { type zelktest pattern "ramp" events ")") +
      c.events + "\" }");
  const e2e::RunResult r = Record(box, f, c.mode, "1", "dev");
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_TRUE(EndsWith(r.err, std::string("\nunable to read from pcm record "
                                          "device: ") +
                                  c.text + "\n"))
      << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos) << r.out;
  // Each file holds exactly the frames captured, and its header says so.
  ExpectFiles(box, f, c.mode, e2e::RampFrames(f.bytes, 0, c.capturedFrames),
              c.capturedFrames);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(CaptureFaults, CaptureHardErrorTest, ::testing::Values(
    HardError{"enodev", "1644", "1", "2:enodev", 2 * P, "No such device"},
    HardError{"eio", "2448", "2", "1:eio", P, "Input/output error"},
    HardError{"ebadfd", "2496", "s", "3:ebadfd", 3 * P,
              "File descriptor in bad state"},
    HardError{"ebadfd_first_read", "1648", "2", "0:ebadfd", 0,
              "File descriptor in bad state"},
    HardError{"eio_mid_period", "2444", "s", "2:short,2:eio", 2 * P + P / 2,
              "Input/output error"},
    HardError{"enodev_mid_period", "1688", "2", "1:short,1:enodev",
              P + P / 2, "No such device"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(CaptureStallTest, DeviceThatOnlySaysTryAgainEndsTheTake) {
  const Format& f = FormatOf("1644");
  e2e::Sandbox box(
      R"(pcm.dev { type zelktest pattern "ramp" events "2:eagain_forever" })");
  const e2e::RunResult r =
      Record(box, f, "2", "5", "dev", {.timeoutSeconds = 60});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  EXPECT_GE(r.seconds, 9.0);
  EXPECT_LT(r.seconds, 30.0);
  EXPECT_TRUE(EndsWith(r.err,
                       "\nunable to read from pcm record device: Resource "
                       "temporarily unavailable\n"))
      << r.err;
  EXPECT_EQ(r.out.find("Done"), std::string::npos);
  ExpectFiles(box, f, "2", e2e::RampFrames(f.bytes, 0, 2 * kPeriod),
              2 * kPeriod);
}

// A file size limit that the take runs into in its third period, a byte
// into a frame: the file keeps its whole frames and says how many.
TEST(CaptureWriteFailureTest, FileSizeLimitEndsTheTake) {
  for (const auto& [code, mode] :
       std::vector<std::pair<std::string, std::string>>{
           {"1644", "1"}, {"2448", "s"}, {"2496", "2"}}) {
    SCOPED_TRACE(code + " " + ModeName(mode));
    const Format& f = FormatOf(code);
    const uint64_t block = (mode == "s" ? 2u : 1u) * f.bytes;
    const uint64_t fitting = 2 * kPeriod + kPeriod / 2;
    e2e::Sandbox box(R"(pcm.dev { type zelktest pattern "ramp" })");
    const e2e::RunResult r = Record(
        box, f, mode, "1", "dev", {.fileSizeLimit = 44 + fitting * block + 1});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(EndsWith(r.err, "\nCan't write a.wav: File too large\n"))
        << r.err;
    EXPECT_EQ(r.out.find("Done"), std::string::npos);

    const Bytes ramp = e2e::RampFrames(f.bytes, 0, fitting);
    const std::vector<std::string> names = FilesOf(mode);
    for (size_t c = 0; c < names.size(); ++c) {
      const Bytes file = e2e::ReadFileBytes(box.Path(names[c]));
      ASSERT_GE(file.size(), 44u);
      const uint64_t data = file.size() - 44;
      // a.wav ran into the limit; b.wav, written after it, stops a period
      // short of it.
      EXPECT_EQ(data, (c == 0 ? fitting : 2 * kPeriod) * block) << names[c];
      EXPECT_EQ(e2e::LeU32(file, 4), data + 36) << names[c];
      EXPECT_EQ(e2e::LeU32(file, 40), data) << names[c];
      const Bytes want =
          mode == "s" ? ramp
                      : e2e::ChannelOf(ramp, f.bytes, static_cast<int>(c));
      EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), want.begin()))
          << names[c] << ": samples differ";
    }
  }
}

TEST(CaptureAllocationTest, BuffersThatDoNotFitEndTheRunBeforeAnyFile) {
#ifdef ZELK_SANITIZE
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
#else
  // Two pairs of 2^26 24-bit frames need 768 MiB; the limit allows 512.
  const Format& f = FormatOf("2444");
  for (const char* mode : {"1", "2", "s"}) {
    SCOPED_TRACE(ModeName(mode));
    e2e::Sandbox box(R"(pcm.big { type zelktest pattern "ramp"
        formats "S24_3LE" channels 2 period 67108864 })");
    const e2e::RunResult r =
        Record(box, f, mode, "1", "big",
               {.addressSpaceLimit = rlim_t{512} << 20, .timeoutSeconds = 60});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_EQ(r.err, "Can't allocate recording buffers\n");
    EXPECT_EQ(r.out, "");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(box.Dir()))
      left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{".asoundrc"});
  }
#endif
}

// A take whose data passes 2^31 bytes: sizes and offsets must not wrap.
TEST(CaptureLargeTakeTest, PastTwoGibibytes) {
  e2e::Sandbox box;
  if (e2e::FreeDiskBytes(box.Dir()) < 5'000'000'000ull)
    GTEST_SKIP() << "less than 5 GB free";
  // 3800 s at 96000 Hz, 6-byte frames: 89063 periods.
  const uint64_t frames = 89063 * kPeriod;
  const e2e::RunResult r = Record(box, FormatOf("2496"), "s", "3800", "null",
                                  {.timeoutSeconds = 240});
  std::error_code ec;
  const uint64_t length = fs::file_size(box.Path("a.wav"), ec);
  Bytes header(44);
  std::ifstream(box.Path("a.wav"), std::ios::binary)
      .read(reinterpret_cast<char*>(header.data()), 44);
  fs::remove(box.Path("a.wav"), ec);
  std::cout << "[ info     ] 2 GiB take: " << r.seconds << " s\n";

  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_TRUE(EndsWith(r.out, "Done\n"));
  const uint64_t data = e2e::LeU32(header, 40);
  EXPECT_EQ(data, frames * 6);
  EXPECT_GT(data, uint64_t{1} << 31);
  EXPECT_EQ(uint64_t{e2e::LeU32(header, 4)}, data + 36);
  EXPECT_EQ(length, 44 + data);
}

// ---- the status line ----

// A raw source whose period p holds peaks[p][channel] once, at frame 1000
// of the period, and silence around it.
Bytes PeakFrames(const std::vector<std::array<int32_t, 2>>& peaks) {
  return e2e::MakeFrames(
      2, 0, peaks.size() * kPeriod, [&](uint64_t i, int channel) {
        return i % kPeriod == 1000 ? peaks[i / kPeriod][channel] : 0;
      });
}

std::string StatusLine(const char* remaining, int bars, const char* figures) {
  return std::string("\rrem = ") + remaining + " sec\t -45 dB [" +
         std::string(bars, '|') + std::string(24 - bars, ' ') + "] " + figures +
         " dB   ";
}

e2e::RunResult RecordPeaks(const e2e::Sandbox& box,
                           const std::vector<std::array<int32_t, 2>>& peaks,
                           const std::string& mode,
                           const std::string& code = "1644",
                           const std::string& duration = "0.2") {
  e2e::WriteFileBytes(box.Path("in.raw"), PeakFrames(peaks));
  box.WriteAsoundrc(R"(pcm.dev { type zelktest infile ")" + box.Path("in.raw") +
                    "\" }");
  return Record(box, FormatOf(code), mode, duration, "dev");
}

// Period peaks 16384, 32768, 0: the bar rises to 21 and 24 columns, then
// falls 6; the held figure shows the peak held before each period.
TEST(CaptureStatusTest, SingleChannelLineBarsHeldPeakAndClipWarning) {
  e2e::Sandbox box;
  // Channel 2 clips throughout; single-channel mode never looks at it.
  const e2e::RunResult r = RecordPeaks(
      box, {{{-16384, -32768}}, {{-32768, 32767}}, {{0, -32768}}}, "1");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Recording\n" + StatusLine("0.19", 21, "-144.0") +
                       "\nInput Channel 1 is Peaking!\n" +
                       StatusLine("0.09", 24, "-6.0") +
                       StatusLine("0.00", 18, "-0.0") +
                       "\n\nInput Channel Peaks:\n"
                       "\tchannel 1: -0.00 dBFS\n"
                       "Done\n");
}

// Two channels: the meter follows the mean of the two peaks and each held
// figure its own channel.
TEST(CaptureStatusTest, TwoChannelLinesShowBothHeldPeaks) {
  for (const char* mode : {"2", "s"}) {
    SCOPED_TRACE(ModeName(mode));
    e2e::Sandbox box;
    const e2e::RunResult r =
        RecordPeaks(box, {{{-16384, 8192}}, {{4096, 32767}}, {{0, 0}}}, mode);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string(*mode == 's' ? "Recording in Stereo\n"
                                              : "Recording\n") +
                         StatusLine("0.19", 20, "-144.0 / -144.0") +
                         "\nInput Channel 2 is Peaking!\n" +
                         StatusLine("0.09", 22, "-6.0 / -12.0") +
                         StatusLine("0.00", 16, "-6.0 / -0.0") +
                         "\n\nInput Channel Peaks:\n"
                         "\tchannel 1: -6.02 dBFS\n"
                         "\tchannel 2: -0.00 dBFS\n"
                         "Done\n");
  }
}

// The held figures come from a window of (rate x 3) / 4096 + 1 periods:
// after it the hold starts again from the latest period, not from zero.
TEST(CaptureStatusTest, HeldPeaksRestartAfterTheHoldWindow) {
  struct Case {
    const char* code;
    const char* mode;
    size_t holdPeriods;
    const char *before, *after;
  };
  for (const Case& c :
       {Case{"1644", "1", 32, "-0.0", "-30.1"},
        Case{"1648", "2", 35, "-0.0 / -6.0", "-30.1 / -36.1"}}) {
    SCOPED_TRACE(c.code);
    const Format& f = FormatOf(c.code);
    const size_t periods = PeriodsFor(f.rate, 3.4);
    std::vector<std::array<int32_t, 2>> peaks(periods, {{1024, -512}});
    peaks[0] = {{-32768, 16384}};
    e2e::Sandbox box;
    const e2e::RunResult r = RecordPeaks(box, peaks, c.mode, c.code, "3.4");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> figures;
    for (size_t at = r.out.find("] "); at != std::string::npos;
         at = r.out.find("] ", at + 2))
      figures.push_back(r.out.substr(at + 2, r.out.find(" dB ", at) - at - 2));
    ASSERT_EQ(figures.size(), periods);
    for (size_t i = 1; i < periods; ++i)
      EXPECT_EQ(figures[i], i <= c.holdPeriods ? c.before : c.after) << i;
  }
}

}  // namespace
