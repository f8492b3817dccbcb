// The shipped program with its real paths, in a private mount namespace, and
// as another user than root.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

TEST_F(shipped_program, RunsTheScannerWithItsFixedPaths) {
    process_options o;
    o.env = {"ZELVO_FAKE_DIR=/tmp"};  // the private /tmp, root/tmp seen from here
    const run_result r =
        run_program(in_private_root({"/mnt/zelvo-ivask", "/run/agent.sock"}), "IvaskPaths /home,/srv ActionJokes 8", o);
    EXPECT_EQ("scanner ran\n", r.output);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((std::vector<std::string>{"/tmp/.ivask_config", "-ini=/tmp/.ivask_config", "-a=/run/agent.sock",
                                        "-path=/home", "-path=/srv"}),
              split_nul(slurp(root.file("tmp/argv"))));
    const std::string config = agent_utils::read_file(root.file("tmp/.ivask_config"));
    EXPECT_EQ(config, slurp(root.file("tmp/config")));
    EXPECT_EQ(0u, config.find("[Scanner]\nEnginePath = /var/zelvo/lib/zelvo32.dll\nVirusBase = /bases/*.vdb\n"));
    EXPECT_NE(std::string::npos, config.find("\nActionJokes = Ignore\n"));
    // Root's runs take turns with a lock in /run that only root can touch.
    struct stat info = {};
    ASSERT_EQ(0, lstat(root.file("run/zelvo-ivask.lock").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    EXPECT_EQ(0u, info.st_uid);
}

// Users other than root take turns in their own runtime folder, and only
// where nobody else can write. The user nobody runs the shipped program from
// the private root, which it can reach wherever the build tree lies.
TEST_F(shipped_program, OtherUsersLockOnlyWhereNobodyElseCanWrite) {
    const uid_t nobody = 65534;
    // Whatever the umask made of them (the program itself is 0755 already).
    const struct {
        const char* path;
        mode_t mode;
    } reachable[] = {{"", 0755}, {"etc", 0755}, {"etc/zelvo32.ini", 0644}, {"tmp", 0755}};
    for (const auto& r : reachable) ASSERT_EQ(0, chmod(root.file(r.path).c_str(), r.mode)) << r.path;
    const std::string runtime = root.file("tmp/runtime");
    // runtime_dir: XDG_RUNTIME_DIR as the run sees it, from "/" (null: unset).
    // Only an absolute one counts: a relative one or none means no lock.
    const struct {
        uid_t owner;
        mode_t mode;
        const char* runtime_dir;
        bool locked;
    } cases[] = {{nobody, 0700, "/tmp/runtime", true},
                 {nobody, 0777, "/tmp/runtime", false},
                 {0, 0755, "/tmp/runtime", false},
                 {nobody, 0700, nullptr, false},
                 {nobody, 0700, "tmp/runtime", false}};
    for (const auto& c : cases) {
        shell("rm -rf '" + runtime + "'");
        ASSERT_EQ(0, mkdir(runtime.c_str(), 0700));
        ASSERT_EQ(0, chown(runtime.c_str(), c.owner, c.owner));
        ASSERT_EQ(0, chmod(runtime.c_str(), c.mode));
        std::vector<std::string> command = {"env", "-u", "XDG_RUNTIME_DIR", "-C", "/"};
        if (c.runtime_dir) command.push_back(std::string("XDG_RUNTIME_DIR=") + c.runtime_dir);
        // Writing root's /tmp fails; the turn was taken before.
        const std::string id = std::to_string(nobody);
        command.insert(command.end(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                       "/mnt/zelvo-ivask", "sock"});
        const run_result r = run_program(in_private_root(command), "IvaskPaths /home");
        const std::string row = std::string(c.runtime_dir ? c.runtime_dir : "unset") + " " + std::to_string(c.mode);
        EXPECT_EQ("Enterprise scan failed: Failed to write file /tmp/.ivask_config\n", r.output) << row;
        EXPECT_EQ(c.locked, file_exists(runtime + "/zelvo-ivask.lock")) << row;
        command.insert(command.end() - 1, "-n");
        const std::string dry = run_program(in_private_root(command), "IvaskPaths /home").output;
        EXPECT_NE(std::string::npos, dry.find("\nEnterprise scan failed: Failed to write file /tmp/.ivask_config\n"))
            << row << ": the dry run did not fail as the run";
    }
}

// A dry run as another user than root ends as that user's run would: in a
// sticky /tmp, root's config cannot give way to another user's.
TEST_F(shipped_program, DryRunAsAnotherUserFailsAsItsRunWould) {
    const std::string id = std::to_string(65534);
    for (const auto& r : {std::make_pair("", 0755), std::make_pair("etc", 0755), std::make_pair("tmp", 01777)})
        ASSERT_EQ(0, chmod(root.file(r.first).c_str(), static_cast<mode_t>(r.second))) << r.first;
    ASSERT_EQ(0, chmod(root.file("etc/zelvo32.ini").c_str(), 0644));
    for (const bool roots_config : {false, true}) {
        unlink(root.file("tmp/.ivask_config").c_str());
        if (roots_config) agent_utils::write_file(root.file("tmp/.ivask_config"), "[Scanner]\n");
        for (const char* dry : {"-n", ""}) {
            std::vector<std::string> command = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                                "/mnt/zelvo-ivask"};
            if (*dry) command.push_back(dry);
            command.push_back("sock");
            const run_result r = run_program(in_private_root(command), "IvaskPaths /home");
            const std::string line = "Enterprise scan failed: Failed to write file /tmp/.ivask_config\n";
            const bool failed = r.output.size() >= line.size() && r.output.substr(r.output.size() - line.size()) == line;
            EXPECT_EQ(roots_config, failed) << dry << "\n" << r.output;
            EXPECT_EQ(roots_config ? 255 : 0, r.status) << dry << "\n" << r.output;
        }
    }
}

TEST_F(shipped_program, FullTmpIsAFailureThatLeavesNoTemporaryFile) {
    const run_result r = run_program(
        in_private_root({"--full-tmp", "/bin/sh", "-c", "/mnt/zelvo-ivask sock; echo status $?; ls -A /tmp"}),
        "IvaskPaths /home");
    EXPECT_EQ("Enterprise scan failed: Failed to write file /tmp/.ivask_config\nstatus 255\nfiller\n", r.output);
}

}  // namespace
