// The signals of a run: what the program sets up for itself as it starts,
// the handlers that note a cancel, the deadline's alarm or a change of the
// scanner, and what a forked scanner gets back. The handlers only note what
// came, in words nothing outside run_signals.cpp can reach; the run reads
// them through this interface and decides what to do.
#pragma once

#include <csignal>
#include <stdexcept>

namespace run_signals {

// As the program starts. SIGPIPE and SIGXFSZ are ignored, so the program's
// own output never ends it: a write to a closed pipe or past a file-size
// limit fails with an error instead (and output that cannot be written is
// dropped). SIGINT and SIGTERM are unblocked, whatever mask the program was
// started with: a queued run ends on either at once, and a relayed one is
// never left pending in the scanner. Throws "sigaction failed: <why>" or
// "sigprocmask failed: <why>".
void set_up_program();

// A run that was cancelled before its turn came; the run ends by signal().
class cancelled : public std::runtime_error {
public:
    explicit cancelled(int signal_number);
    int signal() const { return signal_; }

private:
    int signal_;
};

// From the start of a run until its turn: SIGINT and SIGTERM, where they
// act by default, are caught and noted instead, so that the run can end by
// them as it would have, once its end is told (and as process 1, for which
// the kernel would drop them). One that comes while the run waits on
// wait_on()'s descriptor ends that wait at once. Where the program was
// started with them ignored, they stay ignored.
void catch_queued_cancels();

// The descriptor a queued run is about to wait on (standard input, the
// lock), or -1 for none: a queued cancel puts /dev/null in its place, so
// that the wait ends even where the cancel came just before it began.
void wait_on(int fd);

// The signal of a queued cancel, or 0.
int queued_cancel();

// Throws cancelled where a queued cancel was noted.
void end_if_cancelled();

// From the turn on: SIGINT and SIGTERM are caught, each noted as a cancel,
// and, in a run that follows its scanner, SIGHUP and SIGQUIT too (unless the
// program was started with them ignored) and SIGALRM, the deadline's;
// SIGCHLD is noted as a change of the scanner. A queued cancel noted before
// throws cancelled. Throws "failed to set signal handlers: <why>" or
// "failed to set sigchld handler: <why>".
void install_handlers(bool following);

// What the handlers have noted so far, as counts.
struct counts {
    int cancels;        // cancels caught
    int last_cancel;    // the signal of the last of them
    int alarms;         // SIGALRM caught
    int child_changes;  // SIGCHLD caught
};
counts noted();

// Adds the signals the handlers catch now to set.
void add_caught_signals(sigset_t& set);

// Holds back the signals in set for its lifetime; original_mask is the mask
// before. Throws "sigprocmask failed: <why>".
class signal_block {
public:
    explicit signal_block(const sigset_t& set);
    ~signal_block();
    signal_block(const signal_block&) = delete;
    signal_block& operator=(const signal_block&) = delete;

    sigset_t original_mask;
};

// In a forked child that is to become the scanner, just before execv(): the
// signals the program catches back at their default action, even where the
// program was started with SIGINT or SIGTERM ignored (a relayed one must
// reach a scanner that can act on it), SIGPIPE and SIGXFSZ as the program
// was started with, then the mask original. Reset before the mask is given
// back, so that a signal that came meanwhile ends this process instead of
// reaching the program's handler. System calls only: safe between fork()
// and execv().
void give_back(const sigset_t& original);

// Ends the program by signal_number at its default action, without a core
// file, as the scanner it followed ended. Returns 128 + signal_number, the
// shell's status for it, only where the signal did not end the program
// (the kernel ignores it for process 1).
int end_by_signal(int signal_number);

}  // namespace run_signals
