#include "launcher/scanner_launch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <sys/prctl.h>
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
// ends without waiting for the scanner to react, unless the run follows its
// scanner to the end.
volatile sig_atomic_t signal_relayed = 0;
volatile sig_atomic_t following = 0;

// When the cancel was passed on, on the monotonic clock: seconds, and
// milliseconds within the second.
volatile sig_atomic_t relayed_second = 0;
volatile sig_atomic_t relayed_millisecond = 0;

// How long a repeat of the cancel counts as the same one: timeout(1) sends
// its signal both to the program and to the program's process group.
const long same_cancel_ms = 100;

void monotonic_now(long& second, long& millisecond) {
    struct timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    second = now.tv_sec;
    millisecond = now.tv_nsec / 1000000;
}

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
    long second = 0, millisecond = 0;
    monotonic_now(second, millisecond);
    relayed_second = static_cast<sig_atomic_t>(second);
    relayed_millisecond = static_cast<sig_atomic_t>(millisecond);
    errno = saved_errno;
    signal_relayed = signal_number;
    child_done = 1;
}

// True when a cancel was passed on long enough ago for this one to be a
// second one.
bool repeated_cancel() {
    const int saved_errno = errno;
    long second = 0, millisecond = 0;
    monotonic_now(second, millisecond);
    errno = saved_errno;
    return (second - relayed_second) * 1000 + (millisecond - relayed_millisecond) >= same_cancel_ms;
}

// A run that follows its scanner has already waited once for it to act on
// a cancel: a second one ends it by force.
void sigproxy(int signal_number) {
    if (child_pid <= 0) {
        early_signal = signal_number;
    } else if (!following || !signal_relayed) {
        relay(signal_number);
    } else if (repeated_cancel()) {
        const int saved_errno = errno;
        kill(child_pid, SIGKILL);
        errno = saved_errno;
    }
}

void sigchld(int) { child_done = 1; }

// What a child that could not become the scanner tells the parent before it
// ends: its exit status (1 after setuid, 2 after execv) and the error.
struct start_failure {
    int status;
    int error;
};

// Runs in the forked child: system calls only, no allocation, no output.
// The parent reports the failure. A followed scanner dies with the program
// (parent, as it was before the fork).
[[noreturn]] void become_scanner(char* const argv[], int status_fd, int inherited_fd, const sigset_t& original_mask,
                                 pid_t parent) {
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
        // Set after the user id changes, which may clear it; a parent that
        // died before it was set is seen as a new one.
        if (following && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) (void)raise(SIGKILL);
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

int end_by_signal(int signal_number) {
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

scan_outcome start_scanner_and_wait(const std::string& socket_address, const std::vector<std::string>& scan_paths,
                                    run_turn& turn, bool follow) {
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

    following = follow ? 1 : 0;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) become_scanner(argv.data(), status_pipe[1], turn.descriptor(), block.original_mask, parent);
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
        print_line(start_failure_line(failure.status, failure.error));
        return {scan_outcome::not_started, failure.status, failure.error};
    }
    turn.hand_over();

    for (;;) {
        if (child_done) {
            // A cancel passed on ends the run, even where the scanner has
            // already acted on it by the time the program looks.
            if (signal_relayed && !following) return {scan_outcome::passed_on, signal_relayed};
            if (child_has_ended(pid)) break;
            child_done = 0;  // only stopped or continued: keep waiting
        }
        sigsuspend(&wait_mask);
    }
    // Nothing is relayed from here on: the id is free for reuse once reaped.
    child_pid = 0;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) return {scan_outcome::killed, WTERMSIG(status)};
    return {scan_outcome::exited, WEXITSTATUS(status)};
}
