#include "request/request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char* const kFormat = "Improper format request\n";
const char* const kDuration = "Improper duration request\n";
const char* const kDevice = "Improper device name request\n";
const char* const kChannels = "Improper channel number request\n";
const char* const kNames = "Improper file name request\n";
const char* const kOneName =
    "2 channels were requested, but on1y 1 filename was entered!\n";

CommandLine Read(const std::vector<std::string>& words) {
  std::vector<const char*> args;
  args.reserve(words.size());
  for (const std::string& word : words) args.push_back(word.c_str());
  return ReadCommandLine(args);
}

// Each refusal is one line on the console, and the first fault on the line
// is the one told.
TEST(ReadCommandLine, RefusesTheFirstFault) {
  const std::string x64(64, 'x'), b4095(4095, 'b');
  const struct {
    std::vector<std::string> args;
    const char* told;
    std::vector<std::string> asked = {};  // before the refusal
  } cases[] = {
      {{"1645", "1"}, kFormat},
      {{"1644 ", "1"}, kFormat},
      {{"01644", "1"}, kFormat},
      {{"", "1"}, kFormat},
      {{"1644x", "0", "null", "9"}, kFormat},
      {{"1644", "0"}, kDuration},
      {{"1644", "-0"}, kDuration},
      {{"1644", "-5"}, kDuration},
      {{"1644", "1e-50"}, kDuration},  // 0 as a float
      {{"1644", "abc"}, kDuration},
      {{"1644", "nan"}, kDuration},
      {{"1644", "1e39"}, kDuration},  // infinite as a float
      {{"1644", "inf", "null", "9"}, kDuration},
      {{"1644", "1", x64}, kDevice},
      {{"1644", "0", x64}, kDuration},
      {{"1644", "1", "null", "0"}, kChannels},
      {{"1644", "1", "null", "3"}, kChannels},
      {{"1644", "1", "null", "-1"}, kChannels},
      {{"1644", "1", "null", "S"}, kChannels},
      {{"1644", "1", "null", ""}, kChannels},
      {{"1644", "1", "null", "9", ""}, kChannels},
      {{"1644", "1", "null", "1", ""}, kNames},
      {{"1644", "1", "null", "s", "a\nb"}, kNames},
      {{"1644", "1", "null", "2", "a.wav", "a.wav"}, kNames},
      {{"1644", "1", "null", "2", "a.wav", b4095}, kNames},  // 4097 bytes
      {{"1644", "1", "null", "2", "a.wav"}, kOneName, {"a.wav"}},
  };
  for (const auto& c : cases) {
    const CommandLine line = Read(c.args);
    const Failure* refusal = std::get_if<Failure>(&line.outcome);
    ASSERT_NE(refusal, nullptr) << c.told;
    EXPECT_EQ(refusal->console, c.told) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(refusal->error, "");
    EXPECT_EQ(line.asked, c.asked) << c.told;
  }
}

// The longest names and device name still taken.
TEST(ReadCommandLine, TakesWhatFitsTheLimits) {
  const std::string device(63, 'd'), a(2046, 'a'), b(2047, 'b');
  const TakeRequest request =
      std::get<TakeRequest>(Read({"2496", "1e-3", device, "2", a, b}).outcome);
  EXPECT_EQ(request.device, device);
  EXPECT_EQ(request.names, (std::vector<std::string>{a, b}));
  EXPECT_FALSE(std::holds_alternative<TakeRequest>(
      Read({"2496", "1", "null", "2", a + "a", b}).outcome));
}

// Standard output among the files sends the console to standard error
// before anything is told, however the rest of the line reads.
TEST(ReadCommandLine, NamesTheFilesEvenWhenRefused) {
  EXPECT_EQ(Read({"1645", "1", "n", "2x", "a", "b"}).outputs,
            (std::vector<std::string>{"a", "b"}));
  for (const char* channels : {"3", "s", "1"}) {
    EXPECT_EQ(Read({"1644", "0", "n", channels, "a", "b"}).outputs,
              (std::vector<std::string>{"a"}));
  }
}

}  // namespace
