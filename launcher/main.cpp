// zelvo-ivask: runs one scan task for the management agent.
//
//   zelvo-ivask SOCKET     task settings on standard input
//   zelvo-ivask [-n | --dry-run] [--strict] [-w | --wait SECONDS] [--follow] [--syslog] SOCKET
//   zelvo-ivask -V | -v | --version
//   zelvo-ivask -h | --help
//
// A single argument is always the socket address unless it is a version or
// help switch: the agent's call never reads as an option. Every run and dry
// run reads the operator's settings file first (see run_settings.hpp).
// Every failure of the program's own ends here: one line "Enterprise scan
// failed: <why>", status 255, except a run that gave up waiting for its
// turn: that one is worth trying again later, status 75 (EX_TEMPFAIL). How a
// run that started its scanner ends is exit_status().

#include <exception>
#include <stdexcept>
#include <string>

#include <sysexits.h>

#include "launcher/console.hpp"
#include "launcher/fixed_paths.hpp"
#include "launcher/run_lock.hpp"
#include "launcher/run_log.hpp"
#include "launcher/run_settings.hpp"
#include "launcher/run_sequence.hpp"
#include "launcher/scanner_launch.hpp"

#ifndef ZELVO_VERSION
#error "the build sets ZELVO_VERSION"
#endif

namespace {

bool is_version_switch(const std::string& arg) { return arg == "-v" || arg == "--version" || arg == "-V"; }

bool is_help_switch(const std::string& arg) { return arg == "-h" || arg == "--help"; }

bool is_dry_run_switch(const std::string& arg) { return arg == "-n" || arg == "--dry-run"; }

bool is_wait_switch(const std::string& arg) { return arg == "-w" || arg == "--wait"; }

// How a run ends once it has tried to start its scanner. A scanner that could
// not be started gives its child's status, 1 or 2, after its line. Otherwise
// the agent's run ends 0, whatever the scanner did or whether it still runs
// after a cancel; a run that follows its scanner ends as the scanner ended:
// with its exit status, or by the signal that killed it.
int exit_status(const scan_outcome& outcome, bool follow) {
    switch (outcome.kind) {
    case scan_outcome::not_started:
        return outcome.value;
    case scan_outcome::exited:
        return follow ? outcome.value : 0;
    case scan_outcome::killed:
        return follow ? end_by_signal(outcome.value) : 0;
    case scan_outcome::passed_on:
        break;
    }
    return 0;
}

// Reads the options before the socket address. Throws "Wrong number of
// parameters" for anything else there.
void read_options(int argc, char** argv, run_options& options, bool& dry) {
    for (int i = 1; i < argc - 1; ++i) {
        const std::string arg = argv[i];
        if (is_dry_run_switch(arg)) {
            dry = true;
        } else if (arg == "--strict") {
            options.strict = true;
            options.strict_from = run_options::command_line;
        } else if (arg == "--follow") {
            options.follow = true;
            options.follow_from = run_options::command_line;
        } else if (arg == "--syslog") {
            options.syslog = true;
            options.syslog_from = run_options::command_line;
        } else if (is_wait_switch(arg) && i + 1 < argc - 1) {
            options.wait_seconds = whole_seconds(argv[++i], "--wait");
            options.wait_from = run_options::command_line;
        } else {
            throw std::runtime_error("Wrong number of parameters");
        }
    }
}

// For the person at the terminal; the agent never asks for it.
void print_usage() {
    print_line(
        "Usage: zelvo-ivask SOCKET < TASK\n"
        "       zelvo-ivask [-n | --dry-run] [--strict] [-w | --wait SECONDS] [--follow] [--syslog]\n"
        "                   SOCKET < TASK\n"
        "       zelvo-ivask -V | -v | --version\n"
        "       zelvo-ivask -h | --help\n"
        "\n"
        "Runs one scan task for the management agent: SOCKET is the agent's socket\n"
        "address, standard input holds the task (IvaskPaths /home,/srv InfectedFiles 1).\n"
        "\n"
        "  -n, --dry-run         show what the run would do, and do nothing\n"
        "  --strict              refuse what the run would not take as written\n"
        "  -w, --wait SECONDS    give up if the run's turn has not come by then\n"
        "  --follow              wait for the scanner to end and end as it ended\n"
        "  --syslog              log one line per run to syslog\n"
        "\n"
        "Reads    " ZELVO_SETTINGS_FILE " (what an option sets, for every run)\n"
        "Reads    " ZELVO_ENGINE_INI " (the engine's paths)\n"
        "Writes   " ZELVO_SCANNER_CONFIG " (the scanner config)\n"
        "Starts   " ZELVO_SCANNER " (the console scanner)\n"
        "\n"
        "See zelvo-ivask(1) for the task keys, output, signals and exit statuses.");
}

void print_version() {
    print_line(std::string("zelvo-ivask for ") + "Linux" + ", version " + ZELVO_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
    child_pid = 0;
    child_done = 0;
    run_options options;
    bool dry = false;
    run_report report;
    try {
        open_missing_standard_descriptors();
        ignore_write_signals();
        unblock_relayed_signals();
        if (argc > 2) {  // options, then the socket address
            read_options(argc, argv, options, dry);
        } else if (argc != 2) {
            throw std::runtime_error("Wrong number of parameters");
        } else if (is_version_switch(argv[1])) {
            print_version();
            return 0;
        } else if (is_help_switch(argv[1])) {
            print_usage();
            return 0;
        } else if (is_dry_run_switch(argv[1])) {  // the socket address is missing
            print_usage();
            throw std::runtime_error("Wrong number of parameters");
        }
        report.socket_address = argv[argc - 1];
        read_settings_file(ZELVO_SETTINGS_FILE, options);
        if (dry) return dry_run(report.socket_address, options);
        const scan_outcome outcome = run_sequence(report.socket_address, options, report);
        if (options.syslog) log_run(report, outcome.kind == scan_outcome::not_started, describe_outcome(outcome));
        return exit_status(outcome, options.follow);
    } catch (const std::exception& e) {
        print_failure(e.what());
        if (options.syslog && !dry) log_run(report, true, failure_prefix + std::string(e.what()));
        return dynamic_cast<const turn_still_held*>(&e) != nullptr ? EX_TEMPFAIL : -1;
    }
}
