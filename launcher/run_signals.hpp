// The signals of a run: what the program sets up for itself as it starts,
// the handlers that note a cancel or a change of the scanner while a run
// waits, and what a forked scanner gets back. The handlers only count what
// came, in words nothing outside run_signals.cpp can reach; the wait for
// the scanner (scanner_launch.cpp) reads the counts through noted(), with
// the signals blocked, and decides what to do.
#pragma once

#include <csignal>

namespace run_signals {

// As the program starts. SIGPIPE and SIGXFSZ are ignored, so the program's
// own output never ends it: a write to a closed pipe or past a file-size
// limit fails with an error instead (and output that cannot be written is
// dropped). SIGINT and SIGTERM are unblocked, whatever mask the program was
// started with: a queued run ends on either at once, and a relayed one is
// never left pending in the scanner. Throws "sigaction failed: <why>" or
// "sigprocmask failed: <why>".
void set_up_program();

// From the turn on: SIGINT and SIGTERM are caught, each noted as a cancel,
// and SIGCHLD, noted as a change of the scanner. Throws "failed to set
// signal handlers: <why>" or "failed to set sigchld handler: <why>".
void install_handlers();

// What the handlers have noted so far.
struct counts {
    int cancels;        // SIGINT and SIGTERM caught
    int last_cancel;    // the signal of the last of them
    int child_changes;  // SIGCHLD caught
};
counts noted();

// Adds the signals whose handlers note something to set.
void add_noted_signals(sigset_t& set);

// In a forked child that is to become the scanner, before anything else:
// the signals the program catches back at their default action, even
// where the program was started with them ignored (a relayed SIGINT or
// SIGTERM must reach a scanner that can act on it), SIGPIPE and SIGXFSZ as
// the program was started with, then the mask original. Reset before the
// mask is given back, so that a signal that comes before the scanner starts
// ends this process instead of reaching the program's handler. System calls
// only: safe between fork() and execv().
void give_back(const sigset_t& original);

// Ends the program by signal_number at its default action, without a core
// file, as the scanner it followed ended. Returns 128 + signal_number, the
// shell's status for it, only where the signal did not end the program
// (the kernel ignores it for process 1).
int end_by_signal(int signal_number);

}  // namespace run_signals
