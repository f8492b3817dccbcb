// Preloaded into the program by the process tests to reach moments that
// chance alone almost never hits:
//   ZELVO_SHIM_DELAY_SUSPEND=1  every sigsuspend() starts 300 ms late, so that
//       a scanner that ends at once ends inside the gap between the
//       program's last look at its flag and the suspension;
//   ZELVO_SHIM_SIGNAL_EARLY=1   pipe2(), which the program calls just before
//       it starts the scanner, first raises SIGINT and SIGTERM: signals that
//       come before the scanner exists.
//   ZELVO_SHIM_SIGNAL_IN_WRITE=N  rename() of the written config into
//       place first raises signal N: a signal while the temporary file
//       exists.
//   ZELVO_SHIM_RANDOM=a5|fail  getrandom() fills its buffer with 0xa5 bytes,
//       or fails with ENOSYS; the config's rename() then adds the name of
//       the temporary file to the mark file.
// Each use leaves an "x" in the file named by ZELVO_SHIM_MARK.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
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
    // Only the program's config write: the scanner stand-in, which inherits
    // the shim, renames files of its own.
    const std::string target = to;
    const std::string config_name = "/.ivask_config";
    if (target.size() < config_name.size() || target.compare(target.size() - config_name.size(), config_name.size(), config_name) != 0)
        return real(from, to);
    if (const char* signal_number = std::getenv("ZELVO_SHIM_SIGNAL_IN_WRITE")) {
        mark();
        raise(std::atoi(signal_number));
    }
    if (std::getenv("ZELVO_SHIM_RANDOM")) mark(std::string(from) + "\n");
    return real(from, to);
}

extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    typedef ssize_t (*real_t)(void*, size_t, unsigned int);
    static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "getrandom"));
    const char* setting = std::getenv("ZELVO_SHIM_RANDOM");
    if (setting == nullptr) return real(buffer, length, flags);
    if (std::strcmp(setting, "fail") == 0) {
        errno = ENOSYS;
        return -1;
    }
    std::memset(buffer, 0xa5, length);
    return static_cast<ssize_t>(length);
}
