#include "base/console_fd.h"

namespace {

int consoleFd = 1;

}  // namespace

void SendConsoleTo(int fd) { consoleFd = fd; }

int ConsoleFd() { return consoleFd; }

std::FILE* ConsoleStream() { return consoleFd == 2 ? stderr : stdout; }
