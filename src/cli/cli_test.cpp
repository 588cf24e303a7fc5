#include "cli/cli.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

class CheckFileNameTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zelk-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(CheckFileNameTest, TellsAbsentFromPresentWithoutCreating) {
  const std::string missing = Path("missing.wav");
  EXPECT_EQ(CheckFileName(missing.c_str()), 1);
  EXPECT_NE(access(missing.c_str(), F_OK), 0);

  const std::string present = Path("present.wav");
  FILE* file = std::fopen(present.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(CheckFileName(present.c_str()), 2);
  EXPECT_EQ(CheckFileName(Path("no/such/dir.wav").c_str()), 1);
}

TEST_F(CheckFileNameTest, FifoIsPresentAndDoesNotBlock) {
  const std::string fifo = Path("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(CheckFileName(fifo.c_str()), 2);
}

TEST_F(CheckFileNameTest, UnreadableFileCountsAsAbsent) {
  if (geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
  const std::string locked = Path("locked.wav");
  FILE* file = std::fopen(locked.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  EXPECT_EQ(CheckFileName(locked.c_str()), 1);
}

}  // namespace
