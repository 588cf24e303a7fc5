// The signals that end a take. Their handler only records which came and
// how many; the take reads that and ends in ordinary code, so a signal
// never cuts the mend of a header short.
#pragma once

#include <csignal>

// From here on, every signal whose default action ends the process, that
// can be caught and that was not ignored when zelk started, is recorded
// rather than acted on. A blocking call it interrupts fails with EINTR.
// Faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) keep their default:
// after one nothing in memory can be trusted.
void CatchEndingSignals();

// The signals CatchEndingSignals catches.
const sigset_t& EndingSignals();

// The first ending signal received, 0 while none has come.
int FirstEndingSignal();

// How many ending signals have come.
int EndingSignalCount();

// From here on, an ending signal ends the process at once, as it would by
// default: for when the files are complete and only the console or the
// device is waited for.
void LetEndingSignalsEnd();

// Ends the process by `signal`, as its default action would have.
[[noreturn]] void EndBySignal(int signal);
