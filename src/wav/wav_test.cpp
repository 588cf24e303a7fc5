#include "wav/wav.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

Bytes ReadHeader(const std::string& path) {
  Bytes header(kHeaderBytes);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(header.data()), kHeaderBytes);
  return header;
}

TEST(HeaderBytes, MatchesReferenceHeaders) {
  const struct {
    uint32_t rate;
    int32_t frames;
    uint32_t bytesPerSample;
    uint32_t channels;
    const char* hex;
  } cases[] = {
      // Past 2 GiB the sizes are unsigned patterns.
      {96000, 357986304, 3, 2,
       "52494646 24a00680 57415645 666d7420 10000000 0100 0200 00770100 "
       "00ca0800 0600 1800 64617461 00a00680"},
  };
  for (const auto& c : cases) {
    const auto header =
        HeaderBytes(c.rate, c.frames, c.bytesPerSample, c.channels);
    EXPECT_EQ(Bytes(header.begin(), header.end()), Hex(c.hex)) << c.frames;
  }
}

// A file past 4 GiB (sparse, so cheap) keeps the most whole frames the size
// fields can state.
TEST(MendHeader, CutsToWholeFramesAndRewritesSizes) {
  const std::string path = testing::TempDir() + "mend.wav";
  const struct {
    uint32_t blockAlign;
    uint64_t payload, kept, claimed;
  } cases[] = {{4, 14, 12, 12},
               {6, 21, 18, 18},
               {6, 5, 0, 0},
               {2, 3000000001, 3000000000, 3000000000},
               {6, 5000000000, 4999999998, 4294967256}};
  for (const auto& c : cases) {
    const auto stale = HeaderBytes(48000, 100000, c.blockAlign / 2, 2);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(stale.data()), stale.size());
    ASSERT_EQ(truncate(path.c_str(), kHeaderBytes + c.payload), 0);
    const int fd = open(path.c_str(), O_RDWR);
    ASSERT_TRUE(MendHeader(fd, c.blockAlign));
    EXPECT_TRUE(MendHeader(fd, c.blockAlign));  // again: nothing changes
    close(fd);
    const auto fresh =
        HeaderBytes(48000, static_cast<int32_t>(c.claimed / c.blockAlign),
                    c.blockAlign / 2, 2);
    EXPECT_EQ(std::filesystem::file_size(path), kHeaderBytes + c.kept);
    EXPECT_EQ(ReadHeader(path), Bytes(fresh.begin(), fresh.end())) << c.payload;
  }
  ASSERT_EQ(truncate(path.c_str(), 43), 0);
  const int fd = open(path.c_str(), O_RDWR);
  EXPECT_FALSE(MendHeader(fd, 4));
  close(fd);
  std::remove(path.c_str());
}

}  // namespace
