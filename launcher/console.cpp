#include "launcher/console.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"

void open_missing_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower numbers are open by now, so this takes the number fd.
        // Without close-on-exec: the scanner inherits it.
        if (open("/dev/null", O_RDWR | O_NOCTTY) < 0)
            throw std::runtime_error(std::string("failed to open /dev/null: ") + std::strerror(errno));
    }
}

std::string escaped(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    static const char named[] = "abtnvfr";  // \a (7) to \r (13)
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f && c != '\\') {
            out += c;
            continue;
        }
        out += '\\';
        if (c == '\\')
            out += '\\';
        else if (byte >= 7 && byte <= 13)
            out += named[byte - 7];
        else
            out.append({'x', hex[byte >> 4], hex[byte & 0xf]});
    }
    return out;
}

void print_line(const std::string& line) {
    const std::string text = line + "\n";
    agent_utils::write_all(STDOUT_FILENO, text.data(), text.size());
}

void print_failure(const char* why) noexcept { print_parts(failure_prefix, why); }

void print_parts(const char* first, const char* second) noexcept {
    iovec pieces[] = {{const_cast<char*>(first), std::strlen(first)},
                      {const_cast<char*>(second), std::strlen(second)},
                      {const_cast<char*>("\n"), 1}};
    ssize_t written = writev(STDOUT_FILENO, pieces, 3);
    if (written < 0) written = 0;  // tried once more below, piece by piece
    for (const iovec& piece : pieces) {
        const std::size_t done = std::min(static_cast<std::size_t>(written), piece.iov_len);
        written -= static_cast<ssize_t>(done);
        agent_utils::write_all(STDOUT_FILENO, static_cast<const char*>(piece.iov_base) + done, piece.iov_len - done);
    }
}
