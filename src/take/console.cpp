// The console thread's work (Run) and what the capture and take threads
// hand it; who may touch what is in console.h.
#include "take/console.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/failure.h"
#include "meter/meter.h"

namespace {

// The most a period adds besides its status line: "RX" and two clip
// warnings.
constexpr std::size_t kMarkBytes = 64;

}  // namespace

bool Console::Reserve(int64_t periods, int64_t wakeEvery) {
  wakeEvery_ = std::max<int64_t>(1, wakeEvery);
  // Every page is touched now: nothing the take needs is found missing
  // once its files exist.
  marks_.reset(new (std::nothrow)
                   uint8_t[static_cast<std::size_t>(periods) + 1]());
  chunk_.reset(new (std::nothrow) char[kChunkBytes]());
  periods_ = periods;
  return marks_ && chunk_ && lines_.Reserve();
}

void Console::Period(uint8_t marks, const Line& status, int64_t nowNs) {
  const int64_t period = published_.load(std::memory_order_relaxed);
  if (finished_.load() || period >= periods_) return;
  marks_[period] = marks;
  lines_.Put(period, nowNs, status);
  published_.store(period + 1);
  // Woken for a few lines at a time, the console costs a wake-up each: a
  // redraw about ten times a second is all a reader sees.
  if (((period + 1) % wakeEvery_ == 0 && nowNs - rungNs_ >= kMinWakeNs) ||
      4 * (period + 1 - rungPeriod_) >= 3 * StatusSlots::kSlots) {
    rungNs_ = nowNs;
    rungPeriod_ = period + 1;
    work_.Ring();
  }
}

void Console::Say(int fd, std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    if (messageCount_ == messages_.size()) return;  // a take says a few
    text = text.substr(0, messageText_.size() - messageBytes_);
    std::memcpy(messageText_.data() + messageBytes_, text.data(), text.size());
    messages_[messageCount_++] = {fd, published_.load(), messageBytes_,
                                  text.size()};
    messageBytes_ += text.size();
  }
  work_.Ring();
}

void Console::Finish() {
  finished_.store(true);
  work_.Ring();
}

void Console::Join() {
  {
    std::lock_guard lock(mutex_);
    joining_ = true;
  }
  work_.Ring();
  std::unique_lock lock(mutex_);
  written_.wait(lock, [&] { return allWritten_; });
}

bool Console::Idle(int64_t next, std::size_t said) {
  std::lock_guard lock(mutex_);
  return !joining_ && next == published_.load() && said == messageCount_;
}

void Console::Run() {
  int64_t next = 0;      // the next period to show
  std::size_t said = 0;  // the next message to show
  for (;;) {
    int fd = -1;
    chunkLength_ = 0;
    bool done = false;
    {
      std::lock_guard lock(mutex_);
      Gather(next, said, fd);
      done = joining_ && next == published_.load() && said == messageCount_;
    }
    if (chunkLength_ > 0) {
      Write(fd, chunk_.get(), chunkLength_);
      continue;
    }
    if (done) break;
    work_.Arm();
    if (Idle(next, said)) work_.Sleep();
  }
  std::lock_guard lock(mutex_);
  allWritten_ = true;
  written_.notify_all();
}

void Console::Gather(int64_t& next, std::size_t& said, int& fd) {
  const int64_t now = MonotonicNs();
  const int64_t published = published_.load();
  const int64_t newest = published - 1;
  for (;;) {
    if (said < messageCount_ && messages_[said].before <= next) {
      const Message& message = messages_[said];
      if (fd != -1 &&
          (fd != message.fd || chunkLength_ + message.length > kChunkBytes)) {
        return;
      }
      fd = message.fd;
      std::memcpy(chunk_.get() + chunkLength_,
                  messageText_.data() + message.begin, message.length);
      chunkLength_ += message.length;
      ++said;
    } else if (next < published) {
      if (fd != -1 && (fd != ConsoleFd() || kChunkBytes - chunkLength_ <
                                                Line::kBytes + kMarkBytes)) {
        return;
      }
      fd = ConsoleFd();
      AppendPeriod(next++, newest, now);
    } else {
      return;
    }
  }
}

void Console::AppendPeriod(int64_t period, int64_t newest, int64_t nowNs) {
  Line text;
  const uint8_t marks = marks_[period];
  if ((marks & kOverrunMark) != 0) text.Append("\nRX\n");
  for (int c = 0; c < 2; ++c) {
    if ((marks & (kClipMark << c)) != 0) ClipWarning(text, c);
  }
  char* at = chunk_.get() + chunkLength_;
  std::memcpy(at, text.text.data(), text.length);
  chunkLength_ += text.length;
  Line status;
  int64_t madeNs = 0;
  if (lines_.Get(period, &status, &madeNs) &&
      (period == newest || nowNs - madeNs < kStaleNs)) {
    std::memcpy(at + text.length, status.text.data(), status.length);
    chunkLength_ += status.length;
  }
}

void Console::Write(int fd, const char* data, std::size_t bytes) {
  bool& gone = gone_[fd == 2 ? 1 : 0];
  // A console that went away neither ends nor changes a take.
  if (!gone) gone = !WriteAll(fd, data, bytes);
}
