// Capture device set-up through the real binary: the three failure reports,
// a device that settles on other parameters than zelk asked for, and a
// period other than 4096 frames sizing the take.

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using Args = std::vector<std::string>;

constexpr const char* kDevices = R"(
pcm.s16only { type zelktest formats [ "S16_LE" ] }
pcm.s24only { type zelktest formats [ "S24_3LE" ] }
pcm.refuses { type zelktest fail_commit true }
pcm.refuses4410 { type zelktest formats "S16_LE" period 4410
                  fail_commit true }
pcm.at22050 { type zelktest rate 22050 }
pcm.at96000 { type zelktest rates [ 96000 ] }
pcm.upward { type zelktest rates [ 44100 96000 ] }
pcm.mono { type zelktest channels [ 1 ] }
pcm.interleaved { type zelktest access "interleaved" }
pcm.p4410 { type zelktest formats "S16_LE" period 4410 }
)";

// Runs a dual-mono take into a.wav and b.wav from `device`.
e2e::RunResult Take(const e2e::Sandbox& box, const std::string& format,
                    const std::string& device, const std::string& duration) {
  return e2e::RunZelk(
      box, {.args = {format, duration, device, "2", "a.wav", "b.wav"},
            .timeoutSeconds = 30});
}

void ExpectNoFiles(const e2e::Sandbox& box) {
  EXPECT_FALSE(e2e::FileExists(box.Path("a.wav")));
  EXPECT_FALSE(e2e::FileExists(box.Path("b.wav")));
}

TEST(DeviceSetupE2e, DeviceErrorsGoToStandardError) {
  const struct {
    const char *format, *device, *message;
    int error;
  } cases[] = {
      {"1644", "nosuch", "unable to open pcm record device: ", ENOENT},
      {"2444", "s16only", "Problem setting recording format: ", EINVAL},
      {"1696", "s24only", "Problem setting recording format: ", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.device);
    e2e::Sandbox box(kDevices);
    const e2e::RunResult r = Take(box, c.format, c.device, "0.1");
    EXPECT_TRUE(
        r.err.ends_with(c.message + std::string(snd_strerror(-c.error)) + "\n"))
        << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 1);
    ExpectNoFiles(box);
  }
  // A file the user agreed to overwrite is still whole: set-up comes first.
  e2e::Sandbox box(kDevices);
  e2e::WriteFileBytes(box.Path("b.wav"), {'o', 'l', 'd'});
  const e2e::RunResult r = e2e::RunZelk(
      box, {.args = {"1644", "1", "refuses", "2", "a.wav", "b.wav"},
            .stdinData = "o"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(e2e::FileExists(box.Path("a.wav")));
  EXPECT_EQ(e2e::ReadFileBytes(box.Path("b.wav")), e2e::Bytes({'o', 'l', 'd'}));
}

// A refused commit, and a commit that settles on another rate, channel count
// or access than the files would say, give the same report with what the
// device settled on: period, buffer, rate, channels.
TEST(DeviceSetupE2e, RefusedParametersReport) {
  const struct {
    const char* format;
    const char* device;
    const char* readBack;
  } cases[] = {
      {"1644", "refuses", "4096\t32768\t44100\t2"},
      {"2496", "refuses", "4096\t32768\t96000\t2"},
      {"1648", "refuses4410", "4410\t30870\t48000\t2"},
      {"1644", "at22050", "4096\t32768\t22050\t2"},
      {"2448", "at96000", "4096\t32768\t96000\t2"},
      {"1648", "upward", "4096\t32768\t96000\t2"},
      {"1688", "mono", "4096\t32768\t88200\t1"},
      {"2444", "interleaved", "4096\t32768\t44100\t2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " " + c.format);
    e2e::Sandbox box(kDevices);
    const e2e::RunResult r = Take(box, c.format, c.device, "0.1");
    EXPECT_EQ(r.out, std::string("Could not set record hardware parameters:\n"
                                 "Returned Driver Parameters:\n"
                                 "\tBuf 1\tBuf 2\tRate\tChannels\n"
                                 "Record\t") +
                         c.readBack + "\n-------------------------\n");
    EXPECT_EQ(r.err.find("unable to open"), std::string::npos) << r.err;
    EXPECT_EQ(r.exitCode, 1);
    ExpectNoFiles(box);
  }
}

// The device's period, not the 4096 frames asked for, measures the take: the
// time rounded up to whole periods.
TEST(DeviceSetupE2e, AcceptedPeriodSizesTheTake) {
  const struct {
    const char* duration;
    uint32_t frames;
  } cases[] = {{"1", 44100}, {"0.5", 22050}, {"0.001", 4410}, {"1.01", 48510}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.duration);
    e2e::Sandbox box(kDevices);
    const e2e::RunResult r = Take(box, "1644", "p4410", c.duration);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const char* name : {"a.wav", "b.wav"}) {
      const e2e::Bytes file = e2e::ReadFileBytes(box.Path(name));
      EXPECT_EQ(file.size(), 44 + 2 * c.frames) << name;
      EXPECT_EQ(e2e::LeU32(file, 40), 2 * c.frames) << name;
      EXPECT_EQ(e2e::ReadWav(box.Path(name)).frames, c.frames) << name;
    }
  }
}

}  // namespace
