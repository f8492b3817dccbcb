#include "launcher/run_signals.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Written by the handlers only, read by the run.
volatile sig_atomic_t cancels = 0;
volatile sig_atomic_t last_cancel = 0;
volatile sig_atomic_t alarms = 0;
volatile sig_atomic_t child_changes = 0;
volatile sig_atomic_t queued = 0;
// Read by the queued run's handler, written by the run.
volatile sig_atomic_t queued_wait_fd = -1;
volatile sig_atomic_t null_fd = -1;

// The signals the handlers catch now, as the run set them up; the run's
// own, never touched by a handler.
const int cancel_signals[] = {SIGINT, SIGTERM};
const int following_cancels[] = {SIGHUP, SIGQUIT};
sigset_t caught;
bool caught_ready = false;

// Each signal whose disposition the program changes for itself, with the
// one it was started with, given back to the scanner. SIGINT, SIGTERM and
// SIGCHLD are not among them: the scanner gets them at their default.
struct saved_action {
    int signal_number;
    bool saved;
    struct sigaction original;
};
saved_action saved_actions[] = {
    {SIGPIPE, false, {}}, {SIGXFSZ, false, {}}, {SIGHUP, false, {}}, {SIGQUIT, false, {}}, {SIGALRM, false, {}},
};

std::string system_error(const char* what) { return std::string(what) + std::strerror(errno); }

// No flags: not the extended form, no restart of interrupted calls, stops
// and continues of the scanner still reported. A handler runs with the
// other caught signals held back, so that no two of them count at once.
struct sigaction plain_action(void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    if (handler != SIG_DFL && handler != SIG_IGN) {
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGCHLD}) sigaddset(&action.sa_mask, s);
    }
    action.sa_handler = handler;
    return action;
}

sigset_t& caught_set() {
    if (!caught_ready) sigemptyset(&caught);
    caught_ready = true;
    return caught;
}

// Sets the signal's action, keeping the first one it replaces where the
// scanner is to get that one back. False where sigaction() fails.
bool set_action(int signal_number, const struct sigaction& action) {
    saved_action* keep = nullptr;
    for (saved_action& s : saved_actions)
        if (s.signal_number == signal_number && !s.saved) keep = &s;
    if (sigaction(signal_number, &action, keep != nullptr ? &keep->original : nullptr) != 0) return false;
    if (keep != nullptr) keep->saved = true;
    if (action.sa_handler == SIG_DFL || action.sa_handler == SIG_IGN)
        sigdelset(&caught_set(), signal_number);
    else
        sigaddset(&caught_set(), signal_number);
    return true;
}

// Whether the signal's disposition now is handler (SIG_DFL, SIG_IGN).
bool disposition_is(int signal_number, void (*handler)(int)) {
    struct sigaction current;
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == handler;
}

// A cancel (SIGINT, SIGTERM; SIGHUP, SIGQUIT where the run follows its
// scanner): noted, to be passed on by the wait.
void sigproxy(int signal_number) {
    last_cancel = signal_number;
    cancels = cancels + 1;
}

// The deadline's timer, or the kill's after it.
void note_alarm(int) { alarms = alarms + 1; }

// The scanner ended, or was stopped or continued.
void sigchld(int) { child_changes = child_changes + 1; }

// A queued run's wait ends at once: the descriptor it waits on (or is about
// to) becomes /dev/null, which reads as ended and locks at once.
void note_queued_cancel(int signal_number) {
    const int saved_errno = errno;
    queued = signal_number;
    const int fd = queued_wait_fd;
    if (fd >= 0 && null_fd >= 0) (void)dup2(null_fd, fd);
    errno = saved_errno;
}

}  // namespace

run_signals::cancelled::cancelled(int signal_number)
    : std::runtime_error("cancelled by signal " + std::to_string(signal_number)), signal_(signal_number) {}

void run_signals::set_up_program() {
    const struct sigaction ignore = plain_action(SIG_IGN);
    for (int s : {SIGPIPE, SIGXFSZ})
        if (!set_action(s, ignore)) throw std::runtime_error(system_error("sigaction failed: "));
    sigset_t cancel_set;
    sigemptyset(&cancel_set);
    for (int s : cancel_signals) sigaddset(&cancel_set, s);
    if (sigprocmask(SIG_UNBLOCK, &cancel_set, nullptr) != 0)
        throw std::runtime_error(system_error("sigprocmask failed: "));
}

void run_signals::catch_queued_cancels() {
    null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const struct sigaction note = plain_action(note_queued_cancel);
    for (int s : cancel_signals)
        if (disposition_is(s, SIG_DFL)) (void)set_action(s, note);
}

void run_signals::wait_on(int fd) { queued_wait_fd = fd; }

int run_signals::queued_cancel() { return queued; }

void run_signals::end_if_cancelled() {
    if (queued != 0) throw cancelled(queued);
}

void run_signals::install_handlers(bool following) {
    // Held back while the handlers change: one that comes meanwhile is
    // noted by the new handler once they are in place.
    const signal_block held(plain_action(sigproxy).sa_mask);
    end_if_cancelled();
    const struct sigaction cancel = plain_action(sigproxy);
    for (int s : cancel_signals)
        if (!set_action(s, cancel)) throw std::runtime_error(system_error("failed to set signal handlers: "));
    if (following) {
        for (int s : following_cancels)
            if (!disposition_is(s, SIG_IGN) && !set_action(s, cancel))
                throw std::runtime_error(system_error("failed to set signal handlers: "));
        if (!set_action(SIGALRM, plain_action(note_alarm)))
            throw std::runtime_error(system_error("failed to set signal handlers: "));
    }
    if (!set_action(SIGCHLD, plain_action(sigchld)))
        throw std::runtime_error(system_error("failed to set sigchld handler: "));
}

run_signals::signal_block::signal_block(const sigset_t& set) {
    if (sigprocmask(SIG_BLOCK, &set, &original_mask) != 0)
        throw std::runtime_error(system_error("sigprocmask failed: "));
}

run_signals::signal_block::~signal_block() { sigprocmask(SIG_SETMASK, &original_mask, nullptr); }

run_signals::counts run_signals::noted() { return {cancels, last_cancel, alarms, child_changes}; }

void run_signals::add_caught_signals(sigset_t& set) {
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&caught_set(), s) == 1) sigaddset(&set, s);
}

// Runs only in the forked child, which ends by execv(): see
// scanner_launch.cpp.
// GCOVR_EXCL_START
void run_signals::give_back(const sigset_t& original) {
    const struct sigaction default_action = plain_action(SIG_DFL);
    for (int s : {SIGINT, SIGTERM, SIGCHLD}) sigaction(s, &default_action, nullptr);
    for (const saved_action& s : saved_actions)
        if (s.saved) sigaction(s.signal_number, &s.original, nullptr);
    sigprocmask(SIG_SETMASK, &original, nullptr);
}
// GCOVR_EXCL_STOP

int run_signals::end_by_signal(int signal_number) {
    const struct sigaction default_action = plain_action(SIG_DFL);
    const struct rlimit no_core = {0, 0};
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    // A process that may not dump never writes a core file, whatever
    // core_pattern says; a core limit of 0 says the same where it names a
    // file, as timeout(1) sets it.
    prctl(PR_SET_DUMPABLE, 0);
    setrlimit(RLIMIT_CORE, &no_core);
    sigaction(signal_number, &default_action, nullptr);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(signal_number);
    return 128 + signal_number;
}
