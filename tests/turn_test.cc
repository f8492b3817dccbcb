// Overlapping runs take turns: each scanner reads its own config, a queued
// run waits without writing, and a bounded wait gives up with status 75.
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

TEST_F(launch, OverlappingRunsTakeTurnsSoEachScannerReadsItsOwnConfig) {
    const int runs = 10;
    std::vector<std::unique_ptr<scratch_dir>> dirs;
    std::vector<std::unique_ptr<child_process>> programs;
    for (int i = 0; i < runs; ++i) {
        dirs.emplace_back(new scratch_dir);
        process_options o = options("record", dirs[i]->path());
        o.env.push_back("ZELVO_FAKE_DELAY_MS=20");
        programs.emplace_back(new child_process({program, "sock"}, o));
    }
    for (int i = 0; i < runs; ++i) programs[i]->feed("IvaskPaths /p ExcludeFileAndPaths /x" + std::to_string(i));
    for (int i = 0; i < runs; ++i) {
        ASSERT_TRUE(programs[i]->wait_for(30s)) << i;
        EXPECT_EQ(0, programs[i]->status());
        EXPECT_NE(std::string::npos, slurp(dirs[i]->file("config")).find("\nExcludePaths = /x" + std::to_string(i) + "\n"))
            << "run " << i << " scanned with another run's config";
    }
    struct stat info = {};
    ASSERT_EQ(0, lstat(run_lock.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 07777);
}

// A queued run has checked its whole task before it waits: a bad one fails
// at once, a good one has printed its dropped paths; SIGTERM ends it there.
TEST_F(launch, QueuedRunFailsOrEndsAtOnceAndWritesNothing) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process first({program, "sock"}, options("wait"));
    first.feed("IvaskPaths /first");
    ASSERT_GT(scanner_pid(), 0);
    scratch_dir queued_seen;
    const run_result bad = run_program({program, "sock"}, "IvaskPaths /queued ActionJokes x",
                                       options("record", queued_seen.path()), 5s);
    ASSERT_TRUE(bad.ended) << "a bad queued task waited for the scan ahead";
    EXPECT_EQ("Enterprise scan failed: bad lexical cast: source type value could not be interpreted as target\n",
              bad.output);
    EXPECT_EQ(255, bad.status);
    // Started, as a threaded agent may start it, with the signals blocked.
    process_options queued_options = options("record", queued_seen.path());
    queued_options.blocked_signals = {SIGINT, SIGTERM};
    child_process queued({program, "sock"}, queued_options);
    queued.feed("IvaskPaths /queued,rel");
    for (int i = 0; i < 1000 && queued.output().empty(); ++i)
        ASSERT_FALSE(queued.wait_for(10ms)) << "the second run did not wait for its turn";
    EXPECT_FALSE(queued.wait_for(300ms)) << "the second run did not wait for its turn";
    kill(queued.pid(), SIGTERM);
    ASSERT_TRUE(queued.wait_for(5s));
    EXPECT_EQ(-SIGTERM, queued.status());
    EXPECT_EQ("Skipping relative path: rel\n", queued.output());
    stop_scanner();
    ASSERT_TRUE(first.wait_for(10s));
    EXPECT_FALSE(file_exists(queued_seen.file("argv")));
    EXPECT_NE(std::string::npos, agent_utils::read_file(scanner_config).find("\nExcludePaths = \n"));
}

// As process 1 (a container's entry point), for which the kernel drops a
// signal at its default action, a queued run still ends on a cancel: with
// the shell's status for it.
TEST_F(launch, QueuedRunEndsOnACancelAlsoAsProcessOne) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process holder({"/usr/bin/flock", "-F", run_lock, "sleep", "30"}, options());
    ASSERT_TRUE(await_lock(holder.pid()));
    for (const int signal_number : {SIGTERM, SIGINT}) {
        child_process queued({"/usr/bin/unshare", "--pid", "--fork", program, "sock"}, options());
        queued.feed("IvaskPaths /queued");
        // The program, process 1 of its namespace, is unshare's child.
        const std::string children = "/proc/" + std::to_string(queued.pid()) + "/task/" +
                                     std::to_string(queued.pid()) + "/children";
        for (int i = 0; i < 2000 && slurp(children).empty(); ++i) std::this_thread::sleep_for(5ms);
        const pid_t run = static_cast<pid_t>(std::atol(slurp(children).c_str()));
        ASSERT_GT(run, 0);
        ASSERT_TRUE(await_lock(run, true)) << "the run does not wait for its turn";
        kill(run, signal_number);
        ASSERT_TRUE(queued.wait_for(5s)) << signal_number << ": the queued run went on waiting";
        EXPECT_EQ(128 + signal_number, queued.status());
        EXPECT_FALSE(scanner_started());
    }
    kill(holder.pid(), SIGKILL);
}

// A cancel that comes just before a queued run begins to wait (the shim
// makes the moment 300 ms long): the wait that then begins ends at once,
// whether it reads a task that never ends or waits for the turn.
TEST_F(launch, CancelJustBeforeAQueuedWaitEndsIt) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process holder({"/usr/bin/flock", "-F", run_lock, "sleep", "30"}, options());
    ASSERT_TRUE(await_lock(holder.pid()));
    for (const bool task_ends : {false, true}) {
        shell("rm -f '" + seen.path() + "'/*");
        child_process queued({program, "sock"}, with_shim("ZELVO_SHIM_LATE_WAIT=1"));
        if (task_ends) queued.feed("IvaskPaths /queued");
        // The shim marks the start of the late wait, before the real call.
        for (int i = 0; i < 2000 && slurp(seen.file("shim")).size() < (task_ends ? 2u : 1u); ++i)
            std::this_thread::sleep_for(5ms);
        kill(queued.pid(), SIGTERM);
        ASSERT_TRUE(queued.wait_for(5s)) << (task_ends ? "the turn's" : "the task's") << " wait went on";
        EXPECT_EQ(-SIGTERM, queued.status());
        EXPECT_FALSE(scanner_started());
    }
    kill(holder.pid(), SIGKILL);
}

// A run cancelled or killed while its scanner has yet to read its config:
// the scanner keeps the turn, so the queued run neither replaces that config
// nor starts its own scanner before it has ended.
TEST_F(launch, CancelledOrKilledRunsScannerKeepsTheTurnUntilItEnds) {
    for (const int signal_number : {SIGTERM, SIGKILL}) {
        scratch_dir a_seen, b_seen;
        // Reads its config a second after it starts, and finishes first.
        process_options a_options = options(signal_number == SIGTERM ? "wait" : "record", a_seen.path());
        a_options.env.push_back("ZELVO_FAKE_DELAY_MS=1000");
        child_process a({program, "sock"}, a_options);
        a.feed("IvaskPaths /home ExcludeFileAndPaths /A-private InfectedFiles 1");
        ASSERT_TRUE(await_file(a_seen.file("argv")));
        child_process b({program, "sock"}, options("record", b_seen.path()));
        b.feed("IvaskPaths /home ExcludeFileAndPaths /B InfectedFiles 4");
        std::this_thread::sleep_for(100ms);  // b is queued
        kill(a.pid(), signal_number);
        ASSERT_TRUE(a.wait_for(10s));
        ASSERT_TRUE(await_file(b_seen.file("argv"))) << signal_number;
        EXPECT_TRUE(file_exists(a_seen.file("config"))) << signal_number << ": b started before a's scanner ended";
        ASSERT_TRUE(b.wait_for(10s));
        const std::string a_config = slurp(a_seen.file("config"));
        EXPECT_NE(std::string::npos, a_config.find("\nExcludePaths = /A-private\n")) << signal_number;
        EXPECT_NE(std::string::npos, a_config.find("\nInfectedFiles = Cure\n")) << signal_number;
        EXPECT_NE(std::string::npos, slurp(b_seen.file("config")).find("\nExcludePaths = /B\n"));
    }
}

// A scanner stopped when its run is cancelled is continued, acts on the
// relayed signal and gives up the turn: the queued run starts.
TEST_F(launch, CancelledStoppedScannerEndsAndTheQueuedRunStarts) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    scratch_dir b_seen;
    child_process a({program, "sock"}, options("stop"));
    a.feed("IvaskPaths /first");
    const pid_t pid = scanner_pid();
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 1000 && process_state(pid) != 'T'; ++i) std::this_thread::sleep_for(5ms);
    child_process b({program, "sock"}, options("record", b_seen.path()));
    b.feed("IvaskPaths /second");
    kill(a.pid(), SIGTERM);
    ASSERT_TRUE(a.wait_for(10s));
    EXPECT_EQ(0, a.status());
    EXPECT_TRUE(process_ends(pid, 10s)) << "the stopped scanner kept the turn";
    ASSERT_TRUE(b.wait_for(10s)) << "the queued run never got its turn";
    EXPECT_EQ("-path=/second", split_nul(slurp(b_seen.file("argv"))).back());
}

// The scanner holds the turn alone once it has started; a run told to wait
// at most N seconds fails after them, naming it, with status 75, and writes
// nothing; a dry run names it without waiting.
TEST_F(launch, TurnHolderIsNamedAndTheWaitForItBounded) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process first({program, "sock"}, options("wait"));
    first.feed("IvaskPaths /first");
    const pid_t holder = scanner_pid();
    ASSERT_GT(holder, 0);
    for (int i = 0; i < 2000 && has_open(first.pid(), run_lock); ++i) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(has_open(first.pid(), run_lock)) << "the program kept its copy of the lock";
    EXPECT_EQ("", slurp(run_lock));
    const std::string config = agent_utils::read_file(scanner_config);
    scratch_dir queued_seen;
    for (const int seconds : {0, 1}) {
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run_program({program, "-w", std::to_string(seconds), "sock"}, "IvaskPaths /queued",
                                         options("record", queued_seen.path()), 10s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ("Enterprise scan failed: the turn is still held by process " + std::to_string(holder) +
                      " (zelvo, for T) after " + std::to_string(seconds) + " s\n",
                  with_times_masked(r.output));
        EXPECT_EQ(75, r.status);
        EXPECT_GE(took, std::chrono::seconds(seconds));
        EXPECT_LT(took, std::chrono::seconds(seconds) + 3s);
    }
    EXPECT_EQ(config, agent_utils::read_file(scanner_config)) << "a run that did not get its turn wrote";
    EXPECT_FALSE(file_exists(queued_seen.file("argv")));
    const run_result dry = run_program({program, "-n", "sock"}, "IvaskPaths /queued", options());
    EXPECT_NE(std::string::npos, with_times_masked(dry.output)
                                     .find("\n# runs take turns by the lock " + run_lock + ": the turn is held by process " +
                                           std::to_string(holder) + " (zelvo, for T)\n"))
        << dry.output;
    stop_scanner();
    ASSERT_TRUE(process_ends(holder, 10s));
    const run_result after = run_program({program, "--wait", "5", "sock"}, "IvaskPaths /queued",
                                         options("record", queued_seen.path()));
    EXPECT_EQ("scanner ran\n", after.output);
    EXPECT_EQ(0, after.status);
    const run_result bad = run_program({program, "-w", "1s", "sock"}, "IvaskPaths /queued", options());
    EXPECT_EQ("Enterprise scan failed: --wait takes a whole number of seconds, not \"1s\"\n", bad.output);
}

// A lock that cannot be had for another reason than an interruption: the
// run goes on without it at once, never retries.
TEST_F(launch, LockThatCannotBeTakenLetsTheRunGoOnWithoutIt) {
    const run_result r = run_program({program, "sock"}, typical_task, with_shim("ZELVO_SHIM_FLOCK=1"), 10s);
    ASSERT_TRUE(r.ended) << "the run kept trying to lock";
    EXPECT_TRUE(file_exists(seen.file("shim"))) << "the failing flock was not used";
    EXPECT_EQ("scanner ran\n", r.output);
    EXPECT_EQ(0, r.status);
    // A strict run refuses to go on without turns, writing nothing.
    shell("rm -rf '" + scanner_config + "' '" + seen.path() + "'/*");
    agent_utils::write_file(engine_ini, full_engine_ini);
    const run_result strict =
        run_program({program, "--strict", "sock"}, typical_task, with_shim("ZELVO_SHIM_FLOCK=1"), 10s);
    EXPECT_EQ("Enterprise scan failed: runs do not take turns here: " + run_lock +
                  " cannot be locked: No locks available\n",
              strict.output);
    EXPECT_EQ(255, strict.status);
    EXPECT_FALSE(file_exists(scanner_config));
    EXPECT_FALSE(scanner_started());
}

}  // namespace
