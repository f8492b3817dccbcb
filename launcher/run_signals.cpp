#include "launcher/run_signals.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <sys/prctl.h>
#include <sys/resource.h>

namespace {

// Written by the handlers only, read by noted() with the signals blocked.
volatile sig_atomic_t cancels = 0;
volatile sig_atomic_t last_cancel = 0;
volatile sig_atomic_t child_changes = 0;

const int cancel_signals[] = {SIGINT, SIGTERM};
const int caught_signals[] = {SIGINT, SIGTERM, SIGCHLD};

// The signals the program only ignores for itself, with the disposition it
// was started with, given back to the scanner.
struct saved_action {
    int signal_number;
    bool saved;
    struct sigaction original;
};
saved_action saved_actions[] = {{SIGPIPE, false, {}}, {SIGXFSZ, false, {}}};

// No flags: not the extended form, no restart of interrupted calls, stops
// and continues of the scanner still reported. A handler runs with the
// other noted signals held back, so that no two of them count at once.
struct sigaction plain_action(void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    if (handler != SIG_DFL && handler != SIG_IGN) run_signals::add_noted_signals(action.sa_mask);
    action.sa_handler = handler;
    return action;
}

std::string system_error(const char* what) { return std::string(what) + std::strerror(errno); }

void note_cancel(int signal_number) {
    last_cancel = signal_number;
    cancels = cancels + 1;
}

void note_child(int) { child_changes = child_changes + 1; }

}  // namespace

void run_signals::set_up_program() {
    const struct sigaction ignore = plain_action(SIG_IGN);
    for (saved_action& s : saved_actions) {
        struct sigaction previous;
        if (sigaction(s.signal_number, &ignore, &previous) != 0)
            throw std::runtime_error(system_error("sigaction failed: "));
        if (!s.saved) s.original = previous;  // the first disposition it replaces
        s.saved = true;
    }
    sigset_t cancel_set;
    sigemptyset(&cancel_set);
    for (int s : cancel_signals) sigaddset(&cancel_set, s);
    if (sigprocmask(SIG_UNBLOCK, &cancel_set, nullptr) != 0)
        throw std::runtime_error(system_error("sigprocmask failed: "));
}

void run_signals::install_handlers() {
    const struct sigaction cancel = plain_action(note_cancel);
    const struct sigaction child = plain_action(note_child);
    if (sigaction(SIGINT, &cancel, nullptr) != 0 || sigaction(SIGTERM, &cancel, nullptr) != 0)
        throw std::runtime_error(system_error("failed to set signal handlers: "));
    if (sigaction(SIGCHLD, &child, nullptr) != 0)
        throw std::runtime_error(system_error("failed to set sigchld handler: "));
}

run_signals::counts run_signals::noted() { return {cancels, last_cancel, child_changes}; }

void run_signals::add_noted_signals(sigset_t& set) {
    for (int s : caught_signals) sigaddset(&set, s);
}

void run_signals::give_back(const sigset_t& original) {
    const struct sigaction default_action = plain_action(SIG_DFL);
    for (int s : caught_signals) sigaction(s, &default_action, nullptr);
    for (const saved_action& s : saved_actions)
        if (s.saved) sigaction(s.signal_number, &s.original, nullptr);
    sigprocmask(SIG_SETMASK, &original, nullptr);
}

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
