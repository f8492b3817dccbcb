// What a run is asked to do besides its scan: by the command line, or, for
// the agent's call that carries nothing but the socket address, by the
// operator in the program's own settings file, an INI file:
//
//   [Run]
//   Strict = yes      refuse what the run would not take as written
//   Follow = yes      wait for the scanner and end as it ended
//   Wait = 30         give up waiting for the turn after 30 s
//   Syslog = yes      one line per run to syslog
//
// An option on the command line wins over the file. No file: the built-in
// values. A file that cannot be trusted or read fails the run: an operator's
// setting is never silently dropped, and no other user can set one.
#pragma once

#include <string>
#include <vector>

struct run_options {
    enum origin_t { built_in, settings_file, command_line };

    int wait_seconds = -1;  // how long to wait for the turn; negative: as long as it takes
    // Refuse what a run would otherwise not take as written (what a dry run
    // comments on, and the lines about dropped paths), before the turn.
    bool strict = false;
    // Wait for the scanner to end, also after a cancel was passed on, and
    // end as it ended (see exit_status() in main.cpp).
    bool follow = false;
    // Send one line per run to syslog (see run_log.hpp).
    bool syslog = false;
    origin_t wait_from = built_in, strict_from = built_in, follow_from = built_in, syslog_from = built_in;
    // The settings file that was read, if there was one.
    std::string settings_path;
};

// Whole seconds, at most nine digits, for -w or Wait (named by what).
// Throws "<what> takes a whole number of seconds, not "<value>"".
int whole_seconds(const std::string& value, const std::string& what);

// Reads the settings file at path, if there is one, into each setting of
// options that the command line left as built in. Throws "<path>: <why>"
// where the file is not a regular file owned by root or by the effective
// user and writable by nobody else, cannot be read or parsed, or holds a
// section or key it does not know, a key twice or a value its key does not
// take.
void read_settings_file(const std::string& path, run_options& options);

// For the dry run: each setting in effect and where it came from, one line
// each ("setting Strict = yes, from /etc/zelvo/zelvo-ivask.conf", "setting
// Wait = 30, from the command line", "setting Follow = no, built in"); none
// where there is no settings file.
std::vector<std::string> describe_settings(const run_options& options);
