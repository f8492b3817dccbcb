// A strict run refuses what a run would not take as written.
#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

// --strict refuses, before the turn and writing nothing, each thing a run
// would otherwise not take as written, with the words a dry run shows it in;
// a strict dry run shows them all, then fails as the strict run. Without
// --strict the same task runs.
TEST_F(launch, StrictRunRefusesWhatItWouldNotTakeAsWritten) {
    const std::string& full = full_engine_ini;
    const std::string no_engine_path = "[Scanner]\nVirusBase = /b\nTempPath = /t\nMoveFilesTo = /q\n";
    const struct {
        std::string task, ini;   // ini "/": a folder at the engine INI's path
        std::string refusal;     // empty: the task runs
        std::string shown = "";  // the strict dry run's lines before the failure, if not "# <refusal>"
        int plain_status = 0;    // of the same task without --strict
        mode_t run_dir_mode = 0755;
    } cases[] = {
        {"IvaskPaths /a InfectdFiles 1", full, "not a task key, ignored: InfectdFiles"},
        {"IvaskPaths /a CheckArchives 1 CheckArchives 0", full,
         "given again (the first value counts), ignored: CheckArchives \"0\""},
        {"IvaskPaths /a InfectedFiles 2 IncurableFiles 4", full,
         "used only when InfectedFiles is 1 (Cure), ignored: IncurableFiles"},
        {"IvaskPaths /a ScanFixed 1", full, "used only when IvaskPaths names no path, ignored: ScanFixed"},
        {"IvaskPaths /a CheckContainer 0", full, "checked, but no scanner setting takes it, ignored: CheckContainer"},
        {"IvaskPaths /a,rel", full, "Skipping relative path: rel", "Skipping relative path: rel\n"},
        {"IvaskPaths rel", full, "Skipping relative path: rel",
         "Skipping relative path: rel\n# every path to scan was dropped: the scanner starts without a -path= "
         "argument\n"},
        {"IvaskPaths /a InfectedFiles 260", full, "InfectedFiles \"260\": only the low eight bits count: 4 (Delete)"},
        {"IvaskPaths /a", no_engine_path,
         "Parameter not found: Scanner/EnginePath. Default value (/var/zelvo/lib/zelvo32.dll) used."},
        {"IvaskPaths \",,\" ScanRemovable 1 ScanFixed 1 InfectedFiles 4", full,
         "IvaskPaths names no path: the whole system is scanned instead"},
        {"IvaskPaths \"\" ScanRemovable 0 ScanFixed 0", full,
         "IvaskPaths names no path: the folders of PATH and the system's are scanned instead"},
        {"IvaskPaths /a ExcludeFileAndPaths \"/tmp/a\nb\"", full,
         "a line end inside double quotes was removed from the value of ExcludeFileAndPaths"},
        {"IvaskPaths /a", full, "runs do not take turns here: " + run_dir + " is not a folder that only this user can write",
         "", 0, 0777},
        {"IvaskPaths /a ScanHeuristic yes", full, "ScanHeuristic \"yes\": a boolean is 1, +1, 0, +0 or -0", "", 255},
        {"IvaskPaths /a", "[Scanner]\noops\n", engine_ini + " line 2: oops", "", 255},
        {"IvaskPaths /a", "/", engine_ini + ": Is a directory", "", 255},
        {"IvaskPaths /a InfectedFiles 1 IncurableFiles 4", full, ""},
    };
    for (const auto& c : cases) {
        shell("rm -rf '" + engine_ini + "'");
        if (c.ini == "/")
            mkdir(engine_ini.c_str(), 0755);
        else
            agent_utils::write_file(engine_ini, c.ini);
        chmod(run_dir.c_str(), c.run_dir_mode);
        shell("rm -rf '" + scanner_config + "' '" + run_lock + "' '" + seen.path() + "'/*");
        const run_result strict = run_program({program, "--strict", "sock"}, c.task, options());
        const run_result dry = run_program({program, "-n", "--strict", "sock"}, c.task, options());
        if (c.refusal.empty()) {
            EXPECT_EQ("scanner ran\n", strict.output);
            EXPECT_EQ(0, strict.status);
            EXPECT_EQ(0, dry.status) << dry.output;
            continue;
        }
        const std::string line = "Enterprise scan failed: " + c.refusal + "\n";
        EXPECT_EQ(line, strict.output) << c.task;
        EXPECT_EQ(255, strict.status) << c.task;
        EXPECT_FALSE(file_exists(scanner_config)) << c.task;
        EXPECT_FALSE(file_exists(run_lock)) << c.task << ": refused only once its turn came";
        EXPECT_FALSE(scanner_started()) << c.task;
        EXPECT_EQ((c.shown.empty() ? "# " + c.refusal + "\n" : c.shown) + line, dry.output) << c.task;
        EXPECT_EQ(255, dry.status) << c.task;
        EXPECT_EQ(c.plain_status, run("sock", c.task).status) << c.task;
    }
    shell("rm -rf '" + engine_ini + "'");
    chmod(run_dir.c_str(), 0755);
}

}  // namespace
