#include "launcher/run_sequence.hpp"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "launcher/console.hpp"
#include "launcher/run_lock.hpp"
#include "launcher/run_signals.hpp"
#include "launcher/scanner_launch.hpp"
#include "task/engine_settings.hpp"
#include "task/scan_settings.hpp"
#include "task/scanner_config.hpp"
#include "task/task_text.hpp"

namespace {

// The dry run's own lines, for the person at the terminal: comments, so that
// they stand apart from what a run prints.
void print_shown(const std::string& text) { print_line(escaped(text)); }
void print_comment(const std::string& text) { print_shown("# " + text); }

// What failed, as the dry run shows it and a strict run says it, where the
// run's own line names less: a value that does not convert, with its key
// and what the key takes; the engine's INI file that cannot be read, with
// the system's reason, or parsed, with the line's number and text. Empty for
// any other failure.
std::string why_failed(const std::exception& failure) {
    if (const auto* bad = dynamic_cast<const scan_settings_t::bad_value*>(&failure))
        return bad->key() + " \"" + bad->value() + "\": " + bad->takes();
    if (const auto* ini = dynamic_cast<const config_t::ini_error*>(&failure)) {
        if (ini->line() > 0) return ini->path() + " line " + std::to_string(ini->line()) + ": " + ini->line_text();
        return ini->path() + ": " + (ini->error_number() != 0 ? std::strerror(ini->error_number()) : "not a regular file");
    }
    return std::string();
}

// Checked only after the config is rendered (and, in a run, written): the
// agent relies on the config being written anyway.
void check_socket_address(const std::string& socket_address) {
    if (socket_address.empty()) throw std::runtime_error("no socket available");
}

// What a strict run doubts, and what it came from (none where nobody asks).
struct doubt {
    run_cause cause;
    std::string text;
};

// A strict run refuses the first thing it would not take as written, in the
// words a dry run shows it in; the failures of every run come first. phase
// becomes what the refused thing came from: the run's failure's cause.
void refuse_doubts(const std::vector<doubt>& doubts, run_cause& phase) {
    if (doubts.empty()) return;
    phase = doubts.front().cause;
    throw std::runtime_error(doubts.front().text);
}

int show_run(const program_paths& paths, const std::string& socket_address, const run_options& options) {
    for (const std::string& line : describe_settings(options)) print_comment(line);
    std::vector<doubt> doubts;
    const auto comment = [&doubts](const std::string& what) {
        doubts.push_back({run_cause::none, what});
        print_comment(what);
    };
    const auto notice = [&doubts](const std::string& line) {
        doubts.push_back({run_cause::none, line});
        print_shown(line);
    };
    load_engine_settings(paths.engine_ini, comment);
    const std::string task_text = read_task_settings(STDIN_FILENO, comment);
    const scan_settings_t settings(task_text, notice, comment);
    const std::string config = render_scanner_config(settings);
    const turn_description turn = describe_turn(paths.run_dir);
    // Strict refuses a run without turns, so it is told with the doubts.
    const bool strict = options.strict.value != 0;
    const bool turn_is_a_doubt = strict && !turn.runs_take_turns;
    if (turn_is_a_doubt) comment(turn.text);
    run_cause refused_from = run_cause::none;  // a dry run logs nothing
    if (strict) refuse_doubts(doubts, refused_from);
    if (!agent_utils::may_replace(paths.scanner_config))
        throw std::runtime_error(std::string("Failed to write file ") + paths.scanner_config);
    check_socket_address(socket_address);
    if (!turn_is_a_doubt) print_comment(turn.text);
    if (options.follow.value != 0)
        print_comment("--follow: the run would wait for the scanner to end, also after a cancel, and end as it ended");
    const std::vector<std::string> args = scanner_arguments(paths.scanner_config, socket_address, settings.scan_paths);
    std::string shown = std::string("# the scanner config that would be written to ") + paths.scanner_config + "\n" +
                        config + "# the scanner that would be started, then its arguments from argv[0] on, one per line\n" +
                        paths.scanner;
    for (const std::string& arg : args) shown += "\n" + escaped(arg);
    print_line(shown);
    // The failures of the start that can be seen without starting; the
    // entry point prints the line.
    return scanner_start_error(paths.scanner, args);
}

scan_outcome run(const program_paths& paths, const std::string& socket_address, const run_options& options,
                 run_report& report) {
    // Only a strict run notes what it would not take as written.
    const bool strict = options.strict.value != 0;
    std::vector<doubt> doubts;
    const auto noting = [&doubts](run_cause cause) -> scan_settings_t::notice_sink_t {
        return [&doubts, cause](const std::string& what) { doubts.push_back({cause, what}); };
    };
    run_signals::end_if_cancelled();
    // A run passes no logger: a default is taken silently.
    report.phase = run_cause::engine_ini;
    load_engine_settings(paths.engine_ini, strict ? noting(run_cause::engine_ini) : config_t::logger_t());
    report.phase = run_cause::task;
    run_signals::wait_on(STDIN_FILENO);
    run_signals::end_if_cancelled();
    const scan_settings_t::notice_sink_t note = strict ? noting(run_cause::task) : scan_settings_t::notice_sink_t();
    const std::string task_text = read_task_settings(STDIN_FILENO, note);
    run_signals::wait_on(-1);
    run_signals::end_if_cancelled();
    // The whole task is checked before the turn is waited for: a queued task
    // that cannot run fails at once, not once the scan ahead of it has ended.
    const scan_settings_t settings(task_text, strict ? note : scan_settings_t::notice_sink_t(print_notice), note);
    std::string config = render_scanner_config(settings);
    report.translated = true;
    report.scan_paths = settings.scan_paths;
    for (const auto& action : scanner_actions(settings))
        if (action.second != scan_settings_t::action_report)
            report.actions.push_back(std::string(action.first) + "=" + scan_settings_t::action_word(action.second));
    refuse_doubts(doubts, report.phase);
    // Held until the run and its scanner have ended; waited for while SIGINT
    // and SIGTERM still act as the program was started with, so the agent can
    // cancel a queued task.
    report.phase = run_cause::lock;
    report.turn_asked = std::chrono::steady_clock::now();
    run_turn turn(paths.run_dir, options.wait.value, strict);
    report.turn_had = std::chrono::steady_clock::now();
    const scan_limits limits = scan_limits_of(options);
    report.phase = run_cause::start;
    run_signals::install_handlers(limits.follow);
    report.phase = run_cause::config;
    agent_utils::write_file(paths.scanner_config, config);
    std::string().swap(config);  // not kept while the scanner runs
    report.phase = run_cause::arguments;
    check_socket_address(socket_address);
    report.phase = run_cause::start;
    const scan_outcome outcome = start_scanner_and_wait(
        paths.scanner, scanner_arguments(paths.scanner_config, socket_address, settings.scan_paths), turn, limits);
    if (outcome.start_status == 0) report.scanner = outcome.scanner;
    return outcome;
}

}  // namespace

scan_limits scan_limits_of(const run_options& options) {
    scan_limits limits;
    limits.follow = options.follows_scanner();
    limits.timeout = options.timeout.value;
    limits.kill_after = options.kill_after.value;
    return limits;
}

scan_outcome run_sequence(const program_paths& paths, const std::string& socket_address, const run_options& options,
                          run_report& report) {
    if (options.strict.value == 0) return run(paths, socket_address, options, report);
    try {
        return run(paths, socket_address, options, report);
    } catch (const std::exception& e) {
        const std::string why = why_failed(e);
        if (why.empty()) throw;
        throw std::runtime_error(why);
    }
}

int dry_run(const program_paths& paths, const std::string& socket_address, const run_options& options) {
    try {
        return show_run(paths, socket_address, options);
    } catch (const std::exception& e) {
        const std::string why = why_failed(e);
        if (!why.empty()) print_comment(why);
        // The run's failure line (a strict one's says why), escaped as every
        // line of a dry run.
        const std::string line = options.strict.value != 0 && !why.empty() ? why : e.what();
        const std::string shown = escaped(line);
        if (shown == e.what()) throw;
        throw std::runtime_error(shown);
    }
}
