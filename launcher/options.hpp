// What a run is asked to do besides its scan: by the command line, or, for
// the agent's call that carries nothing but the socket address, by the
// operator in the settings file (see settings_file.hpp).
//
// Every option is one row of a single table (options.cpp): its spellings,
// its settings-file key, its kind (a switch, or seconds), its help line and
// the field it sets. Reading the command line, reading the settings file,
// the usage and the dry run's setting lines all come from that table, so a
// new option is one row there plus what it does.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "launcher/program_paths.hpp"

struct run_options {
    enum origin_t { built_in, settings_file, command_line };

    // One option's value and where it came from: a switch holds 1 or 0,
    // seconds a whole number or none (-1).
    struct setting {
        int value;
        origin_t from;
    };

    setting dry_run = {0, built_in};
    // Refuse what a run would otherwise not take as written (what a dry run
    // comments on, and the lines about dropped paths), before the turn.
    setting strict = {0, built_in};
    // Wait for the scanner to end, also after a cancel was passed on, and
    // end as it ended (see run_end.hpp).
    setting follow = {0, built_in};
    // Send one line per run to syslog (see run_log.hpp).
    setting syslog = {0, built_in};
    // How long to wait for the turn; none: as long as it takes.
    setting wait = {-1, built_in};
    // How long the scan may run before it gets SIGTERM (the deadline).
    setting timeout = {-1, built_in};
    // How long after a cancel or the deadline the scan gets SIGKILL.
    setting kill_after = {-1, built_in};

    // Whether the run stands for its whole scan (see scanner_launch.hpp):
    // with --follow, and with a deadline or a kill, which need the run to
    // wait for the scan's end.
    bool follows_scanner() const { return follow.value != 0 || timeout.value >= 0 || kill_after.value >= 0; }

    // The settings file that was read, if there was one.
    std::string settings_path;
};

struct option_spec {
    enum kind_t { switch_kind, seconds_kind };

    const char* short_name;  // "-w", or null
    const char* long_name;   // "--wait"
    const char* key;         // its key in the settings file, or null: the command line only
    kind_t kind;
    const char* help;  // what it does, for the usage
    run_options::setting run_options::*field;

    // "--no-strict": a switch that the settings file may set can be turned
    // off for one run. Empty for any other option.
    std::string negation() const;
};

// Every option, in the order the usage and the dry run give them.
struct option_rows {
    const option_spec* first;
    const option_spec* last;
    const option_spec* begin() const { return first; }
    const option_spec* end() const { return last; }
};
option_rows all_options();

// What the command line asks for.
struct command_line {
    enum kind_t {
        run,            // a run (or a dry run) for socket_address
        version,        // -V, -v, --version
        help,           // -h, --help
        lone_dry_run,   // -n or --dry-run without a socket address: the usage, then refused
    };
    kind_t kind = run;
    std::string socket_address;
};

// Reads argv: a single argument is always the socket address unless it is a
// version, help or dry-run switch, so the agent's call never reads as an
// option; more arguments are options, then the socket address. Each option
// sets its field of options, from the command line. Throws "Wrong number of
// parameters" for anything else before the socket address, and "--wait
// takes a whole number of seconds, not "<value>"" for such a value.
command_line read_command_line(int argc, char** argv, run_options& options);

// Whole seconds, at most nine digits, or (where none is true) "none", which
// gives -1. Throws keyed_error "<what> takes a whole number of seconds, not
// "<value>"", with what as its key.
int whole_seconds(const std::string& value, const std::string& what, bool none = false);

// Sets the option's field from a value the settings file gives it ("yes" or
// "no" for a switch, seconds or "none"), unless the command line has set it.
// Throws keyed_error "<path>: <key> takes yes or no, not "<value>"" or the
// seconds' failure, named "<path>: <key>".
void apply_setting(const option_spec& option, const std::string& value, const std::string& path,
                   run_options& options);

// For the person at the terminal: the synopsis, each option with its key,
// the paths the program reads, writes and starts, and where to read on.
std::string usage(const program_paths& paths);

// For the dry run: each setting in effect and where it came from, one line
// each ("setting Strict = yes, from /etc/zelvo/zelvo-ivask.conf", "setting
// Wait = 30, from the command line", "setting Follow = no, built in"); none
// where there is no settings file and the scan is not to be ended by force
// (Timeout and KillAfter built in).
std::vector<std::string> describe_settings(const run_options& options);
