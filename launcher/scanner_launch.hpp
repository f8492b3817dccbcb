// Starting the console scanner and waiting for it, passing cancels on.
//
// From run_signals::install_handlers() on, SIGINT and SIGTERM are noted and
// passed on to the scanner, followed by SIGCONT; one noted before the
// scanner exists is passed on as soon as it does. The wait ends at once
// after that, or, when the run follows its scanner, only once the scanner
// has ended (a second cancel then kills it). It also ends when the scanner
// exits or is killed; a scanner that is only stopped or continued keeps the
// program waiting. What the scanner starts with is run_signals::give_back()'s.
//
// A run that follows its scanner stands for the whole scan, as timeout(1)
// stands for its command: the scanner leads a process group of its own, the
// scan's, and every signal passed on goes to the whole group (SIGHUP and
// SIGQUIT among the cancels). A guard process in that group, forked before
// the scanner starts, waits for the program's end, however it comes (even
// by SIGKILL), and then kills the group; the program itself kills it once
// the scanner has ended. A process that leaves the group (setsid()) is out
// of reach.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "launcher/run_lock.hpp"

// The scanner's argument vector, argv[0] first: the config path as its
// program name, "-ini=<config>", "-a=<socket_address>", one "-path=" per path.
std::vector<std::string> scanner_arguments(const std::string& config, const std::string& socket_address,
                                           const std::vector<std::string>& scan_paths);

// How the wait for the scanner ended.
struct scan_outcome {
    pid_t scanner = 0;     // its process id; 0 where none was started
    int start_status = 0;  // 1 (setuid) or 2 (execv) where it could not be started,
    int start_error = 0;   // with the error number
    int cancel = 0;        // the cancel passed on to it, if one was
    bool timed_out = false;  // the deadline passed first (the cancel is its SIGTERM)
    bool ended = false;    // it was waited for until it ended:
    int exit_status = -1;  // with this exit status,
    int killed_by = 0;     // or killed by this signal
};

// How long a scan may take, and how it ends.
struct scan_limits {
    bool follow = false;  // wait for the scanner's end, also after a cancel
    int timeout = -1;     // seconds the scan may run before it gets SIGTERM; -1: none
    int kill_after = -1;  // seconds after a cancel or the deadline before SIGKILL; -1: none
};

// Starts scanner with args (see scanner_arguments()) and waits. The scanner
// inherits the turn's lock and keeps it open until it ends (the program's
// own copy is closed once it has started: see run_turn::hand_over()). When
// limits.follow is set, the scan is a process group of its own with its
// guard, the scanner starts with SIGKILL as its parent-death signal, and
// the wait lasts until it has ended, whatever was passed on; where the
// deadline passes, SIGTERM goes to the group, and a kill_after that long
// after the first cancel or the deadline, SIGKILL. The timers take no
// wake-ups. Throws "fork failed: <why>" (or "pipe failed: ", "sigprocmask
// failed: ").
scan_outcome start_scanner_and_wait(const char* scanner, const std::vector<std::string>& args, run_turn& turn,
                                    const scan_limits& limits);

// How the line for a scanner that could not be started begins: "Setuid
// failed: " for status 1, "Execve failed: " for status 2; the system's text
// for the error follows.
const char* start_failure_prefix(int status);

// Why starting scanner with the argument vector args (and the program's
// environment) would fail at once: the error number execv would give for a
// missing file, one that is not a regular file or that the program's
// effective user may not execute, or, E2BIG, for an argument or the whole
// list over the system's limits; or 0. Nothing else of the start is tried.
int scanner_start_error(const char* scanner, const std::vector<std::string>& args);
