// Where the console goes: what zelk shows on standard output goes to
// standard error instead when the take itself is written to standard
// output.
#pragma once

#include <cstdio>

// Set once, before anything is printed: 1 (the default) or 2.
void SendConsoleTo(int fd);
int ConsoleFd();
std::FILE* ConsoleStream();
