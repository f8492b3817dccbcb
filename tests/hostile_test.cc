// What an agent's environment may do to a run: closed or full output, short
// writes, a file-size limit, planted files, running out of memory, odd
// descriptors. Each case ends soundly.
#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

// The program's lines and the config arrive whole when the system writes
// less than asked, or refuses the failure line's single write once.
TEST_F(launch, OutputAndConfigSurviveShortAndFailedWrites) {
    const std::string good_task = "IvaskPaths /a,rel ActionJokes 8";
    ASSERT_EQ(0, run("sock", good_task).status);
    const std::string expected_config = agent_utils::read_file(scanner_config);
    const struct {
        const char* setting;
        std::string task, output;
        int status;
    } cases[] = {
        {"ZELVO_SHIM_WRITEV_EAGAIN=1", "IvaskPaths /a ActionJokes 3",
         "Enterprise scan failed: Malformed task settings: unknown action code 3 for ActionJokes\n", 255},
        {"ZELVO_SHIM_SHORT_WRITES=1", good_task, "Skipping relative path: rel\nscanner ran\n", 0},
    };
    for (const auto& c : cases) {
        unlink(seen.file("shim").c_str());
        const run_result r = run("sock", c.task, with_shim(c.setting));
        EXPECT_TRUE(file_exists(seen.file("shim"))) << c.setting << ": the shim was not used";
        EXPECT_EQ(c.output, r.output) << c.setting;
        EXPECT_EQ(c.status, r.status) << c.setting;
        EXPECT_EQ(expected_config, agent_utils::read_file(scanner_config)) << c.setting;
    }
}

TEST_F(launch, OutputToAClosedPipeNeverEndsTheRun) {
    const struct {
        const char* arg;
        const char* task;
        bool scanner_missing;
        int status;
    } cases[] = {
        {"sock", "IvaskPaths /home,rel", false, 0},      // "Skipping relative path: rel"
        {"sock", "IvaskPaths /a ActionJokes 3", false, 255},  // the failure line
        {"sock", "IvaskPaths /home", true, 2},            // "Execve failed: ..."
        {"-V", "", false, 0},
    };
    for (const auto& c : cases) {
        unlink(seen.file("argv").c_str());
        if (c.scanner_missing) unlink(scanner.c_str());
        process_options o = options();
        o.stdout_gone = true;
        const run_result r = run(c.arg, c.task, o);
        EXPECT_EQ(c.status, r.status) << c.task;
        EXPECT_EQ(c.status == 0 && c.arg[0] != '-', scanner_started()) << c.task;
        install_scanner();
    }
}

TEST_F(launch, FileSizeLimitFailsTheConfigWriteAndKeepsTheOldConfig) {
    agent_utils::write_file(scanner_config, "old config\n");
    process_options o = options();
    o.fsize_limit_zero = true;
    const run_result r = run("sock", typical_task, o);
    EXPECT_EQ("Enterprise scan failed: Failed to write file " + scanner_config + "\n", r.output);
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("old config\n", agent_utils::read_file(scanner_config));
    EXPECT_EQ(0, temporaries_beside_config());
    EXPECT_FALSE(scanner_started());
}

// Any local user can plant something at the config path in a shared /tmp
// (sticky, mode 1777). The run still puts its own config there in one step
// and touches nothing outside what was planted: a directory with content is
// moved aside whole. Where the file system cannot exchange two names, a
// plain rename replaces whatever is not a directory.
TEST_F(launch, WhateverAnotherUserPlantsAtTheConfigPathGivesWay) {
    const std::string tmp = sandbox + "/tmp";
    ASSERT_EQ(0, chmod(tmp.c_str(), 01777));
    scratch_dir elsewhere;
    const std::string outside = elsewhere.write("outside", "precious\n");
    const char* const no_exchange = "ZELVO_SHIM_NO_EXCHANGE=1";
    const struct {
        const char* planted;
        const char* shim;  // null: none
    } cases[] = {{"empty directory", nullptr}, {"full directory", nullptr}, {"fifo", nullptr},
                 {"link", nullptr},            {"link", no_exchange},        {"fifo", no_exchange},
                 // nothing there, then a directory just after the exchange found nothing
                 {"nothing", "ZELVO_SHIM_PLANT_ON_ENOENT=1"}};
    for (const auto& c : cases) {
        shell("rm -rf '" + scanner_config + "' '" + scanner_config + "'.* '" + seen.path() + "'/*");
        const std::string planted = c.planted;
        if (planted == "fifo") {
            ASSERT_EQ(0, mkfifo(scanner_config.c_str(), 0666));
        } else if (planted == "link") {
            ASSERT_EQ(0, symlink(outside.c_str(), scanner_config.c_str()));
        } else if (planted != "nothing") {
            ASSERT_EQ(0, mkdir(scanner_config.c_str(), 0777));
            if (planted == "full directory") {
                agent_utils::write_file(scanner_config + "/data", "theirs\n");
                ASSERT_EQ(0, symlink(outside.c_str(), (scanner_config + "/to-outside").c_str()));
            }
        }
        if (geteuid() == 0) shell("chown -hR 65534:65534 '" + scanner_config + "' 2>/dev/null");  // planted by nobody
        const run_result r = run("sock", typical_task, c.shim ? with_shim(c.shim) : options());
        const std::string row = planted + " " + (c.shim ? c.shim : "");
        EXPECT_EQ("scanner ran\n", r.output) << row;
        EXPECT_EQ(0, r.status) << row;
        struct stat info = {};
        ASSERT_EQ(0, lstat(scanner_config.c_str(), &info)) << row;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << row;
        EXPECT_EQ(geteuid(), info.st_uid) << row;
        EXPECT_EQ(agent_utils::read_file(scanner_config), slurp(seen.file("config"))) << row;
        EXPECT_EQ("precious\n", agent_utils::read_file(outside)) << row;
        if (c.shim) {
            EXPECT_TRUE(file_exists(seen.file("shim"))) << row << ": the shim was not used";
        }
        EXPECT_EQ(planted == "full directory" ? 1 : 0, temporaries_beside_config()) << row;
        if (planted == "full directory") {
            EXPECT_EQ("theirs\n", slurp(sandbox + "/tmp/" + only_entry_beside_config() + "/data"));
        }
    }
    chmod(tmp.c_str(), 0755);
}

// Running out of memory at any allocation of a run ends it with the failure
// line: never a run on defaults it was not meant to take, never an abort.
TEST_F(launch, AllocationFailureAnywhereEndsTheRunWithItsFailureLine) {
#if defined(ZELVO_SANITIZED)
    GTEST_SKIP() << "the sanitizer's allocator cannot be replaced by the shim's";
#elif defined(ZELVO_COVERAGE_BUILD)
    GTEST_SKIP() << "the coverage counters are written at exit with allocations that must not fail";
#else
    agent_utils::write_file(engine_ini, full_engine_ini);
    ASSERT_EQ(0, run("sock", typical_task).status);
    const std::string expected_config = agent_utils::read_file(scanner_config);
    // The Nth allocation alone fails, or (N+) it and every later one: the
    // failure line itself must need none.
    for (const char* from_then_on : {"", "+"}) {
        int n = 1;
        for (;; ++n) {
            shell("rm -rf '" + scanner_config + "' '" + seen.path() + "'/*");
            const std::string setting = "ZELVO_SHIM_FAIL_ALLOC=" + std::to_string(n) + from_then_on;
            const run_result r = run("sock", typical_task, with_shim(setting, ZELVO_ALLOC_FAILURE_SHIM));
            if (!file_exists(seen.file("shim"))) break;  // the run made fewer than n allocations
            ASSERT_TRUE(r.ended) << setting;
            if (r.status == 0) {
                EXPECT_EQ(expected_config, slurp(seen.file("config"))) << setting;
            } else {
                EXPECT_EQ("Enterprise scan failed: std::bad_alloc\n", r.output) << setting;
                EXPECT_EQ(255, r.status) << setting;
                EXPECT_FALSE(scanner_started()) << setting;
            }
            ASSERT_LT(n, 5000);
        }
        EXPECT_GT(n, 20) << "the shim counted too few allocations to be in use";
    }
#endif
}

TEST_F(launch, TaskInputIsReadWholeOrTheRunFails) {
    scratch_dir dir;
    process_options o = options();
    o.stdin_path = dir.path();  // read() gives EISDIR
    const run_result r = run("sock", typical_task, o);
    EXPECT_EQ("Enterprise scan failed: Failed to read the task settings: Is a directory\n", r.output);
    EXPECT_EQ(255, r.status);
    EXPECT_FALSE(file_exists(scanner_config));

    // A non-blocking pipe with nothing in it yet has not ended.
    o = options();
    o.stdin_nonblocking = true;
    child_process p({program, "sock"}, o);
    std::this_thread::sleep_for(200ms);
    p.feed("IvaskPaths /late ExcludeFileAndPaths /late/tmp");
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ(0, p.status());
    EXPECT_EQ("-path=/late", scanner_argv().at(3));
}

TEST_F(launch, ClosedStandardDescriptorsReachTheScannerAsDevNull) {
    const struct {
        std::vector<int> closed;
        const char* fds;  // what the scanner finds, pipes shown as "pipe"
    } cases[] = {
        {{1}, "0 pipe\n1 /dev/null\n2 pipe\n"},
        {{2}, "0 pipe\n1 pipe\n2 /dev/null\n"},
        {{1, 2}, "0 pipe\n1 /dev/null\n2 /dev/null\n"},
    };
    for (const auto& c : cases) {
        process_options o = options();
        o.closed_fds = c.closed;
        EXPECT_EQ(0, run("sock", typical_task, o).status);
        std::string fds = slurp(seen.file("fds"));
        for (std::string::size_type at; (at = fds.find(" pipe:[")) != std::string::npos;)
            fds.replace(at, fds.find('\n', at) - at, " pipe");
        EXPECT_EQ(c.fds, fds);
    }
    // A closed standard input reads as an empty task.
    process_options o = options();
    o.closed_fds = {0};
    EXPECT_EQ("Enterprise scan failed: Malformed task settings: ScanRemovable and ScanFixed are required when "
              "IvaskPaths names no path\n",
              run("sock", typical_task, o).output);
}

// Memory errors and leaks, on the ways a run can end.
// The descriptors a child of this process inherits: those without
// close-on-exec, lowest first.
std::vector<int> inherited_descriptors() {
    std::vector<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fds.push_back(fd);
    }
    return fds;
}

// The scanner starts with the descriptors the program was given (closed
// standard ones as /dev/null) and the lock: nothing the program opened for
// itself, nothing past what it was given. Descriptor 3 is closed for it, so
// that the program could take that number.
TEST_F(launch, ScannerGetsTheProgramsDescriptorsAndTheLockOnly) {
    const struct {
        std::vector<int> closed, given;
    } cases[] = {{{3}, {}}, {{3}, {7}}, {{2, 3}, {5}}};
    for (const auto& c : cases) {
        process_options o = options();
        o.closed_fds = c.closed;
        o.null_fds = c.given;
        ASSERT_EQ(0, run("sock", typical_task, o).status);
        std::set<int> expected = {0, 1, 2};
        for (const int fd : inherited_descriptors())
            if (std::find(c.closed.begin(), c.closed.end(), fd) == c.closed.end()) expected.insert(fd);
        expected.insert(c.given.begin(), c.given.end());
        std::set<int> open;
        int locks = 0;
        const std::string listed = slurp(seen.file("open"));
        for (std::string::size_type at = 0; at < listed.size();) {
            const std::string::size_type end = listed.find('\n', at);
            const std::string line = listed.substr(at, end - at);
            if (line.substr(line.find(' ') + 1) == run_lock)
                ++locks;
            else
                open.insert(std::stoi(line));
            at = end + 1;
        }
        EXPECT_EQ(expected, open) << listed;
        EXPECT_EQ(1, locks) << listed;
    }
}

TEST_F(launch, RunsAreCleanUnderValgrind) {
#ifndef ZELVO_VALGRIND
    GTEST_SKIP() << "valgrind is not installed, or this is a sanitizer build";
#else
    const struct {
        std::vector<std::string> args;
        const char* task;
        int status;
    } cases[] = {
        {{"sock"}, "IvaskPaths \"/home,rel\" ExcludeFileAndPaths /x InfectedFiles 1 MaxArchLevel -1", 0},
        {{"-V"}, "", 0},
        {{}, "", 255},
        {{""}, "IvaskPaths /home", 255},
        {{"sock"}, "IvaskPaths /a ActionJokes 3", 255},
        {{"sock"}, "ScanRemovable 1", 255},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {ZELVO_VALGRIND, "-q", "--error-exitcode=99", "--leak-check=full",
                                         "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                                         program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const run_result r = run_program(argv, c.task, options(), 120s);
        EXPECT_EQ(c.status, r.status) << c.task << "\n" << r.output;
    }
    unlink(scanner.c_str());
    std::vector<std::string> argv = {ZELVO_VALGRIND, "-q", "--error-exitcode=99", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite", program, "sock"};
    const run_result missing = run_program(argv, "IvaskPaths /a", options(), 120s);
    EXPECT_EQ(2, missing.status) << missing.output;
#endif
}

}  // namespace
