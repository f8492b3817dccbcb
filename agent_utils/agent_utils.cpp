#include "agent_utils/agent_utils.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
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

// A new file beside path, made by the C library under a name nobody can
// predict (drawn without waiting for entropy), open for writing and
// close-on-exec, with the mode a file created by name would have: 0644 less
// the umask. Its name is left in temporary. -1 on failure, leaving nothing.
int create_temporary(const std::string& path, std::string& temporary) {
    temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) return -1;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0644 & ~mask) != 0) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return -1;
    }
    return fd;
}

// Puts the file at temporary in path's place in one step, whatever another
// user placed at path: it is exchanged with the new file, so even a
// directory cannot keep the name, and is then removed by its new name,
// unless it is a directory with content, which is left there, beside path,
// and never entered. When nothing stands at path, the new file takes the
// name only while it is still free; whatever appears there meanwhile is
// exchanged in the next round. Where the file system cannot exchange, a
// plain rename replaces whatever is not a directory.
bool put_in_place(const std::string& temporary, const std::string& path) {
    const int rounds = 3;
    for (int round = 0; round < rounds; ++round) {
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
            if (::unlink(temporary.c_str()) != 0 && errno == EISDIR) ::rmdir(temporary.c_str());
            return true;
        }
        if (errno == ENOENT &&
            ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno == EINVAL || errno == ENOSYS) return ::rename(temporary.c_str(), path.c_str()) == 0;
        // EEXIST: something was placed at path since the exchange found none.
        if (errno != EEXIST) return false;
    }
    return false;
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

std::runtime_error write_failure(const std::string& path) {
    return std::runtime_error("Failed to write file " + path);
}

}  // namespace

bool read_all(int fd, std::string& out) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR && !(would_block(errno) && await_ready(fd, POLLIN))) {
            return false;
        }
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
    if (fd.get() < 0) throw read_error(path, errno);

    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0) throw read_error(path, errno);
    if (!S_ISREG(info.st_mode)) throw read_error(path, S_ISDIR(info.st_mode) ? EISDIR : 0);

    std::string content;
    if (!read_all(fd.get(), content)) throw read_error(path, errno);
    return content;
}

void write_file(const std::string& path, const std::string& content) {
    // Never open the name itself: a link planted there would be followed, and
    // a file someone else created there would stay theirs to rewrite.
    // From the creation of the temporary file until it is in place or removed
    // no signal may end the program, or the file would stay behind.
    const signals_held held;
    std::string temporary;
    fd_guard fd(create_temporary(path, temporary));
    if (fd.get() < 0) throw write_failure(path);
    const bool written = write_all(fd.get(), content.data(), content.size());
    if (!written || !fd.close() || !put_in_place(temporary, path)) {
        ::unlink(temporary.c_str());
        throw write_failure(path);
    }
}

bool may_replace(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
    struct stat folder_info = {}, standing = {};
    if (::lstat(path.c_str(), &standing) != 0) return errno == ENOENT;
    if (::stat(folder.c_str(), &folder_info) != 0) return false;
    const uid_t user = ::geteuid();
    return (folder_info.st_mode & S_ISVTX) == 0 || user == 0 || standing.st_uid == user || folder_info.st_uid == user;
}

void kill_quotes(std::string& text) {
    if (text.size() <= 2) return;
    const char first = text.front();
    if ((first != '"' && first != '\'') || text.back() != first) return;
    text = text.substr(1, text.size() - 2);
}

}  // namespace agent_utils
