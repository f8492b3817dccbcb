#include "task/task_text.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "agent_utils/agent_utils.hpp"

std::string join_task_lines(const std::string& input) {
    std::string joined;
    joined.reserve(input.size());
    for (std::string::size_type i = 0; i < input.size(); ++i) {
        const bool line_end =
            input[i] == '\n' || (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n');
        if (!line_end) joined.push_back(input[i]);
    }
    return joined;
}

std::string read_task_settings(int fd) {
    std::string input;
    if (!agent_utils::read_all(fd, input))
        throw std::runtime_error(std::string("Failed to read the task settings: ") + std::strerror(errno));
    return join_task_lines(input);
}
