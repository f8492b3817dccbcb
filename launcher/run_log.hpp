// One line per run to syslog(3) (daemon facility, "zelvo-ivask" with the
// process id), for the operator who cannot see the agent's side: the socket,
// the paths to scan and the actions that are not Report, as far as the run
// got, and how it ended. Sent once the end is known, escaped as the dry run
// escapes, so that no byte of a task can split or forge a line. Where there
// is no syslog socket the line is lost and the run goes on as ever.
#pragma once

#include <string>
#include <vector>

#include "launcher/scanner_launch.hpp"

// What the run has learned for its line, filled as it goes.
struct run_report {
    std::string socket_address;
    bool translated = false;             // the task was read and translated
    std::vector<std::string> scan_paths;
    std::vector<std::string> actions;    // "InfectedFiles=Cure", ...
};

// How a scan ended, in words: "the scanner exited with status 3", "the
// scanner was killed by signal 15", "signal 15 was passed on to the
// scanner", or the start failure's line.
std::string describe_outcome(const scan_outcome& outcome);

// Sends "socket <address>[, paths <p> <p>, actions <a> <a>]: <ending>" at
// LOG_ERR when failed, else LOG_INFO. Never throws: the line is lost where
// it cannot be made or sent.
void log_run(const run_report& report, bool failed, const std::string& ending) noexcept;
