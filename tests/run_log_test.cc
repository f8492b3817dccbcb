// The log line: fields outcome first, printable ASCII only, at most 1,024
// bytes with its syslog header, the fields before the paths always whole.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher/run_end.hpp"
#include "launcher/run_lock.hpp"
#include "launcher/run_log.hpp"
#include "task/keyed_failure.hpp"

namespace {

using namespace std::chrono_literals;

// A run five seconds long that waited two for its turn, its scanner 4242.
run_report scanned_report() {
    run_report report;
    report.socket_given = true;
    report.socket_address = "/run/agent.sock";
    report.translated = true;
    report.scan_paths = {"/home", "/srv"};
    report.actions = {"InfectedFiles=Cure", "IncurableFiles=Delete"};
    report.turn_asked = report.started + 1000ms;
    report.turn_had = report.started + 3000ms;
    report.scanner = 4242;
    return report;
}

std::string fields(const run_report& report, const run_end& end) {
    char line[log_line_limit + 1];
    log_fields(report, end, report.started + 5012ms, line, sizeof line);
    return line;
}

scan_outcome exited(int status) {
    scan_outcome o;
    o.scanner = 4242;
    o.ended = true;
    o.exit_status = status;
    return o;
}

TEST(run_log, FieldsOfAScanACancelAndAFailure) {
    const run_report report = scanned_report();
    scan_outcome cancelled;
    cancelled.cancel = SIGTERM;
    const keyed_error bad_action("Malformed task settings: unknown action code 3 for ActionJokes", "ActionJokes", "3");
    run_report failed = report;
    failed.scanner = 0;
    failed.turn_asked = failed.turn_had = {};
    run_report queued = failed;
    queued.translated = false;
    queued.turn_asked = queued.started + 10ms;
    const struct {
        run_report report;
        run_end end;
        std::string line;
    } cases[] = {
        {report, end_of_scan(exited(0), scan_limits()),
         "outcome=scanned status=0 scanner_status=0 duration_ms=5012 waited_ms=2000 scanner=4242 "
         "socket=/run/agent.sock paths=/home,/srv actions=\"InfectedFiles=Cure,IncurableFiles=Delete\""},
        {report, end_of_scan(cancelled, scan_limits()),
         "outcome=cancelled status=0 signal=15 duration_ms=5012 waited_ms=2000 scanner=4242 socket=/run/agent.sock "
         "paths=/home,/srv actions=\"InfectedFiles=Cure,IncurableFiles=Delete\""},
        {failed, end_of_failure(bad_action, run_cause::task),
         "outcome=failed status=255 cause=task key=ActionJokes value=3 duration_ms=5012 socket=/run/agent.sock "
         "paths=/home,/srv actions=\"InfectedFiles=Cure,IncurableFiles=Delete\""},
        {queued, end_of_failure(std::runtime_error("cancelled"), run_cause::lock, SIGINT),
         "outcome=cancelled status=130 signal=2 duration_ms=5012 waited_ms=5002 socket=/run/agent.sock"},
        {run_report(), end_of_failure(std::runtime_error("Wrong number of parameters"), run_cause::arguments),
         "outcome=failed status=255 cause=arguments duration_ms=5012"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.line, fields(c.report, c.end));
}

// Each cause and each outcome has its word.
TEST(run_log, EachCauseAndOutcomeHasItsWord) {
    const struct {
        run_cause cause;
        const char* word;
    } causes[] = {{run_cause::arguments, "arguments"}, {run_cause::settings, "settings"},
                  {run_cause::engine_ini, "engine-ini"}, {run_cause::task, "task"},
                  {run_cause::lock, "lock"},           {run_cause::config, "config"},
                  {run_cause::start, "start"}};
    const std::runtime_error failure("failed");
    for (const auto& c : causes)
        EXPECT_EQ("outcome=failed status=255 cause=" + std::string(c.word) + " duration_ms=5012",
                  fields(run_report(), end_of_failure(failure, c.cause)));
    const turn_still_held busy("the turn is still held after 0 s");
    EXPECT_EQ("outcome=busy status=75 cause=lock duration_ms=5012", fields(run_report(), end_of_failure(busy, run_cause::lock)));
    run_end none;
    none.outcome = run_outcome::scanned;
    none.status = 0;
    EXPECT_EQ("outcome=scanned status=0 duration_ms=5012", fields(run_report(), none));
}

// A value holding a blank, a quote or "=" is quoted as logfmt quotes it;
// every byte outside printable ASCII, and the backslash, is escaped; a key,
// value or socket too long to leave room for the rest is cut.
TEST(run_log, ValuesAreQuotedEscapedAndCut) {
    run_report report;
    const struct {
        std::string socket, key, value;
        std::string line;
    } cases[] = {
        {"/run/a b", "Follow", "yes \"please\"",
         "key=Follow value=\"yes \\\"please\\\"\" duration_ms=5012 socket=\"/run/a b\""},
        {"/tmp/\xff\xfe", "Foo\r", "x=y\x1b[2J\\",
         "key=Foo\\r value=\"x=y\\x1b[2J\\\\\" duration_ms=5012 socket=/tmp/\\xff\\xfe"},
        {"", "k", "", "key=k duration_ms=5012 socket=\"\""},
        {"/s", std::string(200, 'k'), "v", "key=" + std::string(157, 'k') + "... value=v duration_ms=5012 socket=/s"},
    };
    for (const auto& c : cases) {
        report.socket_given = true;
        report.socket_address = c.socket;
        const keyed_error failure("refused", c.key, c.value);
        EXPECT_EQ("outcome=failed status=255 cause=settings " + c.line,
                  fields(report, end_of_failure(failure, run_cause::settings)));
    }
}

// 10,000 paths: the line names as many as fit and how many more; the
// actions keep what they need; the whole datagram stays within the limit.
TEST(run_log, LongListsAreCutToFitTheLimit) {
    for (const std::size_t count : {std::size_t{60}, std::size_t{10000}}) {
        run_report report = scanned_report();
        report.scan_paths.clear();
        for (std::size_t i = 0; i < count; ++i) report.scan_paths.push_back("/srv/data/volume" + std::to_string(i));
        const run_end end = end_of_scan(exited(0), scan_limits());
        char datagram[log_line_limit + 1];
        const std::size_t length = log_datagram(report, end, datagram);
        const std::string line(datagram, length);
        EXPECT_LE(length, log_line_limit);
        EXPECT_EQ(0u, line.find("<30>")) << line;
        EXPECT_NE(std::string::npos, line.find("]: outcome=scanned status=0 ")) << line;
        EXPECT_NE(std::string::npos, line.find(" more\" actions=\"InfectedFiles=Cure,IncurableFiles=Delete\"")) << line;
        const std::string::size_type paths = line.find(" paths=\"/srv/data/volume0,/srv/data/volume1,");
        ASSERT_NE(std::string::npos, paths) << line;
        // As many as fit: the next one would not have.
        const std::string::size_type more = line.find(" +", paths);
        const std::size_t shown = static_cast<std::size_t>(std::count(line.begin() + paths, line.begin() + more, ',')) + 1;
        EXPECT_EQ(" +" + std::to_string(count - shown) + " more\"", line.substr(more, line.find('"', more) - more + 1));
        EXPECT_GT(length + report.scan_paths[shown].size() + 1, log_line_limit - 8) << "room was left";
        for (const char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << int(c);
    }
}

// A path holding a comma or a blank (from PATH) stays one item.
TEST(run_log, ListItemsStandApart) {
    run_report report;
    report.translated = true;
    report.scan_paths = {"/a,b", "/c d"};
    EXPECT_EQ("outcome=scanned status=0 scanner_status=0 duration_ms=5012 paths=\"/a\\x2cb,/c d\" actions=\"\"",
              fields(report, end_of_scan(exited(0), scan_limits())));
}

}  // namespace
