#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "task/engine_settings.hpp"
#include "task/scan_settings.hpp"
#include "task/scanner_config.hpp"
#include "test_support.hpp"

namespace {

class scanner_config : public ::testing::Test {
protected:
    void SetUp() override {
        engine_path = "/var/zelvo/lib/zelvo32.dll";
        virus_base = "/var/zelvo/bases/*.vdb";
        temp_path = "/tmp";
        move_files_to = "/var/zelvo/infected";
    }
    static std::string render(const std::string& text) {
        notice_log notices;
        return render_scanner_config(scan_settings_t(text, notices.sink()));
    }
};

const char* const full_task =
    "IvaskPaths /home,/srv ExcludeFileAndPaths /home/tmp,/srv/cache ScanHeuristic 1 CheckContainer 1 "
    "CheckEMailFiles 0 CheckArchives 1 FollowSymbolicLinks +1 MaxCompressionRatio 100 MaxSizeToExtract 1048576 "
    "MaxArchLevel -1 MaxTimeMills 60000 RatioCheckThreshold 4096 ActionDialers 8 InfectedFiles 1 "
    "IncurableFiles 4 ActionAdware 2 ActionInfectedMail 0 ActionInfectedArchive 4 ActionInfectedContainer 2 "
    "SuspiciousFiles 2 ActionJokes 8 ActionRiskware 0 ActionHacktools 4";

TEST_F(scanner_config, FullTaskRendersEveryLineInOrder) {
    EXPECT_EQ(
        "[Scanner]\n"
        "EnginePath = /var/zelvo/lib/zelvo32.dll\n"
        "VirusBase = /var/zelvo/bases/*.vdb\n"
        "TempPath = /tmp\n"
        "FilesTypesWarnings = no\n"
        "OutputMode = Terminal\n"
        "ScanFiles = All\n"
        "EnableDeleteArchiveAction = yes\n"
        "MoveFilesTo = /var/zelvo/infected\n"
        "ExcludePaths = /home/tmp,/srv/cache\n"
        "LogScanned = yes\n"
        "LogPacked = no\n"
        "LogTime = yes\n"
        "LogStatistics = yes\n"
        "RecodeNonprintable = yes\n"
        "RecodeMode = QuotedPrintable\n"
        "RecodeChar = \"?\"\n"
        "ScanPriority = 0\n"
        "HeuristicAnalysis = yes\n"
        "CheckArchives = yes\n"
        "CheckEMailFiles = no\n"
        "FollowLinks = yes\n"
        "ActionInfectedContainer = Move\n"
        "InfectedFiles = Cure\n"
        "ActionInfectedArchive = Delete\n"
        "SuspiciousFiles = Move\n"
        "IncurableFiles = Delete\n"
        "ActionAdware = Move\n"
        "ActionDialers = Ignore\n"
        "ActionJokes = Ignore\n"
        "ActionRiskware = Report\n"
        "ActionHacktools = Delete\n"
        "ActionInfectedMail = Report\n"
        "MaxCompressionRatio = 100\n"
        "MaxFileSizeToExtract = 1048576\n"
        "MaxArchiveLevel = 4294967295\n"
        "MaximumMemoryAllocationSize = 0\n"
        "ScannerScanTimeout = 60000\n"
        "CompressionCheckThreshold = 4096\n",
        render(full_task));
}

TEST_F(scanner_config, PathsOnlyTaskGivesACompleteFileThatOnlyReports) {
    engine_path = "/e";
    virus_base = "/v b";
    temp_path = "";
    move_files_to = "/m";
    EXPECT_EQ(
        "[Scanner]\n"
        "EnginePath = /e\n"
        "VirusBase = /v b\n"
        "TempPath = \n"
        "FilesTypesWarnings = no\n"
        "OutputMode = Terminal\n"
        "ScanFiles = All\n"
        "EnableDeleteArchiveAction = yes\n"
        "MoveFilesTo = /m\n"
        "ExcludePaths = \n"
        "LogScanned = yes\n"
        "LogPacked = no\n"
        "LogTime = yes\n"
        "LogStatistics = yes\n"
        "RecodeNonprintable = yes\n"
        "RecodeMode = QuotedPrintable\n"
        "RecodeChar = \"?\"\n"
        "ScanPriority = 0\n"
        "HeuristicAnalysis = no\n"
        "CheckArchives = no\n"
        "CheckEMailFiles = no\n"
        "FollowLinks = no\n"
        "ActionInfectedContainer = Report\n"
        "InfectedFiles = Report\n"
        "ActionInfectedArchive = Report\n"
        "SuspiciousFiles = Report\n"
        "ActionAdware = Report\n"
        "ActionDialers = Report\n"
        "ActionJokes = Report\n"
        "ActionRiskware = Report\n"
        "ActionHacktools = Report\n"
        "ActionInfectedMail = Report\n"
        "MaxCompressionRatio = 0\n"
        "MaxFileSizeToExtract = 0\n"
        "MaxArchiveLevel = 0\n"
        "MaximumMemoryAllocationSize = 0\n"
        "ScannerScanTimeout = 0\n"
        "CompressionCheckThreshold = 0\n",
        render("IvaskPaths /home"));
}

TEST_F(scanner_config, IncurableLineOnlyWhenCuring) {
    const struct {
        const char* task;
        const char* expected;  // null: no IncurableFiles line
    } cases[] = {
        {"IvaskPaths /a InfectedFiles 1 IncurableFiles 4", "SuspiciousFiles = Report\nIncurableFiles = Delete\nActionAdware"},
        {"IvaskPaths /a InfectedFiles 257 IncurableFiles 8", "SuspiciousFiles = Report\nIncurableFiles = Ignore\nActionAdware"},
        {"IvaskPaths /a InfectedFiles 1", "SuspiciousFiles = Report\nIncurableFiles = Report\nActionAdware"},
        {"IvaskPaths /a InfectedFiles 2 IncurableFiles 4", nullptr},
        {"IvaskPaths /a IncurableFiles 1", nullptr},
    };
    for (const auto& c : cases) {
        const std::string text = render(c.task);
        if (c.expected)
            EXPECT_NE(std::string::npos, text.find(c.expected)) << c.task;
        else
            EXPECT_EQ(std::string::npos, text.find("IncurableFiles")) << c.task;
    }
}

TEST_F(scanner_config, NeitherCheckContainerNorScanPathsAppear) {
    const std::string text = render(std::string(full_task) + " ScanRemovable 1 ScanFixed 1");
    EXPECT_EQ(std::string::npos, text.find("CheckContainer"));
    EXPECT_EQ(std::string::npos, text.find("/srv,"));
    EXPECT_EQ(std::string::npos, text.find("/home\n"));
    const std::string whole = render("ScanRemovable 0 ScanFixed 1");
    EXPECT_NE(std::string::npos, whole.find("\nExcludePaths = /dev,/proc,/sys\n"));
}

TEST_F(scanner_config, AnActionOutsideTheFiveFails) {
    notice_log notices;
    scan_settings_t settings("IvaskPaths /a", notices.sink());
    settings.action_hacktools = static_cast<scan_settings_t::action_t>(7);
    try {
        render_scanner_config(settings);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Unknown action", e.what());
    }
}

// The scanner reads each value as the engine's INI files are read: every
// engine setting and excluded path must come back exactly as it went in.
TEST_F(scanner_config, ItemsAreWrittenSoThatTheScannerReadsThemBack) {
    const struct {
        std::string item;
        std::string written;
    } cases[] = {
        {"/home/tmp", "/home/tmp"},
        {"/srv/a b", "/srv/a b"},  // blanks inside an item stay
        {"a'b", "a'b"},
        {"", ""},
        {"/srv/cache;tmp", "\"/srv/cache;tmp\""},
        {"/data/#keep", "\"/data/#keep\""},
        {"/x\\y", "\"/x\\\\y\""},
        {"/q,old", "\"/q,old\""},
        {"a\"b", "\"a\\\"b\""},
        {" /lead", "\" /lead\""},
        {"/trail\t", "\"/trail\t\""},
        {"\v/vt", "\"\v/vt\""},
        {"/ff\f", "\"/ff\f\""},
        {"'quoted'", "\"'quoted'\""},
    };
    for (const auto& c : cases) {
        move_files_to = c.item;
        notice_log notices;
        scan_settings_t settings("IvaskPaths /a", notices.sink());
        settings.exclude_paths = {c.item, "/plain"};
        const std::string text = render_scanner_config(settings);
        EXPECT_NE(std::string::npos, text.find("\nMoveFilesTo = " + c.written + "\n")) << c.item;
        EXPECT_NE(std::string::npos, text.find("\nExcludePaths = " + c.written + ",/plain\n")) << c.item;
    }
}

// Any item over every byte a task or engine file can carry, line ends and
// NUL (both refused) aside,
// as a single value and in lists, read back through the parameter store.
TEST_F(scanner_config, EveryItemRoundTripsThroughTheReader) {
    const std::string special = "\"\\,;#'= \t\v\f";
    std::mt19937 random(20261209);
    const auto any_item = [&] {
        std::string item(random() % 9, '\0');
        for (char& c : item) {
            do {
                c = random() % 2 ? special[random() % special.size()] : static_cast<char>(random() % 256);
            } while (c == '\r' || c == '\n' || c == '\0');
        }
        return item;
    };
    scratch_dir dir;
    for (int round = 0; round < 3000; ++round) {
        move_files_to = any_item();
        notice_log notices;
        scan_settings_t settings("IvaskPaths /a", notices.sink());
        settings.exclude_paths.resize(1 + random() % 4);
        for (std::string& path : settings.exclude_paths) path = any_item();
        config_t config;
        config.parse_ini_file(dir.write("config", render_scanner_config(settings)));
        std::string move_read;
        config.get("Scanner/MoveFilesTo", move_read);
        ASSERT_EQ(move_files_to, move_read) << "round " << round;
        ASSERT_EQ(settings.exclude_paths, config.params[ci_string("Scanner/ExcludePaths")].values) << "round " << round;
    }
}

// The reader cuts lines before anything else: no quoting carries a line end.
TEST_F(scanner_config, ItemWithALineEndFailsAndNamesItsOrigin) {
    const struct {
        const char* exclude;
        const char* move;
        const char* message;
    } cases[] = {
        {"/a\rb", "/m", "Malformed task settings: ExcludeFileAndPaths holds a line end"},
        {"/a", "/m\n", "Malformed engine settings: Scanner/MoveFilesTo holds a line end"},
    };
    for (const auto& c : cases) {
        move_files_to = c.move;
        notice_log notices;
        scan_settings_t settings("IvaskPaths /a", notices.sink());
        settings.exclude_paths = {c.exclude};
        try {
            render_scanner_config(settings);
            ADD_FAILURE() << "no error for " << c.message;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(c.message, e.what());
        }
    }
}

}  // namespace
