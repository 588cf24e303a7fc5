// The output files of a take, through the real binary: the headers written
// for the planned length in every channel mode, generated names, and the
// refusals that must come before a single sample is recorded.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using e2e::Bytes;

constexpr time_t kEpoch = 1349885340;  // generated names count from here
const Bytes kKeep = {'k', 'e', 'e', 'p'};

long NameTime() { return static_cast<long>(time(nullptr) - kEpoch); }

// "1644 1 null" as the argument list {"1644", "1", "null"}.
std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), {}};
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every regular file in the sandbox with its content, to show that a run
// created, truncated or removed nothing.
std::map<std::string, Bytes> Snapshot(const e2e::Sandbox& box) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::directory_iterator(box.Dir())) {
    if (entry.is_regular_file()) {
      files[entry.path().filename()] = e2e::ReadFileBytes(entry.path());
    }
  }
  return files;
}

// The generated names in the sandbox: channel and number of each.
std::set<std::pair<int, long>> Generated(const e2e::Sandbox& box) {
  std::set<std::pair<int, long>> found;
  for (const auto& entry : fs::directory_iterator(box.Dir())) {
    const std::string name = entry.path().filename();
    int channel = 0;
    long number = 0;
    int end = 0;
    if (std::sscanf(name.c_str(), "rec_chan_%1d_%ld.wav%n", &channel, &number,
                    &end) == 2 &&
        end == static_cast<int>(name.size()) &&
        (channel == 1 || channel == 2)) {
      found.emplace(channel, number);
    }
  }
  return found;
}

std::string GeneratedName(int channel, long number) {
  return "rec_chan_" + std::to_string(channel) + "_" + std::to_string(number) +
         ".wav";
}

// What a header states, field by field.
struct Header {
  uint16_t channels;
  uint32_t rate, byteRate;
  uint16_t blockAlign, bits;
  uint32_t dataBytes;
  int64_t Frames() const { return dataBytes / blockAlign; }
};

TEST(FilesHeaderTest, TakeFromNullDeviceMatchesItsHeader) {
  const struct {
    const char* args;
    Header h;
    bool overwrite = false;  // the user's files exist, longer than a header
  } cases[] = {
      {"1644 1 null 1 a.wav", {1, 44100, 88200, 2, 16, 90112}},
      {"1644 1 null 1 a.wav", {1, 44100, 88200, 2, 16, 90112}, true},
      {"2496 1 null s a.wav", {2, 96000, 576000, 6, 24, 589824}},
      // A second name is no file of a stereo take: left alone.
      {"2496 1 null s a.wav x", {2, 96000, 576000, 6, 24, 589824}, true},
      {"2448 1 null 2 a.wav b.wav", {1, 48000, 144000, 3, 24, 147456}},
      {"1648 0.2 null 2 a.wav b.wav", {1, 48000, 96000, 2, 16, 24576}, true},
      {"2444 0.1 null", {1, 44100, 132300, 3, 24, 24576}},
      {"1696 0.5 null s", {2, 96000, 384000, 4, 16, 196608}},
      {"1688 0.1 null 2", {1, 88200, 176400, 2, 16, 24576}},
      // The device's period, not the one asked for: 1 s is 10 periods.
      {"1644 1 p4410 1 a.wav", {1, 44100, 88200, 2, 16, 88200}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args) +
                 (c.overwrite ? " over longer files" : ""));
    e2e::Sandbox box(
        R"(pcm.p4410 { type zelktest formats [ "S16_LE" ] period 4410 })");
    const std::vector<std::string> args = Words(c.args);
    const bool dual = args.size() > 3 && args[3] == "2";
    // The user's names for this mode, and one it must leave alone.
    std::vector<std::string> files, ignored;
    for (size_t i = 4; i < args.size(); ++i) {
      (i == 4 || dual ? files : ignored).push_back(args[i]);
    }
    std::string answers;
    for (const std::string& f : files) {
      if (!c.overwrite) continue;
      e2e::WriteFileBytes(box.Path(f), Bytes(300000, 'x'));
      answers += "o\n";
    }
    for (const std::string& f : ignored) {
      e2e::WriteFileBytes(box.Path(f), kKeep);
    }
    const long before = NameTime();
    const e2e::RunResult r =
        e2e::RunZelk(box, {.args = args, .stdinData = answers});
    const long after = NameTime();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const std::string& f : ignored) {
      EXPECT_EQ(e2e::ReadFileBytes(box.Path(f)), kKeep);
    }

    if (files.empty()) {
      // One number for the take; one file, or one per channel in dual-mono.
      const auto found = Generated(box);
      const int expected = dual ? 2 : 1;
      ASSERT_EQ(found.size(), static_cast<size_t>(expected));
      const long number = found.begin()->second;
      EXPECT_GE(number, before);
      EXPECT_LE(number, after);
      for (int channel = 1; channel <= expected; ++channel) {
        EXPECT_TRUE(found.contains({channel, number})) << channel;
        files.push_back(GeneratedName(channel, number));
      }
    } else {
      EXPECT_TRUE(Generated(box).empty());
    }

    Bytes first;
    for (const std::string& name : files) {
      SCOPED_TRACE(name);
      const Bytes h = e2e::ReadFileBytes(box.Path(name));
      ASSERT_GE(h.size(), 44u);
      EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RIFF");
      EXPECT_EQ(e2e::LeU32(h, 4), c.h.dataBytes + 36);
      EXPECT_EQ(std::string(h.begin() + 8, h.begin() + 16), "WAVEfmt ");
      EXPECT_EQ(e2e::LeU32(h, 16), 16u);
      EXPECT_EQ(e2e::LeU16(h, 20), 1u);
      EXPECT_EQ(e2e::LeU16(h, 22), c.h.channels);
      EXPECT_EQ(e2e::LeU32(h, 24), c.h.rate);
      EXPECT_EQ(e2e::LeU32(h, 28), c.h.byteRate);
      EXPECT_EQ(e2e::LeU16(h, 32), c.h.blockAlign);
      EXPECT_EQ(e2e::LeU16(h, 34), c.h.bits);
      EXPECT_EQ(std::string(h.begin() + 36, h.begin() + 40), "data");
      EXPECT_EQ(e2e::LeU32(h, 40), c.h.dataBytes);
      EXPECT_EQ(h.size(), 44u + c.h.dataBytes);
      if (first.empty()) first.assign(h.begin(), h.begin() + 44);
      EXPECT_EQ(Bytes(h.begin(), h.begin() + 44), first);

      const e2e::WavContent wav = e2e::ReadWav(box.Path(name));
      ASSERT_TRUE(wav.ok) << wav.error;
      EXPECT_EQ(wav.channels, c.h.channels);
      EXPECT_EQ(wav.sampleRate, static_cast<int>(c.h.rate));
      EXPECT_EQ(wav.bitsPerSample, c.h.bits);
      EXPECT_EQ(wav.frames, c.h.Frames());

      const e2e::RunResult soxi =
          e2e::RunProgram("/usr/bin/soxi", box, {.args = {name}});
      ASSERT_EQ(soxi.exitCode, 0) << soxi.err;
      const std::string expected[] = {
          "Channels       : " + std::to_string(c.h.channels) + "\n",
          "Sample Rate    : " + std::to_string(c.h.rate) + "\n",
          "Precision      : " + std::to_string(c.h.bits) + "-bit\n",
          "= " + std::to_string(c.h.Frames()) + " samples"};
      for (const std::string& line : expected) {
        EXPECT_TRUE(Has(soxi.out, line)) << line << " in\n" << soxi.out;
      }
    }
  }
}

// A generated name never replaces a file: the numbers the clock gives for
// the next few seconds are taken, so the take must move past them, in
// dual-mono with one number for both of its files.
TEST(FilesNamesTest, GeneratedNameSkipsTakenNumbers) {
  const struct {
    const char* mode;
    int takenChannel;
    bool links = false;  // taken by symlinks to files that do not exist
  } cases[] = {{"1", 1}, {"s", 1}, {"2", 1}, {"2", 2}, {"1", 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("mode ") + c.mode + ", channel " +
                 std::to_string(c.takenChannel) + " taken" +
                 (c.links ? " by symlinks" : ""));
    e2e::Sandbox box;
    const long now = NameTime();
    std::set<std::pair<int, long>> taken;
    for (long n = now - 1; n <= now + 5; ++n) {
      const std::string name = GeneratedName(c.takenChannel, n);
      if (c.links) {
        fs::create_symlink("gone/" + name, box.Path(name));
        fs::create_directory(box.Path("gone"));
      } else {
        e2e::WriteFileBytes(box.Path(name), kKeep);
      }
      taken.emplace(c.takenChannel, n);
    }
    const long before = NameTime();
    const e2e::RunResult r =
        e2e::RunZelk(box, {.args = {"1644", "0.1", "null", c.mode}});
    const long after = NameTime();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

    for (const auto& [channel, n] : taken) {
      const std::string name = GeneratedName(channel, n);
      if (c.links) {
        EXPECT_FALSE(fs::exists(box.Path("gone/" + name))) << name;
      } else {
        EXPECT_EQ(e2e::ReadFileBytes(box.Path(name)), kKeep);
      }
    }
    std::set<std::pair<int, long>> made;
    for (const auto& entry : Generated(box)) {
      if (!taken.contains(entry)) made.insert(entry);
    }
    // Nothing else: in dual-mono no channel 1 file is left behind for a
    // number that channel 2 could not have.
    const size_t expected = std::string(c.mode) == "2" ? 2 : 1;
    ASSERT_EQ(made.size(), expected);
    const long number = made.begin()->first == 1 ? made.begin()->second : -1;
    EXPECT_GE(number, std::max(now + 6, before));
    EXPECT_LE(number, std::max(now + 6, after));
    EXPECT_EQ(made.contains({2, number}), expected == 2);
    const Bytes h = e2e::ReadFileBytes(box.Path(GeneratedName(1, number)));
    EXPECT_EQ(h.size(), 44u + 8192 * (std::string(c.mode) == "s" ? 4 : 2));
  }
}

// Takes started in the same second in one folder must not share a file:
// each claims its names, never checks first and creates later.
TEST(FilesNamesTest, TakesStartedTogetherGetNumbersOfTheirOwn) {
  e2e::Sandbox box;
  constexpr int kTakes = 8;  // every other one dual-mono
  std::vector<e2e::RunResult> results(kTakes);
  std::vector<std::thread> threads;
  for (int i = 0; i < kTakes; ++i) {
    threads.emplace_back([&box, &results, i] {
      results[i] = e2e::RunZelk(
          box, {.args = {"1644", "0.1", "null", i % 2 == 1 ? "2" : "1"}});
    });
  }
  for (std::thread& t : threads) t.join();
  for (const e2e::RunResult& r : results) {
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  const auto found = Generated(box);
  size_t ones = 0;
  for (const auto& [channel, n] : found) {
    ones += channel == 1 ? 1 : 0;
    EXPECT_TRUE(channel == 1 || found.contains({1, n})) << n;
    // Two takes in one file would leave it with twice the data.
    EXPECT_EQ(fs::file_size(box.Path(GeneratedName(channel, n))), 44u + 16384);
  }
  EXPECT_EQ(ones, static_cast<size_t>(kTakes));
  EXPECT_EQ(found.size(), static_cast<size_t>(kTakes + kTakes / 2));
}

// A file that cannot be opened, or whose header cannot be written, ends the
// run before "Recording": a take without one of its files would be lost.
TEST(FilesOpenTest, UnusableFileEndsRunBeforeRecording) {
  const std::string full = "Can't write /dev/full: No space left on device\n";
  const std::string big = "Can't write a.wav: File too large\n";
  const std::string prompt = "'o' to overwrite\n";
  const struct {
    const char* args;
    std::string answers, outEnd, err;
    std::optional<rlim_t> sizeLimit = std::nullopt;
  } cases[] = {
      {"1 nodir/a.wav", "", "Can't open nodir/a.wav for recording\n", ""},
      {"s nodir/a.wav", "", "Can't open nodir/a.wav for recording\n", ""},
      // The good file of the pair opens; the bad one is still reported.
      {"2 nodir/a.wav b.wav", "", "Can't open nodir/a.wav for recording\n", ""},
      {"2 a.wav nodir/b.wav", "", "Can't open nodir/b.wav for recording\n", ""},
      {"2 nodir/a.wav nodir/b.wav", "",
       "Can't open nodir/a.wav for recording\n"
       "Can't open nodir/b.wav for recording\n",
       ""},
      {"1 sub", "o\n", "Can't open sub for recording\n", ""},
      {"1 /dev/full", "o\n", prompt, full},
      {"s /dev/full", "o\n", prompt, full},
      {"2 a.wav /dev/full", "o\n", prompt, full},
      // A disk that takes only part of a header.
      {"1 a.wav", "", "", big, 20},
      {"2 a.wav b.wav", "", "", big, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    e2e::Sandbox box;
    fs::create_directory(box.Path("sub"));
    const std::vector<std::string> args =
        Words(std::string("1644 0.1 null ") + c.args);
    const e2e::RunResult r = e2e::RunZelk(
        box,
        {.args = args, .stdinData = c.answers, .fileSizeLimit = c.sizeLimit});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.ends_with(c.outEnd)) << r.out;
    EXPECT_FALSE(Has(r.out, "Recording")) << r.out;
    EXPECT_EQ(r.err, c.err);
    if (c.answers.empty()) {
      EXPECT_EQ(r.out, c.outEnd);
    }
  }
}

// Two names for one file in dual-mono would interleave both channels'
// blocks into it.
TEST(FilesOpenTest, TwoNamesForOneFileAreRefused) {
  const struct {
    const char* what;
    std::string first, second, answers;
    bool existing;  // a.wav is there before the run
  } cases[] = {
      {"same text", "a.wav", "a.wav", "", false},
      {"dot slash", "a.wav", "./a.wav", "", false},
      {"through a folder", "sub/../a.wav", "a.wav", "", false},
      {"dangling symlink", "a.wav", "sym.wav", "", false},
      {"symlink to existing", "sym.wav", "a.wav", "o\no\n", true},
      {"hard link", "a.wav", "hard.wav", "o\no\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::Sandbox box;
    fs::create_directory(box.Path("sub"));
    if (c.existing) e2e::WriteFileBytes(box.Path("a.wav"), kKeep);
    fs::create_symlink("a.wav", box.Path("sym.wav"));
    if (c.existing)
      fs::create_hard_link(box.Path("a.wav"), box.Path("hard.wav"));
    const e2e::RunResult r = e2e::RunZelk(
        box, {.args = {"1644", "0.1", "null", "2", c.first, c.second},
              .stdinData = c.answers});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.ends_with("Improper file name request\n")) << r.out;
    EXPECT_FALSE(Has(r.out, "Recording")) << r.out;
  }
}

// A take longer than the 32-bit frame count or the header's data size is
// refused after the device is set up and before any file is touched.
TEST(FilesDurationTest, TooLongTakeIsRefusedBeforeAnyFile) {
  const struct {
    const char* args;
    std::vector<std::string> existing;  // hold "keep", answered "o"
    bool deviceError = false;
  } cases[] = {
      {"1644 50000 null 1 a.wav", {}},
      {"1644 50000 null", {}},
      // Below 2^31 frames, but the whole number of periods is not.
      {"1696 22369.6 null 1 a.wav", {}},
      {"2496 8000 null s a.wav", {}},
      // One period past 4294967259 data bytes.
      {"2496 7456.54 null s", {}},
      {"2496 15000 null 2 a.wav b.wav", {"a.wav", "b.wav"}},
      {"1644 50000 null 1 a.wav", {"a.wav"}},
      {"1644 50000 nodev 1 a.wav", {"a.wav"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args + std::string(c.existing.empty() ? "" : " existing"));
    e2e::Sandbox box;
    std::string answers;
    for (const std::string& name : c.existing) {
      e2e::WriteFileBytes(box.Path(name), kKeep);
      answers += "o\n";
    }
    const auto before = Snapshot(box);
    // Should a take start after all, the size limit ends it at once.
    const e2e::RunResult r = e2e::RunZelk(box, {.args = Words(c.args),
                                                .stdinData = answers,
                                                .fileSizeLimit = 1 << 20,
                                                .timeoutSeconds = 10});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(Has(r.out, "Recording")) << r.out;
    EXPECT_EQ(Snapshot(box), before);
    if (c.deviceError) {
      EXPECT_TRUE(Has(r.err, "unable to open pcm record device: ")) << r.err;
      EXPECT_FALSE(Has(r.out, "Improper duration request")) << r.out;
    } else {
      EXPECT_TRUE(r.out.ends_with("Improper duration request\n")) << r.out;
    }
  }
}

// Just inside the limits the take starts, and its header states the full
// size as unsigned. A paced device keeps the run short: it is stopped after
// a second or two of recording.
TEST(FilesDurationTest, LongestTakesStartWithFullSizeHeader) {
  const struct {
    const char* args;
    uint32_t dataBytes;
  } cases[] = {
      {"1696 22369.55 slow 1 a.wav", 4294959104u},  // 2^31 - 4096 frames
      {"2496 7456.5 slow s a.wav", 4294950912u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    e2e::Sandbox box("pcm.slow { type zelktest paced true }");
    const e2e::RunResult r =
        e2e::RunZelk(box, {.args = Words(c.args), .timeoutSeconds = 2.5});
    EXPECT_TRUE(r.timedOut) << r.out << r.err;
    ASSERT_TRUE(Has(r.out, "Recording")) << r.out << r.err;
    const Bytes h = e2e::ReadFileBytes(box.Path("a.wav"));
    ASSERT_GE(h.size(), 44u);
    EXPECT_EQ(e2e::LeU32(h, 40), c.dataBytes);
    EXPECT_EQ(e2e::LeU32(h, 4), c.dataBytes + 36);
  }
}

}  // namespace
