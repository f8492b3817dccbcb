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

#include "launch_fixture.hpp"
#include "process_support.hpp"

namespace {

class turn_holder : public launch {};

long voluntary_switches(pid_t pid) {
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    const std::string::size_type at = status.find("\n" + key);
    return at == std::string::npos ? -1 : std::stol(status.substr(at + key.size() + 1));
}

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
