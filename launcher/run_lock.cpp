#include "launcher/run_lock.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "launcher/lock_holders.hpp"
#include "launcher/run_signals.hpp"

namespace {

const char lock_name[] = "zelvo-ivask.lock";

// Nobody but the user may own it or write to it.
bool private_to_user(const struct stat& info) {
    return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The lock file of this user's runs: fd is -1 when there is none, with why
// it cannot be had, or (when not created) an empty why if it does not exist.
struct lock_file {
    int fd = -1;
    std::string path;
    std::string why_not;
};

lock_file open_lock_file(const std::string& root_dir, bool create) {
    lock_file lock;
    std::string dir = root_dir;
    if (geteuid() != 0) {
        const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
        if (runtime_dir == nullptr || runtime_dir[0] != '/') {
            lock.why_not = runtime_dir == nullptr ? "XDG_RUNTIME_DIR is not set" : "XDG_RUNTIME_DIR is not absolute";
            return lock;
        }
        dir = runtime_dir;
    }
    lock.path = dir + "/" + lock_name;
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        lock.why_not = dir + ": " + std::strerror(errno);
        return lock;
    }
    struct stat info = {};
    if (fstat(dir_fd, &info) != 0 || !private_to_user(info)) {
        close(dir_fd);
        lock.why_not = dir + " is not a folder that only this user can write";
        return lock;
    }
    const int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    lock.fd = openat(dir_fd, lock_name, flags, 0600);
    const int open_error = errno;
    close(dir_fd);
    if (lock.fd < 0) {
        if (create || open_error != ENOENT) lock.why_not = lock.path + ": " + std::strerror(open_error);
        return lock;
    }
    // Readable by others, it could be opened and locked by them: a run makes
    // it private.
    if (fstat(lock.fd, &info) != 0 || !S_ISREG(info.st_mode) || !private_to_user(info) ||
        ((info.st_mode & 077) != 0 && create && fchmod(lock.fd, 0600) != 0)) {
        close(lock.fd);
        lock.fd = -1;
        lock.why_not = lock.path + " is not a file that only this user can read and write";
    }
    return lock;
}

void interrupt_wait(int) {}

// Blocks in flock() until the turn is had or, when wait_seconds is not
// negative, until then. Returns 0 once the turn is had; EWOULDBLOCK when it
// is still held; another error number when the file cannot be locked at all.
// A bounded wait is ended by SIGALRM from a timer, caught without restart
// and unblocked for the wait only, so it takes no wake-ups; once due, the
// timer fires every 100 ms, so that one firing just before flock() starts
// cannot leave it blocked.
int take_turn(int fd, int wait_seconds) {
    if (wait_seconds == 0) return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    struct sigaction on_alarm = {}, original_action = {};
    on_alarm.sa_handler = interrupt_wait;
    sigemptyset(&on_alarm.sa_mask);
    sigset_t alarm_only, original_mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    const bool bounded = wait_seconds > 0;
    if (bounded) {
        const struct itimerval timer = {{0, 100000}, {wait_seconds, 0}};
        sigaction(SIGALRM, &on_alarm, &original_action);
        sigprocmask(SIG_UNBLOCK, &alarm_only, &original_mask);
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    int error = 0;
    // A cancel that comes from here on ends the wait at once.
    run_signals::wait_on(fd);
    while (run_signals::queued_cancel() == 0 && flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = errno;
            break;
        }
        if (bounded && std::chrono::steady_clock::now() >= deadline) {
            error = EWOULDBLOCK;
            break;
        }
    }
    run_signals::wait_on(-1);
    if (bounded) {
        const struct itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigprocmask(SIG_SETMASK, &original_mask, nullptr);
        sigaction(SIGALRM, &original_action, nullptr);
    }
    return error;
}

// "held by process 4242 (zelvo, for 3 h)", "... and 2 more", or "held": the
// first holder with its command name and how long it has run, where it can
// be read.
std::string held_by(const std::vector<pid_t>& holders) {
    if (holders.empty()) return "held";
    std::string said = "held by process " + std::to_string(holders.front());
    const process_summary first = summarize_process(holders.front());
    if (first.known) said += " (" + first.name + ", for " + rounded_duration(first.seconds) + ")";
    if (holders.size() > 1) said += " and " + std::to_string(holders.size() - 1) + " more";
    return said;
}

const char no_turns[] = "runs do not take turns here: ";

}  // namespace

run_turn::run_turn(const std::string& root_dir, int wait_seconds, bool required) : fd_(-1) {
    const lock_file lock = open_lock_file(root_dir, true);
    fd_ = lock.fd;
    if (fd_ < 0) {
        if (required) throw std::runtime_error(no_turns + lock.why_not);
        return;
    }
    const int error = take_turn(fd_, wait_seconds);
    if (run_signals::queued_cancel() != 0) {
        close(fd_);
        fd_ = -1;
        run_signals::end_if_cancelled();
    }
    if (error == EWOULDBLOCK) {
        const std::vector<pid_t> holders = lock_holders(fd_);
        close(fd_);
        throw turn_still_held("the turn is still " + held_by(holders) + " after " + std::to_string(wait_seconds) +
                              " s");
    }
    if (error != 0) {
        close(fd_);
        fd_ = -1;
        if (required) throw std::runtime_error(no_turns + lock.path + " cannot be locked: " + std::strerror(error));
        return;
    }
    // An id an earlier version wrote there would name a process long gone.
    const int ignored = ftruncate(fd_, 0);
    (void)ignored;
}

run_turn::~run_turn() {
    if (fd_ >= 0) close(fd_);
}

void run_turn::hand_over() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

turn_description describe_turn(const std::string& root_dir) {
    const lock_file lock = open_lock_file(root_dir, false);
    if (!lock.why_not.empty()) return {false, no_turns + lock.why_not};
    const std::string takes_turns = "runs take turns by the lock " + lock.path + ": the turn is ";
    if (lock.fd < 0) return {true, takes_turns + "free"};
    // The kernel's list of locks says whether the turn is held, also where
    // the holders' descriptors cannot be read; they name who holds it.
    const bool granted = flock_granted(lock.fd);
    const std::vector<pid_t> holders = lock_holders(lock.fd);
    const bool held = granted || !holders.empty();
    close(lock.fd);
    return {true, takes_turns + (held ? held_by(holders) : "free")};
}
