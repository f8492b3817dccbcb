#include "launcher/run_sequence.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "config/ini_reader.hpp"
#include "launcher/console.hpp"
#include "launcher/fixed_paths.hpp"
#include "launcher/run_lock.hpp"
#include "launcher/scanner_launch.hpp"
#include "task/engine_settings.hpp"
#include "task/scan_settings.hpp"
#include "task/scanner_config.hpp"
#include "task/task_text.hpp"

namespace {

// A dry run's line is one line, whatever it shows: a control character and
// the backslash are written as C escapes ("\n", "\t", "\\", "\x1b").
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

// The dry run's own lines, for the person at the terminal: comments, so that
// they stand apart from what a run prints.
void print_shown(const std::string& text) { print_line(escaped(text)); }
void print_comment(const std::string& text) { print_shown("# " + text); }

// Why the engine's INI file could not be read: the run's line names only
// the file.
std::string why_unreadable(const char* path) {
    struct stat info = {};
    if (stat(path, &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    char byte;
    const ssize_t n = read(fd, &byte, 1);
    const int error = errno;
    close(fd);
    return n < 0 ? std::strerror(error) : "readable now";
}

// The engine settings, showing why the file could not be read (the system's
// reason) or parsed (the file, the line's number and its text): the run's
// line names neither.
void load_engine_settings_showing_why(const config_t::logger_t& logger) {
    try {
        load_engine_settings(ZELVO_ENGINE_INI, logger);
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        const std::string parse_error = "Parse error at line ";
        if (message == "Failed to read file " ZELVO_ENGINE_INI) {
            print_comment(ZELVO_ENGINE_INI ": " + why_unreadable(ZELVO_ENGINE_INI));
        } else if (message.compare(0, parse_error.size(), parse_error) == 0) {
            const std::size_t line = std::strtoul(message.c_str() + parse_error.size(), nullptr, 10);
            const std::string text = config_detail::ini_line(agent_utils::read_file(ZELVO_ENGINE_INI), line);
            print_comment(ZELVO_ENGINE_INI " line " + std::to_string(line) + ": " + text);
        }
        throw;
    }
}

// The translation, showing what it will not take as written, and for a value
// that does not convert, which key had it and what the key takes: the
// failure's own line names neither.
scan_settings_t translate_showing_why(const std::string& task_text, const scan_settings_t::notice_sink_t& notices,
                                      const scan_settings_t::notice_sink_t& ignored) {
    try {
        return scan_settings_t(task_text, notices, ignored);
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

// A strict run refuses the first thing it would not take as written, in the
// words a dry run shows it in; the failures of every run come first.
void refuse_doubts(const std::vector<std::string>& doubts) {
    if (!doubts.empty()) throw std::runtime_error(doubts.front());
}

int show_run(const std::string& socket_address, const run_options& options) {
    std::vector<std::string> doubts;
    const auto comment = [&doubts](const std::string& what) {
        doubts.push_back(what);
        print_comment(what);
    };
    const auto notice = [&doubts](const std::string& line) {
        doubts.push_back(line);
        print_shown(line);
    };
    load_engine_settings_showing_why(comment);
    const std::string task_text = read_task_settings(STDIN_FILENO);
    const scan_settings_t settings = translate_showing_why(task_text, notice, comment);
    const std::string config = render_scanner_config(settings);
    if (options.strict) refuse_doubts(doubts);
    check_socket_address(socket_address);
    print_comment(describe_turn());
    if (options.follow)
        print_comment("--follow: the run would wait for the scanner to end, also after a cancel, and end as it ended");
    const std::vector<std::string> args = scanner_arguments(socket_address, settings.scan_paths);
    std::string shown = "# the scanner config that would be written to " ZELVO_SCANNER_CONFIG "\n" + config +
                        "# the scanner that would be started, then its arguments from argv[0] on, one per line\n"
                        ZELVO_SCANNER;
    for (const std::string& arg : args) shown += "\n" + escaped(arg);
    print_line(shown);
    // The failures of the start that can be seen without starting.
    if (const int error = scanner_start_error(args)) {
        print_line(start_failure_line(2, error));
        return 2;
    }
    return 0;
}

}  // namespace

scan_outcome run_sequence(const std::string& socket_address, const run_options& options) {
    // Only a strict run notes what it would not take as written.
    std::vector<std::string> doubts;
    const scan_settings_t::notice_sink_t note = [&doubts](const std::string& what) { doubts.push_back(what); };
    // A run passes no logger: a default is taken silently.
    load_engine_settings(ZELVO_ENGINE_INI, options.strict ? note : config_t::logger_t());
    const std::string task_text = read_task_settings(STDIN_FILENO);
    // The whole task is checked before the turn is waited for: a queued task
    // that cannot run fails at once, not once the scan ahead of it has ended.
    const scan_settings_t settings(task_text, options.strict ? note : scan_settings_t::notice_sink_t(print_line),
                                   options.strict ? note : scan_settings_t::notice_sink_t());
    std::string config = render_scanner_config(settings);
    refuse_doubts(doubts);
    // Held until the run and its scanner have ended; waited for while SIGINT
    // and SIGTERM still act as the program was started with, so the agent can
    // cancel a queued task.
    run_turn turn(options.wait_seconds);
    install_signal_handlers();
    agent_utils::write_file(ZELVO_SCANNER_CONFIG, config);
    std::string().swap(config);  // not kept while the scanner runs
    check_socket_address(socket_address);
    return start_scanner_and_wait(socket_address, settings.scan_paths, turn, options.follow);
}

int dry_run(const std::string& socket_address, const run_options& options) {
    try {
        return show_run(socket_address, options);
    } catch (const std::exception& e) {
        // The run's failure line, escaped as every line of a dry run.
        const std::string shown = escaped(e.what());
        if (shown == e.what()) throw;
        throw std::runtime_error(shown);
    }
}
