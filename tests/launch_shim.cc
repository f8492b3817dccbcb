// Preloaded into the program by the process tests to reach moments that
// chance alone almost never hits:
//   ZELVO_SHIM_DELAY_SUSPEND=1  every sigsuspend() starts 300 ms late, so that
//       a scanner that ends at once ends inside the gap between the
//       program's last look at its flag and the suspension;
//   ZELVO_SHIM_DELAY_WAKE=1  every sigsuspend() returns 300 ms late, so that
//       a scanner that acts on a relayed signal at once has ended before
//       the program looks at it;
//   ZELVO_SHIM_SIGNAL_EARLY=1   pipe2(), which the program calls just before
//       it starts the scanner, first raises SIGINT and SIGTERM: signals that
//       come before the scanner exists.
//   ZELVO_SHIM_SIGNAL_IN_WRITE=N  putting the written config in place
//       (renameat2() or rename()) first raises signal N: a signal while the
//       temporary file exists.
//   ZELVO_SHIM_NO_EXCHANGE=1  renameat2() fails with EINVAL, as on a file
//       system that cannot exchange two names.
//   ZELVO_SHIM_PLANT_ON_ENOENT=1  when exchanging the written config finds
//       nothing at its path, an empty directory appears there at once, as
//       another user could make it in that moment.
//   ZELVO_SHIM_FLOCK=1  flock() fails with ENOLCK.
//   ZELVO_SHIM_LATE_WAIT=1  the first read() of descriptor 0 and the first
//       flock() that waits start 300 ms late, whatever signal comes
//       meanwhile: a cancel that comes just before a queued run's wait.
//   ZELVO_SHIM_SETUID=1  setuid() fails with EPERM.
//   ZELVO_SHIM_WRITEV_EAGAIN=1  the first writev() fails with EAGAIN, as on a
//       full non-blocking standard output.
//   ZELVO_SHIM_SHORT_WRITES=1  every write() writes one byte at most.
// Each use leaves an "x" in the file named by ZELVO_SHIM_MARK.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool enabled(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void mark(const std::string& text = "x") {
    if (const char* path = std::getenv("ZELVO_SHIM_MARK")) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            const ssize_t ignored = write(fd, text.data(), text.size());
            (void)ignored;
            close(fd);
        }
    }
}

}  // namespace

extern "C" int sigsuspend(const sigset_t* mask) {
    typedef int (*real_t)(const sigset_t*);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "sigsuspend"));
    if (enabled("ZELVO_SHIM_DELAY_SUSPEND")) {
        mark();
        struct timespec delay = {0, 300000000};
        nanosleep(&delay, nullptr);
    }
    const int result = real(mask);
    if (enabled("ZELVO_SHIM_DELAY_WAKE")) {
        const int saved_errno = errno;
        mark();
        struct timespec delay = {0, 300000000};
        nanosleep(&delay, nullptr);
        errno = saved_errno;
    }
    return result;
}

extern "C" int pipe2(int fds[2], int flags) {
    typedef int (*real_t)(int*, int);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "pipe2"));
    if (enabled("ZELVO_SHIM_SIGNAL_EARLY")) {
        mark();
        raise(SIGINT);
        raise(SIGTERM);
    }
    return real(fds, flags);
}

namespace {

// The program's config write, not the scanner stand-in's renames of its
// own (it inherits the shim).
bool is_config_write(const char* to) {
    const char config_name[] = "/.ivask_config";
    const std::size_t length = std::strlen(to);
    return length >= sizeof config_name - 1 && std::strcmp(to + length - (sizeof config_name - 1), config_name) == 0;
}

void signal_in_write() {
    if (const char* signal_number = std::getenv("ZELVO_SHIM_SIGNAL_IN_WRITE")) {
        mark();
        raise(std::atoi(signal_number));
    }
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
    typedef int (*real_t)(const char*, const char*);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "rename"));
    if (is_config_write(to)) signal_in_write();
    return real(from, to);
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    typedef int (*real_t)(int, const char*, int, const char*, unsigned int);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "renameat2"));
    if (!is_config_write(to)) return real(from_dir, from, to_dir, to, flags);
    if (enabled("ZELVO_SHIM_NO_EXCHANGE")) {
        mark();
        errno = EINVAL;
        return -1;
    }
    signal_in_write();
    const int result = real(from_dir, from, to_dir, to, flags);
    if (result != 0 && errno == ENOENT && (flags & RENAME_EXCHANGE) != 0 && enabled("ZELVO_SHIM_PLANT_ON_ENOENT") &&
        mkdirat(to_dir, to, 0777) == 0) {
        mark();
        errno = ENOENT;
    }
    return result;
}

namespace {

// 300 ms, to the end, however often a signal cuts the sleep short.
void wait_late() {
    const int saved_errno = errno;
    mark();
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += 300000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        until.tv_sec += 1;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
    }
    errno = saved_errno;
}

}  // namespace

extern "C" ssize_t read(int fd, void* data, size_t size) {
    typedef ssize_t (*real_t)(int, void*, size_t);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "read"));
    static bool late = true;
    if (fd == 0 && late && enabled("ZELVO_SHIM_LATE_WAIT")) {
        late = false;
        wait_late();
    }
    return real(fd, data, size);
}

extern "C" int flock(int fd, int operation) {
    typedef int (*real_t)(int, int);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "flock"));
    static bool late = true;
    if ((operation & LOCK_NB) == 0 && late && enabled("ZELVO_SHIM_LATE_WAIT")) {
        late = false;
        wait_late();
    }
    if (!enabled("ZELVO_SHIM_FLOCK")) return real(fd, operation);
    mark();
    errno = ENOLCK;
    return -1;
}

extern "C" int setuid(uid_t uid) {
    typedef int (*real_t)(uid_t);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "setuid"));
    if (!enabled("ZELVO_SHIM_SETUID")) return real(uid);
    mark();
    errno = EPERM;
    return -1;
}

extern "C" ssize_t writev(int fd, const struct iovec* pieces, int count) {
    typedef ssize_t (*real_t)(int, const struct iovec*, int);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "writev"));
    static bool failed = false;
    if (failed || !enabled("ZELVO_SHIM_WRITEV_EAGAIN")) return real(fd, pieces, count);
    failed = true;
    mark();
    errno = EAGAIN;
    return -1;
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    typedef ssize_t (*real_t)(int, const void*, size_t);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "write"));
    static bool marked = false;
    if (size > 1 && enabled("ZELVO_SHIM_SHORT_WRITES")) {
        size = 1;
        if (!marked) {
            marked = true;  // before mark(), which writes too
            mark();
        }
    }
    return real(fd, data, size);
}
