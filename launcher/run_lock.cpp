#include "launcher/run_lock.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/fixed_paths.hpp"

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

lock_file open_lock_file(bool create) {
    lock_file lock;
    std::string dir = ZELVO_RUN_DIR;
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

// 0 once the turn is had; EWOULDBLOCK when it is still held after
// wait_seconds (negative: waits as long as it takes); another error number
// when the file cannot be locked at all.
int take_turn(int fd, int wait_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    for (;;) {
        if (flock(fd, wait_seconds < 0 ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) return errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The holder's process id as the file names it, or 0.
long recorded_holder(int fd) {
    char text[24] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return text[0] >= '1' && text[0] <= '9' && *end == '\n' && pid > 0 ? pid : 0;
}

std::string held_by(long pid) { return pid > 0 ? "held by process " + std::to_string(pid) : "held"; }

}  // namespace

run_turn::run_turn(int wait_seconds) : fd_(open_lock_file(true).fd) {
    if (fd_ < 0) return;
    const int error = take_turn(fd_, wait_seconds);
    if (error == EWOULDBLOCK) {
        const long holder = recorded_holder(fd_);
        close(fd_);
        throw std::runtime_error("the turn is still " + held_by(holder) + " after " + std::to_string(wait_seconds) +
                                 " s");
    }
    if (error != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    record_holder(getpid());
}

run_turn::~run_turn() {
    if (fd_ >= 0) close(fd_);
}

void run_turn::record_holder(pid_t pid) const {
    if (fd_ < 0) return;
    // Written over the old id, then cut to its length: a reader never finds
    // the file empty. Errors are ignored: the lock decides, not the text.
    const std::string text = std::to_string(pid) + "\n";
    if (pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) {
        const int ignored = ftruncate(fd_, static_cast<off_t>(text.size()));
        (void)ignored;
    }
}

std::string describe_turn() {
    const lock_file lock = open_lock_file(false);
    if (!lock.why_not.empty()) return "runs do not take turns here: " + lock.why_not;
    const std::string takes_turns = "runs take turns by the lock " + lock.path + ": the turn is ";
    if (lock.fd < 0) return takes_turns + "free";
    // A shared lock is refused only while a run or its scanner holds the turn.
    std::string said;
    if (flock(lock.fd, LOCK_SH | LOCK_NB) == 0)
        said = takes_turns + "free";
    else if (errno == EWOULDBLOCK)
        said = takes_turns + held_by(recorded_holder(lock.fd));
    else  // as a run, which then goes on without the lock
        said = "runs do not take turns here: " + lock.path + " cannot be locked: " + std::strerror(errno);
    close(lock.fd);  // and with it the shared lock
    return said;
}
