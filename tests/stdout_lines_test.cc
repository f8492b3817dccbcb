// What the program prints on standard output is one line per line: a
// control byte a task or a file gave is escaped as the dry run escapes it,
// so no task can make it print a second line or a terminal's escape; bytes
// from 0x80 stand as they are.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"

namespace {

TEST_F(launch, ControlBytesFromATaskOrFileAreEscapedOnStandardOutput) {
    agent_utils::write_file(engine_ini, full_engine_ini);
    const struct {
        const char* settings;  // null: none
        std::vector<std::string> options;
        std::string task;
        std::string output;
        int status;
    } cases[] = {
        {nullptr, {}, "IvaskPaths /etc/hostname,rel\x1b[2J,r\xc3\xa9l\\x", "Skipping relative path: rel\\x1b[2J\n"
                                                                           "Skipping relative path: r\xc3\xa9l\\x\n"
                                                                           "scanner ran\n",
         0},
        {nullptr, {"--strict"}, "IvaskPaths /a Foo\r 1",
         "Enterprise scan failed: not a task key, ignored: Foo\\r\n", 255},
        {nullptr, {}, "IvaskPaths /a Foo\x1b]0;x\x07\nbar",
         "Enterprise scan failed: Malformed task settings: key \"Foo\\x1b]0;x\\abar\" has no value\n", 255},
        {"[Run]\nFollow = \x1b[2Jyes\n", {}, "IvaskPaths /a",
         "Enterprise scan failed: " + settings_file + ": Follow takes yes or no, not \"\\x1b[2Jyes\"\n", 255},
        // Longer than the line's buffer: written in pieces, escaped whole.
        {nullptr, {}, "IvaskPaths /a " + std::string(3000, 'k') + "\t" + std::string(3000, 'k'),
         "Enterprise scan failed: Malformed task settings: key \"" + std::string(3000, 'k') + "\\t" +
             std::string(3000, 'k') + "\" has no value\n",
         255},
    };
    for (const auto& c : cases) {
        unlink(settings_file.c_str());
        if (c.settings) agent_utils::write_file(settings_file, c.settings);
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back("sock");
        const run_result r = run_program(argv, c.task, options());
        EXPECT_EQ(c.output, r.output) << c.task;
        EXPECT_EQ(c.status, r.status) << c.task;
    }
}

}  // namespace
