// Preloaded into the program by the process tests to reach moments that
// chance alone almost never hits:
//   ZELVO_SHIM_DELAY_SUSPEND=1  every sigsuspend() starts 300 ms late, so that
//       a scanner that ends at once ends inside the gap between the
//       program's last look at its flag and the suspension;
//   ZELVO_SHIM_SIGNAL_EARLY=1   pipe2(), which the program calls just before
//       it starts the scanner, first raises SIGINT and SIGTERM: signals that
//       come before the scanner exists.
//   ZELVO_SHIM_SIGNAL_IN_WRITE=N  rename(), which puts the written config in
//       place, first raises signal N: a signal while the temporary file
//       exists.
// Each use leaves an "x" in the file named by ZELVO_SHIM_MARK.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

bool enabled(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void mark() {
    if (const char* path = std::getenv("ZELVO_SHIM_MARK")) {
        const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            const ssize_t ignored = write(fd, "x", 1);
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
    return real(mask);
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

extern "C" int rename(const char* from, const char* to) {
    typedef int (*real_t)(const char*, const char*);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "rename"));
    if (const char* signal_number = std::getenv("ZELVO_SHIM_SIGNAL_IN_WRITE")) {
        mark();
        raise(std::atoi(signal_number));
    }
    return real(from, to);
}
