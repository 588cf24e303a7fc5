#include "base/failure.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/console_fd.h"

std::string Printed(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

void Tell(const Failure& failure) {
  // What was printed through stdio before comes first.
  std::fflush(nullptr);
  WriteAll(ConsoleFd(), failure.console.data(), failure.console.size());
  WriteAll(2, failure.error.data(), failure.error.size());
}

bool WriteAll(int fd, const char* text, std::size_t bytes) {
  while (bytes > 0) {
    const ssize_t written = write(fd, text, bytes);
    if (written > 0) {
      text += written;
      bytes -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd ready = {fd, POLLOUT, 0};
      poll(&ready, 1, -1);
    } else if (!(written < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

const char* ErrorText(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}
