// The console: what a take shows (the status line after every period, the
// messages between them, the report at the end), written by a thread of
// its own, so that a console that stops taking text (a stopped terminal,
// an unread pipe, a stalled connection) holds up nothing but that thread.
//
// Threads: the console thread runs Run() and is the only one that writes
// to the console descriptors during a take. The capture thread calls
// Period() and takes no lock: it writes the period's marks and line into
// slots of their own and then publishes the period's number, which the
// console thread reads. The take thread calls Say(), Finish() and Join();
// messages are under `mutex_`, which the capture thread never takes.
//
// Messages are never lost and keep their order. A status line is skipped
// only when a newer one exists and it has waited kStaleNs unwritten: the
// console has taken nothing for that long, and when it takes text again it
// is shown the current line.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>

#include "base/console_fd.h"
#include "meter/line.h"
#include "take/bell.h"
#include "take/status_slots.h"

// What happened during a period besides its status line, in the order the
// console shows it.
enum PeriodMarks : uint8_t {
  kOverrunMark = 1,  // "RX"
  kClipMark = 2,     // channel 1's clip warning; << 1 for channel 2
};

class Console {
 public:
  static constexpr int64_t kStaleNs = 500'000'000;

  // Takes the memory for a take of `periods` periods, whose lines the
  // console thread is woken for `wakeEvery` at a time. False when it cannot.
  bool Reserve(int64_t periods, int64_t wakeEvery);

  // The console thread: writes until Finish and everything before it is
  // written.
  void Run();

  // Capture thread: the period just done, at `nowNs`.
  void Period(uint8_t marks, const Line& status, int64_t nowNs);

  // Take thread: `text` on descriptor `fd`, after everything said or sent
  // before it.
  void Say(int fd, std::string_view text);

  // Take thread: no more periods; what is said from now on comes last.
  void Finish();

  // Take thread: nothing more will be said; waits until Run has written
  // everything (or found the console gone).
  void Join();

 private:
  static constexpr std::size_t kMessages = 16;
  static constexpr std::size_t kMessageBytes = 16384;
  static constexpr std::size_t kChunkBytes = 65536;

  struct Message {
    int fd;
    int64_t before;  // shown before this period
    std::size_t begin, length;
  };

  // Appends what is due, in order, to chunk_ while it goes to one
  // descriptor and has room. Under the lock.
  void Gather(int64_t& next, std::size_t& said, int& fd);
  void AppendPeriod(int64_t period, int64_t newest, int64_t nowNs);
  void Write(int fd, const char* data, std::size_t bytes);
  bool Idle(int64_t next, std::size_t said);

  // The capture thread's side: a byte of marks for every period of the
  // take, so that no message is lost however long the console stops, and
  // the latest status lines. Each is written before published_ counts it.
  std::unique_ptr<uint8_t[]> marks_;
  StatusSlots lines_;
  int64_t periods_ = 0;
  int64_t wakeEvery_ = 1;
  // The capture thread's: when, and after which period, it last woke the
  // console thread. A device faster than real time wakes it at most every
  // kMinWakeNs, unless it is far behind.
  static constexpr int64_t kMinWakeNs = 80'000'000;
  int64_t rungNs_ = 0;
  int64_t rungPeriod_ = 0;
  std::atomic<int64_t> published_{0};
  std::atomic<bool> finished_{false};
  Bell work_;

  std::mutex mutex_;
  std::condition_variable written_;
  bool joining_ = false;
  bool allWritten_ = false;
  std::array<Message, kMessages> messages_{};
  std::size_t messageCount_ = 0;
  std::array<char, kMessageBytes> messageText_{};
  std::size_t messageBytes_ = 0;

  // The console thread's own.
  std::unique_ptr<char[]> chunk_;
  std::size_t chunkLength_ = 0;
  std::array<bool, 2> gone_ = {false, false};  // standard output, error
};
