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

struct Pipe {
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    Close();
    close(fds[0]);
  }
  void Close() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
  // What was written, once every writer is closed.
  std::string Read() {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
  int fds[2] = {-1, -1};
};

// A console whose text goes into a pipe, read while it is written.
struct Shown {
  explicit Shown(int64_t periods) {
    SendConsoleTo(out.fds[1]);
    EXPECT_TRUE(console.Reserve(periods, 1));
    reader = std::thread([this] { text = out.Read(); });
  }
  void Run() {
    runner = std::thread([this] { console.Run(); });
  }
  // Everything written to the console, once the take thread is done.
  std::string Join() {
    console.Join();
    runner.join();
    out.Close();
    reader.join();
    return text;
  }
  Pipe out;
  Console console;
  std::thread runner, reader;
  std::string text;
};

void Publish(Console& console, uint8_t marks, int64_t n, int64_t ageNs) {
  Line line;
  line.Print("|%lld", static_cast<long long>(n));
  console.Period(marks, line, MonotonicNs() + ageNs);
}

std::string Marks(uint8_t marks) {
  Line text;
  if ((marks & kOverrunMark) != 0) text.Append("\nRX\n");
  for (int c = 0; c < 2; ++c) {
    if ((marks & (kClipMark << c)) != 0) ClipWarning(text, c);
  }
  return std::string(text.View());
}

// Periods shown by a console that starts once they are all published, as
// one does that takes text again after a stall.
TEST(Console, ShowsEveryMarkAndTheLinesThatAreStillFreshOrNewest) {
  const struct {
    const char* what;
    int64_t periods;
    std::vector<int64_t> ages;  // of the first periods; the rest are stale
    std::string lines;
  } rows[] = {
      {"fresh lines", 3, {kFresh, kFresh, kFresh}, "|0|1|2"},
      {"stale lines: the newest", 3, {}, "|2"},
      {"a fresh line among stale ones", 3, {kStale, kFresh}, "|1|2"},
      {"more periods than lines are kept", 3000, {}, "|2999"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Shown shown(row.periods);
    std::string marks;
    for (int64_t n = 0; n < row.periods; ++n) {
      const auto mark = static_cast<uint8_t>((5 * n + 1) % 8);
      const size_t i = static_cast<size_t>(n);
      Publish(shown.console, mark, n,
              i < row.ages.size() ? row.ages[i] : kStale);
      marks += Marks(mark);
    }
    shown.Run();
    shown.console.Finish();
    std::string text = shown.Join();
    // Each period's marks come before its line.
    std::string lines;
    for (size_t at = 0; (at = text.find('|', at)) != std::string::npos;) {
      const size_t end = text.find_first_of("\n|", at + 1);
      lines += text.substr(at, end - at);
      text.erase(at, end - at);
    }
    EXPECT_EQ(lines, row.lines);
    EXPECT_EQ(text, marks);
  }
}

TEST(Console, MessagesKeepTheirOrderAndTheirDescriptors) {
  Pipe other;
  Shown shown(10);
  Console& console = shown.console;
  shown.Run();
  console.Say(shown.out.fds[1], "Recording\n");
  Publish(console, 0, 0, kFresh);
  console.Say(other.fds[1], "a");
  console.Say(shown.out.fds[1], "one\n");
  Publish(console, kOverrunMark, 1, kFresh);
  console.Say(other.fds[1], "b");
  console.Finish();
  Publish(console, 0, 2, kFresh);  // after Finish: not shown
  console.Say(shown.out.fds[1], "Done\n");
  EXPECT_EQ(shown.Join(), "Recording\n|0one\n\nRX\n|1Done\n");
  other.Close();
  EXPECT_EQ(other.Read(), "ab");
}

}  // namespace
