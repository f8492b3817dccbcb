// The program as the agent sees it: command line, standard input and output,
// exit status, the scanner config it leaves and the scanner it starts.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
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

// A dry run shows the lines a run prints, the config it writes byte for
// byte and the scanner it starts with each argument, and changes nothing.
TEST_F(launch, DryRunShowsExactlyWhatARunWouldWriteAndStart) {
    agent_utils::write_file(engine_ini, full_engine_ini);
    const std::string tasks[] = {typical_task, "IvaskPaths \"/home,rel,/srv/a b\" ExcludeFileAndPaths /x;y"};
    for (const char* dry_switch : {"-n", "--dry-run"}) {
        for (const std::string& task : tasks) {
            shell("rm -rf '" + scanner_config + "' '" + run_lock + "' '" + seen.path() + "'/*");
            const run_result dry = run_program({program, dry_switch, "/run/agent.sock"}, task, options());
            EXPECT_EQ(0, dry.status) << task;
            EXPECT_FALSE(file_exists(scanner_config)) << "a dry run wrote the config";
            EXPECT_FALSE(file_exists(run_lock)) << "a dry run took the lock";
            EXPECT_FALSE(scanner_started()) << "a dry run started the scanner";

            const run_result real = run("/run/agent.sock", task);
            ASSERT_EQ(0, real.status);
            std::string expected = real.output.substr(0, real.output.size() - std::string("scanner ran\n").size()) +
                                   "# runs take turns by the lock " + run_lock + ": the turn is free\n" +
                                   "# the scanner config that would be written to " + scanner_config + "\n" +
                                   slurp(seen.file("config")) +
                                   "# the scanner that would be started, then its arguments from argv[0] on, one "
                                   "per line\n" + scanner + "\n";
            for (const std::string& arg : scanner_argv()) expected += arg + "\n";
            EXPECT_EQ(expected, dry.output) << dry_switch << " " << task;
        }
    }
}

// A dry run fails where a run fails, with the same line, but writes nothing
// first (a run writes the config before it refuses an empty socket address).
// An item holding a NUL byte would reach the scanner cut short: refused.
// Where the engine file cannot be read or parsed, the dry run says why first.
TEST_F(launch, DryRunFailsExactlyAsARunWould) {
    const std::string& ini = full_engine_ini;
    const struct {
        const char* socket;
        std::string task;
        std::string ini;  // empty: no engine INI file; "/": a directory there
        const char* message;
        std::string shown_first = "";  // the dry run's comment before the line
    } cases[] = {
        {"sock", typical_task, "/", "Failed to read file " ZELVO_SANDBOX "/etc/zelvo/zelvo32.ini",
         "# " + engine_ini + ": Is a directory\n"},
        {"sock", typical_task, "[Scanner]\r\n# c\noops\x1b\\\n", "Parse error at line 3: No '=' sign found",
         "# " + engine_ini + " line 3: oops\\x1b\\\\\n"},
        {"sock", "IvaskPaths /a ActionJokes 3", ini, "Malformed task settings: unknown action code 3 for ActionJokes"},
        {"sock", "IvaskPaths /a ScanInteractive 1", ini, "Interactive scan is not supported"},
        {"sock", "IvaskPaths", ini, "Malformed task settings: key \"IvaskPaths\" has no value"},
        {"sock", typical_task, "", "Failed to read file " ZELVO_SANDBOX "/etc/zelvo/zelvo32.ini",
         "# " + engine_ini + ": No such file or directory\n"},
        {"", typical_task, ini, "no socket available"},
        {"sock", "IvaskPaths /\0home InfectedFiles 4"s, ini,
         "Malformed task settings: IvaskPaths holds a NUL byte"},
        {"sock", "IvaskPaths /home ExcludeFileAndPaths /srv\0/x"s, ini,
         "Malformed task settings: ExcludeFileAndPaths holds a NUL byte"},
        {"sock", typical_task, "[Scanner]\nVirusBase = /b\nTempPath = /t\0mp\nEnginePath = /e\nMoveFilesTo = /q\n"s,
         "Malformed engine settings: Scanner/TempPath holds a NUL byte"},
    };
    for (const auto& c : cases) {
        unlink(scanner_config.c_str());
        shell("rm -rf '" + engine_ini + "'");
        if (c.ini == "/")
            mkdir(engine_ini.c_str(), 0755);
        else if (!c.ini.empty())
            agent_utils::write_file(engine_ini, c.ini);
        const run_result dry = run_program({program, "--dry-run", c.socket}, c.task, options());
        EXPECT_FALSE(file_exists(scanner_config)) << c.message;
        const run_result real = run(c.socket, c.task);
        EXPECT_EQ(std::string("Enterprise scan failed: ") + c.message + "\n", real.output);
        EXPECT_EQ(c.shown_first + real.output, dry.output);
        EXPECT_EQ(255, dry.status) << dry.output;
        EXPECT_EQ(255, real.status) << real.output;
        EXPECT_EQ(c.socket[0] == '\0', file_exists(scanner_config)) << c.message;
    }
    shell("rm -rf '" + engine_ini + "'");
    EXPECT_FALSE(scanner_started());
}

// Where runs cannot take turns, a dry run says why: no lock folder, or one
// that others may write.
TEST_F(launch, DryRunSaysWhyRunsDoNotTakeTurns) {
    agent_utils::write_file(engine_ini, full_engine_ini);
    const struct {
        mode_t mode;  // of the lock folder; 0: none
        std::string why;
    } cases[] = {
        {0, run_dir + ": No such file or directory"},
        {0777, run_dir + " is not a folder that only this user can write"},
    };
    for (const auto& c : cases) {
        shell("rm -rf '" + run_dir + "'");
        if (c.mode != 0) {
            mkdir(run_dir.c_str(), 0700);
            chmod(run_dir.c_str(), c.mode);
        }
        const run_result dry = run_program({program, "-n", "sock"}, "IvaskPaths /a", options());
        EXPECT_EQ(0u, dry.output.find("# runs do not take turns here: " + c.why + "\n")) << dry.output;
    }
    shell("rm -rf '" + run_dir + "'");
    mkdir(run_dir.c_str(), 0755);
}

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

// Each argument and each comment of a dry run is one line: control
// characters and the backslash are shown as C escapes. The run passes the
// argument whole, and a path to scan may hold a line end.
TEST_F(launch, DryRunShowsEachArgumentAndCommentOnOneLine) {
    agent_utils::write_file(engine_ini, full_engine_ini);
    const std::string socket = "/run/agent.sock\n-path=/";
    process_options o = options();
    o.env.push_back("PATH=/odd\ndir\\:/usr/bin");
    const std::string task = "ScanRemovable 0 ScanFixed 0 Infected\x1b""Files 1";
    const run_result dry = run_program({program, "-n", socket}, task, o);
    EXPECT_EQ(0, dry.status) << dry.output;
    EXPECT_EQ(0u, dry.output.find("# not a task key, ignored: Infected\\x1b""Files\n")) << dry.output;
    EXPECT_NE(std::string::npos, dry.output.find("\n-a=/run/agent.sock\\n-path=/\n-path=/bin\n")) << dry.output;
    EXPECT_NE(std::string::npos, dry.output.find("\n-path=/odd\\ndir\\\\\n")) << dry.output;
    for (const char c : dry.output) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
    const run_result real = run(socket, task, o);
    EXPECT_EQ(0, real.status) << real.output;
    const std::vector<std::string> argv = scanner_argv();
    EXPECT_EQ("-a=" + socket, argv.at(2));
    EXPECT_NE(argv.end(), std::find(argv.begin(), argv.end(), "-path=/odd\ndir\\"));
}

// An argument list the system would refuse ends the dry run as it ends the
// run: the whole list too long, or one argument.
// The dry run predicts execve's limits to the byte: a single argument may
// take 32 pages with its NUL, and the whole list a share of the stack limit.
TEST_F(launch, ArgumentListTooLongEndsTheDryRunAsTheRun) {
    std::string many = "IvaskPaths /p";
    for (int i = 0; i < 400000; ++i) many += ",/p" + std::to_string(1000000 + i);
    // "-path=/" and the NUL around the path's other bytes.
    const std::size_t longest_path = 32 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) - 8;
    const struct {
        std::string task;
        bool fits;
    } cases[] = {{many, false},
                 {"IvaskPaths /" + std::string(200000, 'l'), false},
                 {"IvaskPaths /" + std::string(longest_path, 'l'), true},
                 {"IvaskPaths /" + std::string(longest_path + 1, 'l'), false}};
    const std::string line = "Execve failed: Argument list too long\n";
    for (const auto& c : cases) {
        const std::string row = std::to_string(c.task.size()) + " bytes";
        const run_result dry = run_program({program, "-n", "sock"}, c.task, options());
        const run_result real = run("sock", c.task);
        EXPECT_EQ(c.fits ? "scanner ran\n" : line, real.output) << row;
        EXPECT_EQ(c.fits ? 0 : 2, real.status) << row;
        ASSERT_GE(dry.output.size(), line.size()) << row;
        EXPECT_EQ(!c.fits, line == dry.output.substr(dry.output.size() - line.size())) << row;
        EXPECT_EQ(c.fits ? 0 : 2, dry.status) << row;
    }
}

// A dry run tells the person at the terminal what is wrong with a task and
// what a run will not use, in comment lines before the failure line or the
// config; the rest is the dry run of its twin, the task (and engine file)
// without the fault. A scanner that cannot be executed ends it as a run.
TEST_F(launch, DryRunSaysWhatIsWrongAndWhatARunWillNotUse) {
    const std::string failed = "Enterprise scan failed: bad lexical cast: source type value could not be "
                               "interpreted as target\n";
    const std::string& full = full_engine_ini;
    const std::string no_engine_path = "[Scanner]\nVirusBase = /b\nTempPath = /t\nMoveFilesTo = /q\n";
    const std::string default_engine_path = no_engine_path + "EnginePath = /var/zelvo/lib/zelvo32.dll\n";
    const struct {
        std::string task, ini, lines;  // lines: before the twin's output (after it without a scanner)
        std::string twin_task, twin_ini;  // no twin task: the lines are the whole output
        mode_t scanner;                   // its mode; 0: none
        int status;
    } cases[] = {
        {"IvaskPaths /a ScanHeuristic yes", full, "# ScanHeuristic \"yes\": a boolean is 1, +1, 0, +0 or -0\n" + failed,
         "", "", 0755, 255},
        {"ScanRemovable 0 ScanFixed true", full, "# ScanFixed \"true\": a boolean is 1, +1, 0, +0 or -0\n" + failed, "",
         "", 0755, 255},
        {"IvaskPaths /a MaxArchLevel 2147483648", full,
         "# MaxArchLevel \"2147483648\": a number is digits with an optional sign, from -2147483648 to 2147483647\n" +
             failed,
         "", "", 0755, 255},
        {"IvaskPaths /a InfectedFiles cure", full,
         "# InfectedFiles \"cure\": an action is 0 (Report), 1 (Cure), 2 (Move), 4 (Delete) or 8 (Ignore)\n" + failed,
         "", "", 0755, 255},
        {"IvaskPaths /a InfectedFile 4 infectedfiles 4", full,
         "# not a task key, ignored: InfectedFile\n# not a task key, ignored: infectedfiles\n", "IvaskPaths /a", full,
         0755, 0},
        {"IvaskPaths /a CheckArchives 1 CheckArchives 0", full,
         "# given again (the first value counts), ignored: CheckArchives \"0\"\n", "IvaskPaths /a CheckArchives 1",
         full, 0755, 0},
        {"IvaskPaths /a InfectedFiles 2 IncurableFiles 4", full,
         "# used only when InfectedFiles is 1 (Cure), ignored: IncurableFiles\n", "IvaskPaths /a InfectedFiles 2", full,
         0755, 0},
        {"IvaskPaths /a ScanFixed 1 CheckContainer 1", full,
         "# used only when IvaskPaths names no path, ignored: ScanFixed\n"
         "# checked, but no scanner setting takes it, ignored: CheckContainer\n",
         "IvaskPaths /a", full, 0755, 0},
        {"IvaskPaths /a", no_engine_path,
         "# Parameter not found: Scanner/EnginePath. Default value (/var/zelvo/lib/zelvo32.dll) used.\n",
         "IvaskPaths /a", default_engine_path, 0755, 0},
        {"IvaskPaths /a", full + "EnginePath = /e2\n",
         "# in " + engine_ini + " at parameter \"Scanner/EnginePath\": Multiple values are not allowed. Default "
         "value (/var/zelvo/lib/zelvo32.dll) used.\n",
         "IvaskPaths /a", default_engine_path, 0755, 0},
        {"IvaskPaths /a", full, "Execve failed: No such file or directory\n", "IvaskPaths /a", full, 0, 2},
        {"IvaskPaths /a", full, "Execve failed: Permission denied\n", "IvaskPaths /a", full, 0644, 2},
    };
    const auto dry_run = [this](const std::string& task) {
        return run_program({program, "--dry-run", "sock"}, task, options());
    };
    for (const auto& c : cases) {
        std::string twin;
        if (!c.twin_task.empty()) {
            agent_utils::write_file(engine_ini, c.twin_ini);
            twin = dry_run(c.twin_task).output;
        }
        agent_utils::write_file(engine_ini, c.ini);
        if (c.scanner == 0)
            unlink(scanner.c_str());
        else
            chmod(scanner.c_str(), c.scanner);
        const run_result r = dry_run(c.task);
        install_scanner();
        EXPECT_EQ(c.scanner == 0755 ? c.lines + twin : twin + c.lines, r.output) << c.task;
        EXPECT_EQ(c.status, r.status) << c.task;
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

TEST_F(launch, FullTaskGivesTheExactScannerCommandLineAndConfig) {
    const std::string task =
        "IvaskPaths \"/home,/srv/a b\" \nExcludeFileAndPaths /home/tmp \nScanHeuristic 1 MaxArchLevel -1 InfectedFiles 2";
    const run_result r = run("/run/agent.sock", task);
    EXPECT_EQ("Skipping relative path: b\nscanner ran\n", r.output);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((std::vector<std::string>{scanner_config, "-ini=" + scanner_config, "-a=/run/agent.sock",
                                        "-path=/home", "-path=/srv/a"}),
              scanner_argv());
    const std::string config = agent_utils::read_file(scanner_config);
    EXPECT_EQ(config, slurp(seen.file("config")));
    EXPECT_EQ(0u, config.find("[Scanner]\nEnginePath = /var/zelvo/lib/zelvo32.dll\nVirusBase = /bases/*.vdb\n"
                              "TempPath = /scratch\n"));
    EXPECT_NE(std::string::npos, config.find("\nMoveFilesTo = /var/zelvo/infected\nExcludePaths = /home/tmp\n"));
    EXPECT_NE(std::string::npos, config.find("\nHeuristicAnalysis = yes\n"));
    EXPECT_NE(std::string::npos, config.find("\nMaxArchiveLevel = 4294967295\n"));
    EXPECT_NE(std::string::npos, config.find("\nInfectedFiles = Move\n"));
}

TEST_F(launch, TaskTextLosesItsLineEnds) {
    // "ScanFixed 1\nScanRemovable 0" glues into three tokens: malformed.
    const run_result r = run("sock", "ScanFixed 1\nScanRemovable 0\n");
    EXPECT_EQ("Enterprise scan failed: Malformed task settings: key \"0\" has no value\n", r.output);
    const run_result split = run("sock", "IvaskPaths /a,\n/b\n");
    EXPECT_EQ((std::vector<std::string>{scanner_config, "-ini=" + scanner_config, "-a=sock", "-path=/a",
                                        "-path=/b"}),
              scanner_argv());
    EXPECT_EQ(0, split.status);
}

// A line end is LF or CR LF: a task written with either runs alike. A lone
// CR is no line end and stays in the value.
TEST_F(launch, TaskWithCrLfLineEndsRunsAsItsLfTwin) {
    const struct {
        const char* task;
        const char* output;
    } cases[] = {
        {"IvaskPaths /srv \nExcludeFileAndPaths /srv/db \nInfectedFiles 4\n", "scanner ran\n"},
        {"IvaskPaths /srv \r\nExcludeFileAndPaths /srv/db \r\nInfectedFiles 4\r\n", "scanner ran\n"},
        {"IvaskPaths /srv InfectedFiles 4\r",
         "Enterprise scan failed: bad lexical cast: source type value could not be interpreted as target\n"},
    };
    for (const auto& c : cases) {
        unlink(seen.file("config").c_str());
        const run_result r = run("sock", c.task);
        EXPECT_EQ(c.output, r.output) << c.task;
        if (r.status != 0) continue;
        const std::string config = slurp(seen.file("config"));
        EXPECT_NE(std::string::npos, config.find("\nExcludePaths = /srv/db\n")) << c.task;
        EXPECT_NE(std::string::npos, config.find("\nInfectedFiles = Delete\n")) << c.task;
        EXPECT_EQ("-path=/srv", scanner_argv().back());
    }
}

// Separators, comments and escapes of the scanner's reader inside a path
// reach it quoted: each exclusion is read back whole.
TEST_F(launch, ExclusionsHoldingTheReadersSpecialCharactersReachTheScannerWhole) {
    const run_result r = run("sock", "IvaskPaths /srv ExcludeFileAndPaths /a;b,/c#d,/e\\f InfectedFiles 4");
    EXPECT_EQ(0, r.status);
    const std::string config = slurp(seen.file("config"));
    EXPECT_NE(std::string::npos, config.find("\nExcludePaths = \"/a;b\",\"/c#d\",\"/e\\\\f\"\n")) << config;
    config_t read_back;
    read_back.parse_ini_file(seen.file("config"));
    EXPECT_EQ((std::vector<std::string>{"/a;b", "/c#d", "/e\\f"}),
              read_back.params[ci_string("Scanner/ExcludePaths")].values);
}

TEST_F(launch, EmptySocketAddressIsRefusedAfterTheConfigIsWritten) {
    const run_result r = run("", typical_task);
    EXPECT_EQ("Enterprise scan failed: no socket available\n", r.output);
    EXPECT_EQ(255, r.status);
    EXPECT_NE(std::string::npos, agent_utils::read_file(scanner_config).find("IncurableFiles = Delete"));
    EXPECT_FALSE(scanner_started());
}

TEST_F(launch, EngineConfigFailuresAndDefaults) {
    const struct {
        const char* ini;  // null: no file
        const char* output;
        const char* config_start;  // the config's first lines, when written
    } cases[] = {
        {nullptr, "Failed to read file " ZELVO_SANDBOX "/etc/zelvo/zelvo32.ini", nullptr},
        {"[Scanner]\n# c\noops\n", "Parse error at line 3: No '=' sign found", nullptr},
        {"[Scanner]\r\n; c\r\noops\r\n", "Parse error at line 3: No '=' sign found", nullptr},
        {"", nullptr,
         "[Scanner]\nEnginePath = /var/zelvo/lib/zelvo32.dll\nVirusBase = /var/zelvo/bases/*.vdb\nTempPath = /tmp\n"},
        {"[scanner]\nvirusbase = /a\nVirusBase = /b\nTEMPPATH = /t\nEnginePath = /e,/f\nMoveFilesTo = \"/m, n\"\n", nullptr,
         "[Scanner]\nEnginePath = /var/zelvo/lib/zelvo32.dll\nVirusBase = /var/zelvo/bases/*.vdb\nTempPath = /t\n"},
    };
    for (const auto& c : cases) {
        unlink(scanner_config.c_str());
        if (c.ini)
            agent_utils::write_file(engine_ini, c.ini);
        else
            unlink(engine_ini.c_str());
        const run_result r = run("sock", typical_task);
        if (c.output) {
            EXPECT_EQ(std::string("Enterprise scan failed: ") + c.output + "\n", r.output);
            EXPECT_EQ(255, r.status);
            EXPECT_FALSE(file_exists(scanner_config));
        } else {
            EXPECT_EQ("scanner ran\n", r.output);
            EXPECT_EQ(0, r.status);
            EXPECT_EQ(0u, agent_utils::read_file(scanner_config).find(c.config_start));
        }
    }
    // One value for the scanner too: quoted, its comma cannot split it.
    EXPECT_NE(std::string::npos, agent_utils::read_file(scanner_config).find("\nMoveFilesTo = \"/m, n\"\n"));
}

TEST_F(launch, BadTaskWritesNothingAndStartsNoScanner) {
    const struct {
        const char* task;
        const char* message;
    } cases[] = {
        {"IvaskPaths /a ScanInteractive 1", "Interactive scan is not supported"},
        {"IvaskPaths /a MaxTimeMills 1e3", "bad lexical cast: source type value could not be interpreted as target"},
        {"IvaskPaths /a ActionJokes 3", "Malformed task settings: unknown action code 3 for ActionJokes"},
        {"", "Malformed task settings: ScanRemovable and ScanFixed are required when IvaskPaths names no path"},
    };
    for (const auto& c : cases) {
        const run_result r = run("sock", c.task);
        EXPECT_EQ(std::string("Enterprise scan failed: ") + c.message + "\n", r.output);
        EXPECT_EQ(255, r.status);
    }
    EXPECT_FALSE(file_exists(scanner_config));
    EXPECT_FALSE(scanner_started());
}

TEST_F(launch, PathDirectoriesComeFromTheEnvironment) {
    process_options o = options();
    o.env.push_back("PATH=/usr/bin:rel::/zz::rel");  // each told once
    const run_result r = run("sock", "ScanRemovable 0 ScanFixed 0", o);
    EXPECT_EQ("Skipping empty path\nSkipping relative path: rel\nscanner ran\n", r.output);
    const std::vector<std::string> argv = scanner_argv();
    ASSERT_EQ(18u, argv.size());
    EXPECT_EQ("-path=/bin", argv[3]);
    EXPECT_EQ("-path=/zz", argv[17]);
}

// The program ends as soon as it has relayed the signal, while the scanner,
// which finishes its work first, still runs. Started with the signal
// ignored or blocked, the program still hands the scanner the default
// action, unblocked.
TEST_F(launch, RelayedSignalReachesTheScannerAndEndsTheProgramAtOnce) {
    const struct {
        int signal_number;
        bool ignored_at_start, blocked_at_start;
    } cases[] = {{SIGTERM, false, false}, {SIGINT, false, false}, {SIGTERM, true, false},
                 {SIGINT, true, false},   {SIGTERM, false, true}, {SIGINT, false, true}};
    for (const auto& c : cases) {
        shell("rm -f '" + seen.path() + "'/*");
        const bool at_default = c.ignored_at_start || c.blocked_at_start;
        process_options o = options(at_default ? "sleep" : "wait");
        o.env.push_back("ZELVO_FAKE_LINGER=1");
        if (c.ignored_at_start) o.ignored_signals = {SIGINT, SIGTERM};
        if (c.blocked_at_start) o.blocked_signals = {SIGINT, SIGTERM};
        child_process p({program, "sock"}, o);
        p.feed(typical_task);
        const pid_t pid = scanner_pid();
        ASSERT_GT(pid, 0);
        kill(p.pid(), c.signal_number);
        ASSERT_TRUE(p.wait_for(10s)) << "the program kept waiting";
        EXPECT_EQ(0, p.status());
        if (at_default) {
            EXPECT_TRUE(process_ends(pid, 10s)) << "the scanner did not act on the relayed " << c.signal_number;
            continue;
        }
        ASSERT_TRUE(await_file(seen.file("signal")));
        EXPECT_EQ(std::to_string(c.signal_number), slurp(seen.file("signal")));
        EXPECT_FALSE(process_ends(pid, 0ms)) << "the program waited for the scanner to end";
        seen.write("release", "");
        EXPECT_TRUE(process_ends(pid, 10s));
    }
}

TEST_F(launch, ScannerEndingBeforeTheSuspensionIsStillNoticed) {
    process_options o = with_shim("ZELVO_SHIM_DELAY_SUSPEND=1");
    const auto start = std::chrono::steady_clock::now();
    const run_result r = run_program({program, "sock"}, typical_task, o, 30s);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.ended) << "the scanner's end was lost";
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(file_exists(seen.file("shim"))) << "the delaying shim was not used";
    // Without the fix the program would sleep on for up to 1000 s.
    EXPECT_LT(took, 10s);
}

// SIGINT and SIGTERM once the handlers are installed but before the scanner
// exists: while the config is written (held back until it is in place) and
// just before the scanner starts (blocked). The cancel is kept and relayed
// as soon as the scanner exists, which ends it (it would sleep for 30 s) and
// the program. A program that signalled some stale pid would reach pid 1, so
// this runs only in the tests' own PID namespace.
TEST_F(launch, SignalsBeforeTheScannerExistsReachItAsSoonAsItDoes) {
    const char* const settings[] = {"ZELVO_SHIM_SIGNAL_EARLY=1", "ZELVO_SHIM_SIGNAL_IN_WRITE=2",
                                    "ZELVO_SHIM_SIGNAL_IN_WRITE=15"};
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    for (const char* setting : settings) {
        shell("rm -f '" + seen.path() + "'/*");
        const process_options o = with_shim(setting, ZELVO_LAUNCH_SHIM, "sleep");
        const run_result r = run_program({program, "sock"}, typical_task, o, 10s);
        EXPECT_TRUE(file_exists(seen.file("shim"))) << "the signalling shim was not used";
        ASSERT_TRUE(r.ended) << setting << ": the cancel was lost";
        EXPECT_EQ(0, r.status) << setting;
        if (file_exists(seen.file("pid"))) {
            EXPECT_TRUE(process_ends(std::stoi(slurp(seen.file("pid"))), 10s)) << setting;
        }
    }
}

TEST_F(launch, SignalWhileTheTaskIsReadEndsTheProgram) {
    child_process p({program, "sock"}, options());
    std::this_thread::sleep_for(200ms);  // still waiting for standard input
    kill(p.pid(), SIGTERM);
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ(-SIGTERM, p.status());
    EXPECT_FALSE(file_exists(scanner_config));
}

TEST_F(launch, HundredScannersThatEndAtOnceNeverHang) {
    for (int i = 0; i < 100; ++i) {
        const run_result r = run_program({program, "sock"}, typical_task, options(), 10s);
        ASSERT_TRUE(r.ended) << "run " << i << " hung";
        ASSERT_EQ(0, r.status) << "run " << i;
        ASSERT_EQ("scanner ran\n", r.output) << "run " << i;
    }
}

TEST_F(launch, ScannerThatCannotStartEndsTheProgramWithItsStatus) {
    const run_result setuid_refused = run("sock", typical_task, with_shim("ZELVO_SHIM_SETUID=1"));
    EXPECT_TRUE(file_exists(seen.file("shim"))) << "the failing setuid was not used";
    EXPECT_EQ("Setuid failed: Operation not permitted\n", setuid_refused.output);
    EXPECT_EQ(1, setuid_refused.status);
    EXPECT_FALSE(scanner_started());

    unlink(scanner.c_str());
    const run_result missing = run("sock", typical_task);
    EXPECT_EQ("Execve failed: No such file or directory\n", missing.output);
    EXPECT_EQ(2, missing.status);

    install_scanner();
    chmod(scanner.c_str(), 0644);
    if (geteuid() != 0) {  // root may execute anything with an x bit only
        const run_result denied = run("sock", typical_task);
        EXPECT_EQ("Execve failed: Permission denied\n", denied.output);
        EXPECT_EQ(2, denied.status);
    }
}

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

TEST_F(launch, ScannerExitStatusIsNotPassedOn) {
    for (const char* status : {"1", "2", "255"}) {
        process_options o = options();
        o.env.push_back(std::string("ZELVO_FAKE_EXIT=") + status);
        const run_result r = run("sock", typical_task, o);
        EXPECT_EQ("scanner ran\n", r.output);
        EXPECT_EQ(0, r.status) << status;
    }
}

TEST_F(launch, StoppedScannerKeepsTheProgramWaiting) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process p({program, "sock"}, options("stop"));
    p.feed(typical_task);
    const pid_t pid = scanner_pid();
    ASSERT_GT(pid, 0);
    // Wait until the scanner is really stopped.
    for (int i = 0; i < 1000 && process_state(pid) != 'T'; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(p.wait_for(300ms)) << "a stopped scanner ended the wait";
    kill(pid, SIGCONT);  // continued, it exits
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ(0, p.status());
}

TEST_F(launch, ScannerStartsWithTheProgramsOwnSignalState) {
    process_options o = options();
    o.ignored_signals = {SIGINT, SIGTERM, SIGCHLD, SIGPIPE};
    o.blocked_signals = {SIGUSR1, SIGINT, SIGTERM};
    const run_result r = run("sock", typical_task, o);
    EXPECT_EQ(0, r.status);
    // The signals the program catches start at their default, and those it
    // relays unblocked, whatever it got.
    EXPECT_EQ("blocked: " + std::to_string(SIGUSR1) +
                  "\nINT default\nTERM default\nCHLD default\nPIPE ignored\nXFSZ default\n",
              slurp(seen.file("start")));
    run("sock", typical_task);
    EXPECT_EQ("blocked:\nINT default\nTERM default\nCHLD default\nPIPE default\nXFSZ default\n",
              slurp(seen.file("start")));
}

TEST_F(launch, PlantedLinkAtTheConfigPathIsReplacedNotFollowed) {
    scratch_dir elsewhere;
    const std::string victim = elsewhere.write("victim", "precious\n");
    ASSERT_EQ(0, symlink(victim.c_str(), scanner_config.c_str()));
    const run_result r = run("sock", typical_task);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("precious\n", agent_utils::read_file(victim));
    struct stat info = {};
    ASSERT_EQ(0, lstat(scanner_config.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(slurp(seen.file("config")), agent_utils::read_file(scanner_config));
}

TEST_F(launch, DroppedPathLinesComeOnceBeforeTheScannersOutput) {
    const run_result r = run("sock", "IvaskPaths \"a, /x,b\" ExcludeFileAndPaths \" ,c\"");
    EXPECT_EQ("Skipping relative path: a\nSkipping relative path: b\nSkipping relative path: c\nscanner ran\n",
              r.output);
    EXPECT_EQ((std::vector<std::string>{scanner_config, "-ini=" + scanner_config, "-a=sock", "-path=/x"}),
              scanner_argv());
}

// The stand-ins the demo uses: Ctrl-C at the agent reaches the scanner
// through the program, and the scanner says it was interrupted.
TEST_F(launch, StandInAgentPassesCtrlCThroughToTheStandInScanner) {
    agent_utils::write_file(scanner, agent_utils::read_file(ZELVO_STAND_IN_SCANNER));
    chmod(scanner.c_str(), 0755);
    const std::string task = seen.write("task", "IvaskPaths /usr/share,/usr/lib");
    child_process agent({ZELVO_STAND_IN_AGENT, program, task});
    agent.feed("");
    for (int i = 0; i < 1000 && agent.output().find("scanner: scanned ") == std::string::npos; ++i)
        ASSERT_FALSE(agent.wait_for(10ms)) << agent.output();
    kill(agent.pid(), SIGINT);
    ASSERT_TRUE(agent.wait_for(30s)) << agent.output();
    const std::string& out = agent.output();
    EXPECT_NE(std::string::npos, out.find("agent: passing Ctrl-C on to the program\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\nscanner: interrupted after ")) << out;
    EXPECT_NE(std::string::npos, out.find("agent: the program ended with exit status 0\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("scanner: summary")) << out;
    EXPECT_EQ(0, agent.status());
}

// Memory errors and leaks, on the ways a run can end.
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

// What an agent's environment may do to a run: each case ends soundly.

// What lies beside the config under a name made from its own: leftovers of
// a config write, or a directory moved aside.
std::vector<std::string> entries_beside_config() {
    std::vector<std::string> names;
    if (DIR* d = opendir((sandbox + "/tmp").c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(".ivask_config.", 0) == 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}
int temporaries_beside_config() { return static_cast<int>(entries_beside_config().size()); }
std::string only_entry_beside_config() {
    const std::vector<std::string> names = entries_beside_config();
    return names.size() == 1 ? names[0] : "";
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

TEST_F(launch, StraySignalDuringTheConfigWriteTakesEffectOnlyOnceItIsInPlace) {
    for (int signal_number : {SIGHUP, SIGUSR1, SIGALRM}) {
        unlink(scanner_config.c_str());
        const run_result r =
            run("sock", typical_task, with_shim("ZELVO_SHIM_SIGNAL_IN_WRITE=" + std::to_string(signal_number)));
        EXPECT_TRUE(file_exists(seen.file("shim"))) << "the signalling shim was not used";
        EXPECT_EQ(-signal_number, r.status);
        EXPECT_EQ(0, temporaries_beside_config()) << signal_number;
        EXPECT_NE(std::string::npos, agent_utils::read_file(scanner_config).find("\nIncurableFiles = Delete\n"));
        EXPECT_FALSE(scanner_started());
    }
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

// A lock that cannot be had for another reason than an interruption: the
// run goes on without it at once, never retries.
TEST_F(launch, LockThatCannotBeTakenLetsTheRunGoOnWithoutIt) {
    const run_result r = run_program({program, "sock"}, typical_task, with_shim("ZELVO_SHIM_FLOCK=1"), 10s);
    ASSERT_TRUE(r.ended) << "the run kept trying to lock";
    EXPECT_TRUE(file_exists(seen.file("shim"))) << "the failing flock was not used";
    EXPECT_EQ("scanner ran\n", r.output);
    EXPECT_EQ(0, r.status);
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

TEST_F(launch, EngineIniThatIsNotARegularFileIsRefusedAtOnce) {
    for (const char* kind : {"fifo", "/dev/null", "/dev/zero"}) {
        unlink(engine_ini.c_str());
        if (std::string(kind) == "fifo")
            ASSERT_EQ(0, mkfifo(engine_ini.c_str(), 0644));
        else
            ASSERT_EQ(0, symlink(kind, engine_ini.c_str()));
        const run_result r = run_program({program, "sock"}, typical_task, options(), 10s);
        ASSERT_TRUE(r.ended) << kind;
        EXPECT_EQ("Enterprise scan failed: Failed to read file " + engine_ini + "\n", r.output) << kind;
        EXPECT_EQ(255, r.status);
    }
}

TEST_F(launch, OverlappingRunsTakeTurnsSoEachScannerReadsItsOwnConfig) {
    const int runs = 10;
    std::vector<std::unique_ptr<scratch_dir>> dirs;
    std::vector<std::unique_ptr<child_process>> programs;
    for (int i = 0; i < runs; ++i) {
        dirs.emplace_back(new scratch_dir);
        process_options o = options("record", dirs[i]->path());
        o.env.push_back("ZELVO_FAKE_DELAY_MS=20");
        programs.emplace_back(new child_process({program, "sock"}, o));
    }
    for (int i = 0; i < runs; ++i) programs[i]->feed("IvaskPaths /p ExcludeFileAndPaths /x" + std::to_string(i));
    for (int i = 0; i < runs; ++i) {
        ASSERT_TRUE(programs[i]->wait_for(30s)) << i;
        EXPECT_EQ(0, programs[i]->status());
        EXPECT_NE(std::string::npos, slurp(dirs[i]->file("config")).find("\nExcludePaths = /x" + std::to_string(i) + "\n"))
            << "run " << i << " scanned with another run's config";
    }
    struct stat info = {};
    ASSERT_EQ(0, lstat(run_lock.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 07777);
}

// A queued run has checked its whole task before it waits: a bad one fails
// at once, a good one has printed its dropped paths; SIGTERM ends it there.
TEST_F(launch, QueuedRunFailsOrEndsAtOnceAndWritesNothing) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process first({program, "sock"}, options("wait"));
    first.feed("IvaskPaths /first");
    ASSERT_GT(scanner_pid(), 0);
    scratch_dir queued_seen;
    const run_result bad = run_program({program, "sock"}, "IvaskPaths /queued ActionJokes x",
                                       options("record", queued_seen.path()), 5s);
    ASSERT_TRUE(bad.ended) << "a bad queued task waited for the scan ahead";
    EXPECT_EQ("Enterprise scan failed: bad lexical cast: source type value could not be interpreted as target\n",
              bad.output);
    EXPECT_EQ(255, bad.status);
    // Started, as a threaded agent may start it, with the signals blocked.
    process_options queued_options = options("record", queued_seen.path());
    queued_options.blocked_signals = {SIGINT, SIGTERM};
    child_process queued({program, "sock"}, queued_options);
    queued.feed("IvaskPaths /queued,rel");
    for (int i = 0; i < 1000 && queued.output().empty(); ++i)
        ASSERT_FALSE(queued.wait_for(10ms)) << "the second run did not wait for its turn";
    EXPECT_FALSE(queued.wait_for(300ms)) << "the second run did not wait for its turn";
    kill(queued.pid(), SIGTERM);
    ASSERT_TRUE(queued.wait_for(5s));
    EXPECT_EQ(-SIGTERM, queued.status());
    EXPECT_EQ("Skipping relative path: rel\n", queued.output());
    stop_scanner();
    ASSERT_TRUE(first.wait_for(10s));
    EXPECT_FALSE(file_exists(queued_seen.file("argv")));
    EXPECT_NE(std::string::npos, agent_utils::read_file(scanner_config).find("\nExcludePaths = \n"));
}

// A run cancelled or killed while its scanner has yet to read its config:
// the scanner keeps the turn, so the queued run neither replaces that config
// nor starts its own scanner before it has ended.
TEST_F(launch, CancelledOrKilledRunsScannerKeepsTheTurnUntilItEnds) {
    for (const int signal_number : {SIGTERM, SIGKILL}) {
        scratch_dir a_seen, b_seen;
        // Reads its config a second after it starts, and finishes first.
        process_options a_options = options(signal_number == SIGTERM ? "wait" : "record", a_seen.path());
        a_options.env.push_back("ZELVO_FAKE_DELAY_MS=1000");
        child_process a({program, "sock"}, a_options);
        a.feed("IvaskPaths /home ExcludeFileAndPaths /A-private InfectedFiles 1");
        ASSERT_TRUE(await_file(a_seen.file("argv")));
        child_process b({program, "sock"}, options("record", b_seen.path()));
        b.feed("IvaskPaths /home ExcludeFileAndPaths /B InfectedFiles 4");
        std::this_thread::sleep_for(100ms);  // b is queued
        kill(a.pid(), signal_number);
        ASSERT_TRUE(a.wait_for(10s));
        ASSERT_TRUE(await_file(b_seen.file("argv"))) << signal_number;
        EXPECT_TRUE(file_exists(a_seen.file("config"))) << signal_number << ": b started before a's scanner ended";
        ASSERT_TRUE(b.wait_for(10s));
        const std::string a_config = slurp(a_seen.file("config"));
        EXPECT_NE(std::string::npos, a_config.find("\nExcludePaths = /A-private\n")) << signal_number;
        EXPECT_NE(std::string::npos, a_config.find("\nInfectedFiles = Cure\n")) << signal_number;
        EXPECT_NE(std::string::npos, slurp(b_seen.file("config")).find("\nExcludePaths = /B\n"));
    }
}

// A scanner stopped when its run is cancelled is continued, acts on the
// relayed signal and gives up the turn: the queued run starts.
TEST_F(launch, CancelledStoppedScannerEndsAndTheQueuedRunStarts) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    scratch_dir b_seen;
    child_process a({program, "sock"}, options("stop"));
    a.feed("IvaskPaths /first");
    const pid_t pid = scanner_pid();
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 1000 && process_state(pid) != 'T'; ++i) std::this_thread::sleep_for(5ms);
    child_process b({program, "sock"}, options("record", b_seen.path()));
    b.feed("IvaskPaths /second");
    kill(a.pid(), SIGTERM);
    ASSERT_TRUE(a.wait_for(10s));
    EXPECT_EQ(0, a.status());
    EXPECT_TRUE(process_ends(pid, 10s)) << "the stopped scanner kept the turn";
    ASSERT_TRUE(b.wait_for(10s)) << "the queued run never got its turn";
    EXPECT_EQ("-path=/second", split_nul(slurp(b_seen.file("argv"))).back());
}

// The scanner holds the turn alone once it has started; a run told to wait
// at most N seconds fails after them, naming it, with status 75, and writes
// nothing; a dry run names it without waiting.
TEST_F(launch, TurnHolderIsNamedAndTheWaitForItBounded) {
    if (!in_own_pid_namespace()) GTEST_SKIP() << no_pid_namespace;
    child_process first({program, "sock"}, options("wait"));
    first.feed("IvaskPaths /first");
    const pid_t holder = scanner_pid();
    ASSERT_GT(holder, 0);
    for (int i = 0; i < 2000 && has_open(first.pid(), run_lock); ++i) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(has_open(first.pid(), run_lock)) << "the program kept its copy of the lock";
    EXPECT_EQ("", slurp(run_lock));
    const std::string config = agent_utils::read_file(scanner_config);
    scratch_dir queued_seen;
    for (const int seconds : {0, 1}) {
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run_program({program, "-w", std::to_string(seconds), "sock"}, "IvaskPaths /queued",
                                         options("record", queued_seen.path()), 10s);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ("Enterprise scan failed: the turn is still held by process " + std::to_string(holder) + " after " +
                      std::to_string(seconds) + " s\n",
                  r.output);
        EXPECT_EQ(75, r.status);
        EXPECT_GE(took, std::chrono::seconds(seconds));
        EXPECT_LT(took, std::chrono::seconds(seconds) + 3s);
    }
    EXPECT_EQ(config, agent_utils::read_file(scanner_config)) << "a run that did not get its turn wrote";
    EXPECT_FALSE(file_exists(queued_seen.file("argv")));
    const run_result dry = run_program({program, "-n", "sock"}, "IvaskPaths /queued", options());
    EXPECT_NE(std::string::npos, dry.output.find("\n# runs take turns by the lock " + run_lock +
                                                 ": the turn is held by process " + std::to_string(holder) + "\n"))
        << dry.output;
    stop_scanner();
    ASSERT_TRUE(process_ends(holder, 10s));
    const run_result after = run_program({program, "--wait", "5", "sock"}, "IvaskPaths /queued",
                                         options("record", queued_seen.path()));
    EXPECT_EQ("scanner ran\n", after.output);
    EXPECT_EQ(0, after.status);
    const run_result bad = run_program({program, "-w", "1s", "sock"}, "IvaskPaths /queued", options());
    EXPECT_EQ("Enterprise scan failed: --wait takes a whole number of seconds, not \"1s\"\n", bad.output);
}

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
