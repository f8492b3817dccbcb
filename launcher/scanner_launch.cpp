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
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/run_signals.hpp"

namespace {

std::string system_error(const char* what) { return std::string(what) + std::strerror(errno); }

// How long a repeat of the cancel counts as the same one: timeout(1) sends
// its signal both to the program and to the program's process group.
constexpr std::chrono::milliseconds same_cancel(100);

// What a child that could not become the scanner tells the parent before it
// ends: its exit status (1 after setuid, 2 after execv; for a followed scan,
// 3 where its group could not be made, 4 where its guard could not be
// forked) and the error.
struct start_failure {
    int status;
    int error;
};
const int group_not_made = 3;
const int guard_not_started = 4;

// To the end of the region the coverage report leaves out, the code runs
// only in forked children, which end by execv() or SIGKILL: their coverage
// counters are never written. The process tests run it (scan_group_test.cc,
// signals_test.cc).
// GCOVR_EXCL_START

// Closes every descriptor but keep, however many the program was given.
void close_all_but(int keep) {
    if (keep > 0 && close_range(0, static_cast<unsigned>(keep) - 1, 0) == 0 &&
        close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0)
        return;
    const long most = std::min(sysconf(_SC_OPEN_MAX), 1L << 20);
    for (int fd = 0; fd < most; ++fd)
        if (fd != keep) close(fd);
}

// The scan's guard: in the scan's process group (led by leader), with every
// signal held back and nothing open but the read end of a pipe whose only
// writer is the program. Once the program has ended, however it ended, the
// read sees the pipe's end and the guard kills the whole group, itself with
// it. Being in the group, it keeps the group's id from being used again
// while anything of the scan may be left.
[[noreturn]] void guard_scan(int pipe_fd, pid_t leader) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    close_all_but(pipe_fd);
    char byte;
    for (;;) {
        const ssize_t n = read(pipe_fd, &byte, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    // Never any group but the scan's, whatever went wrong before.
    if (getpgrp() == leader) kill(0, SIGKILL);
    _exit(0);
}

// Forks the guard as a grandchild, so that the scanner never sees it among
// its children. False, with errno set, where it could not.
bool start_guard(int pipe_fd) {
    const pid_t leader = getpid();
    const pid_t middle = fork();
    if (middle < 0) return false;
    if (middle == 0) {
        const pid_t guard = fork();
        if (guard == 0) guard_scan(pipe_fd, leader);
        _exit(guard < 0 ? errno : 0);
    }
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    errno = WIFEXITED(status) ? WEXITSTATUS(status) : EAGAIN;
    return errno == 0;
}

// What the forked child needs to become the scanner.
struct child_setup {
    const char* scanner;
    char* const* argv;
    int status_fd;     // the start status pipe's write end
    int inherited_fd;  // the turn's lock, or -1
    int guard_fd;      // the guard pipe's read end, where the run follows its scanner; else -1
    const sigset_t* original_mask;
    pid_t parent;
};

// Makes the forked child the scanner, with the program's start state given
// back; returns only where it cannot, with what failed.
start_failure exec_scanner(const child_setup& c) {
    const bool follow = c.guard_fd >= 0;
    // A followed scan never runs in the program's group.
    if (follow && setpgid(0, 0) != 0) return {group_not_made, errno};
    if (setuid(geteuid()) != 0) return {1, errno};
    // Set after the user id changes, which may clear it; a parent that died
    // before it was set is seen as a new one. The kernel clears it again for
    // a set-user-id or set-group-id scanner: the guard holds for every one.
    if (follow && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != c.parent)) (void)raise(SIGKILL);
    if (follow && !start_guard(c.guard_fd)) return {guard_not_started, errno};
    run_signals::give_back(*c.original_mask);
    execv(c.scanner, c.argv);
    return {2, errno};
}

// Runs in the forked child: system calls only, no allocation, no output.
// The parent reports the failure.
[[noreturn]] void become_scanner(const child_setup& c) {
    // The program's own copy stays close-on-exec; the scanner keeps this one
    // open until it ends.
    if (c.inherited_fd >= 0) fcntl(c.inherited_fd, F_SETFD, 0);
    const start_failure failure = exec_scanner(c);
    const ssize_t ignored = write(c.status_fd, &failure, sizeof failure);
    (void)ignored;
    _exit(failure.status);
}

// GCOVR_EXCL_STOP

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

// Passes the cancels the handlers noted on to the scan (the scanner, or the
// scan's process group): the first with SIGCONT after it, so that a stopped
// scanner acts on it, as a service manager continues after its stop
// signal. A run that follows its scanner has then waited once for it to
// act: a second cancel kills the scan.
class cancel_relay {
public:
    cancel_relay(pid_t target, bool follow) : target_(target), follow_(follow) {}

    // Acts on cancels noted since the last call. Returns the first one's
    // signal once one was passed on, else 0.
    int act(const run_signals::counts& now) {
        if (now.cancels == handled_) return passed_on_;
        handled_ = now.cancels;
        if (passed_on_ == 0)
            pass_on(now.last_cancel);
        else if (follow_ && std::chrono::steady_clock::now() - first_at_ >= same_cancel)
            kill_scan();
        return passed_on_;
    }
    void pass_on(int signal_number) {
        kill(target_, signal_number);
        kill(target_, SIGCONT);
        passed_on_ = signal_number;
        first_at_ = std::chrono::steady_clock::now();
    }
    void kill_scan() const { kill(target_, SIGKILL); }
    int passed_on() const { return passed_on_; }

private:
    pid_t target_;
    bool follow_;
    int handled_ = 0;
    int passed_on_ = 0;
    std::chrono::steady_clock::time_point first_at_;
};

// One timer of the real-time clock, which wakes the wait once with SIGALRM:
// first for the deadline, then for the kill after a cancel. An alarm counts
// only once its time has come, so that one the timer raised before it was
// set again is no kill.
class scan_timer {
public:
    enum purpose_t { none, deadline, kill_after };

    void arm(purpose_t purpose, int seconds) {
        struct itimerval timer = {};
        timer.it_value.tv_sec = seconds;
        timer.it_value.tv_usec = seconds == 0 ? 1 : 0;  // 0 would leave it off
        due_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        purpose_ = purpose;
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    // What the alarms noted since the last call mean: the purpose whose time
    // has come, or none.
    purpose_t fired(const run_signals::counts& now) {
        if (now.alarms == alarms_seen_) return none;
        alarms_seen_ = now.alarms;
        if (purpose_ == none || std::chrono::steady_clock::now() < due_) return none;
        const purpose_t fired = purpose_;
        purpose_ = none;
        return fired;
    }
    ~scan_timer() {
        const struct itimerval off = {};
        if (purpose_ != none) setitimer(ITIMER_REAL, &off, nullptr);
    }

private:
    purpose_t purpose_ = none;
    int alarms_seen_ = 0;
    std::chrono::steady_clock::time_point due_;
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
                                    const scan_limits& limits) {
    std::vector<std::string> arg_copies = args;
    std::vector<char*> argv;
    argv.reserve(arg_copies.size() + 1);
    for (std::string& arg : arg_copies) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // The caught signals stay blocked except inside sigsuspend(), so none
    // can slip in between a look at what was noted and the suspension.
    sigset_t caught;
    sigemptyset(&caught);
    run_signals::add_caught_signals(caught);
    const run_signals::signal_block block(caught);
    sigset_t wait_mask = block.original_mask;
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&caught, s) == 1) sigdelset(&wait_mask, s);

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) throw std::runtime_error(system_error("pipe failed: "));
    // Held open by the program alone until it ends: the guard's only writer.
    int guard_pipe[2] = {-1, -1};
    if (limits.follow && pipe2(guard_pipe, O_CLOEXEC) != 0) {
        close(status_pipe[0]);
        close(status_pipe[1]);
        throw std::runtime_error(system_error("pipe failed: "));
    }

    const child_setup setup = {scanner,        argv.data(), status_pipe[1], turn.descriptor(), guard_pipe[0],
                               &block.original_mask, getpid()};
    const pid_t pid = fork();
    if (pid == 0) become_scanner(setup);
    const std::string fork_failure = pid < 0 ? system_error("fork failed: ") : std::string();
    // The group exists before anything is passed on to it, whichever of the
    // two gets to set it first.
    if (pid > 0 && limits.follow) setpgid(pid, pid);
    // A cancel noted since the handlers were installed, before the scanner
    // existed, is passed on at once: the child takes it at its default
    // action, so it ends the scanner even before its first instruction.
    cancel_relay relay(limits.follow ? -pid : pid, limits.follow);
    scan_outcome outcome;
    if (pid > 0) outcome.cancel = relay.act(run_signals::noted());
    close(status_pipe[1]);
    if (guard_pipe[0] >= 0) close(guard_pipe[0]);
    start_failure failure = {0, 0};
    const bool never_started = pid > 0 && read_start_failure(status_pipe[0], failure);
    close(status_pipe[0]);
    if (pid < 0) throw std::runtime_error(fork_failure);

    outcome.scanner = pid;
    if (never_started && failure.status >= group_not_made) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = failure.error;
        throw std::runtime_error(system_error(failure.status == group_not_made ? "setpgid failed: " : "fork failed: "));
    }
    if (never_started) {
        outcome.start_status = failure.status;
        outcome.start_error = failure.error;
        return outcome;
    }
    turn.hand_over();

    scan_timer timer;
    if (limits.timeout >= 0) timer.arm(scan_timer::deadline, limits.timeout);
    int changes_seen = -1;
    bool cancel_seen = false;
    for (;;) {
        const run_signals::counts now = run_signals::noted();
        outcome.cancel = relay.act(now);
        switch (timer.fired(now)) {
        case scan_timer::deadline:
            if (outcome.cancel == 0) {
                outcome.timed_out = true;
                relay.pass_on(SIGTERM);
                outcome.cancel = SIGTERM;
            }
            break;
        case scan_timer::kill_after:
            relay.kill_scan();
            break;
        case scan_timer::none:
            break;
        }
        // A cancel passed on ends the run, even where the scanner has
        // already acted on it by the time the program looks.
        if (outcome.cancel != 0 && !cancel_seen) {
            cancel_seen = true;
            if (!limits.follow) return outcome;
            if (limits.kill_after >= 0) timer.arm(scan_timer::kill_after, limits.kill_after);
        }
        if (now.child_changes != changes_seen) {
            changes_seen = now.child_changes;
            if (child_has_ended(pid)) break;  // else only stopped or continued: keep waiting
        }
        sigsuspend(&wait_mask);
    }
    // What is left of a followed scan ends with its scanner. The group's id
    // is still the scanner's: it is not reaped yet. Nothing is passed on from
    // here on: the id is free for reuse once reaped.
    if (limits.follow) kill(-pid, SIGKILL);
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
