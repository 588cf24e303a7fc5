#include "take/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "meter/meter.h"

namespace {

// Lines stamped this long ago have gone stale; stamped this far ahead, they
// stay fresh however slowly the test runs.
constexpr int64_t kStale = -10 * kNsPerSecond;
constexpr int64_t kFresh = 3600 * kNsPerSecond;

// Until every writer of the pipe is closed.
std::string ReadAll(int fd) {
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    all.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return all;
}

void Publish(Console& console, uint8_t marks, int64_t n, int64_t ageNs) {
  Line line;
  line.Print("|%lld", static_cast<long long>(n));
  console.Period(marks, line, MonotonicNs() + ageNs);
}

// Periods shown by a console that starts once they are all published, as
// one does that takes text again after a stall.
TEST(Console, ShowsEveryMarkAndTheLinesStillFreshOrNewest) {
  const struct {
    int64_t periods;
    std::vector<int64_t> ages;  // of the first periods; the rest are stale
    std::string lines;
  } rows[] = {
      {3, {kFresh, kFresh, kFresh}, "|0|1|2"},
      {3, {}, "|2"},
      {3, {kStale, kFresh}, "|1|2"},
      {3000, {}, "|2999"},  // more periods than lines are kept
  };
  for (const auto& row : rows) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    SendConsoleTo(out[1]);
    std::string text;
    std::thread reader([&] { text = ReadAll(out[0]); });
    Console console;
    ASSERT_TRUE(console.Reserve(row.periods, 1));
    std::string marks;
    for (int64_t n = 0; n < row.periods; ++n) {
      const auto mark = static_cast<uint8_t>((5 * n + 1) % 8);
      const auto i = static_cast<size_t>(n);
      Publish(console, mark, n, i < row.ages.size() ? row.ages[i] : kStale);
      Line text;
      if ((mark & kOverrunMark) != 0) text.Append("\nRX\n");
      for (int c = 0; c < 2; ++c) {
        if ((mark & (kClipMark << c)) != 0) ClipWarning(text, c);
      }
      marks += text.View();
    }
    std::thread runner([&] { console.Run(); });
    console.Finish();
    console.Join();
    runner.join();
    close(out[1]);
    reader.join();
    // Each line ends where the next period's marks or line begin.
    std::string lines;
    for (size_t at = 0; (at = text.find('|', at)) != std::string::npos;) {
      const size_t end = text.find_first_of("\n|", at + 1);
      lines += text.substr(at, end - at);
      text.erase(at, end - at);
    }
    EXPECT_EQ(std::pair(lines, text), std::pair(row.lines, marks));
  }
}

}  // namespace
