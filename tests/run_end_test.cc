// How a run ends is decided once, from the wait's outcome or the failure:
// its status, the signal it dies by, its line and what its log line says.
#include <csignal>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "launcher/run_end.hpp"
#include "launcher/run_lock.hpp"
#include "launcher/run_log.hpp"

namespace {

scan_outcome exited(int status, int cancel = 0) {
    scan_outcome o;
    o.scanner = 4242;
    o.ended = true;
    o.exit_status = status;
    o.cancel = cancel;
    return o;
}

scan_outcome killed(int signal_number, int cancel = 0) {
    scan_outcome o = exited(-1, cancel);
    o.killed_by = signal_number;
    return o;
}

scan_outcome passed_on(int signal_number) {
    scan_outcome o;
    o.scanner = 4242;
    o.cancel = signal_number;
    return o;
}

scan_outcome timed_out(scan_outcome o) {
    o.timed_out = true;
    o.cancel = SIGTERM;
    return o;
}

scan_limits limits(bool follow, int timeout = -1) {
    scan_limits l;
    l.follow = follow;
    l.timeout = timeout;
    return l;
}

scan_outcome not_started(int status, int error) {
    scan_outcome o;
    o.scanner = 4242;
    o.start_status = status;
    o.start_error = error;
    return o;
}

// The log line's fields for the end alone, as they come before the socket.
std::string fields_of(const run_end& end) {
    const run_report report;
    char line[log_line_limit + 1];
    log_fields(report, end, report.started, line, sizeof line);
    return line;
}

TEST(run_end, EachOutcomeOfTheScanEndsTheRunOnce) {
    const struct {
        scan_outcome outcome;
        bool follow;
        run_outcome expected;
        int status, end_signal;
        run_end::line_t line;
        bool error;
        std::string told;  // the log line's fields for the end, before duration_ms
    } cases[] = {
        {exited(0), false, run_outcome::scanned, 0, 0, run_end::no_line, false, "outcome=scanned status=0 scanner_status=0"},
        {exited(3), false, run_outcome::scanned, 0, 0, run_end::no_line, false, "outcome=scanned status=0 scanner_status=3"},
        {exited(3), true, run_outcome::scanned, 3, 0, run_end::no_line, false, "outcome=scanned status=3 scanner_status=3"},
        {exited(255), true, run_outcome::scanned, 255, 0, run_end::no_line, false,
         "outcome=scanned status=255 scanner_status=255"},
        {killed(SIGSEGV), false, run_outcome::killed, 0, 0, run_end::no_line, false, "outcome=killed status=0 signal=11"},
        {killed(SIGSEGV), true, run_outcome::killed, 128 + SIGSEGV, SIGSEGV, run_end::no_line, false,
         "outcome=killed status=139 signal=11"},
        {passed_on(SIGTERM), false, run_outcome::cancelled, 0, 0, run_end::no_line, false,
         "outcome=cancelled status=0 signal=15"},
        {exited(3, SIGTERM), true, run_outcome::cancelled, 3, 0, run_end::no_line, false,
         "outcome=cancelled status=3 scanner_status=3 signal=15"},
        {killed(SIGKILL, SIGINT), true, run_outcome::cancelled, 128 + SIGKILL, SIGKILL, run_end::no_line, false,
         "outcome=cancelled status=137 signal=2 scanner_signal=9"},
        {timed_out(exited(0)), true, run_outcome::timed_out, 124, 0, run_end::deadline_line, true,
         "outcome=timed-out status=124 scanner_status=0 signal=15"},
        {timed_out(killed(SIGKILL)), true, run_outcome::timed_out, 124, 0, run_end::deadline_line, true,
         "outcome=timed-out status=124 signal=15 scanner_signal=9"},
        {not_started(1, EPERM), true, run_outcome::not_started, 1, 0, run_end::start_failure_line, true,
         "outcome=not-started status=1 cause=start"},
        {not_started(2, ENOENT), false, run_outcome::not_started, 2, 0, run_end::start_failure_line, true,
         "outcome=not-started status=2 cause=start"},
    };
    for (const auto& c : cases) {
        const run_end end = end_of_scan(c.outcome, limits(c.follow, 30));
        EXPECT_EQ(c.expected, end.outcome) << c.told;
        EXPECT_EQ(c.status, end.status) << c.told;
        EXPECT_EQ(c.end_signal, end.end_signal) << c.told;
        EXPECT_EQ(c.line, end.line) << c.told;
        EXPECT_EQ(c.error, end.error) << c.told;
        EXPECT_EQ(c.told + " duration_ms=0", fields_of(end));
    }
}

TEST(run_end, FailuresEndWithTheirLineAndABusyTurnWith75) {
    const std::runtime_error failure("no socket available");
    const turn_still_held busy("the turn is still held by process 7 after 1 s");
    const struct {
        const std::exception& failure;
        run_outcome expected;
        int status;
    } cases[] = {{failure, run_outcome::failed, 255}, {busy, run_outcome::busy, 75}};
    for (const auto& c : cases) {
        const run_end end = end_of_failure(c.failure, run_cause::task);
        EXPECT_EQ(c.expected, end.outcome);
        EXPECT_EQ(c.status, end.status);
        EXPECT_EQ(0, end.end_signal);
        EXPECT_EQ(run_end::failure_line, end.line);
        EXPECT_EQ(c.failure.what(), end.why);
        EXPECT_TRUE(end.error);
        EXPECT_EQ(c.status == 75 ? run_cause::lock : run_cause::task, end.cause);
    }
    // A cancel that came while the run was queued ends it by that signal,
    // whatever failed after it.
    const run_end queued = end_of_failure(failure, run_cause::lock, SIGTERM);
    EXPECT_EQ(run_outcome::cancelled, queued.outcome);
    EXPECT_EQ(SIGTERM, queued.end_signal);
    EXPECT_EQ(128 + SIGTERM, queued.status);
    EXPECT_EQ(run_end::no_line, queued.line);
    EXPECT_EQ(0, end_of_dry_run(0).status);
    EXPECT_EQ(run_end::no_line, end_of_dry_run(0).line);
    EXPECT_EQ(2, end_of_dry_run(EACCES).status);
    EXPECT_EQ(EACCES, end_of_dry_run(EACCES).start_error);
}

}  // namespace
