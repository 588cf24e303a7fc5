// The console thread's work (Run) and what the capture and take threads
// hand it; who may touch what is in console.h.
#include "record/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "meter/meter.h"

namespace {

int consoleFd = 1;

// The most a period adds besides its status line: "RX" and two clip
// warnings.
constexpr std::size_t kMarkBytes = 64;

}  // namespace

void SendConsoleTo(int fd) { consoleFd = fd; }

int ConsoleFd() { return consoleFd; }

std::FILE* ConsoleStream() { return consoleFd == 2 ? stderr : stdout; }

bool Console::Reserve(int64_t periods) {
  // A byte of marks for every period of the take, so that no message is
  // lost however long the console stops; calloc's pages cost memory only
  // once a mark is set on them.
  marks_ = {static_cast<uint8_t*>(
                std::calloc(static_cast<std::size_t>(periods) + 1, 1)),
            std::free};
  lines_.reset(new (std::nothrow) Slot[kLineSlots]);
  chunk_.reset(new (std::nothrow) char[kChunkBytes]);
  periods_ = periods;
  return marks_ && lines_ && chunk_;
}

void Console::Period(uint8_t marks, const Line& status, int64_t now) {
  std::unique_lock lock(mutex_);
  if (finished_ || published_ >= periods_) return;
  marks_.get()[published_] = marks;
  Slot& slot = lines_[published_ % kLineSlots];
  slot.period = published_;
  slot.madeNs = now;
  slot.line.length = 0;
  slot.line.Append(status.View());
  ++published_;
  const bool wake =
      work_.Ring(now, 4 * (published_ - shown_) >= 3 * kLineSlots);
  lock.unlock();
  if (wake) work_.bell.notify_one();
}

void Console::Say(int fd, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (messageCount_ == messages_.size()) return;  // a take says a few
  text = text.substr(0, messageText_.size() - messageBytes_);
  std::memcpy(messageText_.data() + messageBytes_, text.data(), text.size());
  messages_[messageCount_++] = {fd, published_, messageBytes_, text.size()};
  messageBytes_ += text.size();
  if (work_.Ring(MonotonicNs(), true)) work_.bell.notify_one();
}

void Console::Finish() {
  std::lock_guard lock(mutex_);
  finished_ = true;
  if (work_.Ring(MonotonicNs(), true)) work_.bell.notify_one();
}

void Console::Join() {
  std::unique_lock lock(mutex_);
  joining_ = true;
  if (work_.Ring(MonotonicNs(), true)) work_.bell.notify_one();
  written_.wait(lock, [&] { return allWritten_; });
}

void Console::Run() {
  int64_t next = 0;      // the next period to show
  std::size_t said = 0;  // the next message to show
  std::unique_lock lock(mutex_);
  while (!(joining_ && next == published_ && said == messageCount_)) {
    if (next == published_ && said == messageCount_) {
      work_.Wait(lock);
      continue;
    }
    int fd = -1;
    chunkLength_ = 0;
    Gather(next, said, fd);
    shown_ = next;
    lock.unlock();
    Write(fd, chunk_.get(), chunkLength_);
    lock.lock();
  }
  allWritten_ = true;
  written_.notify_all();
}

void Console::Gather(int64_t& next, std::size_t& said, int& fd) {
  const int64_t now = MonotonicNs();
  const int64_t newest = published_ - 1;
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
    } else if (next < published_) {
      if (fd != -1 && (fd != consoleFd || kChunkBytes - chunkLength_ <
                                              Line::kBytes + kMarkBytes)) {
        return;
      }
      fd = consoleFd;
      AppendPeriod(next++, newest, now);
    } else {
      return;
    }
  }
}

void Console::AppendPeriod(int64_t period, int64_t newest, int64_t nowNs) {
  Line text;
  const uint8_t marks = marks_.get()[period];
  if ((marks & kOverrunMark) != 0) text.Append("\nRX\n");
  for (int c = 0; c < 2; ++c) {
    if ((marks & (kClipMark << c)) != 0) ClipWarning(text, c);
  }
  const Slot& slot = lines_[period % kLineSlots];
  const bool shown = slot.period == period &&
                     (period == newest || nowNs - slot.madeNs < kStaleNs);
  char* at = chunk_.get() + chunkLength_;
  std::memcpy(at, text.text.data(), text.length);
  chunkLength_ += text.length;
  if (shown) {
    std::memcpy(at + text.length, slot.line.text.data(), slot.line.length);
    chunkLength_ += slot.line.length;
  }
}

void Console::Write(int fd, const char* data, std::size_t bytes) {
  bool& gone = gone_[fd == 2 ? 1 : 0];
  while (bytes > 0 && !gone) {
    const ssize_t written = write(fd, data, bytes);
    if (written > 0) {
      data += written;
      bytes -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      // Someone sharing our standard output made it non-blocking.
      pollfd ready = {fd, POLLOUT, 0};
      poll(&ready, 1, -1);
    } else if (!(written < 0 && errno == EINTR)) {
      gone = true;  // a console that went away neither ends nor changes a take
    }
  }
}
