#include "launcher/run_sequence.hpp"

#include <cerrno>
#include <cstring>
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
    // A line end is a line feed, with the carriage return before it if there
    // is one; a carriage return elsewhere stays.
    std::string joined;
    joined.reserve(text.size());
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        const bool line_end = text[i] == '\n' || (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
        if (!line_end) joined.push_back(text[i]);
    }
    return joined;
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

// A run passes no logger: a missing or doubled parameter silently takes its
// default. The dry run's logger shows each default and why it was taken.
void load_engine_settings(const config_t::logger_t& logger = config_t::logger_t()) {
    config_t engine;
    engine.set_logger(logger);
    engine.parse_ini_file(ZELVO_ENGINE_INI);
    for (const auto& setting : engine_settings) engine.get(setting.key, *setting.destination, setting.fallback, false);
}

// The dry run's own lines, for the person at the terminal: comments, so that
// they stand apart from what a run prints.
void print_comment(const std::string& text) { print_line("# " + text); }

// The translation, showing what it will not use, and for a value that does
// not convert, which key had it and what the key takes: the failure's own
// line names neither.
scan_settings_t translate_showing_why(const std::string& task_text) {
    try {
        return scan_settings_t(task_text, print_line, print_comment);
    } catch (const scan_settings_t::bad_value& e) {
        print_comment(e.key() + " \"" + e.value() + "\": " + e.takes());
        throw;
    }
}

// Checked only after the config is rendered (and, in a run, written): the
// agent relies on the config being written anyway.
void check_socket_address(const std::string& socket_address) {
    if (socket_address.empty()) throw std::runtime_error("no socket available");
}

}  // namespace

int run_sequence(const std::string& socket_address, const run_options& options) {
    load_engine_settings();
    const std::string task_text = read_task_settings(STDIN_FILENO);
    // The whole task is checked before the turn is waited for: a queued task
    // that cannot run fails at once, not once the scan ahead of it has ended.
    const scan_settings_t settings(task_text, print_line);
    std::string config = render_scanner_config(settings);
    // Held until the run and its scanner have ended; waited for while SIGINT
    // and SIGTERM still act as the program was started with, so the agent can
    // cancel a queued task.
    const run_turn turn(options.wait_seconds);
    install_signal_handlers();
    agent_utils::write_file(ZELVO_SCANNER_CONFIG, config);
    std::string().swap(config);  // not kept while the scanner runs
    check_socket_address(socket_address);
    return start_scanner_and_wait(socket_address, settings.scan_paths, turn);
}

int dry_run(const std::string& socket_address) {
    load_engine_settings(print_comment);
    const std::string task_text = read_task_settings(STDIN_FILENO);
    const scan_settings_t settings = translate_showing_why(task_text);
    const std::string config = render_scanner_config(settings);
    check_socket_address(socket_address);
    print_comment(describe_turn());
    std::string shown = "# the scanner config that would be written to " ZELVO_SCANNER_CONFIG "\n" + config +
                        "# the scanner that would be started, then its arguments from argv[0] on, one per line\n"
                        ZELVO_SCANNER;
    for (const std::string& arg : scanner_arguments(socket_address, settings.scan_paths)) shown += "\n" + arg;
    print_line(shown);
    // The one failure of the start that can be seen without starting.
    if (const int error = scanner_start_error()) {
        print_line(start_failure_line(2, error));
        return 2;
    }
    return 0;
}
