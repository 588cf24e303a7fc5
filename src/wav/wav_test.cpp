#include "wav/wav.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const char* text) {
  Bytes out;
  unsigned byte = 0;
  for (int used = 0; std::sscanf(text, "%2x%n", &byte, &used) == 1;
       text += used) {
    out.push_back(static_cast<uint8_t>(byte));
  }
  return out;
}

std::string TempPath(const char* name) {
  return testing::TempDir() + "zelk_wav_" + std::to_string(getpid()) + name;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

TEST(HeaderBytes, MatchesReferenceHeaders) {
  const struct {
    uint32_t rate;
    int32_t frames;
    uint32_t bytesPerSample;
    int32_t stereo;
    const char* hex;
  } cases[] = {
      {44100, 2646016, 2, 0,
       "52494646 24c05000 57415645 666d7420 10000000 0100 0100 44ac0000 "
       "88580100 0200 1000 64617461 00c05000"},
      {96000, 962560, 3, 1,
       "52494646 24205800 57415645 666d7420 10000000 0100 0200 00770100 "
       "00ca0800 0600 1800 64617461 00205800"},
      // Past 2 GiB the sizes must come out as unsigned patterns.
      {96000, 357986304, 3, 1,
       "52494646 24a00680 57415645 666d7420 10000000 0100 0200 00770100 "
       "00ca0800 0600 1800 64617461 00a00680"},
      {44100, 0, 2, 1,
       "52494646 24000000 57415645 666d7420 10000000 0100 0200 44ac0000 "
       "10b10200 0400 1000 64617461 00000000"},
      {48000, 48000, 3, 0,
       "52494646 a4320200 57415645 666d7420 10000000 0100 0100 80bb0000 "
       "80320200 0300 1800 64617461 80320200"},
      {48000, 1000, 2, 0,
       "52494646 f4070000 57415645 666d7420 10000000 0100 0100 80bb0000 "
       "00770100 0200 1000 64617461 d0070000"},
  };
  for (const auto& c : cases) {
    const auto header =
        HeaderBytes(c.rate, c.frames, c.bytesPerSample, c.stereo);
    EXPECT_EQ(Bytes(header.begin(), header.end()), Hex(c.hex)) << c.frames;
  }
}

TEST(MakeHeader, TruncatesOrLeavesAlone) {
  const std::string path = TempPath("trunc.wav");
  WriteAll(path, Bytes(1000, 0xee));
  MAKE_HEADER(path.c_str(), 48000, 1000, 2, 0);
  const auto header = HeaderBytes(48000, 1000, 2, 0);
  EXPECT_EQ(ReadAll(path), Bytes(header.begin(), header.end()));
  std::remove(path.c_str());

  const std::string missing = TempPath("_no_dir/take.wav");
  testing::internal::CaptureStderr();
  MAKE_HEADER(missing.c_str(), 48000, 10, 2, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(access(missing.c_str(), F_OK), -1);
}

TEST(MakeHeaderDeathTest, FullDeviceEndsTheProcess) {
  EXPECT_EXIT(MAKE_HEADER("/dev/full", 44100, 0, 2, 0),
              testing::ExitedWithCode(1),
              testing::Eq("Can't write /dev/full: No space left on device\n"));
}

TEST(MendHeader, CutsToWholeFramesAndRewritesSizes) {
  const struct {
    uint32_t blockAlign;
    size_t payload, kept;
  } cases[] = {{4, 14, 12}, {6, 21, 18}, {6, 5, 0}};
  const std::string path = TempPath("mend.wav");
  for (const auto& c : cases) {
    const auto stale = HeaderBytes(48000, 100000, c.blockAlign / 2, 1);
    Bytes file(stale.begin(), stale.end());
    file.resize(kHeaderBytes + c.payload, 0x5a);
    WriteAll(path, file);
    ASSERT_TRUE(MendHeader(path.c_str(), c.blockAlign));
    const auto fresh =
        HeaderBytes(48000, static_cast<int32_t>(c.kept / c.blockAlign),
                    c.blockAlign / 2, 1);
    file.resize(kHeaderBytes + c.kept);
    std::copy(fresh.begin(), fresh.end(), file.begin());
    EXPECT_EQ(ReadAll(path), file) << "block " << c.blockAlign;
  }
  WriteAll(path, Bytes(43, 1));
  EXPECT_FALSE(MendHeader(path.c_str(), 4));
  EXPECT_EQ(ReadAll(path).size(), 43u);
  std::remove(path.c_str());
}

TEST(Interleave, WritesOnlyWhatFits) {
  const Bytes one = Hex("010203 040506"), two = Hex("0a0b0c 0d0e0f");
  Bytes out(16, 0xee);
  for (int32_t count : {0, -1}) Interleave(count, 2, one, two, out);
  Interleave(1, 4, one, two, out);
  EXPECT_EQ(out, Bytes(16, 0xee));
  Interleave(9, 3, one, two, out);  // the channels hold two frames
  EXPECT_EQ(out, Hex("0102030a0b0c 0405060d0e0f eeeeeeee"));
}

// Counts around the block lengths and tails; the sources are sized exactly,
// so a sanitizer build also catches reads past them.
TEST(Interleave, RoundTripsManyFrames) {
  std::mt19937 random(7);
  for (size_t b : {2, 3}) {
    for (size_t frames : {1, 2, 7, 8, 9, 4095, 4096}) {
      Bytes one(frames * b), two(frames * b), out(2 * frames * b + 8, 0xee);
      for (auto& v : one) v = static_cast<uint8_t>(random());
      for (auto& v : two) v = static_cast<uint8_t>(random());
      Interleave(static_cast<int32_t>(frames), static_cast<int32_t>(b), one,
                 two, out);
      Bytes expected;
      for (size_t k = 0; k < frames * 2 * b; ++k) {
        const size_t frame = k / (2 * b), i = k % (2 * b);
        expected.push_back(i < b ? one[frame * b + i] : two[frame * b + i - b]);
      }
      expected.resize(out.size(), 0xee);
      ASSERT_EQ(out, expected) << b << " bytes, " << frames << " frames";
    }
  }
}

}  // namespace
