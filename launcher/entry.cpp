#include "launcher/entry.hpp"

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "launcher/console.hpp"
#include "launcher/options.hpp"
#include "launcher/run_end.hpp"
#include "launcher/run_log.hpp"
#include "launcher/run_sequence.hpp"
#include "launcher/run_signals.hpp"
#include "launcher/settings_file.hpp"

#ifndef ZELVO_VERSION
#error "the build sets ZELVO_VERSION"
#endif

namespace {

void print_version() {
    print_line(std::string("zelvo-ivask for ") + "Linux" + ", version " + ZELVO_VERSION);
}

// Prints the end's line, sends the log line where logging is on, and ends
// as decided. Allocates nothing but the log line, which is lost where it
// cannot be made.
int act_on(const run_end& end, const run_options& options, const run_report& report) noexcept {
    if (end.line == run_end::failure_line) print_failure(end.why);
    if (end.line == run_end::deadline_line) {
        char why[64];
        deadline_text(end.deadline, why, sizeof why);
        print_failure(why);
    }
    if (end.line == run_end::start_failure_line)
        print_parts(start_failure_prefix(end.status), std::strerror(end.start_error));
    if (options.syslog.value != 0 && options.dry_run.value == 0) log_run(report, end);
    if (end.end_signal != 0) return run_signals::end_by_signal(end.end_signal);
    return end.status;
}

// A refused command line is a run too, whose line goes where the settings
// file says; the file's own failures are not this run's.
void learn_where_to_log(const program_paths& paths, run_options& options) noexcept {
    try {
        read_settings_file(paths.settings_file, options);
    } catch (const std::exception&) {  // kept as far as it was read
    }
}

}  // namespace

int run_program(int argc, char** argv, const program_paths& paths) {
    run_options options;
    run_report report;
    try {
        open_missing_standard_descriptors();
        run_signals::set_up_program();
        command_line command;
        try {
            command = read_command_line(argc, argv, options);
        } catch (const std::exception&) {
            learn_where_to_log(paths, options);
            throw;
        }
        switch (command.kind) {
        case command_line::version:
            print_version();
            return 0;
        case command_line::help:
            print_line(usage(paths));
            return 0;
        case command_line::lone_dry_run:  // the socket address is missing
            print_line(usage(paths));
            throw std::runtime_error("Wrong number of parameters");
        case command_line::run:
            break;
        }
        report.socket_given = true;
        report.socket_address = command.socket_address;
        // A run, not a dry run: a cancel that comes before the turn ends it
        // once its end is told.
        if (options.dry_run.value == 0) run_signals::catch_queued_cancels();
        report.phase = run_cause::settings;
        read_settings_file(paths.settings_file, options);
        if (options.dry_run.value != 0)
            return act_on(end_of_dry_run(dry_run(paths, command.socket_address, options)), options, report);
        const scan_outcome outcome = run_sequence(paths, command.socket_address, options, report);
        return act_on(end_of_scan(outcome, scan_limits_of(options)), options, report);
    } catch (const std::exception& e) {
        return act_on(end_of_failure(e, report.phase, run_signals::queued_cancel()), options, report);
    }
}
