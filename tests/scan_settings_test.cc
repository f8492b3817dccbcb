#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "task/scan_settings.hpp"
#include "test_support.hpp"

namespace {

typedef std::vector<std::string> paths;

const char* const bad_cast = "bad lexical cast: source type value could not be interpreted as target";
const std::string named = "IvaskPaths /srv";  // skips the path defaults

// The failure message of building from text, or "" when it builds.
std::string failure_of(const std::string& text) {
    notice_log notices;
    try {
        scan_settings_t settings(text, notices.sink());
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(task_text, TokensAndPairs) {
    const struct {
        std::string text;
        const char* error;  // "" when well formed
    } cases[] = {
        {named + " ScanHeuristic 1", ""},
        {"", "Malformed task settings: ScanRemovable and ScanFixed are required when IvaskPaths names no path"},
        {named + " ScanHeuristic 1 ", "Malformed task settings: key \"\" has no value"},
        {named + " ScanHeuristic  1", "Malformed task settings: key \"1\" has no value"},
        {" ScanFixed 1", "Malformed task settings: key \"1\" has no value"},
        {"ScanFixed 1ScanRemovable 0", "Malformed task settings: key \"0\" has no value"},
        {named + " ScanHeuristic", "Malformed task settings: key \"ScanHeuristic\" has no value"},
        {named + " \"Scan Heuristic\" \"yes no\"", ""},  // an unknown key, grouped by quotes
        {named + " ScanHeuristic\t1", "Malformed task settings: key \"ScanHeuristic\t1\" has no value"},  // a tab is no separator
    };
    for (const auto& c : cases) EXPECT_EQ(c.error, failure_of(c.text)) << c.text;
}

TEST(task_text, QuotesGroupAnywhereInAToken) {
    notice_log notices;
    const scan_settings_t s("IvaskPaths /a\"b c\"d,\"/x y\" ExcludeFileAndPaths \"\"", notices.sink());
    EXPECT_EQ((paths{"/ab", "/x"}), s.scan_paths);
    EXPECT_EQ("Skipping relative path: cd\nSkipping relative path: y\n", notices.text);
    EXPECT_TRUE(s.exclude_paths.empty());
}

TEST(task_text, FirstPairWinsAndKeysAreCaseSensitive) {
    notice_log notices;
    const scan_settings_t first(named + " CheckArchives 1 CheckArchives 0 checkarchives x", notices.sink());
    EXPECT_TRUE(first.check_archives);
    EXPECT_EQ(bad_cast, failure_of(named + " CheckArchives yes CheckArchives 1"));
}

TEST(task_text, BooleanSpellings) {
    const struct {
        const char* value;
        int expected;  // 1 true, 0 false, -1 refused
    } cases[] = {
        {"1", 1}, {"+1", 1}, {"0", 0}, {"+0", 0}, {"-0", 0}, {"-1", -1}, {"true", -1}, {"yes", -1},
        {" 1", -1}, {"", -1}, {"01", -1}, {"00", -1}, {"+00", -1}, {"2", -1}, {"1 ", -1}, {"++1", -1},
    };
    for (const auto& c : cases) {
        const std::string text = named + " FollowSymbolicLinks \"" + c.value + "\"";
        notice_log notices;
        if (c.expected < 0) {
            EXPECT_EQ(bad_cast, failure_of(text)) << c.value;
        } else {
            EXPECT_EQ(c.expected == 1, scan_settings_t(text, notices.sink()).follow_links) << c.value;
        }
    }
}

TEST(task_text, NumbersAreSigned32BitKeptAsTheirBitPattern) {
    const struct {
        const char* value;
        long long expected;  // -1 refused
    } cases[] = {
        {"007", 7}, {"+5", 5}, {"-1", 4294967295LL}, {"-2147483648", 2147483648LL}, {"2147483647", 2147483647},
        {"2147483648", -1}, {"-2147483649", -1}, {"1e3", -1}, {"", -1}, {" 1", -1}, {"1 ", -1},
        {"+", -1}, {"-", -1}, {"--1", -1}, {"+-1", -1}, {"0x10", -1}, {"1,000", -1}, {"4294967295", -1},
    };
    for (const auto& c : cases) {
        const std::string text = named + " MaxArchLevel \"" + c.value + "\"";
        notice_log notices;
        if (c.expected < 0) {
            EXPECT_EQ(bad_cast, failure_of(text)) << c.value;
        } else {
            EXPECT_EQ(c.expected, scan_settings_t(text, notices.sink()).max_archive_level) << c.value;
        }
    }
}

TEST(task_text, ActionCodesByTheirLowEightBits) {
    typedef scan_settings_t::action_t action;
    const struct {
        const char* value;
        int expected;  // -1 unlisted code, -2 not a number
    } cases[] = {
        {"0", scan_settings_t::action_report}, {"+0", scan_settings_t::action_report},
        {"-0", scan_settings_t::action_report}, {"1", scan_settings_t::action_cure},
        {"2", scan_settings_t::action_move},   {"4", scan_settings_t::action_delete},
        {"8", scan_settings_t::action_ignore}, {"256", scan_settings_t::action_report},
        {"260", scan_settings_t::action_delete}, {"-256", scan_settings_t::action_report},
        {"4294967041", scan_settings_t::action_cure}, {"-4294967295", scan_settings_t::action_cure},
        {"3", -1}, {"-1", -1}, {"16", -1}, {"255", -1},
        {"Cure", -2}, {"1.0", -2}, {" 1", -2}, {"", -2}, {"4294967296", -2}, {"-4294967296", -2},
    };
    for (const auto& c : cases) {
        std::string error;
        action result = scan_settings_t::action_report;
        try {
            result = scan_settings_t::convert_action(c.value, "ActionJokes");
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (c.expected == -1)
            EXPECT_EQ(std::string("Malformed task settings: unknown action code ") + c.value + " for ActionJokes", error);
        else if (c.expected == -2)
            EXPECT_EQ(bad_cast, error) << c.value;
        else
            EXPECT_EQ(c.expected, result) << c.value;
    }
}

// Only a code above 255 has bits that do not count, and says so.
TEST(task_text, ActionCodeAbove255IsTold) {
    const struct {
        const char* value;
        std::string told;
    } cases[] = {
        {"8", ""},
        {"256", "ActionJokes \"256\": only the low eight bits count: 0 (Report)\n"},
        {"257", "ActionJokes \"257\": only the low eight bits count: 1 (Cure)\n"},
        {"-256", "ActionJokes \"-256\": only the low eight bits count: 0 (Report)\n"},
    };
    for (const auto& c : cases) {
        notice_log told;
        scan_settings_t::convert_action(c.value, "ActionJokes", told.sink());
        EXPECT_EQ(c.told, told.text) << c.value;
    }
}

TEST(task_text, WriteActionWords) {
    const char* const words[] = {"Report", "Cure", "Move", "Delete", "Ignore"};
    for (uint32_t a = 0; a < 5; ++a) {
        std::ostringstream out;
        scan_settings_t::write_action(out, static_cast<scan_settings_t::action_t>(a));
        EXPECT_EQ(words[a], out.str());
    }
    std::ostringstream out;
    try {
        scan_settings_t::write_action(out, static_cast<scan_settings_t::action_t>(5));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Unknown action", e.what());
    }
    EXPECT_EQ("", out.str());
}

TEST(task_text, FirstBadKeyInProcessingOrderIsReported) {
    const struct {
        std::string text;
        const char* error;
    } cases[] = {
        {"ScanInteractive 1 " + named, "Interactive scan is not supported"},
        {"ScanInteractive yes " + named, bad_cast},
        {"ActionJokes 3 MaxArchLevel x ScanInteractive 1 " + named, "Interactive scan is not supported"},
        {"ActionJokes 3 MaxArchLevel x ScanFixed 1", "Malformed task settings: ScanRemovable and ScanFixed are required when IvaskPaths names no path"},
        {"ActionJokes 3 MaxArchLevel x CheckContainer yes " + named, bad_cast},
        {"ActionJokes 3 ActionDialers 5 MaxArchLevel 1 " + named, "Malformed task settings: unknown action code 5 for ActionDialers"},
        {"ActionJokes 3 ActionDialers 8 " + named, "Malformed task settings: unknown action code 3 for ActionJokes"},
        {"ScanInteractive 0 " + named, ""},
        {"ScanInteractive -0 CheckContainer 1 " + named, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.error, failure_of(c.text)) << c.text;
}

TEST(task_text, AbsentOptionKeysTakeTheSafeDefaults) {
    notice_log notices;
    const scan_settings_t s(named, notices.sink());
    EXPECT_FALSE(s.heuristic_analysis || s.check_mail_files || s.check_archives || s.follow_links);
    for (auto a : {s.action_dialers, s.action_infected, s.action_incurable, s.action_adware, s.action_infected_mail,
                   s.action_infected_archive, s.action_infected_container, s.action_suspicious, s.action_jokes,
                   s.action_riskware, s.action_hacktools})
        EXPECT_EQ(scan_settings_t::action_report, a);
    for (auto n : {s.scan_timeout_ms, s.max_memory_allocation_size, s.max_file_size_to_extract,
                   s.max_compression_ratio, s.max_archive_level, s.compression_check_threshold})
        EXPECT_EQ(0u, n);
}

const paths system_directories = {"/bin", "/boot", "/lib", "/opt", "/sbin", "/tmp", "/usr/bin", "/usr/lib",
                                  "/usr/local/bin", "/usr/local/lib", "/usr/local/sbin", "/usr/sbin",
                                  "/var/mail", "/var/tmp"};

paths with(paths base, const paths& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

struct path_case {
    const char* what;
    std::string text;
    const char* path_env;  // null: PATH unset
    paths scan;
    paths exclude;
    std::string notices;
    const char* error;  // null: builds
};

TEST(task_paths, NamedWholeSystemAndProgramDirectories) {
    const path_case cases[] = {
        {"named", "IvaskPaths /home,/srv ScanFixed x", nullptr, {"/home", "/srv"}, {}, "", nullptr},
        {"empty items", "IvaskPaths /home,,/srv,", nullptr, {"/home", "/srv"}, {}, "", nullptr},
        {"duplicates stay", "IvaskPaths /a,/a", nullptr, {"/a", "/a"}, {}, "", nullptr},
        {"whitespace splits", "IvaskPaths \"/srv/a b\"", nullptr, {"/srv/a"}, {}, "Skipping relative path: b\n", nullptr},
        {"tabs and returns split", "IvaskPaths \"\t/a\r\n/b\v,\f/c\"", nullptr, {"/a", "/b", "/c"}, {}, "", nullptr},
        {"all relative", "IvaskPaths home", nullptr, {}, {}, "Skipping relative path: home\n", nullptr},
        {"relative exclusion", "IvaskPaths /a ExcludeFileAndPaths tmp,/b", nullptr, {"/a"}, {"/b"},
         "Skipping relative path: tmp\n", nullptr},
        {"only separators", "IvaskPaths \" , \" ScanRemovable 0 ScanFixed 1", nullptr, {"/"},
         {"/dev", "/proc", "/sys"}, "", nullptr},
        {"whole system", "ScanRemovable 1 ScanFixed 0 ExcludeFileAndPaths /mnt", nullptr, {"/"},
         {"/mnt", "/dev", "/proc", "/sys"}, "", nullptr},
        {"PATH merged", "ScanRemovable 0 ScanFixed 0", "/usr/bin:/home/u/bin::.",
         with({"/bin", "/boot", "/home/u/bin"}, paths(system_directories.begin() + 2, system_directories.end())), {},
         "Skipping empty path\nSkipping relative path: .\n", nullptr},
        {"PATH empty", "ScanRemovable 0 ScanFixed +0", "", system_directories, {}, "Skipping empty path\n", nullptr},
        {"PATH leading blank", "ScanRemovable 0 ScanFixed 0", "/zzz: /opt/x", with({"/opt/x"}, with(system_directories, {"/zzz"})),
         {}, "", nullptr},
        {"PATH unset", "ScanRemovable 0 ScanFixed 0", nullptr, {}, {}, "", "PATH is not set"},
        {"ScanFixed missing", "ScanRemovable 1", "/bin", {}, {}, "",
         "Malformed task settings: ScanRemovable and ScanFixed are required when IvaskPaths names no path"},
        {"ScanRemovable missing", "ScanFixed 1", "/bin", {}, {}, "",
         "Malformed task settings: ScanRemovable and ScanFixed are required when IvaskPaths names no path"},
        {"both converted before use", "ScanRemovable 1 ScanFixed yes", "/bin", {}, {}, "", bad_cast},
    };
    for (const path_case& c : cases) {
        scoped_env env("PATH", c.path_env);
        notice_log notices;
        try {
            const scan_settings_t s(c.text, notices.sink());
            EXPECT_EQ(nullptr, c.error) << c.what;
            EXPECT_EQ(c.scan, s.scan_paths) << c.what;
            EXPECT_EQ(c.exclude, s.exclude_paths) << c.what;
        } catch (const std::exception& e) {
            ASSERT_NE(nullptr, c.error) << c.what << ": " << e.what();
            EXPECT_EQ(c.error, std::string(e.what())) << c.what;
        }
        EXPECT_EQ(c.notices, notices.text) << c.what;
    }
}

TEST(task_paths, NoticesStayPrintedWhenALaterKeyFails) {
    notice_log notices;
    EXPECT_THROW(scan_settings_t("IvaskPaths rel,/a MaxTimeMills x", notices.sink()), boost::bad_lexical_cast);
    EXPECT_EQ("Skipping relative path: rel\n", notices.text);
}

}  // namespace
