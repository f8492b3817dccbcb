// The log line reaches a real syslog socket: one line a run, at its priority.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include "launch_fixture.hpp"
#include "process_support.hpp"

namespace {

// The log line reaches a real datagram socket at /dev/log, in a private
// mount namespace: one line a run, daemon.info for a scan and daemon.err for
// a failure, escaped; nothing without the setting; without a socket the
// run goes on as ever.
class syslog_line : public shipped_program {
protected:
    // Binds the socket the private /dev/log is; -1 where it cannot.
    int listen() const {
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const std::string path = root.file("log.sock");
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
        return fd;
    }
    // What arrived, one datagram a line.
    static std::string received(int fd) {
        std::string all;
        char buffer[8192];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) all.append(buffer, static_cast<std::size_t>(n)).push_back('\n');
        return all;
    }
};

TEST_F(syslog_line, OneEscapedLineARunAtItsPriority) {
    const int log = listen();
    ASSERT_GE(log, 0);
    const std::string socket_file = root.file("log.sock");
    const struct {
        const char* settings;  // null: no settings file
        std::vector<std::string> options;
        std::string task;
        std::string line;  // after "<priority>date zelvo-ivask[pid]: "; empty: nothing sent
        const char* priority;
    } cases[] = {
        {nullptr, {"--syslog"}, "IvaskPaths /home,/srv InfectedFiles 1 IncurableFiles 4",
         "socket /run/agent.sock, paths /home /srv, actions InfectedFiles=Cure IncurableFiles=Delete: the scanner "
         "exited with status 0",
         "<30>"},
        {"[Run]\nSyslog = yes\n", {}, "IvaskPaths /x\x1b\\y",
         "socket /run/agent.sock, paths /x\\x1b\\\\y, actions all Report: the scanner exited with status 0", "<30>"},
        {nullptr, {"--syslog"}, "IvaskPaths /a ActionJokes 3",
         "socket /run/agent.sock: Enterprise scan failed: Malformed task settings: unknown action code 3 for ActionJokes",
         "<27>"},
        {"[Run]\nSyslog = yes\n", {"--follow"}, "IvaskPaths /home",
         "socket /run/agent.sock, paths /home, actions all Report: Execve failed: No such file or directory", "<27>"},
        {nullptr, {}, "IvaskPaths /home", "", ""},
        {"[Run]\nSyslog = no\n", {}, "IvaskPaths /home", "", ""},
    };
    for (const auto& c : cases) {
        if (c.options == std::vector<std::string>{"--follow"}) rename(root.file("opt/zelvo").c_str(), root.file("x").c_str());
        if (c.line.empty()) rename(root.file("x").c_str(), root.file("opt/zelvo").c_str());
        unlink(root.file("etc/zelvo-ivask.conf").c_str());
        if (c.settings) agent_utils::write_file(root.file("etc/zelvo-ivask.conf"), c.settings);
        std::vector<std::string> command = {"--dev-log", socket_file, "/mnt/zelvo-ivask"};
        command.insert(command.end(), c.options.begin(), c.options.end());
        command.push_back("/run/agent.sock");
        const run_result r = run_program(in_private_root(command), c.task);
        const std::string got = received(log);
        if (c.line.empty()) {
            EXPECT_EQ("", got) << c.task;
            continue;
        }
        EXPECT_EQ(0u, got.find(c.priority)) << got;
        const std::string::size_type tag = got.find(" zelvo-ivask[");
        ASSERT_NE(std::string::npos, tag) << got;
        EXPECT_EQ(c.line + "\n", got.substr(got.find("]: ", tag) + 3)) << c.task;
    }
    // A cancel passed on is how that run ended, also where the scanner has
    // acted on it before the program looks (its wake-up made late).
    agent_utils::write_file(root.file("shim.so"), agent_utils::read_file(ZELVO_LAUNCH_SHIM));
    process_options waiting;
    waiting.env = {"ZELVO_FAKE_DIR=/tmp", "ZELVO_FAKE_MODE=wait"};
    child_process cancelled(in_private_root({"--dev-log", socket_file, "/usr/bin/env", "LD_PRELOAD=/mnt/shim.so",
                                             "ASAN_OPTIONS=verify_asan_link_order=0", "ZELVO_SHIM_DELAY_WAKE=1",
                                             "ZELVO_SHIM_MARK=/mnt/shim-mark", "/mnt/zelvo-ivask", "--syslog", "sock"}),
                            waiting);
    cancelled.feed("IvaskPaths /home");
    ASSERT_TRUE(await_file(root.file("tmp/pid")));
    kill(cancelled.pid(), SIGTERM);
    ASSERT_TRUE(cancelled.wait_for(10s));
    const std::string got = received(log);
    EXPECT_NE(std::string::npos, got.find("]: socket sock, paths /home, actions all Report: signal 15 was passed on to "
                                          "the scanner\n"))
        << got;
    EXPECT_TRUE(file_exists(root.file("shim-mark")));
    // No syslog socket: the line is lost, the run is as ever.
    const run_result lost =
        run_program(in_private_root({"--dev-log", root.file("none"), "/mnt/zelvo-ivask", "--syslog", "sock"}),
                    "IvaskPaths /home");
    EXPECT_EQ("scanner ran\n", lost.output);
    EXPECT_EQ(0, lost.status);
    close(log);
}

}  // namespace
