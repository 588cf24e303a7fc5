// What the user is told when zelk stops short of a complete take, and the
// one place that tells it.
#pragma once

#include <cstddef>
#include <string>

// `console` goes to the console stream (standard output, or standard error
// when the take goes to standard output), then `error` to standard error.
// Both empty: the user already knows, as when they answered "x".
struct Failure {
  std::string console;
  std::string error;
};

// `format` filled in as printf would.
[[gnu::format(printf, 1, 2)]] std::string Printed(const char* format, ...);

// Writes the failure after everything the console stream holds.
void Tell(const Failure& failure);

// Writes all of `text` to `fd`, waiting where someone sharing the descriptor
// (our standard output, say) made it non-blocking. False when the
// descriptor takes no more.
bool WriteAll(int fd, const char* text, std::size_t bytes);

// The reason for errno `error`, as strerror gives it in the C locale; safe
// on any thread, which strerror is not.
const char* ErrorText(int error);
