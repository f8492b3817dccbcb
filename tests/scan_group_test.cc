// A run that follows its scanner stands for the whole scan: the scanner's
// children end with it however the run ends, every cancel reaches the whole
// group, and the next run gets the turn at once.
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

class scan_group : public launch {
protected:
    // Nothing of the scan holds the turn: a run that does not wait gets it.
    void expect_turn_free(const std::string& row) const {
        const run_result next = run_program({program, "-w", "0", "sock"}, "IvaskPaths /next", options());
        EXPECT_EQ(0, next.status) << row << ": " << next.output;
    }
};

// Two cancels, SIGKILL of the program, a signal it does not pass on,
// timeout(1)'s escalation: nothing of the scan is left, its forked child
// included.
TEST_F(scan_group, NothingOfTheScanOutlivesTheRun) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    enum end_t { two_cancels, killed, not_passed_on, under_timeout };
    const struct {
        end_t end;
        const char* row;
        int status;
    } cases[] = {{two_cancels, "two cancels", -SIGKILL},
                 {killed, "SIGKILL of the program", -SIGKILL},
                 {not_passed_on, "SIGUSR1 to the program", -SIGUSR1},
                 {under_timeout, "timeout -k 1 1", 128 + SIGTERM}};
    for (const auto& c : cases) {
        shell("rm -f '" + seen.path() + "'/*");
        std::vector<std::string> command = {program, "--follow", "sock"};
        if (c.end == under_timeout) command.insert(command.begin(), {"/usr/bin/timeout", "-k", "1", "1"});
        child_process p(command, family(true));
        p.feed(typical_task);
        const pid_t scanner = scanner_pid(), child = child_pid();
        ASSERT_GT(scanner, 0) << c.row;
        ASSERT_GT(child, 0) << c.row;
        switch (c.end) {
        case two_cancels:
            // Cancels 300 ms apart until the run has ended: a busy machine
            // may run the handler for the first one late, and one within a
            // tenth of a second of it is the same cancel.
            for (int i = 0; i < 30 && !p.wait_for(0ms); ++i) {
                kill(p.pid(), SIGTERM);
                std::this_thread::sleep_for(300ms);
            }
            break;
        case killed:
            kill(p.pid(), SIGKILL);
            break;
        case not_passed_on:
            kill(p.pid(), SIGUSR1);
            break;
        case under_timeout:
            break;
        }
        ASSERT_TRUE(p.wait_for(10s)) << c.row;
        if (c.end != under_timeout) {
            EXPECT_EQ(c.status, p.status()) << c.row;
        }
        EXPECT_TRUE(process_ends(scanner, 5s)) << c.row << ": the scanner outlived the run";
        EXPECT_TRUE(process_ends(child, 5s)) << c.row << ": the scanner's child outlived the run";
        expect_turn_free(c.row);
    }
}

// A scanner that ends by itself leaves nothing behind either.
TEST_F(scan_group, ChildLeftByAScannerThatEndedEndsWithTheRun) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process p({program, "--follow", "sock"}, family(false));
    p.feed(typical_task);
    const pid_t scanner = scanner_pid(), child = child_pid();
    ASSERT_GT(child, 0);
    kill(scanner, SIGTERM);  // the scanner alone, not its group
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ(-SIGTERM, p.status());
    EXPECT_TRUE(process_ends(child, 5s)) << "the child of a scanner that ended outlived the run";
    expect_turn_free("scanner ended");
}

// A cancel goes to the whole scan: the scanner's child acts on it too, while
// the scanner takes its time; without following, the scanner alone gets it.
TEST_F(scan_group, CancelReachesEveryProcessOfAFollowedScan) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    for (const bool follow : {true, false}) {
        shell("rm -f '" + seen.path() + "'/*");
        process_options o = options("wait");
        o.env.push_back("ZELVO_FAKE_LINGER=1");
        o.env.push_back("ZELVO_FAKE_CHILD=1");
        std::vector<std::string> argv = {program, "sock"};
        if (follow) argv.insert(argv.begin() + 1, "--follow");
        child_process p(argv, o);
        p.feed(typical_task);
        const pid_t child = child_pid();
        ASSERT_GT(child, 0);
        kill(p.pid(), SIGTERM);
        ASSERT_TRUE(await_file(seen.file("signal")));
        EXPECT_EQ(follow, process_ends(child, follow ? 5000ms : 300ms)) << follow;
        seen.write("release", "");
        ASSERT_TRUE(p.wait_for(10s));
        EXPECT_TRUE(process_ends(child, follow ? 5000ms : 0ms) || !follow);
        if (!follow) kill(child, SIGKILL);
    }
}

// SIGHUP and SIGQUIT are cancels of a followed run, passed on to the scan;
// a plain run is killed by them as ever, and its scanner gets nothing.
TEST_F(scan_group, HangupAndQuitArePassedOnByAFollowedRun) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    for (const int signal_number : {SIGHUP, SIGQUIT}) {
        for (const bool follow : {true, false}) {
            shell("rm -f '" + seen.path() + "'/*");
            process_options o = options("wait");
            o.env.push_back("ZELVO_FAKE_EXIT=3");
            std::vector<std::string> argv = {program, "sock"};
            if (follow) argv.insert(argv.begin() + 1, "--follow");
            child_process p(argv, o);
            p.feed(typical_task);
            ASSERT_GT(scanner_pid(), 0);
            kill(p.pid(), signal_number);
            ASSERT_TRUE(p.wait_for(10s)) << signal_number;
            const std::string row = std::to_string(signal_number) + (follow ? " follow" : "");
            EXPECT_EQ(follow ? 3 : -signal_number, p.status()) << row;
            EXPECT_EQ(follow, file_exists(seen.file("signal"))) << row;
            if (follow) {
                EXPECT_EQ(std::to_string(signal_number), slurp(seen.file("signal"))) << row;
            }
            stop_scanner();
        }
    }
}

// The kernel drops a set-group-id scanner's own parent-death signal: the
// guard still ends the scan with the program.
TEST_F(scan_group, SetGroupIdScanEndsWithAKilledProgram) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the scanner another group";
    ASSERT_EQ(0, chown(scanner.c_str(), 0, 65534));
    ASSERT_EQ(0, chmod(scanner.c_str(), 02755));
    child_process p({program, "--follow", "sock"}, family(false));
    p.feed(typical_task);
    const pid_t pid = scanner_pid(), child = child_pid();
    ASSERT_GT(child, 0);
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(std::string::npos, status.find("\nGid:\t0\t65534\t")) << "not set-group-id: " << status;
    kill(p.pid(), SIGKILL);
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_TRUE(process_ends(pid, 5s)) << "the set-group-id scanner outlived the program";
    EXPECT_TRUE(process_ends(child, 5s));
    expect_turn_free("set-group-id");
}

// Ctrl-C at a terminal: SIGINT to the foreground process group, the run's.
// The scan is a group of its own, so it gets the interrupt once, passed on.
TEST_F(scan_group, CtrlCReachesTheScanOnce) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    process_options o = options("wait");
    o.env.push_back("ZELVO_FAKE_LINGER=1");
    child_process terminal({"/usr/bin/setsid", "bash", "-c", "echo IvaskPaths /x | '" + program + "' --follow sock"},
                           o);
    terminal.feed("");
    ASSERT_GT(scanner_pid(), 0);
    kill(-terminal.pid(), SIGINT);
    ASSERT_TRUE(await_file(seen.file("signal")));
    std::this_thread::sleep_for(300ms);
    seen.write("release", "");
    ASSERT_TRUE(await_file(seen.file("count")));
    EXPECT_EQ("1", slurp(seen.file("count"))) << "interrupts the scanner caught";
    ASSERT_TRUE(terminal.wait_for(10s));
}

}  // namespace
