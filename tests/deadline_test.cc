// A deadline bounds how long a scan may take: past it the scan gets
// SIGTERM, and a kill-after delay later SIGKILL; the run ends 124 with its
// line, nothing of the scan is left, and the wait takes no wake-ups.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

class deadline : public launch {};

// A 30 s scan with a deadline of a second: ended after about a second (two
// where it ignores SIGTERM and is killed a second later), from the option
// or the settings file, whether or not the run was asked to follow.
TEST_F(deadline, ScanPastItsDeadlineIsEndedWithStatus124) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    const struct {
        const char* settings;  // null: none
        std::vector<std::string> options;
        bool ignores_term;
        std::chrono::milliseconds least;
    } cases[] = {
        {nullptr, {"--timeout", "1"}, false, 1000ms},
        {"[Run]\nTimeout = 1\nKillAfter = 1\n", {}, true, 2000ms},
        {"[Run]\nTimeout = 1\n", {"--kill-after", "1", "--follow"}, true, 2000ms},
    };
    for (const auto& c : cases) {
        shell("rm -f '" + seen.path() + "'/*");
        unlink(settings_file.c_str());
        if (c.settings) agent_utils::write_file(settings_file, c.settings);
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back("sock");
        const std::string row = (c.settings ? std::string(c.settings) : "") + std::to_string(c.options.size());
        const auto start = std::chrono::steady_clock::now();
        child_process p(argv, family(c.ignores_term));
        p.feed(typical_task);
        const pid_t scanner = scanner_pid(), child = child_pid();
        ASSERT_GT(child, 0) << row;
        ASSERT_TRUE(p.wait_for(10s)) << row;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(124, p.status()) << row;
        EXPECT_EQ("scanner ran\nEnterprise scan failed: the scan ran past its deadline of " +
                      std::string(c.settings ? "1" : c.options[1]) + " s\n",
                  p.output())
            << row;
        EXPECT_GE(took, c.least) << row;
        EXPECT_LT(took, c.least + 2500ms) << row;
        EXPECT_TRUE(process_ends(scanner, 0ms)) << row;
        EXPECT_TRUE(process_ends(child, 5s)) << row;
        const run_result next = run_program({program, "-w", "0", "sock"}, "IvaskPaths /next", options());
        EXPECT_EQ(0, next.status) << row << ": the next run did not get the turn at once";
    }
    // A deadline of 0 ends the scan as soon as it starts.
    const run_result at_once = run_program({program, "--timeout", "0", "sock"}, typical_task, options("sleep"), 10s);
    EXPECT_EQ(124, at_once.status);
    const std::string line = "Enterprise scan failed: the scan ran past its deadline of 0 s\n";
    EXPECT_EQ(line, at_once.output.substr(at_once.output.size() - std::min(line.size(), at_once.output.size())));
}

// A scan that ends before its deadline ends as it ended; a cancel before
// it is a cancel, killed a kill-after delay later where it is ignored.
TEST_F(deadline, ScanThatEndsFirstOrIsCancelledFirstEndsAsItEnded) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    process_options exits_3 = options();
    exits_3.env.push_back("ZELVO_FAKE_EXIT=3");
    const run_result before = run_program({program, "--timeout", "30", "sock"}, typical_task, exits_3);
    EXPECT_EQ("scanner ran\n", before.output);
    EXPECT_EQ(3, before.status);

    child_process cancelled({program, "--kill-after", "1", "--timeout", "30", "sock"}, family(true));
    cancelled.feed(typical_task);
    const pid_t child = child_pid();
    ASSERT_GT(child, 0);
    const auto start = std::chrono::steady_clock::now();
    kill(cancelled.pid(), SIGTERM);
    EXPECT_FALSE(cancelled.wait_for(700ms)) << "killed before its delay";
    ASSERT_TRUE(cancelled.wait_for(10s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(-SIGKILL, cancelled.status());
    EXPECT_EQ("scanner ran\n", cancelled.output());
    EXPECT_TRUE(process_ends(child, 5s));
}

// Waiting for a deadline sleeps on a timer: no wake-ups while the scan runs.
TEST_F(deadline, WaitingForTheDeadlineTakesNoWakeUps) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process p({program, "--timeout", "30", "sock"}, options("sleep"));
    p.feed(typical_task);
    ASSERT_GT(scanner_pid(), 0);
    std::this_thread::sleep_for(100ms);  // past the start
    const long before = voluntary_switches(p.pid());
    std::this_thread::sleep_for(2s);
    const long after = voluntary_switches(p.pid());
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 2) << "the run woke while it waited for the deadline";
}

}  // namespace
