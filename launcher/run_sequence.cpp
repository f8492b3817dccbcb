#include "launcher/run_sequence.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "launcher/console.hpp"
#include "launcher/fixed_paths.hpp"
#include "launcher/run_lock.hpp"
#include "launcher/scanner_launch.hpp"
#include "task/engine_settings.hpp"
#include "task/scan_settings.hpp"
#include "task/scanner_config.hpp"

std::string read_task_settings(int fd) {
    // A task cut short by a read error would run with what came before it.
    std::string text;
    if (!agent_utils::read_all(fd, text))
        throw std::runtime_error(std::string("Failed to read the task settings: ") + std::strerror(errno));
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    return text;
}

namespace {

// The engine settings, in the order they are looked up.
const struct {
    const char* key;
    std::string* destination;
    const char* fallback;
} engine_settings[] = {
    {"Scanner/VirusBase", &virus_base, "/var/zelvo/bases/*.vdb"},
    {"Scanner/TempPath", &temp_path, "/tmp"},
    {"Scanner/EnginePath", &engine_path, "/var/zelvo/lib/zelvo32.dll"},
    {"Scanner/MoveFilesTo", &move_files_to, "/var/zelvo/infected"},
};

void load_engine_settings() {
    std::set<ci_string> wanted;
    for (const auto& setting : engine_settings) wanted.insert(setting.key);
    config_t engine;
    // Every line is checked, only the four parameters are kept.
    engine.parse_ini_file(ZELVO_ENGINE_INI, wanted);
    // No logger: a missing or doubled parameter silently takes its default.
    for (const auto& setting : engine_settings) engine.get(setting.key, *setting.destination, setting.fallback, false);
}

}  // namespace

int run_sequence(const std::string& socket_address) {
    load_engine_settings();
    const std::string task_text = read_task_settings(STDIN_FILENO);
    // Held until the run ends; waited for while SIGINT and SIGTERM still end
    // the program, so the agent can cancel a queued task.
    const run_turn turn;
    install_signal_handlers();
    const scan_settings_t settings(task_text, print_line);
    agent_utils::write_file(ZELVO_SCANNER_CONFIG, render_scanner_config(settings));
    // Checked only now: the agent relies on the config being written anyway.
    if (socket_address.empty()) throw std::runtime_error("no socket available");
    return start_scanner_and_wait(socket_address, settings.scan_paths);
}
