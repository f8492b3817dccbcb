// What an operator sets for the agent's one-argument call in the program's
// settings file reaches the run, and a file that cannot be trusted fails it.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

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
         "Enterprise scan failed: the turn is still held by process 0 (sleep, for T) after 1 s\n", 75},
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
        EXPECT_EQ(expected, with_times_masked(r.output)) << c.settings;
        EXPECT_EQ(c.status, r.status) << c.settings;
    }
}

// The file's switch turned off for one run by its --no- form.
TEST_F(run_settings, NoFormTurnsOffForOneRunWhatTheFileSets) {
    agent_utils::write_file(engine_ini, full_engine_ini);
    write_settings("[Run]\nStrict = yes\nFollow = yes\n");
    process_options o = options();
    o.env.push_back("ZELVO_FAKE_EXIT=3");
    const struct {
        std::vector<std::string> options;
        std::string output;
        int status;
    } cases[] = {
        {{}, "Enterprise scan failed: not a task key, ignored: InfectdFiles\n", 255},
        {{"--no-strict"}, "scanner ran\n", 3},
        {{"--no-strict", "--no-follow"}, "scanner ran\n", 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back("sock");
        const run_result r = run_program(argv, "IvaskPaths /a InfectdFiles 1", o);
        EXPECT_EQ(c.output, r.output) << c.options.size();
        EXPECT_EQ(c.status, r.status) << c.options.size();
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
        // The refusals one by one are the settings file's unit tests; here,
        // that each kind fails every run and dry run before anything.
        {"[Run]\nStrikt = yes\n", 0644, 0, "not a setting it knows: Strikt"},
        {"[Rnu]\n", 0644, 0, "not a section it knows: [Rnu]"},
        {"\xef\xbb\xbf[Run]\nStrict = yes\n", 0644, 0,
         "begins with a byte order mark (EF BB BF): save it as plain text, without one"},
        {"link", 0644, 0, "a symbolic link to absent.conf, which does not exist"},
        {"[Run]\nStrict = yes\n", 0664, 0, "others than its owner may write it"},
        {"[Run]\nStrict = yes\n", 0644, 65534, "owned by user 65534, not by root or the program's user"},
        {nullptr, 0755, 0, "not a regular file"},
    };
    for (const auto& c : cases) {
        shell("rm -rf '" + settings_file + "'");
        if (c.owner != 0 && geteuid() != 0) continue;
        if (c.settings == nullptr)
            mkdir(settings_file.c_str(), c.mode);
        else if (std::string(c.settings) == "link")
            ASSERT_EQ(0, symlink("absent.conf", settings_file.c_str()));
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
                                  "\n# setting Wait = 1, from the command line\n# setting Timeout = none, built in\n# setting "
                                  "KillAfter = none, built in\n# runs take turns"))
        << dry.output;
    unlink(settings_file.c_str());
    EXPECT_EQ(std::string::npos, run_program({program, "-n", "sock"}, typical_task, options()).output.find("setting"));
}

}  // namespace
