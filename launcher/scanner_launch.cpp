#include "launcher/scanner_launch.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/run_signals.hpp"

namespace {

std::string system_error(const char* what) { return std::string(what) + std::strerror(errno); }

// How long a repeat of the cancel counts as the same one: timeout(1) sends
// its signal both to the program and to the program's process group.
constexpr std::chrono::milliseconds same_cancel(100);

// What a child that could not become the scanner tells the parent before it
// ends: its exit status (1 after setuid, 2 after execv) and the error.
struct start_failure {
    int status;
    int error;
};

// Runs in the forked child: system calls only, no allocation, no output.
// The parent reports the failure. A followed scanner dies with the program
// (parent, as it was before the fork).
[[noreturn]] void become_scanner(const char* scanner, char* const argv[], int status_fd, int inherited_fd,
                                 const sigset_t& original_mask, bool follow, pid_t parent) {
    run_signals::give_back(original_mask);
    // The program's own copy stays close-on-exec; the scanner keeps this one
    // open until it ends.
    if (inherited_fd >= 0) fcntl(inherited_fd, F_SETFD, 0);
    start_failure failure = {1, 0};
    if (setuid(geteuid()) == 0) {
        // Set after the user id changes, which may clear it; a parent that
        // died before it was set is seen as a new one.
        if (follow && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)) (void)raise(SIGKILL);
        execv(scanner, argv);
        failure.status = 2;
    }
    failure.error = errno;
    const ssize_t ignored = write(status_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(failure.status);
}

// Blocks the signals whose handlers note something, for its lifetime.
class signal_block {
public:
    signal_block() {
        sigset_t blocked;
        sigemptyset(&blocked);
        run_signals::add_noted_signals(blocked);
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
bool fits_exec_limits(const char* scanner, const std::vector<std::string>& args) {
    const std::size_t longest = 32 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t total = std::strlen(scanner) + 1;
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

// Passes the cancels the handlers noted on to the scanner: the first with
// SIGCONT after it, so that a stopped scanner acts on it, as a service
// manager continues after its stop signal. A run that follows its scanner
// has then waited once for it to act: a second cancel kills it.
class cancel_relay {
public:
    cancel_relay(pid_t scanner, bool follow) : scanner_(scanner), follow_(follow) {}

    // Acts on cancels noted since the last call. Returns the first one's
    // signal once one was passed on, else 0.
    int act(const run_signals::counts& now) {
        if (now.cancels == handled_) return passed_on_;
        handled_ = now.cancels;
        const auto at = std::chrono::steady_clock::now();
        if (passed_on_ == 0) {
            kill(scanner_, now.last_cancel);
            kill(scanner_, SIGCONT);
            passed_on_ = now.last_cancel;
            first_at_ = at;
        } else if (follow_ && at - first_at_ >= same_cancel) {
            kill(scanner_, SIGKILL);
        }
        return passed_on_;
    }

private:
    pid_t scanner_;
    bool follow_;
    int handled_ = 0;
    int passed_on_ = 0;
    std::chrono::steady_clock::time_point first_at_;
};

}  // namespace

const char* start_failure_prefix(int status) { return status == 1 ? "Setuid failed: " : "Execve failed: "; }

int scanner_start_error(const char* scanner, const std::vector<std::string>& args) {
    struct stat info = {};
    if (stat(scanner, &info) != 0) return errno;
    // What execv says of a directory, a FIFO or a device.
    if (!S_ISREG(info.st_mode)) return EACCES;
    // The scanner runs with the program's effective user as its only one.
    if (faccessat(AT_FDCWD, scanner, X_OK, AT_EACCESS) != 0) return errno;
    return fits_exec_limits(scanner, args) ? 0 : E2BIG;
}

std::vector<std::string> scanner_arguments(const std::string& config, const std::string& socket_address,
                                           const std::vector<std::string>& scan_paths) {
    std::vector<std::string> args;
    args.reserve(scan_paths.size() + 3);
    args.push_back(config);  // the scanner's program name
    args.push_back("-ini=" + config);
    args.push_back("-a=" + socket_address);
    for (const std::string& path : scan_paths) args.push_back("-path=" + path);
    return args;
}

scan_outcome start_scanner_and_wait(const char* scanner, const std::vector<std::string>& args, run_turn& turn,
                                    bool follow) {
    std::vector<std::string> arg_copies = args;
    std::vector<char*> argv;
    argv.reserve(arg_copies.size() + 1);
    for (std::string& arg : arg_copies) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // The noted signals stay blocked except inside sigsuspend(), so none can
    // slip in between a look at what was noted and the suspension.
    const signal_block block;
    sigset_t wait_mask = block.original_mask;
    sigset_t noted_set;
    sigemptyset(&noted_set);
    run_signals::add_noted_signals(noted_set);
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&noted_set, s) == 1) sigdelset(&wait_mask, s);

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) throw std::runtime_error(system_error("pipe failed: "));

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        become_scanner(scanner, argv.data(), status_pipe[1], turn.descriptor(), block.original_mask, follow, parent);
    const std::string fork_failure = pid < 0 ? system_error("fork failed: ") : std::string();
    // A cancel noted since the handlers were installed, before the scanner
    // existed, is passed on at once: the child takes it at its default
    // action, so it ends the scanner even before its first instruction.
    cancel_relay relay(pid, follow);
    scan_outcome outcome;
    if (pid > 0) outcome.cancel = relay.act(run_signals::noted());
    close(status_pipe[1]);
    start_failure failure = {0, 0};
    const bool never_started = pid > 0 && read_start_failure(status_pipe[0], failure);
    close(status_pipe[0]);
    if (pid < 0) throw std::runtime_error(fork_failure);

    outcome.scanner = pid;
    if (never_started) {
        outcome.start_status = failure.status;
        outcome.start_error = failure.error;
        return outcome;
    }
    turn.hand_over();

    int changes_seen = -1;
    for (;;) {
        const run_signals::counts now = run_signals::noted();
        // A cancel passed on ends the run, even where the scanner has
        // already acted on it by the time the program looks.
        outcome.cancel = relay.act(now);
        if (outcome.cancel != 0 && !follow) return outcome;
        if (now.child_changes != changes_seen) {
            changes_seen = now.child_changes;
            if (child_has_ended(pid)) break;  // else only stopped or continued: keep waiting
        }
        sigsuspend(&wait_mask);
    }
    // Nothing is passed on from here on: the id is free for reuse once
    // reaped.
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.ended = true;
    if (WIFSIGNALED(status))
        outcome.killed_by = WTERMSIG(status);
    else
        outcome.exit_status = WEXITSTATUS(status);
    return outcome;
}
