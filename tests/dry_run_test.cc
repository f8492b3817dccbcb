// A dry run shows what a run would write and start, and why it would fail,
// and changes nothing.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

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
    // About 520 KiB of arguments: within 6 MiB, but over a quarter of a
    // 1 MiB stack limit, and within a quarter of an 8 MiB one.
    std::string half_mib = "IvaskPaths /p";
    for (int i = 0; i < 20000; ++i) half_mib += ",/data/p" + std::to_string(1000000 + i);
    const struct {
        std::string task;
        bool fits;
        rlim_t stack_limit;  // 0: as the tests run
    } cases[] = {{many, false, 0},
                 {"IvaskPaths /" + std::string(200000, 'l'), false, 0},
                 {"IvaskPaths /" + std::string(longest_path, 'l'), true, 0},
                 {"IvaskPaths /" + std::string(longest_path + 1, 'l'), false, 0},
                 {half_mib, false, 1 << 20},
                 {half_mib, true, 8 << 20}};
    const std::string line = "Execve failed: Argument list too long\n";
    for (const auto& c : cases) {
        const std::string row = std::to_string(c.task.size()) + " bytes, stack " + std::to_string(c.stack_limit);
        process_options o = options();
        o.stack_limit = c.stack_limit;
        const run_result dry = run_program({program, "-n", "sock"}, c.task, o);
        const run_result real = run("sock", c.task, o);
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
// A directory or a FIFO at the scanner's path (root may "execute" a
// directory with an x bit) ends the dry run as it ends the run.
TEST_F(launch, ScannerThatIsNoRegularFileEndsTheDryRunAsTheRun) {
    for (const char* kind : {"directory", "fifo"}) {
        unlink(scanner.c_str());
        if (std::string(kind) == "fifo")
            ASSERT_EQ(0, mkfifo(scanner.c_str(), 0755));
        else
            ASSERT_EQ(0, mkdir(scanner.c_str(), 0755));
        const run_result dry = run_program({program, "-n", "sock"}, "IvaskPaths /a", options());
        const run_result real = run("sock", "IvaskPaths /a");
        shell("rm -rf '" + scanner + "'");
        const std::string line = "Execve failed: Permission denied\n";
        EXPECT_EQ(line, real.output) << kind;
        EXPECT_EQ(2, real.status) << kind;
        ASSERT_GE(dry.output.size(), line.size()) << kind;
        EXPECT_EQ(line, dry.output.substr(dry.output.size() - line.size())) << kind;
        EXPECT_EQ(2, dry.status) << kind;
    }
    install_scanner();
}

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

}  // namespace
