// One line per run to syslog (daemon facility, tagged "zelvo-ivask" with the
// process id), for the operator who cannot see the agent's side. The line
// is fields a machine reads, outcome first, as logfmt writes them:
//
//   outcome=scanned status=0 scanner_status=0 duration_ms=5012 waited_ms=0
//   scanner=4242 socket=/run/agent.sock paths=/home,/srv actions="InfectedFiles=Cure"
//
// It is printable ASCII (every other byte, and the backslash, escaped as the
// dry run escapes them, "\xff"), so that no byte of a task can split, forge
// or spoil it, and it fits in 1,024 bytes with its syslog header: where the
// paths or actions do not fit, it names as many as fit and how many more.
// It is made without allocating and sent without waiting on a daemon that
// does not read for more than a second in all; where there is no syslog
// socket, or it stays full, the line is dropped and the run goes on.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

#include "launcher/run_end.hpp"

// What the run has learned for its line, filled as it goes.
struct run_report {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    run_cause phase = run_cause::arguments;  // the step the run is in
    bool socket_given = false;
    std::string socket_address;
    bool translated = false;  // the task was read and translated
    std::vector<std::string> scan_paths;
    std::vector<std::string> actions;  // the scanner's actions that are not Report: "InfectedFiles=Cure"
    // When the run began to wait for its turn, and had it; zero: not yet.
    std::chrono::steady_clock::time_point turn_asked, turn_had;
    pid_t scanner = 0;  // the scanner's process id, once started
};

// The most a log line may take, its syslog header included.
constexpr std::size_t log_line_limit = 1024;

// The fields of the line (without the syslog header) for the run's end, at
// the moment now, written into out, at most size bytes with its NUL.
// Returns their length.
std::size_t log_fields(const run_report& report, const run_end& end, std::chrono::steady_clock::time_point now,
                       char* out, std::size_t size) noexcept;

// The whole datagram as it is sent: "<priority>Mmm dd hh:mm:ss
// zelvo-ivask[pid]: " and the fields, at most log_line_limit bytes. Returns
// its length.
std::size_t log_datagram(const run_report& report, const run_end& end, char* out) noexcept;

// Sends the line to /dev/log at priority err for an end that is an error,
// else info. Never throws, never waits more than a second.
void log_run(const run_report& report, const run_end& end) noexcept;
