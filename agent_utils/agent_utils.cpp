#include "agent_utils/agent_utils.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agent_utils {

namespace {

// Closes the descriptor on every way out.
class fd_guard {
public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard() {
        if (fd_ >= 0) ::close(fd_);
    }
    fd_guard(const fd_guard&) = delete;
    fd_guard& operator=(const fd_guard&) = delete;
    int get() const { return fd_; }
    // Closes now and tells whether the close (the last chance for the kernel
    // to report a failed write) succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// A name beside path that nobody can predict: path, ".", 16 hex digits.
std::string temporary_name(const std::string& path) {
    unsigned long long random = 0;
    if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // No entropy to be had: fall back on the clock; O_EXCL still keeps
        // the open safe, a clash only costs another try.
        struct timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        random = static_cast<unsigned long long>(now.tv_nsec) ^ (static_cast<unsigned long long>(getpid()) << 32);
    }
    char suffix[sizeof ".0123456789abcdef"];
    const int length = std::snprintf(suffix, sizeof suffix, ".%016llx", random);
    return path + std::string(suffix, static_cast<std::size_t>(length));
}

// Holds back every signal that can be held back for its lifetime; the ones
// that arrive meanwhile take effect when it ends.
class signals_held {
public:
    signals_held() {
        sigset_t all;
        sigfillset(&all);
        held_ = sigprocmask(SIG_BLOCK, &all, &previous_) == 0;
    }
    ~signals_held() {
        if (held_) sigprocmask(SIG_SETMASK, &previous_, nullptr);
    }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t previous_;
    bool held_;
};

// A descriptor opened without O_NONBLOCK by someone else may still be
// non-blocking: wait until it is ready instead of taking EAGAIN for an end.
bool await_ready(int fd, short events) {
    pollfd p = {fd, events, 0};
    int n;
    do {
        n = ::poll(&p, 1, -1);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

std::runtime_error read_failure(const std::string& path) {
    return std::runtime_error("Failed to read file " + path);
}
std::runtime_error write_failure(const std::string& path) {
    return std::runtime_error("Failed to write file " + path);
}

}  // namespace

bool read_all(int fd, std::string& out) {
    // Data goes straight into the string's spare room where it has some (a
    // file's size reserved ahead, or the room a growing string leaves), and
    // through one page of stack otherwise: a larger buffer on the stack
    // costs a page fault for every page of it on each run, which for a
    // small task is most of the read's cost.
    char buffer[4096];
    for (;;) {
        const std::size_t used = out.size();
        const std::size_t room = out.capacity() - used;
        ssize_t n;
        if (room >= sizeof buffer) {
            out.resize(out.capacity());
            n = ::read(fd, &out[used], room);
            out.resize(used + (n > 0 ? static_cast<std::size_t>(n) : 0));
        } else {
            n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
        }
        if (n == 0) return true;
        if (n < 0 && !(errno == EINTR || (would_block(errno) && await_ready(fd, POLLIN)))) return false;
    }
}

bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR || (would_block(errno) && await_ready(fd, POLLOUT))) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string read_file(const std::string& path) {
    // Opening a FIFO would wait for a writer, and a device never ends:
    // only a regular file is read, and nothing opened can block or become
    // the controlling terminal.
    fd_guard fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) throw read_failure(path);

    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) throw read_failure(path);

    std::string content;
    if (info.st_size > 0) content.reserve(static_cast<std::size_t>(info.st_size));
    if (!read_all(fd.get(), content)) throw read_failure(path);
    return content;
}

void write_file(const std::string& path, const std::string& content) {

    // Never open the name itself: a link planted there would be followed, and
    // a file someone else created there would stay theirs to rewrite.
    // From the creation of the temporary file until it is renamed or removed
    // no signal may end the program, or the file would stay behind.
    const signals_held held;
    std::string temporary;
    int raw_fd = -1;
    for (int attempt = 0; attempt < 100 && raw_fd < 0; ++attempt) {
        temporary = temporary_name(path);
        raw_fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (raw_fd < 0 && errno != EEXIST) throw write_failure(path);
    }
    if (raw_fd < 0) throw write_failure(path);

    fd_guard fd(raw_fd);
    const bool written = write_all(fd.get(), content.data(), content.size());
    if (!written || !fd.close() || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw write_failure(path);
    }
}

void kill_quotes(std::string& text) {
    if (text.size() <= 2) return;
    const char first = text.front();
    if ((first != '"' && first != '\'') || text.back() != first) return;
    text = text.substr(1, text.size() - 2);
}

}  // namespace agent_utils
