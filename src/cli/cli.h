// The command-line front end.
#pragma once

// Prints the usage text.
void Help();

// 1 when no file has the name `fileName` (absent), 2 when one has.
int CheckFileName(const char* fileName);

// Asks whether to overwrite `fileName`: 1 for "x" (also at the end of
// input), 2 for "o".
int CheckOverwrite(const char* fileName);

// The whole front end: checks the arguments, asks, then records. Returns 0
// after a complete take; every refusal exits with status 1.
int ZelkMain(int argc, char** argv);
