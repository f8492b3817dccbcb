#include "launcher/console.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
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

void print_line(const std::string& line) {
    const std::string text = line + "\n";
    agent_utils::write_all(STDOUT_FILENO, text.data(), text.size());
}
