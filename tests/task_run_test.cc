// The task as the scanner gets it: its command line, the config it reads,
// the lines the program prints about the task, and the run's status.
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "launch_fixture.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

namespace {

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
// A task that arrives a byte at a time is read whole.
TEST_F(launch, TaskWrittenAByteAtATimeIsReadWhole) {
    child_process p({program, "sock"}, options());
    p.feed_bytewise("IvaskPaths /late,/later ExcludeFileAndPaths /late/tmp");
    ASSERT_TRUE(p.wait_for(10s));
    EXPECT_EQ("scanner ran\n", p.output());
    EXPECT_EQ(0, p.status());
    EXPECT_EQ((std::vector<std::string>{scanner_config, "-ini=" + scanner_config, "-a=sock", "-path=/late",
                                        "-path=/later"}),
              scanner_argv());
    EXPECT_NE(std::string::npos, slurp(seen.file("config")).find("\nExcludePaths = /late/tmp\n"));
}

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

TEST_F(launch, ScannerExitStatusIsNotPassedOn) {
    for (const char* status : {"1", "2", "255"}) {
        process_options o = options();
        o.env.push_back(std::string("ZELVO_FAKE_EXIT=") + status);
        const run_result r = run("sock", typical_task, o);
        EXPECT_EQ("scanner ran\n", r.output);
        EXPECT_EQ(0, r.status) << status;
    }
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

}  // namespace
