#include "launcher/run_lock.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/fixed_paths.hpp"

namespace {

const char lock_name[] = "zelvo-ivask.lock";

// Where this user's runs meet; empty when there is no such place.
std::string lock_directory() {
    if (geteuid() == 0) return ZELVO_RUN_DIR;
    const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
    return runtime_dir != nullptr && runtime_dir[0] == '/' ? runtime_dir : "";
}

// Nobody but the user may own it or write to it.
bool private_to_user(const struct stat& info) {
    return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The lock file in dir, or -1 when dir or the file could be touched by
// another user.
int open_lock_file(const std::string& dir) {
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return -1;
    struct stat info = {};
    int fd = -1;
    if (fstat(dir_fd, &info) == 0 && S_ISDIR(info.st_mode) && private_to_user(info))
        fd = openat(dir_fd, lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    close(dir_fd);
    if (fd < 0) return -1;
    // Readable by others, it could be opened and locked by them.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !private_to_user(info) ||
        ((info.st_mode & 077) != 0 && fchmod(fd, 0600) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

run_turn::run_turn() : fd_(-1) {
    const std::string dir = lock_directory();
    if (dir.empty()) return;
    fd_ = open_lock_file(dir);
    if (fd_ < 0) return;
    int locked;
    do {
        locked = flock(fd_, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        close(fd_);
        fd_ = -1;
    }
}

run_turn::~run_turn() {
    if (fd_ >= 0) close(fd_);
}
