// The command line as the agent and the person at the terminal use it: the
// socket address, the version and help switches, what is refused.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

TEST_F(launch, VersionAndHelpSwitchesPrintOnlyTheirTextAndReadNothing) {
    unlink(engine_ini.c_str());
    for (const char* sw : {"-V", "-v", "--version"}) {
        const run_result r = run(sw, "IvaskPaths /home");
        EXPECT_EQ(version_line, r.output) << sw;
        EXPECT_EQ(0, r.status) << sw;
    }
    for (const char* sw : {"-h", "--help"}) {
        const run_result r = run(sw, "IvaskPaths /home");
        EXPECT_EQ(0u, r.output.find("Usage: zelvo-ivask SOCKET < TASK\n")) << sw;
        EXPECT_NE(std::string::npos, r.output.find("Reads    " + engine_ini + " ")) << r.output;
        EXPECT_NE(std::string::npos, r.output.find("\nSee zelvo-ivask(1) ")) << r.output;
        EXPECT_EQ(0, r.status) << sw;
    }
    EXPECT_FALSE(file_exists(scanner_config));
    EXPECT_FALSE(scanner_started());
}

TEST_F(launch, VersionLookAlikesAreSocketAddresses) {
    for (const char* address : {"-version", "--Version", "-vv", "version", "-V ", " -v", "-help", "--Help", "-H", "help"}) {
        const run_result r = run(address, typical_task);
        EXPECT_EQ("scanner ran\n", r.output) << address;
        EXPECT_EQ(0, r.status) << address;
        ASSERT_GE(scanner_argv().size(), 3u);
        EXPECT_EQ(std::string("-a=") + address, scanner_argv()[2]);
    }
}

TEST_F(launch, WrongArgumentCountsAreRefusedBeforeAnythingIsRead) {
    const std::vector<std::vector<std::string>> command_lines = {
        {program}, {program, "sock", "extra"}, {program, "-V", "-V"}, {program, "", ""},
        {program, "sock", "-n"}, {program, "--dry-run", "sock", "extra"}, {program, "-N", "sock"},
        {program, "-w", "sock"}, {program, "sock", "-w", "1"}};
    for (const auto& argv : command_lines) {
        const run_result r = run_program(argv, typical_task, options());
        EXPECT_EQ("Enterprise scan failed: Wrong number of parameters\n", r.output) << argv.size();
        EXPECT_EQ(255, r.status);
    }
    EXPECT_FALSE(file_exists(scanner_config));
    EXPECT_FALSE(scanner_started());
}

TEST_F(launch, DryRunSwitchWithoutASocketIsRefusedWithTheUsage) {
    for (const char* dry_switch : {"-n", "--dry-run"}) {
        const run_result r = run_program({program, dry_switch}, typical_task, options());
        EXPECT_EQ(0u, r.output.find("Usage: zelvo-ivask SOCKET < TASK\n")) << r.output;
        const std::string last_line = "\nEnterprise scan failed: Wrong number of parameters\n";
        EXPECT_EQ(r.output.size() - last_line.size(), r.output.rfind(last_line)) << r.output;
        EXPECT_EQ(255, r.status);
    }
    EXPECT_FALSE(file_exists(scanner_config));
    EXPECT_FALSE(scanner_started());
}

}  // namespace
