#include "task/task_text.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "agent_utils/agent_utils.hpp"

std::string join_task_lines(const std::string& input, const scan_settings_t::notice_sink_t& told) {
    std::string joined;
    joined.reserve(input.size());
    // The tokens as the translation splits them (a space outside double
    // quotes ends one), kept only for told.
    std::vector<std::string> tokens(1);
    std::vector<std::size_t> joined_tokens;  // indexes of the tokens that lost a line end
    bool quoted = false;
    for (std::string::size_type i = 0; i < input.size(); ++i) {
        const char c = input[i];
        const bool line_end = c == '\n' || (c == '\r' && i + 1 < input.size() && input[i + 1] == '\n');
        if (line_end) {
            if (c == '\n' && quoted && told && (joined_tokens.empty() || joined_tokens.back() != tokens.size() - 1))
                joined_tokens.push_back(tokens.size() - 1);
            continue;
        }
        joined.push_back(c);
        if (c == '"') quoted = !quoted;
        if (!told) continue;
        if (c == ' ' && !quoted)
            tokens.emplace_back();
        else if (c != '"')
            tokens.back() += c;
    }
    for (const std::size_t index : joined_tokens) {
        const std::string& key = tokens[index - index % 2];
        told(std::string("a line end inside double quotes was removed from ") +
             (index % 2 == 1 ? "the value of " : "the key ") + key);
    }
    return joined;
}

std::string read_task_settings(int fd, const scan_settings_t::notice_sink_t& told) {
    std::string input;
    if (!agent_utils::read_all(fd, input))
        throw std::runtime_error(std::string("Failed to read the task settings: ") + std::strerror(errno));
    return join_task_lines(input, told);
}
