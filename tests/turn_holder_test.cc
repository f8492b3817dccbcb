// Who holds the turn comes from the kernel: the processes that hold the lock
// now, never an id that may have ended. A run that gives up waiting ends 75,
// and while it waits it sleeps.
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "launch_fixture.hpp"
#include "process_support.hpp"

namespace {

class turn_holder : public launch {};

// A scanner's worker that kept the lock after the scanner ended, flock(1)
// and the command it runs, a scanner whose program was killed: each is named
// as it holds the lock now, by the bounded wait and by the dry run.
TEST_F(turn_holder, HolderIsTheProcessThatHoldsTheLockNow) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    enum holder_kind { scanner_worker, flock_command, killed_program };
    for (const holder_kind kind : {scanner_worker, flock_command, killed_program}) {
        shell("rm -f '" + seen.path() + "'/*");
        std::unique_ptr<child_process> holder;
        std::string named;
        if (kind == flock_command) {
            // flock(1) leads a process group of its own, with its command.
            holder.reset(new child_process({"/usr/bin/setsid", "/usr/bin/flock", run_lock, "sleep", "30"}, options()));
            named = std::to_string(holder->pid()) + " (flock, for T) and 1 more";
            // Once flock(1) has the lock, it forks its command.
            const std::string children = "/proc/" + named.substr(0, named.find(' ')) + "/task/" +
                                         named.substr(0, named.find(' ')) + "/children";
            for (int i = 0; i < 2000 && slurp(children).empty(); ++i) std::this_thread::sleep_for(5ms);
        } else {
            holder.reset(new child_process({program, "sock"}, options(kind == scanner_worker ? "worker" : "wait")));
            holder->feed("IvaskPaths /first");
            ASSERT_GT(scanner_pid(), 0);
            if (kind == killed_program) kill(holder->pid(), SIGKILL);
            ASSERT_TRUE(holder->wait_for(10s));
            named = (kind == scanner_worker ? (await_file(seen.file("worker")) ? slurp(seen.file("worker")) : "?")
                                            : std::to_string(scanner_pid())) +
                    " (zelvo, for T)";
        }
        const run_result waited = run_program({program, "-w", "1", "sock"}, "IvaskPaths /queued", options());
        EXPECT_EQ("Enterprise scan failed: the turn is still held by process " + named + " after 1 s\n",
                  with_times_masked(waited.output))
            << kind;
        EXPECT_EQ(75, waited.status) << kind;
        const run_result dry = run_program({program, "-n", "sock"}, "IvaskPaths /queued", options());
        EXPECT_NE(std::string::npos, with_times_masked(dry.output).find("# runs take turns by the lock " + run_lock +
                                                     ": the turn is held by process " + named + "\n"))
            << kind << "\n" << dry.output;
        if (file_exists(seen.file("worker"))) kill(std::stoi(slurp(seen.file("worker"))), SIGKILL);
        stop_scanner();
        if (kind == flock_command) kill(-holder->pid(), SIGKILL);
    }
}

// A child of the test that holds a lock of kind (F_SETLK, a POSIX lock,
// or F_OFD_SETLK, an open file description's) on byte `byte` of path, until
// killed.
pid_t hold_record_lock(const std::string& path, int kind, off_t byte) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = byte;
        lock.l_len = 1;
        const char held = fd >= 0 && fcntl(fd, kind, &lock) == 0 ? 'y' : 'n';
        if (write(ready[1], &held, 1) != 1) _exit(1);
        for (;;) pause();
    }
    char held = 'n';
    close(ready[1]);
    if (read(ready[0], &held, 1) != 1) held = 'n';
    close(ready[0]);
    return held == 'y' ? pid : -1;
}

// Only a flock() on the lock file is the turn: a POSIX or open file
// description's lock on it, or a flock() on another file, leave the turn
// free and are never named beside a scan that holds it.
TEST_F(turn_holder, OnlyAFlockOnTheLockFileIsTheTurn) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    const pid_t posix = hold_record_lock(run_lock, F_SETLK, 0);
    const pid_t ofd = hold_record_lock(run_lock, F_OFD_SETLK, 1);
    ASSERT_GT(posix, 0);
    ASSERT_GT(ofd, 0);
    child_process elsewhere({"/usr/bin/flock", "-F", seen.file("another.lock"), "sleep", "30"}, options());
    ASSERT_TRUE(await_lock(elsewhere.pid()));
    const run_result dry = run_program({program, "-n", "sock"}, "IvaskPaths /a", options());
    EXPECT_NE(std::string::npos, dry.output.find(": the turn is free\n")) << dry.output;
    const run_result free = run_program({program, "-w", "0", "sock"}, "IvaskPaths /a", options());
    EXPECT_EQ(0, free.status) << free.output;

    scratch_dir scan_seen;
    child_process scan({program, "sock"}, options("wait", scan_seen.path()));
    scan.feed("IvaskPaths /first");
    ASSERT_TRUE(await_file(scan_seen.file("pid")));
    const std::string holder = slurp(scan_seen.file("pid"));
    for (int i = 0; i < 2000 && has_open(scan.pid(), run_lock); ++i) std::this_thread::sleep_for(5ms);
    const run_result busy = run_program({program, "-w", "0", "sock"}, "IvaskPaths /a", options());
    EXPECT_EQ("Enterprise scan failed: the turn is still held by process " + holder + " (zelvo, for T) after 0 s\n",
              with_times_masked(busy.output));
    EXPECT_EQ(75, busy.status);
    kill(std::stoi(holder), SIGKILL);
    for (const pid_t pid : {posix, ofd}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// A holder whose descriptors this user may not read (root's, holding
// nobody's lock) is not named: the turn is "held", for -w and the dry run.
TEST_F(shipped_program, HolderThatCannotBeSeenIsNotNamed) {
    const uid_t nobody = 65534;
    for (const auto& r : {std::make_pair("", 0755), std::make_pair("etc", 0755), std::make_pair("tmp", 01777)})
        ASSERT_EQ(0, chmod(root.file(r.first).c_str(), static_cast<mode_t>(r.second))) << r.first;
    ASSERT_EQ(0, chmod(root.file("etc/zelvo32.ini").c_str(), 0644));
    const std::string runtime = root.file("tmp/runtime"), lock = runtime + "/zelvo-ivask.lock";
    ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
    agent_utils::write_file(lock, "");
    ASSERT_EQ(0, chmod(lock.c_str(), 0600));
    for (const std::string& path : {runtime, lock}) ASSERT_EQ(0, chown(path.c_str(), nobody, nobody));
    child_process holder({"/usr/bin/flock", "-F", lock, "sleep", "30"}, process_options());
    ASSERT_TRUE(await_lock(holder.pid()));
    const std::string id = std::to_string(nobody);
    const auto as_nobody = [&](const std::string& option, const std::string& value) {
        std::vector<std::string> command = {"env", "XDG_RUNTIME_DIR=/tmp/runtime", "setpriv", "--reuid=" + id,
                                            "--regid=" + id, "--clear-groups", "/mnt/zelvo-ivask", option};
        if (!value.empty()) command.push_back(value);
        command.push_back("sock");
        return run_program(in_private_root(command), "IvaskPaths /home");
    };
    const run_result dry = as_nobody("-n", "");
    EXPECT_NE(std::string::npos,
              dry.output.find("# runs take turns by the lock /tmp/runtime/zelvo-ivask.lock: the turn is held\n"))
        << dry.output;
    const run_result waited = as_nobody("-w", "0");
    EXPECT_EQ("Enterprise scan failed: the turn is still held after 0 s\n", waited.output);
    EXPECT_EQ(75, waited.status);
}

// A run waiting with -w blocks in flock(): no wake-ups but its timer's.
TEST_F(turn_holder, WaitingRunSleepsUntilItsTurnComes) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process holder({"/usr/bin/flock", "-F", run_lock, "sleep", "30"}, options());
    ASSERT_TRUE(await_lock(holder.pid()));
    child_process waiting({program, "-w", "30", "sock"}, options());
    waiting.feed("IvaskPaths /queued");
    ASSERT_TRUE(await_lock(waiting.pid(), true)) << "the run does not wait in flock()";
    const long before = voluntary_switches(waiting.pid());
    std::this_thread::sleep_for(2s);
    const long after = voluntary_switches(waiting.pid());
    ASSERT_GE(before, 0);
    EXPECT_LE(after - before, 2) << "the waiting run woke up";
    kill(holder.pid(), SIGKILL);
    ASSERT_TRUE(waiting.wait_for(10s));
    EXPECT_EQ(0, waiting.status());
    EXPECT_EQ("scanner ran\n", waiting.output());
}

}  // namespace
