// The test capture device and the harness, checked on their own so a
// failing end-to-end test points at zelk rather than at its test bench.
// Devices are opened in this process through alsa-lib, the way zelk opens
// them.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "pattern.h"

namespace {

using e2e::Bytes;

constexpr snd_pcm_access_t kNonInterleaved = SND_PCM_ACCESS_RW_NONINTERLEAVED;
constexpr snd_pcm_access_t kInterleaved = SND_PCM_ACCESS_RW_INTERLEAVED;

snd_pcm_format_t FormatOf(int bytesPerSample) {
  return bytesPerSample == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE;
}

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

// What each step of zelk's set-up returned, and what it settled on.
struct Opened {
  Pcm pcm;
  int open = 0, access = 0, format = 0, channels = 0, commit = -1;
  unsigned rate = 0;
  snd_pcm_uframes_t period = 0, buffer = 0;
};

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("HOME", box_.Dir().c_str(), 1); }

  // Makes `defs` the .asoundrc that the next open in this process reads.
  void Define(const std::string& defs) {
    box_.WriteAsoundrc(defs);
    // alsa-lib keeps the configuration it read first; this matters when
    // all tests run in one process rather than one each.
    snd_config_update_free_global();
  }

  static Opened Open(const char* name, snd_pcm_format_t format, unsigned rate,
                     snd_pcm_access_t access = kNonInterleaved) {
    Opened s;
    snd_pcm_t* raw = nullptr;
    s.open = snd_pcm_open(&raw, name, SND_PCM_STREAM_CAPTURE, 0);
    if (s.open < 0) return s;
    s.pcm.reset(raw);
    snd_pcm_hw_params_t* p;
    snd_pcm_hw_params_alloca(&p);
    snd_pcm_hw_params_any(raw, p);
    s.access = snd_pcm_hw_params_set_access(raw, p, access);
    s.format = snd_pcm_hw_params_set_format(raw, p, format);
    s.channels = snd_pcm_hw_params_set_channels(raw, p, 2);
    s.rate = rate;
    snd_pcm_hw_params_set_rate_near(raw, p, &s.rate, nullptr);
    s.period = 4096;
    snd_pcm_hw_params_set_period_size_near(raw, p, &s.period, nullptr);
    s.buffer = 32768;
    snd_pcm_hw_params_set_buffer_size_near(raw, p, &s.buffer);
    s.commit = snd_pcm_hw_params(raw, p);
    if (s.commit == 0) snd_pcm_prepare(raw);
    return s;
  }

  // Opens `name` like zelk and reads `frames` 2-channel frames in
  // `periods`-sized reads, returned interleaved.
  static Bytes Capture(const char* name, int bytesPerSample, size_t frames,
                       snd_pcm_access_t access = kNonInterleaved) {
    Opened s = Open(name, FormatOf(bytesPerSample), 48000, access);
    EXPECT_EQ(s.commit, 0);
    if (s.commit != 0) return {};
    const size_t frameBytes = 2 * static_cast<size_t>(bytesPerSample);
    Bytes out(frames * frameBytes, 0xEE);
    Bytes left(s.period * bytesPerSample), right(left.size());
    for (size_t at = 0; at < frames;) {
      snd_pcm_uframes_t want = std::min<size_t>(s.period, frames - at);
      snd_pcm_sframes_t got;
      if (access == kInterleaved) {
        got = snd_pcm_readi(s.pcm.get(), out.data() + at * frameBytes, want);
      } else {
        void* bufs[2] = {left.data(), right.data()};
        got = snd_pcm_readn(s.pcm.get(), bufs, want);
        for (snd_pcm_sframes_t f = 0; f < got; f++) {
          uint8_t* dst = out.data() + (at + f) * frameBytes;
          memcpy(dst, left.data() + f * bytesPerSample, bytesPerSample);
          memcpy(dst + bytesPerSample, right.data() + f * bytesPerSample,
                 bytesPerSample);
        }
      }
      if (got <= 0) {
        ADD_FAILURE() << "read: " << snd_strerror(static_cast<int>(got));
        break;
      }
      at += static_cast<size_t>(got);
    }
    return out;
  }

  e2e::Sandbox box_;
};

// ---- negotiation ----

struct NegotiationCase {
  const char* what;
  const char* options;  // inside pcm.dev { type zelktest ... }
  int bytesPerSample;
  unsigned askedRate;
  snd_pcm_access_t access;
  bool accessOk, formatOk, channelsOk;
  bool commitOk;
  unsigned rate;             // settled rate when committed
  snd_pcm_uframes_t period;  // settled period when committed
};

TEST_F(DeviceTest, NegotiatesLikeARealCard) {
  const NegotiationCase cases[] = {
      {"defaults, 16-bit", "", 2, 44100, kNonInterleaved, true, true, true,
       true, 44100, 4096},
      {"defaults, 24-bit", "", 3, 96000, kNonInterleaved, true, true, true,
       true, 96000, 4096},
      {"defaults, interleaved", "", 2, 88200, kInterleaved, true, true, true,
       true, 88200, 4096},
      {"forced period", R"(formats "S16_LE" period 4410)", 2, 44100,
       kNonInterleaved, true, true, true, true, 44100, 4410},
      {"huge period", R"(formats "S24_3LE" period 67108864)", 3, 44100,
       kNonInterleaved, true, true, true, true, 44100, 67108864},
      {"forced rate", "rate 22050", 2, 48000, kNonInterleaved, true, true, true,
       true, 22050, 4096},
      {"refused format", R"(formats [ "S24_3LE" ])", 2, 48000, kNonInterleaved,
       true, false, true, true, 48000, 4096},
      {"interleaved only", R"(access "interleaved")", 2, 48000, kNonInterleaved,
       false, true, true, true, 48000, 4096},
      {"mono only", "channels [ 1 ]", 2, 48000, kNonInterleaved, true, true,
       false, true, 48000, 4096},
      {"failing commit", "fail_commit true", 2, 48000, kNonInterleaved, true,
       true, true, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Define(std::string("pcm.dev { type zelktest ") + c.options + " }");
    Opened s = Open("dev", FormatOf(c.bytesPerSample), c.askedRate, c.access);
    ASSERT_EQ(s.open, 0);
    EXPECT_EQ(s.access == 0, c.accessOk);
    EXPECT_EQ(s.format == 0, c.formatOk);
    EXPECT_EQ(s.channels == 0, c.channelsOk);
    EXPECT_EQ(s.commit == 0, c.commitOk) << snd_strerror(s.commit);
    if (s.commit != 0) continue;
    EXPECT_EQ(s.rate, c.rate);
    EXPECT_EQ(s.period, c.period);
    if (c.accessOk && c.formatOk && c.channelsOk) {
      // The device must report what zelk reads back after the commit.
      snd_pcm_hw_params_t* p;
      snd_pcm_hw_params_alloca(&p);
      ASSERT_EQ(snd_pcm_hw_params_current(s.pcm.get(), p), 0);
      snd_pcm_format_t format;
      snd_pcm_hw_params_get_format(p, &format);
      EXPECT_EQ(format, FormatOf(c.bytesPerSample));
    }
  }
}

TEST_F(DeviceTest, EveryRateAndFormatZelkAsksFor) {
  Define(
      "pcm.dev { type zelktest }\n"
      "pcm.feed { type file slave.pcm null file \"/dev/null\" format raw }");
  for (const char* name : {"dev", "feed", "null"})
    for (int bytes : {2, 3})
      for (unsigned rate : {44100u, 48000u, 88200u, 96000u}) {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(bytes) + " " +
                     std::to_string(rate));
        Opened s = Open(name, FormatOf(bytes), rate);
        ASSERT_EQ(s.open, 0);
        EXPECT_EQ(s.format, 0);
        EXPECT_EQ(s.commit, 0);
        EXPECT_EQ(s.rate, rate);
        EXPECT_EQ(s.period, 4096u);
        EXPECT_EQ(s.buffer, 32768u);
      }
}

TEST_F(DeviceTest, RefusesBadOptionsAtOpen) {
  const char* const cases[] = {
      "colour \"red\"",
      "period 4096",  // two formats: the period in bytes is ambiguous
      "events \"1:meltdown\"",
      "events \"x:xrun\"",
      "infile \"/nonexistent/raw\"",
      "access \"sideways\"",
      "formats [ \"NOT_A_FORMAT\" ]",
      "pattern \"sine\"",
  };
  for (const char* options : cases) {
    SCOPED_TRACE(options);
    Define(std::string("pcm.dev { type zelktest ") + options + " }");
    snd_pcm_t* pcm = nullptr;
    EXPECT_LT(snd_pcm_open(&pcm, "dev", SND_PCM_STREAM_CAPTURE, 0), 0);
    if (pcm) snd_pcm_close(pcm);
  }
  Define("pcm.dev { type zelktest }");
  snd_pcm_t* pcm = nullptr;
  EXPECT_LT(snd_pcm_open(&pcm, "dev", SND_PCM_STREAM_PLAYBACK, 0), 0);
  if (pcm) snd_pcm_close(pcm);
}

// ---- content ----

TEST_F(DeviceTest, ContentReachesBothAccessModes) {
  for (int bytes : {2, 3})
    for (snd_pcm_access_t access : {kNonInterleaved, kInterleaved}) {
      SCOPED_TRACE(std::to_string(bytes) + " bytes, " +
                   snd_pcm_access_name(access));
      // An infile of one and a half periods: the rest must be silence.
      const size_t fileFrames = 6144, frames = 3 * 4096;
      Bytes file = e2e::MakeFrames(bytes, 0, fileFrames, [](uint64_t f, int c) {
        return static_cast<int32_t>((f * 2654435761u) >> (c ? 9 : 13)) -
               (1 << 15);
      });
      e2e::WriteFileBytes(box_.Path("in.raw"), file);
      Define(
          "pcm.ramp { type zelktest pattern \"ramp\" }\n"
          "pcm.raw { type zelktest infile \"" +
          box_.Path("in.raw") + "\" }");

      EXPECT_EQ(Capture("ramp", bytes, frames, access),
                e2e::RampFrames(bytes, 0, frames));
      Bytes expected = file;
      Bytes silence = e2e::SilentFrames(bytes, frames - fileFrames);
      expected.insert(expected.end(), silence.begin(), silence.end());
      EXPECT_EQ(Capture("raw", bytes, frames, access), expected);
    }
}

TEST_F(DeviceTest, StockFilePluginFeedsARawFile) {
  for (int bytes : {2, 3})
    for (snd_pcm_access_t access : {kNonInterleaved, kInterleaved}) {
      SCOPED_TRACE(std::to_string(bytes) + " bytes, " +
                   snd_pcm_access_name(access));
      const size_t frames = 2 * 4096 + 100;
      Bytes file = e2e::MakeFrames(bytes, 0, frames, [](uint64_t f, int c) {
        return static_cast<int32_t>(f * 40503u + (c ? 977u : 0u)) >> 10;
      });
      e2e::WriteFileBytes(box_.Path("in.raw"), file);
      Define(
          "pcm.feed { type file slave.pcm null file \"/dev/null\" "
          "infile \"" +
          box_.Path("in.raw") + "\" format raw }");
      EXPECT_EQ(Capture("feed", bytes, frames, access), file);
    }
}

// ---- faults ----

// Reads `reads` times the way zelk does (prepare after an overrun, resume after
// a suspend, finish a short read with a second one) and describes each
// read: "n@pos" for n frames of ramp from content frame pos, an errno name
// for a failure, with "/prepare:ERR" when the recovery failed as well.
std::string Trace(snd_pcm_t* pcm, snd_pcm_uframes_t period, int reads) {
  std::ostringstream trace;
  std::vector<int16_t> left(period), right(period);
  snd_pcm_uframes_t got = 0;
  for (int i = 0; i < reads; i++) {
    void* bufs[2] = {left.data() + got, right.data() + got};
    const snd_pcm_sframes_t n = snd_pcm_readn(pcm, bufs, period - got);
    if (i) trace << ' ';
    if (n >= 0) {
      // The ramp's step is odd, so its first sample gives the frame back.
      uint64_t pos = 0;
      while (pos < 65536 && zelktest_ramp(pos, 0, 2) != left[got]) pos++;
      bool ramp = true;
      for (snd_pcm_sframes_t f = 0; f < n; f++)
        ramp = ramp && left[got + f] == zelktest_ramp(pos + f, 0, 2) &&
               right[got + f] == zelktest_ramp(pos + f, 1, 2);
      trace << n << '@' << (ramp ? std::to_string(pos) : "?");
      got = (got + n) % period;
      continue;
    }
    got = 0;
    int recovery = 0;
    switch (n) {
      case -EAGAIN:
      case -EINTR:
        break;
      case -ESTRPIPE:
        recovery = snd_pcm_resume(pcm);
        if (recovery < 0) recovery = snd_pcm_prepare(pcm);
        break;
      default:
        recovery = snd_pcm_prepare(pcm);
    }
    auto name = [](long err) {
      switch (err) {
        case -EPIPE:
          return "EPIPE";
        case -ESTRPIPE:
          return "ESTRPIPE";
        case -ENODEV:
          return "ENODEV";
        case -EIO:
          return "EIO";
        case -EBADFD:
          return "EBADFD";
        case -EAGAIN:
          return "EAGAIN";
        case -EINTR:
          return "EINTR";
        default:
          return "?";
      }
    };
    trace << name(n);
    if (recovery < 0) trace << "/prepare:" << name(recovery);
  }
  return trace.str();
}

TEST_F(DeviceTest, EventsFailReadsAsScripted) {
  const struct {
    const char* options;
    const char* trace;
  } cases[] = {
      {"", "4096@0 4096@4096 4096@8192 4096@12288 4096@16384 4096@20480"},
      {R"(events "1:xrun")",
       "4096@0 EPIPE 4096@8192 4096@12288 4096@16384 4096@20480"},
      {R"(events "1:short")",
       "4096@0 2048@4096 2048@6144 4096@8192 4096@12288 4096@16384"},
      {R"(events "1:suspend")",
       "4096@0 ESTRPIPE 4096@8192 4096@12288 4096@16384 4096@20480"},
      {R"(events "1:suspend" resume false)",
       "4096@0 ESTRPIPE EPIPE 4096@8192 4096@12288 4096@16384"},
      {R"(events "1:eagain")",
       "4096@0 EAGAIN 4096@4096 4096@8192 4096@12288 4096@16384"},
      {R"(events "1:eintr")",
       "4096@0 EINTR 4096@4096 4096@8192 4096@12288 4096@16384"},
      {R"(events "1:eagain_forever")",
       "4096@0 EAGAIN EAGAIN EAGAIN EAGAIN EAGAIN"},
      {R"(events "2:enodev")",
       "4096@0 4096@4096 ENODEV/prepare:ENODEV ENODEV/prepare:ENODEV "
       "ENODEV/prepare:ENODEV ENODEV/prepare:ENODEV"},
      {R"(events "1:eio")",
       "4096@0 EIO/prepare:EIO EIO/prepare:EIO EIO/prepare:EIO "
       "EIO/prepare:EIO EIO/prepare:EIO"},
      {R"(events "0:ebadfd")",
       "EBADFD/prepare:EBADFD EBADFD/prepare:EBADFD EBADFD/prepare:EBADFD "
       "EBADFD/prepare:EBADFD EBADFD/prepare:EBADFD EBADFD/prepare:EBADFD"},
      // Events on one period fire in turn, and content positions count
      // skipped periods too.
      {R"(events "0:eintr,0:xrun,2:short,3:xrun")",
       "EINTR EPIPE 4096@4096 2048@8192 2048@10240 EPIPE"},
      {R"(paced true events "1:xrun,2:short")",
       "4096@0 EPIPE 2048@8192 2048@10240 4096@12288 4096@16384"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Define(std::string("pcm.dev { type zelktest pattern \"ramp\" ") +
           c.options + " }");
    Opened s = Open("dev", SND_PCM_FORMAT_S16_LE, 48000);
    ASSERT_EQ(s.commit, 0);
    EXPECT_EQ(Trace(s.pcm.get(), s.period, 6), c.trace);
  }
}

// ---- timing and log ----

TEST_F(DeviceTest, PacedDeliversNoFasterThanRealTime) {
  Define(
      "pcm.paced { type zelktest paced true }\n"
      "pcm.fast { type zelktest }");
  const int periods = 8;
  const double expected = periods * 4096 / 48000.0;
  for (const char* name : {"paced", "fast"}) {
    SCOPED_TRACE(name);
    const auto start = std::chrono::steady_clock::now();
    Capture(name, 2, periods * 4096);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    if (std::string(name) == "paced")
      EXPECT_GE(took, 0.9 * expected);
    else
      EXPECT_LT(took, 0.5 * expected);  // generous: just "not paced"
  }
}

TEST_F(DeviceTest, LogRecordsWhatTheProgramAskedFor) {
  const std::string log = box_.Path("dev.log");
  Define("pcm.dev { type zelktest log \"" + log + "\" }");
  {
    Opened s = Open("dev", SND_PCM_FORMAT_S24_3LE, 88200);
    ASSERT_EQ(s.commit, 0);
    std::vector<uint8_t> a(4096 * 3), b(4096 * 3);
    void* bufs[2] = {a.data(), b.data()};
    ASSERT_EQ(snd_pcm_readn(s.pcm.get(), bufs, 4096), 4096);
    EXPECT_EQ(snd_pcm_drain(s.pcm.get()), 0);
  }
  const Bytes bytes = e2e::ReadFileBytes(log);
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_NE(text.find("hw_params access=RW_NONINTERLEAVED format=S24_3LE "
                      "channels=2 rate=88200 period=4096 buffer=32768\n"),
            std::string::npos)
      << text;
  // One prepare from snd_pcm_hw_params itself, one from Open().
  size_t prepares = 0;
  for (size_t at = 0; (at = text.find("prepare\n", at)) != std::string::npos;
       at++)
    prepares++;
  EXPECT_EQ(prepares, 2u) << text;
  EXPECT_NE(text.find("drain\n"), std::string::npos) << text;
  EXPECT_NE(text.find("close delivered=4096\n"), std::string::npos) << text;
}

// ---- the harness itself ----

TEST(HarnessTest, RunsAProgramAndCollectsWhatItDid) {
  e2e::Sandbox box;
  const std::string bigInput(300000, 'i');
  const struct {
    const char* what;
    std::string script;
    e2e::RunOptions extra;
    std::function<void(const e2e::RunResult&)> check;
  } cases[] = {
      {"both outputs larger than a pipe, and stdin",
       "cat; head -c 300000 /dev/zero | tr '\\0' e >&2",
       {.stdinData = bigInput},
       [&](const e2e::RunResult& r) {
         EXPECT_EQ(r.exitCode, 0);
         EXPECT_EQ(r.out, bigInput);
         EXPECT_EQ(r.err, std::string(300000, 'e'));
       }},
      {"environment and folder",
       "echo \"$HOME $LANG $EXTRA\"; pwd; read x || echo eof",
       {.env = {{"EXTRA", "x1"}}},
       [&](const e2e::RunResult& r) {
         EXPECT_EQ(r.out, box.Dir() + " C x1\n" + box.Dir() + "\neof\n");
       }},
      {"exit status",
       "exit 3",
       {},
       [](const e2e::RunResult& r) {
         EXPECT_EQ(r.exitCode, 3);
         EXPECT_EQ(r.signal, 0);
       }},
      {"killed by a signal",
       "kill -TERM $$",
       {},
       [](const e2e::RunResult& r) {
         EXPECT_EQ(r.exitCode, -1);
         EXPECT_EQ(r.signal, SIGTERM);
         EXPECT_FALSE(r.timedOut);
       }},
      {"timeout",
       "sleep 30",
       {.timeoutSeconds = 0.3},
       [](const e2e::RunResult& r) {
         EXPECT_TRUE(r.timedOut);
         EXPECT_EQ(r.signal, SIGKILL);
         EXPECT_GE(r.seconds, 0.3);
         EXPECT_LT(r.seconds, 10);
       }},
      {"file size limit",
       "head -c 10000 /dev/zero > big",
       {.fileSizeLimit = 4096},
       [&](const e2e::RunResult& r) {
         EXPECT_NE(r.exitCode, 0);  // a failed write, not SIGXFSZ
         EXPECT_EQ(r.signal, 0);
         EXPECT_EQ(e2e::ReadFileBytes(box.Path("big")).size(), 4096u);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::RunOptions options = c.extra;
    options.args = {"-c", c.script};
    c.check(e2e::RunProgram("/bin/sh", box, options));
  }
}

TEST(HarnessTest, ByteHelpersAgreeWithLibsndfile) {
  // A WAV written by hand from expected frames must read back, through
  // libsndfile, as the same samples: this pins the shift back from its
  // full-range ints and the byte order of the frame helpers.
  e2e::Sandbox box;
  for (int bytes : {2, 3}) {
    SCOPED_TRACE(bytes);
    const Bytes frames = e2e::RampFrames(bytes, 100, 500);
    Bytes wav = {'R', 'I', 'F', 'F', 0,  0, 0, 0, 'W', 'A', 'V', 'E',
                 'f', 'm', 't', ' ', 16, 0, 0, 0, 1,   0,   2,   0};
    auto put32 = [&wav](uint32_t v) {
      for (int i = 0; i < 4; i++)
        wav.push_back(static_cast<uint8_t>(v >> 8 * i));
    };
    put32(48000);
    put32(48000 * 2 * bytes);
    wav.insert(wav.end(),
               {static_cast<uint8_t>(2 * bytes), 0,
                static_cast<uint8_t>(8 * bytes), 0, 'd', 'a', 't', 'a'});
    put32(static_cast<uint32_t>(frames.size()));
    wav.insert(wav.end(), frames.begin(), frames.end());
    const uint32_t riff = static_cast<uint32_t>(wav.size() - 8);
    for (int i = 0; i < 4; i++)
      wav[4 + i] = static_cast<uint8_t>(riff >> 8 * i);
    e2e::WriteFileBytes(box.Path("t.wav"), wav);

    EXPECT_EQ(e2e::LeU32(wav, 24), 48000u);
    EXPECT_EQ(e2e::LeU16(wav, 34), 8 * bytes);
    const e2e::WavContent read = e2e::ReadWav(box.Path("t.wav"));
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.channels, 2);
    EXPECT_EQ(read.frames, 500);
    EXPECT_EQ(read.bitsPerSample, 8 * bytes);
    EXPECT_EQ(read.samples, e2e::SamplesOf(frames, bytes));
    EXPECT_EQ(e2e::SamplesOf(e2e::ChannelOf(frames, bytes, 1), bytes)[0],
              zelktest_ramp(100, 1, bytes));
  }
}

}  // namespace
