// The test bench checked where a fault in it would not make zelk's own
// end-to-end tests fail: the device's refusals and log, the ramp's power to
// tell frames apart, and the harness paths zelk never takes.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "pattern.h"

namespace {

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("HOME", box_.Dir().c_str(), 1); }

  // Makes `options` the zelktest device "dev" for the next open here.
  void Define(const std::string& options) {
    box_.WriteAsoundrc("pcm.dev { type zelktest " + options + " }");
    snd_config_update_free_global();  // alsa-lib keeps the first it read
  }

  e2e::Sandbox box_;
};

// A mistyped option must not quietly give a plain device, or a test of a
// fault would pass without the fault. The empty case shows the device loads.
TEST_F(DeviceTest, RefusesBadOptionsAtOpen) {
  const char* const cases[] = {
      "",  // accepted
      "colour \"red\"",
      "period 4096",  // two formats: the period in bytes is ambiguous
      "events \"1:meltdown\"",
      "events \"x:xrun\"",
      "infile \"/nonexistent/raw\"",
      "access \"sideways\"",
      "formats [ \"NOT_A_FORMAT\" ]",
      "pattern \"sine\"",
      "paced \"maybe\"",
  };
  for (const char* options : cases) {
    SCOPED_TRACE(options);
    Define(options);
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, "dev", SND_PCM_STREAM_CAPTURE, 0);
    EXPECT_EQ(err == 0, *options == '\0') << snd_strerror(err);
    if (pcm) snd_pcm_close(pcm);
  }
}

// No program test reads the log: what it says is checked only here.
TEST_F(DeviceTest, LogRecordsCallsAndFaultsInOrder) {
  const std::string log = box_.Path("dev.log");
  Define("events \"1:xrun\" log \"" + log + "\"");
  snd_pcm_t* pcm = nullptr;
  ASSERT_EQ(snd_pcm_open(&pcm, "dev", SND_PCM_STREAM_CAPTURE, 0), 0);
  snd_pcm_hw_params_t* p;
  snd_pcm_hw_params_alloca(&p);
  snd_pcm_hw_params_any(pcm, p);
  snd_pcm_hw_params_set_access(pcm, p, SND_PCM_ACCESS_RW_NONINTERLEAVED);
  snd_pcm_hw_params_set_format(pcm, p, SND_PCM_FORMAT_S24_3LE);
  snd_pcm_hw_params_set_channels(pcm, p, 2);
  snd_pcm_hw_params_set_rate(pcm, p, 88200, 0);
  snd_pcm_hw_params_set_period_size(pcm, p, 4096, 0);
  snd_pcm_hw_params_set_buffer_size(pcm, p, 32768);
  ASSERT_EQ(snd_pcm_hw_params(pcm, p), 0);
  std::vector<uint8_t> left(4096 * 3), right(left.size());
  void* bufs[2] = {left.data(), right.data()};
  EXPECT_EQ(snd_pcm_readn(pcm, bufs, 4096), 4096);
  EXPECT_EQ(snd_pcm_readn(pcm, bufs, 4096), -EPIPE);
  EXPECT_EQ(snd_pcm_prepare(pcm), 0);
  EXPECT_EQ(snd_pcm_readn(pcm, bufs, 4096), 4096);
  snd_pcm_close(pcm);

  const e2e::Bytes bytes = e2e::ReadFileBytes(log);
  const std::string text(bytes.begin(), bytes.end());
  // snd_pcm_hw_params prepares too, as harness.h warns: two prepares.
  size_t at = 0;
  for (const char* line :
       {"open dev\n",
        "hw_params access=RW_NONINTERLEAVED format=S24_3LE channels=2 "
        "rate=88200 period=4096 buffer=32768\n",
        "prepare\n", "event 1 xrun pos=4096\n", "prepare\n",
        "close delivered=8192\n"}) {
    at = text.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << "in order in\n" << text;
  }
  EXPECT_EQ(text.find("prepare\n", text.find("prepare\n") + 1),
            text.rfind("prepare\n"))
      << text;
}

// The capture tests compare files with the ramp; a ramp that repeated, or
// gave both channels one value, would let a stale period, a silenced frame
// or a channel swap pass unseen.
TEST(PatternTest, RampTellsFramesAndChannelsApart) {
  for (int bytes : {2, 3}) {
    SCOPED_TRACE(bytes);
    std::set<int32_t> seen;
    bool negative = false;
    for (uint64_t f = 0; f < 65536; f++) {
      const int32_t left = zelktest_ramp(f, 0, bytes);
      EXPECT_NE(left, zelktest_ramp(f, 1, bytes)) << f;
      EXPECT_TRUE(seen.insert(left).second) << f;
      negative = negative || left < 0;
    }
    EXPECT_TRUE(negative);
  }
}

// Paths of RunProgram that zelk's small, quick, well-behaved runs never
// take, where a fault would hide rather than show.
TEST(HarnessTest, RunProgramEdgeCases) {
  e2e::Sandbox box;
  const std::string big(300000, 'i');  // several pipe buffers
  const struct {
    const char* what;
    const char* script;
    e2e::RunOptions extra;
    int exitCode, signal;  // SIGKILL only from the timeout
  } cases[] = {
      // Input copied to both outputs: all three pipes kept moving at once.
      {"big outputs", "tee /dev/stderr", {.stdinData = big}, 0, 0},
      {"exit status", "exit 3", {}, 3, 0},
      {"killed by a signal", "kill -TERM $$", {}, -1, SIGTERM},
      {"timeout", "sleep 30", {.timeoutSeconds = 0.3}, -1, SIGKILL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::RunOptions options = c.extra;
    options.args = {"-c", c.script};
    const e2e::RunResult r = e2e::RunProgram("/bin/sh", box, options);
    EXPECT_TRUE(r.out == options.stdinData) << r.out.size() << " bytes out";
    EXPECT_TRUE(r.err == options.stdinData) << r.err.size() << " bytes err";
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.signal, c.signal);
    EXPECT_EQ(r.timedOut, c.signal == SIGKILL);
    if (r.timedOut) {
      EXPECT_GE(r.seconds, 0.3);
      EXPECT_LT(r.seconds, 10);
    }
  }
}

}  // namespace
