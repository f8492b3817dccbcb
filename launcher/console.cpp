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

namespace {

bool is_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

}  // namespace

std::size_t c_escape(char c, char* out) noexcept {
    static const char hex[] = "0123456789abcdef";
    static const char named[] = "abtnvfr";  // \a (7) to \r (13)
    const auto byte = static_cast<unsigned char>(c);
    out[0] = '\\';
    if (c == '\\' || c == '"') {
        out[1] = c;
        return 2;
    }
    if (byte >= 7 && byte <= 13) {
        out[1] = named[byte - 7];
        return 2;
    }
    out[1] = 'x';
    out[2] = hex[byte >> 4];
    out[3] = hex[byte & 0xf];
    return 4;
}

std::string escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    char piece[4];
    for (const char c : text) {
        if (is_control(c) || c == '\\')
            out.append(piece, c_escape(c, piece));
        else
            out += c;
    }
    return out;
}

void print_line(const std::string& line) {
    const std::string text = line + "\n";
    agent_utils::write_all(STDOUT_FILENO, text.data(), text.size());
}

void print_notice(const std::string& line) {
    std::string shown;
    shown.reserve(line.size());
    char piece[4];
    for (const char c : line) {
        if (is_control(c))
            shown.append(piece, c_escape(c, piece));
        else
            shown += c;
    }
    print_line(shown);
}

void print_failure(const char* why) noexcept { print_parts(failure_prefix, why); }

void print_parts(const char* first, const char* second) noexcept {
    char buffer[4096];
    std::size_t used = 0;
    bool whole = true;  // the line fits in the buffer: one write
    const auto add = [&](const char* bytes, std::size_t n) {
        if (used + n > sizeof buffer) {
            agent_utils::write_all(STDOUT_FILENO, buffer, used);
            used = 0;
            whole = false;
        }
        std::memcpy(buffer + used, bytes, n);
        used += n;
    };
    char piece[4];
    for (const char* part : {first, second}) {
        for (; *part != '\0'; ++part) {
            if (is_control(*part))
                add(piece, c_escape(*part, piece));
            else
                add(part, 1);
        }
    }
    add("\n", 1);
    if (!whole) {
        agent_utils::write_all(STDOUT_FILENO, buffer, used);
        return;
    }
    iovec line = {buffer, used};
    ssize_t written = writev(STDOUT_FILENO, &line, 1);
    if (written < 0) written = 0;  // tried once more, to the end
    agent_utils::write_all(STDOUT_FILENO, buffer + written, used - static_cast<std::size_t>(written));
}
