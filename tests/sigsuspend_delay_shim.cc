// Preloaded into the program by a test: every sigsuspend() starts 300 ms
// late, so that a scanner that ends at once ends inside the gap between the
// program's last look at its flag and the suspension. Leaves a mark in the
// file named by ZELVO_SHIM_MARK to show it was used.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

extern "C" int sigsuspend(const sigset_t* mask) {
    typedef int (*real_t)(const sigset_t*);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "sigsuspend"));
    if (const char* mark = std::getenv("ZELVO_SHIM_MARK")) {
        const int fd = open(mark, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            const ssize_t ignored = write(fd, "x", 1);
            (void)ignored;
            close(fd);
        }
    }
    struct timespec delay = {0, 300000000};
    nanosleep(&delay, nullptr);
    return real(mask);
}
