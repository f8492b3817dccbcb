#include "launcher/scanner_launch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/console.hpp"
#include "launcher/fixed_paths.hpp"

volatile sig_atomic_t child_pid = 0;
volatile sig_atomic_t child_done = 0;

namespace {

// Set when SIGINT or SIGTERM was passed on to the scanner: the wait then
// ends without waiting for the scanner to react.
volatile sig_atomic_t signal_relayed = 0;

const int handled_signals[] = {SIGINT, SIGTERM, SIGCHLD};

// The signals the program only ignores for itself, with the disposition it
// was started with, given back to the scanner.
struct saved_action {
    int signal_number;
    bool saved;
    struct sigaction original;
};
saved_action saved_actions[] = {{SIGPIPE, false, {}}, {SIGXFSZ, false, {}}};

// No extra signals blocked, no flags: not the extended form, no restart of
// interrupted calls, stops and continues of the scanner still reported.
struct sigaction plain_action(void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = handler;
    return action;
}

// Ignores the signal, keeping the first disposition it replaces.
int ignore_keeping_original(saved_action& s) {
    const struct sigaction ignore = plain_action(SIG_IGN);
    struct sigaction previous;
    if (sigaction(s.signal_number, &ignore, &previous) != 0) return -1;
    if (!s.saved) s.original = previous;
    s.saved = true;
    return 0;
}

std::string system_error(const char* what) { return std::string(what) + std::strerror(errno); }

// A SIGINT or SIGTERM caught before the scanner exists: relayed as soon as
// it does, so a cancel is never lost in the moments before the start.
volatile sig_atomic_t early_signal = 0;

// Passes the signal on and ends the wait. A stopped scanner acts on it only
// once continued, as a service manager continues after its stop signal.
void relay(int signal_number) {
    const int saved_errno = errno;
    kill(child_pid, signal_number);
    kill(child_pid, SIGCONT);
    errno = saved_errno;
    signal_relayed = 1;
    child_done = 1;
}

void sigproxy(int signal_number) {
    if (child_pid > 0)
        relay(signal_number);
    else
        early_signal = signal_number;
}

void sigchld(int) { child_done = 1; }

// What a child that could not become the scanner tells the parent before it
// ends: its exit status (1 after setuid, 2 after execv) and the error.
struct start_failure {
    int status;
    int error;
};

// Runs in the forked child: system calls only, no allocation, no output.
// The parent reports the failure.
[[noreturn]] void become_scanner(char* const argv[], int status_fd, int inherited_fd, const sigset_t& original_mask) {
    // The signals the program catches start at their default action, even
    // where the program was started with them ignored: a relayed SIGINT or
    // SIGTERM must reach a scanner that can act on it. Reset before the mask
    // is given back, so that one relayed before execv ends this process
    // instead of reaching the program's handler.
    const struct sigaction default_action = plain_action(SIG_DFL);
    for (int s : handled_signals) sigaction(s, &default_action, nullptr);
    for (const saved_action& s : saved_actions) {
        if (s.saved) sigaction(s.signal_number, &s.original, nullptr);
    }
    sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    // The program's own copy stays close-on-exec; the scanner keeps this one
    // open until it ends.
    if (inherited_fd >= 0) fcntl(inherited_fd, F_SETFD, 0);
    start_failure failure = {1, 0};
    if (setuid(geteuid()) == 0) {
        execv(ZELVO_SCANNER, argv);
        failure.status = 2;
    }
    failure.error = errno;
    const ssize_t ignored = write(status_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(failure.status);
}

// Blocks SIGINT, SIGTERM and SIGCHLD for its lifetime.
class signal_block {
public:
    signal_block() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int s : handled_signals) sigaddset(&blocked, s);
        if (sigprocmask(SIG_BLOCK, &blocked, &original_mask) != 0)
            throw std::runtime_error(system_error("sigprocmask failed: "));
    }
    ~signal_block() { sigprocmask(SIG_SETMASK, &original_mask, nullptr); }
    signal_block(const signal_block&) = delete;
    signal_block& operator=(const signal_block&) = delete;

    sigset_t original_mask;
};

// True once the child has exited or was killed; it is left unreaped.
bool child_has_ended(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// The child either replaces itself with the scanner, which closes the
// descriptor on exec, or writes why it could not: end of file tells the
// one from the other, whatever the scanner's own exit status is later.
bool read_start_failure(int status_fd, start_failure& failure) {
    ssize_t n;
    do {
        n = read(status_fd, &failure, sizeof failure);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof failure);
}

// What Linux's execve() takes: each string, its NUL included, at most 32
// pages; all of them (the file name, the arguments, the environment) with a
// pointer each, at most a quarter of the stack limit, within 128 KiB and
// 6 MiB.
bool fits_exec_limits(const std::vector<std::string>& args) {
    const std::size_t longest = 32 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t total = sizeof ZELVO_SCANNER;
    bool each_fits = true;
    const auto add = [&](std::size_t length) {
        each_fits = each_fits && length + 1 <= longest;
        total += length + 1 + sizeof(char*);
    };
    for (const std::string& arg : args) add(arg.size());
    for (char** entry = environ; *entry != nullptr; ++entry) add(std::strlen(*entry));
    struct rlimit stack = {};
    std::size_t limit = 6 << 20;
    if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY)
        limit = std::min<std::size_t>(limit, stack.rlim_cur / 4);
    return each_fits && total <= std::max<std::size_t>(limit, 128 << 10);
}

}  // namespace

void ignore_write_signals() {
    for (saved_action& s : saved_actions)
        if (ignore_keeping_original(s) != 0) throw std::runtime_error(system_error("sigaction failed: "));
}

void unblock_relayed_signals() {
    sigset_t relayed;
    sigemptyset(&relayed);
    sigaddset(&relayed, SIGINT);
    sigaddset(&relayed, SIGTERM);
    if (sigprocmask(SIG_UNBLOCK, &relayed, nullptr) != 0) throw std::runtime_error(system_error("sigprocmask failed: "));
}

void install_signal_handlers() {
    const struct sigaction relay = plain_action(sigproxy);
    const struct sigaction chld = plain_action(sigchld);
    if (sigaction(SIGINT, &relay, nullptr) != 0 || sigaction(SIGTERM, &relay, nullptr) != 0)
        throw std::runtime_error(system_error("failed to set signal handlers: "));
    if (sigaction(SIGCHLD, &chld, nullptr) != 0)
        throw std::runtime_error(system_error("failed to set sigchld handler: "));
}

std::string start_failure_line(int status, int error) {
    return (status == 1 ? "Setuid failed: " : "Execve failed: ") + std::string(std::strerror(error));
}

int scanner_start_error(const std::vector<std::string>& args) {
    struct stat info = {};
    if (stat(ZELVO_SCANNER, &info) != 0) return errno;
    // What execv says of a directory, a FIFO or a device.
    if (!S_ISREG(info.st_mode)) return EACCES;
    // The scanner runs with the program's effective user as its only one.
    if (faccessat(AT_FDCWD, ZELVO_SCANNER, X_OK, AT_EACCESS) != 0) return errno;
    return fits_exec_limits(args) ? 0 : E2BIG;
}

std::vector<std::string> scanner_arguments(const std::string& socket_address,
                                           const std::vector<std::string>& scan_paths) {
    std::vector<std::string> args;
    args.reserve(scan_paths.size() + 3);
    args.emplace_back(ZELVO_SCANNER_CONFIG);  // the scanner's program name
    args.emplace_back("-ini=" ZELVO_SCANNER_CONFIG);
    args.emplace_back("-a=" + socket_address);
    for (const std::string& path : scan_paths) args.emplace_back("-path=" + path);
    return args;
}

int start_scanner_and_wait(const std::string& socket_address, const std::vector<std::string>& scan_paths,
                           const run_turn& turn) {
    std::vector<std::string> args = scanner_arguments(socket_address, scan_paths);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // The three signals stay blocked except inside sigsuspend(), so none can
    // slip in between the test of child_done and the suspension.
    const signal_block block;
    sigset_t wait_mask = block.original_mask;
    for (int s : handled_signals) sigdelset(&wait_mask, s);

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) throw std::runtime_error(system_error("pipe failed: "));

    const pid_t pid = fork();
    if (pid == 0) become_scanner(argv.data(), status_pipe[1], turn.descriptor(), block.original_mask);
    child_pid = pid;
    // Caught since the handlers were installed; one held back since the
    // block is relayed by the handler once the wait unblocks it.
    if (pid > 0 && early_signal != 0) relay(early_signal);
    const std::string fork_failure = pid < 0 ? system_error("fork failed: ") : std::string();
    close(status_pipe[1]);
    start_failure failure = {0, 0};
    const bool never_started = pid > 0 && read_start_failure(status_pipe[0], failure);
    close(status_pipe[0]);
    if (pid < 0) throw std::runtime_error(fork_failure);

    if (never_started) {
        // Its process ends with this status.
        print_line(start_failure_line(failure.status, failure.error));
        return failure.status;
    }
    turn.record_holder(pid);

    for (;;) {
        if (child_done) {
            if (child_has_ended(pid) || signal_relayed) break;
            child_done = 0;  // only stopped or continued: keep waiting
        }
        sigsuspend(&wait_mask);
    }
    return 0;
}
