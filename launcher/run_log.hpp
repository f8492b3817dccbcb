// One line per run to syslog(3) (daemon facility, "zelvo-ivask" with the
// process id), for the operator who cannot see the agent's side: the socket,
// the paths to scan and the actions that are not Report, as far as the run
// got, and how it ended. Sent once the end is known, escaped as the dry run
// escapes, so that no byte of a task can split or forge a line. Where there
// is no syslog socket the line is lost and the run goes on as ever.
#pragma once

#include <string>
#include <vector>

#include "launcher/run_end.hpp"

// What the run has learned for its line, filled as it goes.
struct run_report {
    std::string socket_address;
    bool translated = false;  // the task was read and translated
    std::vector<std::string> scan_paths;
    std::vector<std::string> actions;  // "InfectedFiles=Cure", ...
};

// How a run ended, in words: "the scanner exited with status 3", "the
// scanner was killed by signal 15", "signal 15 was passed on to the
// scanner" (and, where the run followed it, ", then " and how the scanner
// ended), the start failure's line, or the failure's line.
std::string describe_end(const run_end& end);

// "socket <address>[, paths <p> <p>, actions <a> <a>]: <describe_end()>".
std::string log_text(const run_report& report, const run_end& end);

// Sends log_text() at LOG_ERR for an end that is an error, else LOG_INFO.
// Never throws: the line is lost where it cannot be made or sent.
void log_run(const run_report& report, const run_end& end) noexcept;
