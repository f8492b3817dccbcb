#include "launcher/scanner_launch.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launcher/fixed_paths.hpp"

volatile sig_atomic_t child_pid = 0;
volatile sig_atomic_t child_done = 0;

namespace {

// Set when SIGINT or SIGTERM was passed on to the scanner: the wait then
// ends without waiting for the scanner to react.
volatile sig_atomic_t signal_relayed = 0;

const int handled_signals[] = {SIGINT, SIGTERM, SIGCHLD};

// The dispositions the program was started with, given back to the scanner.
struct sigaction original_actions[3];
bool originals_saved = false;

std::string system_error(const char* what) { return std::string(what) + std::strerror(errno); }

void sigproxy(int signal_number) {
    if (child_pid > 0) {
        const int saved_errno = errno;
        kill(child_pid, signal_number);
        errno = saved_errno;
        signal_relayed = 1;
        child_done = 1;
    }
}

void sigchld(int) { child_done = 1; }

// Status byte a child that never became the scanner sends before it ends.
[[noreturn]] void report_start_failure(int status_fd, const char* what, unsigned char status) {
    const int error = errno;
    std::cout << what << std::strerror(error) << std::endl;
    const ssize_t ignored = write(status_fd, &status, 1);
    (void)ignored;
    // _exit: buffers inherited from the parent must not be flushed twice.
    _exit(status);
}

[[noreturn]] void become_scanner(char* const argv[], int status_fd, const sigset_t& original_mask) {
    if (originals_saved) {
        for (int i = 0; i < 3; ++i) sigaction(handled_signals[i], &original_actions[i], nullptr);
    }
    sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    if (setuid(geteuid()) != 0) report_start_failure(status_fd, "Setuid failed: ", 1);
    execv(ZELVO_SCANNER, argv);
    report_start_failure(status_fd, "Execve failed: ", 2);
}

// True once the child has exited or was killed; it is left unreaped.
bool child_has_ended(pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// 1 or 2 when the child could not become the scanner, otherwise 0. The
// descriptor closes on exec, so a started scanner leaves it empty.
int start_failure_status(int status_fd) {
    unsigned char status = 0;
    ssize_t n;
    do {
        n = read(status_fd, &status, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? status : 0;
}

}  // namespace

void install_signal_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = sigproxy;
    if (sigaction(SIGINT, &action, &original_actions[0]) != 0 ||
        sigaction(SIGTERM, &action, &original_actions[1]) != 0)
        throw std::runtime_error(system_error("failed to set signal handlers: "));
    action.sa_handler = sigchld;
    if (sigaction(SIGCHLD, &action, &original_actions[2]) != 0)
        throw std::runtime_error(system_error("failed to set sigchld handler: "));
    originals_saved = true;
}

int start_scanner_and_wait(const std::string& socket_address, const std::vector<std::string>& scan_paths) {
    std::vector<std::string> args;
    args.reserve(scan_paths.size() + 3);
    args.emplace_back(ZELVO_SCANNER_CONFIG);  // the scanner's program name
    args.emplace_back("-ini=" ZELVO_SCANNER_CONFIG);
    args.emplace_back("-a=" + socket_address);
    for (const std::string& path : scan_paths) args.emplace_back("-path=" + path);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    // The three signals stay blocked except inside sigsuspend(), so none can
    // slip in between the test of child_done and the suspension.
    sigset_t blocked, original_mask;
    sigemptyset(&blocked);
    for (int s : handled_signals) sigaddset(&blocked, s);
    if (sigprocmask(SIG_BLOCK, &blocked, &original_mask) != 0)
        throw std::runtime_error(system_error("sigprocmask failed: "));
    sigset_t wait_mask = original_mask;
    for (int s : handled_signals) sigdelset(&wait_mask, s);

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0) {
        const std::string message = system_error("pipe failed: ");
        sigprocmask(SIG_SETMASK, &original_mask, nullptr);
        throw std::runtime_error(message);
    }

    // Nothing buffered may be inherited, or it would be written twice.
    std::cout.flush();
    (void)std::fflush(stdout);

    const pid_t pid = fork();
    child_pid = pid;
    if (pid < 0) {
        const std::string message = system_error("fork failed: ");
        close(status_pipe[0]);
        close(status_pipe[1]);
        sigprocmask(SIG_SETMASK, &original_mask, nullptr);
        throw std::runtime_error(message);
    }
    if (pid == 0) {
        close(status_pipe[0]);
        become_scanner(argv.data(), status_pipe[1], original_mask);
    }
    close(status_pipe[1]);

    int status = 0;
    for (;;) {
        if (child_done) {
            if (child_has_ended(pid)) {
                status = start_failure_status(status_pipe[0]);
                break;
            }
            if (signal_relayed) break;
            child_done = 0;  // only stopped or continued: keep waiting
        }
        sigsuspend(&wait_mask);
    }
    close(status_pipe[0]);
    sigprocmask(SIG_SETMASK, &original_mask, nullptr);
    return status;
}
