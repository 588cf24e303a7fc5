#include "cli/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/console_fd.h"
#include "base/failure.h"
#include "request/request.h"
#include "take/record.h"

namespace {

// A standard stream closed when we start would hand its descriptor to the
// first file opened, and the console would be written into a take.
void OpenClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
}

// A take written to standard output (/dev/stdout, or a file it is
// redirected to) must hold nothing but the take: the console goes to
// standard error instead.
bool IsStandardOutput(const std::string& name) {
  struct stat out {
  }, file{};
  return fstat(1, &out) == 0 && stat(name.c_str(), &file) == 0 &&
         out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

// Reads one white-space delimited word as scanf("%s") would, keeping at most
// answer.size() - 1 characters; the rest of a longer word is consumed and
// `truncated` set. Returns false at the end of input (or a read error) before
// any character of a word.
bool ReadWord(std::array<char, 4>& answer, bool& truncated) {
  int c;
  do {
    c = std::getchar();
  } while (c != EOF && std::isspace(static_cast<unsigned char>(c)));
  if (c == EOF) return false;
  std::size_t length = 0;
  truncated = false;
  for (; c != EOF && !std::isspace(static_cast<unsigned char>(c));
       c = std::getchar()) {
    if (length + 1 < answer.size()) {
      answer[length++] = static_cast<char>(c);
    } else {
      truncated = true;
    }
  }
  answer[length] = '\0';
  return true;
}

bool CheckFileName(const std::string& name) {
  // Whatever its permissions, a file that is there would be replaced. A
  // dangling symbolic link names nothing yet.
  struct stat st {};
  return stat(name.c_str(), &st) == 0;
}

// Asks whether to overwrite `name`: true for "o", false for "x" (also at the
// end of input).
bool CheckOverwrite(const std::string& name) {
  std::FILE* console = ConsoleStream();
  std::fprintf(console, "\nFile %s already exists!\n", name.c_str());
  std::fputs("Enter 'x' to exit or 'o' to overwrite\n", console);
  std::fflush(console);  // a program driving us through a pipe must see it
  std::array<char, 4> answer = {'0', '\0'};
  bool truncated = false;
  while (ReadWord(answer, truncated)) {
    if (truncated) continue;
    std::string_view word(answer.data());
    if (word == "x") return false;
    if (word == "o") return true;
  }
  return false;  // no answer will come: leave every file as it is
}

// Every name is looked up before the user is asked about the first.
bool MayReplace(const std::vector<std::string>& names) {
  std::vector<bool> present;
  present.reserve(names.size());
  for (const std::string& name : names) present.push_back(CheckFileName(name));
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (present[i] && !CheckOverwrite(names[i])) return false;
  }
  return true;
}

int Refuse(const Failure& failure) {
  Tell(failure);
  return 1;
}

}  // namespace

int ZelkMain(int argc, char** argv) {
  OpenClosedStandardStreams();
  // The console only shows the take: a reader of our output that goes away
  // must not end it. A file size limit is a failed write, as a full disk.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // A program may be started with no arguments at all, not even its name.
  const std::size_t args = argc > 1 ? static_cast<std::size_t>(argc - 1) : 0;
  const CommandLine line = ReadCommandLine({argv + 1, args});
  for (const std::string& name : line.outputs) {
    if (IsStandardOutput(name)) SendConsoleTo(2);
  }
  // The user who answers "x" knows why zelk stops.
  if (!MayReplace(line.asked)) return Refuse({});
  if (const auto* refusal = std::get_if<Failure>(&line.outcome)) {
    return Refuse(*refusal);
  }
  return RECORD(std::get<TakeRequest>(line.outcome));
}
