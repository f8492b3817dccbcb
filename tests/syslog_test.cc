// The log line reaches a real datagram socket at /dev/log, in a private mount
// namespace: exactly one line for every run that logs, whatever ends it,
// daemon.info or daemon.err, in fields; nothing without the setting or from
// a dry run; a socket that is full and never read holds no run back.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include "launch_fixture.hpp"
#include "process_support.hpp"

namespace {

class syslog_line : public shipped_program {
protected:
    void SetUp() override {
        shipped_program::SetUp();
        if (IsSkipped()) return;
        log = listen();
        ASSERT_GE(log, 0);
    }
    void TearDown() override {
        if (log >= 0) close(log);
    }
    // Binds the socket the private /dev/log is; -1 where it cannot.
    int listen() const {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_file().c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
        return fd;
    }
    std::string socket_file() const { return root.file("log.sock"); }
    // What arrived, one datagram a line.
    std::vector<std::string> received() const {
        std::vector<std::string> lines;
        char buffer[8192];
        ssize_t n;
        while ((n = recv(log, buffer, sizeof buffer, 0)) > 0) lines.emplace_back(buffer, static_cast<std::size_t>(n));
        return lines;
    }
    void write_settings(const char* text) const {
        unlink(root.file("etc/zelvo-ivask.conf").c_str());
        if (text) agent_utils::write_file(root.file("etc/zelvo-ivask.conf"), text);
    }
    // The program in the private root with /dev/log at the test's socket.
    std::vector<std::string> logged(const std::vector<std::string>& args) const {
        std::vector<std::string> command = {"--dev-log", socket_file(), "/mnt/zelvo-ivask"};
        command.insert(command.end(), args.begin(), args.end());
        return in_private_root(command);
    }
    int log = -1;
};

// The fields after the header, with the times and the scanner's id shown as
// N: they depend on the moment.
std::string fields_masked(const std::string& datagram) {
    const std::string::size_type tag = datagram.find(" zelvo-ivask[");
    if (tag == std::string::npos) return "no tag: " + datagram;
    const std::string fields = datagram.substr(datagram.find("]: ", tag) + 3);
    return std::regex_replace(fields, std::regex("(duration_ms|waited_ms|scanner)=[0-9]+"), "$1=N");
}

TEST_F(syslog_line, OneLineARunAtItsPriorityInFields) {
    const struct {
        const char* settings;  // null: no settings file
        std::vector<std::string> options;
        std::string task;
        std::string fields;  // after "<priority>date zelvo-ivask[pid]: "; empty: nothing sent
        const char* priority;
    } cases[] = {
        {nullptr, {"--syslog"}, "IvaskPaths /home,/srv InfectedFiles 1 IncurableFiles 4",
         "outcome=scanned status=0 scanner_status=0 duration_ms=N waited_ms=N scanner=N socket=/run/agent.sock "
         "paths=/home,/srv actions=\"InfectedFiles=Cure,IncurableFiles=Delete\"",
         "<30>"},
        {"[Run]\nSyslog = yes\n", {}, "IvaskPaths /x\x1b\\y,/t\xff\xfe",
         "outcome=scanned status=0 scanner_status=0 duration_ms=N waited_ms=N scanner=N socket=/run/agent.sock "
         "paths=/x\\x1b\\\\y,/t\\xff\\xfe actions=\"\"",
         "<30>"},
        {nullptr, {"--syslog"}, "IvaskPaths /a ActionJokes 3",
         "outcome=failed status=255 cause=task key=ActionJokes value=3 duration_ms=N socket=/run/agent.sock", "<27>"},
        {"[Run]\nSyslog = yes\n", {"--follow"}, "IvaskPaths /home",
         "outcome=not-started status=2 cause=start duration_ms=N waited_ms=N socket=/run/agent.sock paths=/home "
         "actions=\"\"",
         "<27>"},
        {nullptr, {}, "IvaskPaths /home", "", ""},
        {"[Run]\nSyslog = no\n", {}, "IvaskPaths /home", "", ""},
        {"[Run]\nSyslog = yes\n", {"--no-syslog"}, "IvaskPaths /home", "", ""},
        {"[Run]\nSyslog = yes\n", {"-n"}, "IvaskPaths /home", "", ""},
    };
    for (const auto& c : cases) {
        if (c.options == std::vector<std::string>{"--follow"}) rename(root.file("opt/zelvo").c_str(), root.file("x").c_str());
        if (c.fields.empty()) rename(root.file("x").c_str(), root.file("opt/zelvo").c_str());
        write_settings(c.settings);
        std::vector<std::string> args = c.options;
        args.push_back("/run/agent.sock");
        run_program(logged(args), c.task);
        const std::vector<std::string> got = received();
        if (c.fields.empty()) {
            EXPECT_TRUE(got.empty()) << c.task << ": " << (got.empty() ? "" : got.front());
            continue;
        }
        ASSERT_EQ(1u, got.size()) << c.task;
        EXPECT_EQ(0u, got.front().find(c.priority)) << got.front();
        EXPECT_EQ(c.fields, fields_masked(got.front())) << c.task;
    }
}

// Every way a logging run can end leaves exactly one line: a refused
// settings file that turns logging on whatever key is bad, a wrong number
// of arguments, a queued run cancelled while it waits, a run that dies by
// its followed scanner's signal, a cancel passed on.
TEST_F(syslog_line, EveryEndOfALoggingRunLeavesOneLine) {
    agent_utils::write_file(root.file("shim.so"), agent_utils::read_file(ZELVO_LAUNCH_SHIM));
    process_options quiet;
    quiet.env = {"ZELVO_FAKE_DIR=/tmp", "ZELVO_FAKE_MODE=wait"};
    const struct {
        const char* settings;
        std::vector<std::string> args;
        std::string fields;
    } refused[] = {
        {"[Run]\nSyslog = yes\nFollow = maybe\n", {"sock"},
         "outcome=failed status=255 cause=settings key=Follow value=maybe duration_ms=N socket=sock"},
        {"[Run]\nAardvark = 1\nSyslog = yes\n", {"sock"},
         "outcome=failed status=255 cause=settings key=Aardvark duration_ms=N socket=sock"},
        {"[Run]\nSyslog = yes\n", {"sock", "extra"}, "outcome=failed status=255 cause=arguments duration_ms=N"},
        {"[Run]\nSyslog = yes\n", {}, "outcome=failed status=255 cause=arguments duration_ms=N"},
        {nullptr, {"--syslog", "-w", "x", "sock"},
         "outcome=failed status=255 cause=arguments key=--wait value=x duration_ms=N"},
    };
    for (const auto& c : refused) {
        write_settings(c.settings);
        const run_result r = run_program(logged(c.args), "IvaskPaths /home");
        EXPECT_EQ(255, r.status) << c.fields;
        const std::vector<std::string> got = received();
        ASSERT_EQ(1u, got.size()) << c.fields;
        EXPECT_EQ(c.fields, fields_masked(got.front()));
    }
    write_settings("[Run]\nSyslog = yes\n");

    // Queued behind a holder of the turn, then cancelled.
    child_process holder(in_private_root({"/usr/bin/flock", "-F", "/run/zelvo-ivask.lock", "sleep", "30"}));
    ASSERT_TRUE(await_lock(holder.pid()));
    child_process queued(logged({"sock"}), quiet);
    queued.feed("IvaskPaths /home");
    ASSERT_TRUE(await_lock(queued.pid(), true)) << "the run does not wait for its turn";
    kill(queued.pid(), SIGTERM);
    ASSERT_TRUE(queued.wait_for(10s));
    kill(holder.pid(), SIGKILL);
    std::vector<std::string> got = received();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("outcome=cancelled status=143 signal=15 duration_ms=N waited_ms=N socket=sock paths=/home actions=\"\"",
              fields_masked(got.front()));

    // A followed scanner killed: the run dies by the same signal.
    child_process followed(logged({"--follow", "sock"}), quiet);
    followed.feed("IvaskPaths /home");
    ASSERT_TRUE(await_file(root.file("tmp/pid")));
    kill(std::stoi(slurp(root.file("tmp/pid"))), SIGKILL);
    ASSERT_TRUE(followed.wait_for(10s));
    EXPECT_EQ(-SIGKILL, followed.status());
    got = received();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("outcome=killed status=137 signal=9 duration_ms=N waited_ms=N scanner=N socket=sock paths=/home "
              "actions=\"\"",
              fields_masked(got.front()));

    // A cancel passed on is how that run ended, also where the scanner has
    // acted on it before the program looks (its wake-up made late).
    unlink(root.file("tmp/pid").c_str());
    child_process cancelled(in_private_root({"--dev-log", socket_file(), "/usr/bin/env", "LD_PRELOAD=/mnt/shim.so",
                                             "ASAN_OPTIONS=verify_asan_link_order=0", "ZELVO_SHIM_DELAY_WAKE=1",
                                             "ZELVO_SHIM_MARK=/mnt/shim-mark", "/mnt/zelvo-ivask", "sock"}),
                            quiet);
    cancelled.feed("IvaskPaths /home");
    ASSERT_TRUE(await_file(root.file("tmp/pid")));
    kill(cancelled.pid(), SIGTERM);
    ASSERT_TRUE(cancelled.wait_for(10s));
    got = received();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("outcome=cancelled status=0 signal=15 duration_ms=N waited_ms=N scanner=N socket=sock paths=/home "
              "actions=\"\"",
              fields_masked(got.front()));
    EXPECT_TRUE(file_exists(root.file("shim-mark")));
}

// A daemon that does not read: its socket full, a logging run ends within
// about a second of its scanner, and drops the line. No socket: as ever.
TEST_F(syslog_line, FullOrMissingSocketHoldsNoRunBack) {
    const int writer = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_file().c_str());
    ASSERT_EQ(0, connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address));
    int queued = 0;
    while (send(writer, "filler", 6, MSG_DONTWAIT) == 6 && queued < 100000) ++queued;
    close(writer);
    ASSERT_GT(queued, 0);
    for (const char* task : {"IvaskPaths /home", "IvaskPaths /a ActionJokes 3"}) {
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run_program(logged({"--syslog", "--follow", "sock"}), task);
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(r.ended) << task;
        EXPECT_LT(took, 2500ms) << task << ": the full socket held the run back";
    }
    const run_result lost = run_program(
        in_private_root({"--dev-log", root.file("none"), "/mnt/zelvo-ivask", "--syslog", "sock"}), "IvaskPaths /home");
    EXPECT_EQ("scanner ran\n", lost.output);
    EXPECT_EQ(0, lost.status);
}

// 10,000 paths: a line of at most 1,024 bytes that starts with its outcome
// and names how many paths it left out; only printable ASCII.
TEST_F(syslog_line, TenThousandPathsFitTheLine) {
    std::string task = "IvaskPaths /p0";
    for (int i = 1; i < 10000; ++i) task += ",/p" + std::to_string(i);
    run_program(logged({"--syslog", "sock"}), task + " InfectedFiles 1");
    const std::vector<std::string> got = received();
    ASSERT_EQ(1u, got.size());
    const std::string& line = got.front();
    EXPECT_LE(line.size(), 1024u);
    EXPECT_NE(std::string::npos, line.find("]: outcome=scanned status=0 ")) << line;
    EXPECT_NE(std::string::npos, line.find(" more\" actions=\"InfectedFiles=Cure\"")) << line;
    EXPECT_TRUE(std::regex_search(line, std::regex(" paths=\"/p0,/p1,[/p0-9,]+ \\+[0-9]+ more\" "))) << line;
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7f; }));
}

}  // namespace
