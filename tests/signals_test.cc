// The signals of a run: a cancel reaches the scanner, whenever it comes, and
// the scanner starts with the program's own signal state.
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

// The program ends as soon as it has relayed the signal, while the scanner,
// which finishes its work first, still runs. Started with the signal
// ignored or blocked, the program still hands the scanner the default
// action, unblocked.
TEST_F(launch, RelayedSignalReachesTheScannerAndEndsTheProgramAtOnce) {
    const struct {
        int signal_number;
        bool ignored_at_start, blocked_at_start;
    } cases[] = {{SIGTERM, false, false}, {SIGINT, false, false}, {SIGTERM, true, false},
                 {SIGINT, true, false},   {SIGTERM, false, true}, {SIGINT, false, true}};
    for (const auto& c : cases) {
        shell("rm -f '" + seen.path() + "'/*");
        const bool at_default = c.ignored_at_start || c.blocked_at_start;
        process_options o = options(at_default ? "sleep" : "wait");
        o.env.push_back("ZELVO_FAKE_LINGER=1");
        if (c.ignored_at_start) o.ignored_signals = {SIGINT, SIGTERM};
        if (c.blocked_at_start) o.blocked_signals = {SIGINT, SIGTERM};
        child_process p({program, "sock"}, o);
        p.feed(typical_task);
        const pid_t pid = scanner_pid();
        ASSERT_GT(pid, 0);
        kill(p.pid(), c.signal_number);
        ASSERT_TRUE(p.wait_for(10s)) << "the program kept waiting";
        EXPECT_EQ(0, p.status());
        if (at_default) {
            EXPECT_TRUE(process_ends(pid, 10s)) << "the scanner did not act on the relayed " << c.signal_number;
            continue;
        }
        ASSERT_TRUE(await_file(seen.file("signal")));
        EXPECT_EQ(std::to_string(c.signal_number), slurp(seen.file("signal")));
        EXPECT_FALSE(process_ends(pid, 0ms)) << "the program waited for the scanner to end";
        seen.write("release", "");
        EXPECT_TRUE(process_ends(pid, 10s));
    }
}

TEST_F(launch, ScannerEndingBeforeTheSuspensionIsStillNoticed) {
    process_options o = with_shim("ZELVO_SHIM_DELAY_SUSPEND=1");
    const auto start = std::chrono::steady_clock::now();
    const run_result r = run_program({program, "sock"}, typical_task, o, 30s);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.ended) << "the scanner's end was lost";
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(file_exists(seen.file("shim"))) << "the delaying shim was not used";
    // Without the fix the program would sleep on for up to 1000 s.
    EXPECT_LT(took, 10s);
}

// SIGINT and SIGTERM once the handlers are installed but before the scanner
// exists: while the config is written (held back until it is in place) and
// just before the scanner starts (blocked). The cancel is kept and relayed
// as soon as the scanner exists, which ends it (it would sleep for 30 s) and
// the program. A program that signalled some stale pid would reach pid 1, so
// this runs only in the tests' own PID namespace.
TEST_F(launch, SignalsBeforeTheScannerExistsReachItAsSoonAsItDoes) {
    const char* const settings[] = {"ZELVO_SHIM_SIGNAL_EARLY=1", "ZELVO_SHIM_SIGNAL_IN_WRITE=2",
                                    "ZELVO_SHIM_SIGNAL_IN_WRITE=15"};
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    for (const char* setting : settings) {
        shell("rm -f '" + seen.path() + "'/*");
        const process_options o = with_shim(setting, ZELVO_LAUNCH_SHIM, "sleep");
        const run_result r = run_program({program, "sock"}, typical_task, o, 10s);
        EXPECT_TRUE(file_exists(seen.file("shim"))) << "the signalling shim was not used";
        ASSERT_TRUE(r.ended) << setting << ": the cancel was lost";
        EXPECT_EQ(0, r.status) << setting;
        if (file_exists(seen.file("pid"))) {
            EXPECT_TRUE(process_ends(std::stoi(slurp(seen.file("pid"))), 10s)) << setting;
        }
    }
}

TEST_F(launch, SignalWhileTheTaskIsReadEndsTheProgram) {
    child_process p({program, "sock"}, options());
    std::this_thread::sleep_for(200ms);  // still waiting for standard input
    kill(p.pid(), SIGTERM);
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ(-SIGTERM, p.status());
    EXPECT_FALSE(file_exists(scanner_config));
}

TEST_F(launch, HundredScannersThatEndAtOnceNeverHang) {
    for (int i = 0; i < 100; ++i) {
        const run_result r = run_program({program, "sock"}, typical_task, options(), 10s);
        ASSERT_TRUE(r.ended) << "run " << i << " hung";
        ASSERT_EQ(0, r.status) << "run " << i;
        ASSERT_EQ("scanner ran\n", r.output) << "run " << i;
    }
}

TEST_F(launch, StoppedScannerKeepsTheProgramWaiting) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process p({program, "sock"}, options("stop"));
    p.feed(typical_task);
    const pid_t pid = scanner_pid();
    ASSERT_GT(pid, 0);
    // Wait until the scanner is really stopped.
    for (int i = 0; i < 1000 && process_state(pid) != 'T'; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(p.wait_for(300ms)) << "a stopped scanner ended the wait";
    kill(pid, SIGCONT);  // continued, it exits
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ(0, p.status());
}

TEST_F(launch, ScannerStartsWithTheProgramsOwnSignalState) {
    process_options o = options();
    o.ignored_signals = {SIGINT, SIGTERM, SIGCHLD, SIGPIPE};
    o.blocked_signals = {SIGUSR1, SIGINT, SIGTERM};
    const run_result r = run("sock", typical_task, o);
    EXPECT_EQ(0, r.status);
    // The signals the program catches start at their default, and those it
    // relays unblocked, whatever it got.
    EXPECT_EQ("blocked: " + std::to_string(SIGUSR1) +
                  "\nINT default\nTERM default\nCHLD default\nPIPE ignored\nXFSZ default\n",
              slurp(seen.file("start")));
    run("sock", typical_task);
    EXPECT_EQ("blocked:\nINT default\nTERM default\nCHLD default\nPIPE default\nXFSZ default\n",
              slurp(seen.file("start")));
}

TEST_F(launch, StraySignalDuringTheConfigWriteTakesEffectOnlyOnceItIsInPlace) {
    for (int signal_number : {SIGHUP, SIGUSR1, SIGALRM}) {
        unlink(scanner_config.c_str());
        const run_result r =
            run("sock", typical_task, with_shim("ZELVO_SHIM_SIGNAL_IN_WRITE=" + std::to_string(signal_number)));
        EXPECT_TRUE(file_exists(seen.file("shim"))) << "the signalling shim was not used";
        EXPECT_EQ(-signal_number, r.status);
        EXPECT_EQ(0, temporaries_beside_config()) << signal_number;
        EXPECT_NE(std::string::npos, agent_utils::read_file(scanner_config).find("\nIncurableFiles = Delete\n"));
        EXPECT_FALSE(scanner_started());
    }
}

}  // namespace
