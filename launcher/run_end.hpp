// How a run ends, decided once: from how the wait for its scanner ended, or
// from the failure that ended it before. The entry point only acts on it:
// it prints the line, sends the log line and ends with the status.
#pragma once

#include <cstddef>
#include <exception>
#include <string_view>

#include "launcher/scanner_launch.hpp"

// Where a run failed, as the log line's cause names it: the step it was in,
// or, for a strict run's refusal, what the refused thing came from.
enum class run_cause {
    none,
    arguments,   // the command line, the socket address
    settings,    // the settings file
    engine_ini,  // the engine's INI file and its settings
    task,        // reading and translating the task
    lock,        // the turn
    config,      // writing the scanner config
    start,       // starting the scanner
};

enum class run_outcome {
    scanned,      // the scanner ended by itself
    cancelled,    // a cancel was passed on to the scanner, or ended a queued run
    timed_out,    // the deadline passed
    killed,       // the scanner was killed by a signal nobody passed on
    busy,         // the run gave up waiting for its turn
    not_started,  // the scanner could not be started
    failed,       // any other failure
};

struct run_end {
    run_outcome outcome = run_outcome::failed;
    int status = 255;    // the exit status,
    int end_signal = 0;  // or, where not 0, the signal the program ends by (status: where it cannot)
    // The line printed to standard output, if any.
    enum line_t { no_line, failure_line, start_failure_line, deadline_line } line = no_line;
    const char* why = nullptr;  // failure_line: what follows failure_prefix
    int start_error = 0;        // start_failure_line: the start's error number
    int deadline = 0;           // deadline_line: the deadline's seconds
    // What the log line says besides.
    int cancel = 0;        // the cancel passed on to the scanner, or that ended a queued run
    bool queued = false;   // the run was cancelled before its turn
    int exit_status = -1;  // the scanner exited with this status,
    int killed_by = 0;     // or was killed by this signal
    bool error = false;    // logged at priority err, else info
    run_cause cause = run_cause::none;  // a failure's
    // The key a failure is about, and its value, where it is about one;
    // views into the failure, which must outlive the end.
    std::string_view key;
    std::string_view value;
};

// A run that started its scanner, or tried to. A scanner that could not be
// started gives its child's status, 1 or 2, after its line. A scan that ran
// past its deadline ends 124, the status timeout(1) gives, after "the scan
// ran past its deadline of <N> s" (limits.timeout). Otherwise a run ends 0,
// whatever the scanner did or whether it still runs after a cancel; a run
// that follows its scanner ends as the scanner ended: with its exit status,
// or by the signal that killed it.
run_end end_of_scan(const scan_outcome& outcome, const scan_limits& limits);

// A failure of the run's own: status 255 and its line, or 75 (EX_TEMPFAIL,
// worth trying again later) for a run that gave up waiting for its turn.
// cause is where the run was (see run_report), taken as the cause but for a
// turn not had, which is the lock's. Where a failure is about a key
// (keyed_failure), key and value name it. Where a queued cancel came first
// (queued_cancel, the signal), whatever
// failed after it, the run ends by that signal, as it would have without
// the program catching it, and prints nothing. Allocates nothing: running
// out of memory is one of the failures. why points into failure, which
// must outlive the end.
run_end end_of_failure(const std::exception& failure, run_cause cause, int queued_cancel = 0);

// The line a deadline ends a run with, after failure_prefix, written into
// text (of size bytes).
void deadline_text(int seconds, char* text, std::size_t size) noexcept;

// A dry run that found nothing wrong (0), or whose scanner would not start
// (2, with "Execve failed: <why>" for start_error).
run_end end_of_dry_run(int start_error);
