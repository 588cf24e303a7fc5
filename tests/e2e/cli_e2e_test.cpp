// The command line through the real binary: usage text, the argument checks
// and their order, output-name checks, the overwrite prompt and which files a
// run leaves behind. Takes come from the stock `null` device, or from a
// zelktest device that the sandbox makes the default one.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr const char* kDefault = "pcm.!default { type zelktest }";
const std::string kOld = "not a take";  // what planted files hold

e2e::RunResult Zelk(const e2e::Sandbox& box, Args args,
                    std::string answers = "") {
  return e2e::RunZelk(box, {.args = std::move(args),
                            .stdinData = std::move(answers),
                            .timeoutSeconds = 30});
}

std::string Prompt(const std::string& name) {
  return "\nFile " + name +
         " already exists!\nEnter 'x' to exit or 'o' to overwrite\n";
}

void Plant(const e2e::Sandbox& box, const std::string& name) {
  e2e::WriteFileBytes(box.Path(name), e2e::Bytes(kOld.begin(), kOld.end()));
}

bool Untouched(const e2e::Sandbox& box, const std::string& name) {
  const e2e::Bytes bytes = e2e::ReadFileBytes(box.Path(name));
  return std::string(bytes.begin(), bytes.end()) == kOld;
}

// The files in the sandbox by name, a generated name's number read as N.
std::map<std::string, std::string> Files(const e2e::Sandbox& box) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(box.Dir())) {
    std::string name = entry.path().filename().string();
    if (name == ".asoundrc") continue;
    if (name.starts_with("rec_chan_") && name.ends_with(".wav") &&
        name.size() > 15 &&
        std::all_of(name.begin() + 11, name.end() - 4, ::isdigit)) {
      name = name.substr(0, 11) + "N.wav";
    }
    files[name] = entry.path().string();
  }
  return files;
}

// The names of Files(box), sorted, as one line.
std::string Listing(const e2e::Sandbox& box) {
  std::string names;
  for (const auto& [name, path] : Files(box)) {
    names += (names.empty() ? "" : " ") + name;
  }
  return names;
}

// "a b c" as {"a", "b", "c"}.
Args Words(const std::string& text) {
  std::istringstream in(text);
  return Args(std::istream_iterator<std::string>(in), {});
}

// A run ends at the first failing check, with its message and status 1.
void ExpectRefused(const e2e::RunResult& r, const std::string& message) {
  EXPECT_EQ(r.out, message + "\n");
  EXPECT_EQ(r.exitCode, 1);
}

TEST(CliE2e, UsageTextForTooFewArguments) {
  std::string usage =
      "\nZelk 2.02 (2f) by Tervane\n\n"
      "This is a 1 or 2 channel recording program.\n"
      "You must add at least two command line arguments:\n"
      "\t1.  The recording format\n\t2.  The recording duration in seconds.\n"
      "\nThe possible formats are as follows:\nFormat\tBits\tSample rate\n";
  for (const char* row :
       {"1644\t16\t44100", "1648\t16\t48000", "2444\t24\t44100",
        "2448\t24\t48000", "1688\t16\t88200", "1696\t16\t96000",
        "2488\t24\t88200", "2496\t24\t96000"}) {
    usage += row + std::string("\n");
  }
  usage +=
      "\nExample:  zelk 1644 60\n"
      "This will record for 60 seconds at 16 bits and 44,100 Hz\n\n"
      "If no file name is specified, the program will create one.\n\n"
      "The complete list of arguments is as follows:\n\n"
      "<format>  <duration>  <device>  <channels>  <filename 1>  <filename 2>\n"
      "\nYou may enter just d for the default system recording device.\n"
      "plughw:0,0 is often used for the device name.\n\n"
      "To create an interleaved stereo file, use s instead of 1 or 2 for\n"
      "the number of channels.  Only one filename is needed or created.\n";
  e2e::Sandbox box;
  for (const Args& args : {Args{}, Args{"1644"}, Args{"junk"}}) {
    const e2e::RunResult r = Zelk(box, args);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 1);
  }
}

TEST(CliE2e, FormatCodes) {
  const struct {
    const char* code;
    int rate, bits;
  } accepted[] = {{"1644", 44100, 16}, {"1648", 48000, 16}, {"2444", 44100, 24},
                  {"2448", 48000, 24}, {"1688", 88200, 16}, {"1696", 96000, 16},
                  {"2488", 88200, 24}, {"2496", 96000, 24}};
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.code);
    e2e::Sandbox box;
    const e2e::RunResult r = Zelk(box, {c.code, "0.01", "null", "1", "a.wav"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const e2e::WavContent wav = e2e::ReadWav(box.Path("a.wav"));
    EXPECT_EQ(wav.sampleRate, c.rate);
    EXPECT_EQ(wav.bitsPerSample, c.bits);
    EXPECT_EQ(wav.channels, 1);
  }
  e2e::Sandbox box;
  for (const char* code :
       {"1644 ", " 1644", "01644", "1644x", "16", "", "44"}) {
    SCOPED_TRACE(std::string("[") + code + "]");
    ExpectRefused(Zelk(box, {code, "0.01", "null", "1", "a.wav"}),
                  "Improper format request");
  }
  EXPECT_EQ(Listing(box), "");
}

TEST(CliE2e, Durations) {
  // The take is the time rounded up to whole 4096-frame periods.
  const std::pair<const char*, int> accepted[] = {
      {"60s", 2646016}, {"0.5", 24576}, {" +0.001", 4096}, {"1e-40", 4096}};
  for (const auto& [duration, frames] : accepted) {
    SCOPED_TRACE(duration);
    e2e::Sandbox box;
    const e2e::RunResult r =
        Zelk(box, {"1644", duration, "null", "1", "a.wav"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(e2e::ReadWav(box.Path("a.wav")).frames, frames);
  }
  e2e::Sandbox box;
  for (const char* duration : {"abc", "", "0", "-0", "-5", "1e-50", "nan",
                               "-nan", "inf", "-inf", "infinity", "1e39"}) {
    SCOPED_TRACE(duration);
    ExpectRefused(Zelk(box, {"1644", duration, "null", "1", "a.wav"}),
                  "Improper duration request");
  }
  EXPECT_EQ(Listing(box), "");
}

TEST(CliE2e, FirstFailingCheckWins) {
  const std::string longDevice(64, 'q');
  const std::pair<Args, const char*> cases[] = {
      {{"9999", "abc", longDevice, "9", ""}, "Improper format request"},
      {{"1644", "0", longDevice, "9", ""}, "Improper duration request"},
      {{"1644", "1", longDevice, "9", ""}, "Improper device name request"},
      {{"1644", "1", "null", "9", ""}, "Improper channel number request"},
      {{"1644", "1", "null", "2", ""}, "Improper file name request"},
  };
  e2e::Sandbox box;
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    ExpectRefused(Zelk(box, args), message);
  }
}

TEST(CliE2e, DeviceArgument) {
  e2e::Sandbox box(kDefault);
  const e2e::RunResult tooLong = Zelk(box, {"1644", "1", std::string(64, 'q')});
  ExpectRefused(tooLong, "Improper device name request");
  EXPECT_EQ(tooLong.err, "");
  // Anything that fits goes to alsa-lib as typed; only "d" is translated.
  for (const std::string& device : Args{std::string(63, 'q'), "D", "dd", ""}) {
    SCOPED_TRACE(device);
    const e2e::RunResult r = Zelk(box, {"1644", "0.01", device});
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.ends_with(
        "unable to open pcm record device: No such file or directory\n"))
        << r.err;
    EXPECT_EQ(r.exitCode, 1);
  }
  for (const std::string device : {"d", "default"}) {
    SCOPED_TRACE(device);
    const e2e::RunResult r =
        Zelk(box, {"1644", "0.01", device, "1", device + ".wav"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
  }
}

TEST(CliE2e, ChannelArgument) {
  const std::pair<const char*, int> accepted[] = {
      {"1", 1}, {"1x", 1}, {" 2", 2}, {"+2", 2}, {"02", 2}, {"s", 0}};
  for (const auto& [channels, count] : accepted) {
    SCOPED_TRACE(channels);
    e2e::Sandbox box;
    const e2e::RunResult r =
        Zelk(box, {"1644", "0.01", "null", channels, "a.wav", "b.wav"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // Stereo mode makes one two-channel file; dual-mono two mono files.
    EXPECT_EQ(e2e::ReadWav(box.Path("a.wav")).channels, count == 0 ? 2 : 1);
    EXPECT_EQ(e2e::FileExists(box.Path("b.wav")), count == 2);
  }
  e2e::Sandbox box;
  for (const char* channels : {"0", "3", "-1", "S", "", "x1", "12"}) {
    SCOPED_TRACE(std::string("[") + channels + "]");
    ExpectRefused(Zelk(box, {"1644", "0.01", "null", channels, "a.wav"}),
                  "Improper channel number request");
  }
  EXPECT_EQ(Listing(box), "");
}

TEST(CliE2e, OutputNameDecisions) {
  const struct {
    const char* args;     // after "1644 0.01"
    const char* planted;  // files there before the run
    const char* answers;
    const char* asked;  // the prompts, in order
    bool tooFew;        // the two-channels-one-name message follows them
    const char* taken;  // files recorded into, all of `channels` channels
    int channels;
  } cases[] = {
      {"", "", "", "", false, "rec_chan_1_N.wav", 1},
      {"null", "", "", "", false, "rec_chan_1_N.wav", 1},
      {"null s", "", "", "", false, "rec_chan_1_N.wav", 2},
      {"null 1", "", "", "", false, "rec_chan_1_N.wav", 1},
      {"null 2", "", "", "", false, "rec_chan_1_N.wav rec_chan_2_N.wav", 1},
      {"null s a b", "b", "", "", false, "a", 2},
      {"null s a", "a", "x", "a", false, "", 0},
      {"null s a", "a", "o", "a", false, "a", 2},
      {"null 1 a b", "b", "", "", false, "a", 1},
      {"null 1 a b", "a b", "x", "a", false, "", 0},
      {"null 1 a b", "a b", "o", "a", false, "a", 1},
      {"null 2 a", "", "", "", true, "", 0},
      {"null 2 a", "a", "x", "a", false, "", 0},
      {"null 2 a", "a", "o", "a", true, "", 0},
      {"null 2 a b", "", "", "", false, "a b", 1},
      {"null 2 a b", "a", "x", "a", false, "", 0},
      {"null 2 a b", "a", "o", "a", false, "a b", 1},
      {"null 2 a b", "b", "x", "b", false, "", 0},
      {"null 2 a b", "b", "o", "b", false, "a b", 1},
      {"null 2 a b", "a b", "x", "a", false, "", 0},
      {"null 2 a b", "a b", "o x", "a b", false, "", 0},
      {"null 2 a b", "a b", "o\no\n", "a b", false, "a b", 1},
      {"null 2 a b c 2", "c", "", "", false, "a b", 1},  // c and 2 ignored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args) + " | planted: " + c.planted +
                 " | answers: " + c.answers);
    e2e::Sandbox box(kDefault);
    for (const std::string& name : Words(c.planted)) Plant(box, name);
    const e2e::RunResult r =
        Zelk(box, Words(std::string("1644 0.01 ") + c.args), c.answers);

    std::string shown;
    for (const std::string& name : Words(c.asked)) shown += Prompt(name);
    if (c.tooFew) {
      shown += "2 channels were requested, but on1y 1 filename was entered!\n";
    }
    if (c.channels == 0) {
      EXPECT_EQ(r.out, shown);
      EXPECT_EQ(r.exitCode, 1);
    } else {
      EXPECT_TRUE(r.out.starts_with(shown + "Recording")) << r.out;
      EXPECT_EQ(r.exitCode, 0) << r.err;
    }
    // Planted files not recorded into stay as they were; nothing else comes.
    std::map<std::string, int> expected;
    for (const std::string& name : Words(c.planted)) expected[name] = 0;
    for (const std::string& name : Words(c.taken)) expected[name] = c.channels;
    const auto files = Files(box);
    ASSERT_EQ(files.size(), expected.size());
    for (const auto& [name, channels] : expected) {
      ASSERT_TRUE(files.contains(name)) << name;
      if (channels == 0) {
        EXPECT_TRUE(Untouched(box, name)) << name;
        continue;
      }
      const e2e::WavContent wav = e2e::ReadWav(files.at(name));
      EXPECT_EQ(wav.channels, channels) << name;
      EXPECT_EQ(wav.frames, 4096) << name;
    }
  }
}

TEST(CliE2e, AnswersAtThePrompt) {
  const std::string z(4998, 'z');  // with "x" or "o": 4999 characters
  const std::pair<std::string, bool> cases[] = {
      {"y X o", true},
      {" \n\t o", true},
      {"o", true},
      {"", false},  // end of input counts as "x"
      {"xo oooo X O yes ox", false},
      {z + "o", false},  // never split into pieces that end in "o"
      {z + "x\no\n", true},
      {std::string(5000, 'o') + " o", true},
  };
  for (const auto& [answers, overwrite] : cases) {
    SCOPED_TRACE(answers.substr(0, 20) + "... of " +
                 std::to_string(answers.size()));
    e2e::Sandbox box;
    Plant(box, "a.wav");
    const e2e::RunResult r =
        Zelk(box, {"1644", "0.01", "null", "1", "a.wav"}, answers);
    ASSERT_FALSE(r.timedOut);
    EXPECT_LT(r.seconds, 5);
    EXPECT_EQ(r.exitCode, overwrite ? 0 : 1);
    if (overwrite) {
      EXPECT_TRUE(r.out.starts_with(Prompt("a.wav") + "Recording")) << r.out;
      EXPECT_EQ(e2e::ReadWav(box.Path("a.wav")).frames, 4096);
    } else {
      EXPECT_EQ(r.out, Prompt("a.wav"));
      EXPECT_TRUE(Untouched(box, "a.wav"));
    }
  }
}

TEST(CliE2e, UnusableNamesAreRefusedBeforeAnyPrompt) {
  // Names that fill the 4096-byte list (each with a newline, then a NUL)
  // exactly, and one byte more; "./" keeps them valid paths.
  auto name = [](size_t length, const std::string& file) {
    std::string dots;
    while (dots.size() + file.size() < length) dots += "./";
    return dots + file;
  };
  const std::pair<Args, const char*> cases[] = {
      // args, files made or ""
      {{"1", name(4094, "c.wv")}, "c.wv"},
      {{"2", name(2046, "c.wv"), name(2047, "d.wav")}, "c.wv d.wav"},
      {{"1", "c.wav", ""}, "c.wav"},  // the ignored second name is not checked
      {{"s", "c.wav", "c.wav"}, "c.wav"},
      {{"1", "c.wav", "b\nc"}, "c.wav"},
      {{"1", ""}, ""},
      {{"1", "a\nb"}, ""},
      {{"s", "a.wav\n"}, ""},
      {{"1", name(4095, "ab.wv")}, ""},
      {{"2", "a.wav", "a.wav"}, ""},
      {{"2", "a.wav", ""}, ""},
      {{"2", "", "a.wav"}, ""},
      {{"2", "a.wav", "b\nc"}, ""},
      {{"2", name(2046, "a.wv"), name(2048, "b.wv")}, ""},
  };
  for (const auto& [args, made] : cases) {
    SCOPED_TRACE(args[0] + " " + std::to_string(args[1].size()));
    e2e::Sandbox box;
    Plant(box, "a.wav");
    Args all = {"1644", "0.01", "null"};
    all.insert(all.end(), args.begin(), args.end());
    const e2e::RunResult r = Zelk(box, all, "o\no\n");
    if (*made == '\0') {
      ExpectRefused(r, "Improper file name request");
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.out;
    }
    EXPECT_EQ(Listing(box), "a.wav" + std::string(*made ? " " : "") + made);
    EXPECT_TRUE(Untouched(box, "a.wav"));
  }
}

TEST(CliE2e, ProbingAFifoDoesNotHang) {
  e2e::Sandbox box;
  ASSERT_EQ(mkfifo(box.Path("a.wav").c_str(), 0600), 0);
  const e2e::RunResult r =
      e2e::RunZelk(box, {.args = {"1644", "0.01", "null", "1", "a.wav"},
                         .stdinData = "x",
                         .timeoutSeconds = 10});
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.out, Prompt("a.wav"));
  EXPECT_EQ(r.exitCode, 1);
}

TEST(CliE2e, UnreadableFileIsNotAskedAbout) {
  if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
  e2e::Sandbox box;
  Plant(box, "a.wav");
  ASSERT_EQ(chmod(box.Path("a.wav").c_str(), 0200), 0);
  const e2e::RunResult r = Zelk(box, {"1644", "0.01", "null", "1", "a.wav"});
  EXPECT_TRUE(r.out.starts_with("Recording")) << r.out;
  EXPECT_EQ(r.exitCode, 0);
}

// A program driving zelk through pipes sees the prompt before it answers
// (output to a pipe or file is fully buffered unless flushed), and a read
// error on standard input ends the answers as its end does.
TEST(CliE2e, PromptThroughPipesAndFailingInput) {
  const char* const scripts[] = {
      R"(mkfifo in && { "$0" 1644 0.01 null 1 a.wav <in >out & }
exec 3>in
for i in $(seq 50); do grep -q overwrite out && break; sleep 0.1; done
cat out; echo x >&3; wait $!; echo "exit $?")",
      R"("$0" 1644 0.01 null 1 a.wav </; echo "exit $?")",
  };
  for (const char* script : scripts) {
    e2e::Sandbox box;
    Plant(box, "a.wav");
    const e2e::RunResult r = e2e::RunProgram(
        "/bin/sh", box,
        {.args = {"-c", script, ZELK_BINARY}, .timeoutSeconds = 20});
    EXPECT_EQ(r.out, Prompt("a.wav") + "exit 1\n");
    EXPECT_TRUE(Untouched(box, "a.wav"));
  }
}

}  // namespace
