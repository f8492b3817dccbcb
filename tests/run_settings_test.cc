// What an operator sets for the agent's one-argument call in the program's
// settings file, and the log line a run sends to syslog.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include "launch_fixture.hpp"
#include "process_support.hpp"

namespace {

class run_settings : public launch {
protected:
    void write_settings(const std::string& text, mode_t mode = 0644) const {
        agent_utils::write_file(settings_file, text);
        chmod(settings_file.c_str(), mode);
    }
};

// Each key reaches the agent's call, which has nothing but the socket.
TEST_F(run_settings, EachKeyActsAsItsOption) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    const struct {
        const char* settings;
        std::string task;
        const char* scanner_exit;
        std::string output;
        int status;
    } cases[] = {
        {"[Run]\nStrict = yes\n", "IvaskPaths /a InfectdFiles 1", "0",
         "Enterprise scan failed: not a task key, ignored: InfectdFiles\n", 255},
        {"[run]\nstrict = no # as built in\n", "IvaskPaths /a InfectdFiles 1", "0", "scanner ran\n", 0},
        {"[Run]\nFollow = yes\n", typical_task, "3", "scanner ran\n", 3},
        {"[Run]\nWait = 1\n", typical_task, "0",
         "Enterprise scan failed: the turn is still held by process 0 after 1 s\n", 75},
    };
    agent_utils::write_file(engine_ini, full_engine_ini);
    for (const auto& c : cases) {
        write_settings(c.settings);
        std::unique_ptr<child_process> holder;
        if (c.status == 75) {
            holder.reset(new child_process({"/usr/bin/flock", "-F", run_lock, "sleep", "30"}, options()));
            ASSERT_TRUE(await_lock(holder->pid()));
        }
        process_options o = options();
        o.env.push_back(std::string("ZELVO_FAKE_EXIT=") + c.scanner_exit);
        const run_result r = run("sock", c.task, o);
        std::string expected = c.output;
        if (holder) expected.replace(expected.find(" 0 "), 3, " " + std::to_string(holder->pid()) + " ");
        EXPECT_EQ(expected, r.output) << c.settings;
        EXPECT_EQ(c.status, r.status) << c.settings;
    }
}

// A file that cannot be trusted or read fails every run before anything is
// written, naming the file and why.
TEST_F(run_settings, FileThatCannotBeTrustedOrReadFailsTheRun) {
    const struct {
        const char* settings;  // null: a folder there
        mode_t mode;
        uid_t owner;
        std::string why;
    } cases[] = {
        {"[Run]\nStrikt = yes\n", 0644, 0, "not a setting it knows: Strikt"},
        {"[Runs]\nStrict = yes\n", 0644, 0, "not a section it knows: [Runs]"},
        {"Strict = yes\n", 0644, 0, "not a section it knows: []"},
        {"[Run]\nWait = 1\nWait = 2\n", 0644, 0, "Wait is given more than once, or holds a comma"},
        {"[Run]\nFollow = true\n", 0644, 0, "Follow takes yes or no, not \"true\""},
        {"[Run]\nWait = 1s\n", 0644, 0, "Wait takes a whole number of seconds, not \"1s\""},
        {"[Run]\nStrict\n", 0644, 0, "Parse error at line 2: No '=' sign found: Strict"},
        {"[Run]\nStrict = yes\n", 0664, 0, "others than its owner may write it"},
        {"[Run]\nStrict = yes\n", 0646, 0, "others than its owner may write it"},
        {"[Run]\nStrict = yes\n", 0644, 65534, "owned by user 65534, not by root or the program's user"},
        {nullptr, 0755, 0, "not a regular file"},
    };
    for (const auto& c : cases) {
        shell("rm -rf '" + settings_file + "'");
        if (c.owner != 0 && geteuid() != 0) continue;
        if (c.settings == nullptr)
            mkdir(settings_file.c_str(), c.mode);
        else
            write_settings(c.settings, c.mode);
        if (c.owner != 0) {
            ASSERT_EQ(0, chown(settings_file.c_str(), c.owner, c.owner));
        }
        for (const char* dry : {"", "-n"}) {
            std::vector<std::string> argv = {program, "sock"};
            if (*dry) argv.insert(argv.begin() + 1, dry);
            const run_result r = run_program(argv, typical_task, options());
            EXPECT_EQ("Enterprise scan failed: " + settings_file + ": " + c.why + "\n", r.output) << dry;
            EXPECT_EQ(255, r.status) << c.why;
        }
        EXPECT_FALSE(file_exists(scanner_config)) << c.why;
        EXPECT_FALSE(scanner_started()) << c.why;
    }
}

// The dry run shows each setting in effect and where it came from; an
// option wins over the file.
TEST_F(run_settings, DryRunShowsEachSettingAndWhereItCameFrom) {
    agent_utils::write_file(engine_ini, full_engine_ini);
    write_settings("[Run]\nWait = 30\nSyslog = yes\nStrict = no\n");
    const run_result dry = run_program({program, "-n", "--wait", "1", "--follow", "sock"}, typical_task, options());
    EXPECT_EQ(0u, dry.output.find("# setting Strict = no, from " + settings_file + "\n# setting Follow = yes, from the "
                                  "command line\n# setting Syslog = yes, from " + settings_file +
                                  "\n# setting Wait = 1, from the command line\n# runs take turns"))
        << dry.output;
    unlink(settings_file.c_str());
    EXPECT_EQ(std::string::npos, run_program({program, "-n", "sock"}, typical_task, options()).output.find("setting"));
}

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
