#include "launcher/console.hpp"

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"

void print_line(const std::string& line) {
    const std::string text = line + "\n";
    agent_utils::write_all(STDOUT_FILENO, text.data(), text.size());
}
