// Every option comes from one table: the command line, the settings file,
// the usage and the dry run's setting lines read it alike, and the manual
// page names the same options and keys.
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "launcher/options.hpp"
#include "launcher/settings_file.hpp"
#include "test_support.hpp"

namespace {

const program_paths paths = {"/e/zelvo32.ini", "/e/zelvo-ivask.conf", "/t/.ivask_config", "/o/zelvo", "/r"};

// "strict=1c wait=-1f": each option that is not built in, with its value
// and where it came from (f settings file, c command line).
std::string settings_of(const run_options& options) {
    std::string text;
    for (const option_spec& option : all_options()) {
        const run_options::setting& s = options.*option.field;
        if (s.from == run_options::built_in) continue;
        text += (text.empty() ? "" : " ") + std::string(option.long_name + 2) + "=" + std::to_string(s.value) +
                "bfc"[s.from];
    }
    return text;
}

// Every option as built in: none at its own value.
const std::string built_in = "";

TEST(command_line, EachOptionSetsItsFieldAndEverythingElseIsRefused) {
    const struct {
        std::vector<std::string> args;
        command_line::kind_t kind;
        std::string settings;  // or the failure
    } cases[] = {
        {{"sock"}, command_line::run, built_in},
        {{"-V"}, command_line::version, built_in},
        {{"--help"}, command_line::help, built_in},
        {{"--dry-run"}, command_line::lone_dry_run, "dry-run=1c"},
        {{"--strict"}, command_line::run, built_in},  // a single argument is the socket
        {{"-n", "--strict", "--follow", "--syslog", "-w", "30", "sock"}, command_line::run,
         "dry-run=1c strict=1c follow=1c syslog=1c wait=30c"},
        {{"--no-strict", "--no-follow", "--no-syslog", "--wait", "none", "sock"}, command_line::run,
         "strict=0c follow=0c syslog=0c wait=-1c"},
        {{"--strict", "--no-strict", "sock"}, command_line::run, "strict=0c"},
        {{"-w", "999999999", "sock"}, command_line::run, "wait=999999999c"},
        {{"-w", "0", "sock"}, command_line::run, "wait=0c"},
        {{"--timeout", "30", "--kill-after", "0", "sock"}, command_line::run, "timeout=30c kill-after=0c"},
        {{"--timeout", "none", "--kill-after", "none", "sock"}, command_line::run, "timeout=-1c kill-after=-1c"},
        {{"--timeout", "30s", "sock"}, command_line::run, "--timeout takes a whole number of seconds, not \"30s\""},
        {{"--no-timeout", "sock"}, command_line::run, "Wrong number of parameters"},
        {{"-w", "1000000000", "sock"}, command_line::run, "--wait takes a whole number of seconds, not \"1000000000\""},
        {{"--wait", "9999999999", "sock"}, command_line::run, "--wait takes a whole number of seconds, not \"9999999999\""},
        {{"-w", "1s", "sock"}, command_line::run, "--wait takes a whole number of seconds, not \"1s\""},
        {{"-w", "-1", "sock"}, command_line::run, "--wait takes a whole number of seconds, not \"-1\""},
        {{"-w", "", "sock"}, command_line::run, "--wait takes a whole number of seconds, not \"\""},
        {{"-w", "sock"}, command_line::run, "Wrong number of parameters"},
        {{"--no-dry-run", "sock"}, command_line::run, "Wrong number of parameters"},
        {{"--no-wait", "sock"}, command_line::run, "Wrong number of parameters"},
        {{"--Strict", "sock"}, command_line::run, "Wrong number of parameters"},
        {{"sock", "-n"}, command_line::run, "Wrong number of parameters"},
        {{"", ""}, command_line::run, "Wrong number of parameters"},
        {{}, command_line::run, "Wrong number of parameters"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"zelvo-ivask"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        run_options options;
        std::string got;
        try {
            const command_line command = read_command_line(static_cast<int>(args.size()), argv.data(), options);
            EXPECT_EQ(c.kind, command.kind) << c.settings;
            EXPECT_EQ(args.back(), command.socket_address);
            got = settings_of(options);
        } catch (const std::runtime_error& e) {
            got = e.what();
        }
        EXPECT_EQ(c.settings, got) << args.size();
    }
}

class settings_file : public ::testing::Test {
protected:
    std::string write(const std::string& text, mode_t mode = 0644) const {
        const std::string path = dir.write("zelvo-ivask.conf", text);
        chmod(path.c_str(), mode);
        return path;
    }
    scratch_dir dir;
};

// What the file sets, and that the command line wins over it.
TEST_F(settings_file, EachKeySetsItsOptionUnlessTheCommandLineDid) {
    const struct {
        std::string text;
        bool strict_on_command_line;
        std::string settings;
    } cases[] = {
        {"[Run]\nStrict = yes\nFollow = yes\nSyslog = yes\nWait = 30\nTimeout = 3600\nKillAfter = 10\n", false,
         "strict=1f follow=1f syslog=1f wait=30f timeout=3600f kill-after=10f"},
        {"[run]\nstrict = no # as built in\nWAIT = none\n", false, "strict=0f wait=-1f"},
        {"[Run]\nStrict = yes\n", true, "strict=0c"},
        {"# nothing set\n", false, built_in},
    };
    for (const auto& c : cases) {
        run_options options;
        if (c.strict_on_command_line) options.strict = {0, run_options::command_line};
        const std::string path = write(c.text);
        read_settings_file(path, options);
        EXPECT_EQ(c.settings, settings_of(options)) << c.text;
        EXPECT_EQ(path, options.settings_path);
    }
    run_options none;
    read_settings_file(dir.file("absent.conf"), none);
    EXPECT_EQ(built_in, settings_of(none));
    EXPECT_EQ("", none.settings_path);
}

// A file that cannot be trusted or read is refused, naming the file and why.
TEST_F(settings_file, FileThatCannotBeTrustedOrReadIsRefused) {
    const struct {
        const char* text;  // null: a folder there
        mode_t mode;
        uid_t owner;  // 0: as made
        std::string why;
    } cases[] = {
        {"[Run]\nStrikt = yes\n", 0644, 0, "not a setting it knows: Strikt"},
        {"[Runs]\nStrict = yes\n", 0644, 0, "not a section it knows: [Runs]"},
        {"Strict = yes\n", 0644, 0, "not a section it knows: []"},
        {"[Run]\nWait = 1\nWait = 2\n", 0644, 0, "Wait is given more than once, or holds a comma"},
        {"[Run]\nWait = 1,2\n", 0644, 0, "Wait is given more than once, or holds a comma"},
        {"[Run]\nFollow = true\n", 0644, 0, "Follow takes yes or no, not \"true\""},
        {"[Run]\nfollow = YES\n", 0644, 0, "Follow takes yes or no, not \"YES\""},
        {"[Run]\nWait = 1s\n", 0644, 0, "Wait takes a whole number of seconds, not \"1s\""},
        {"[Run]\nWait = 1000000000\n", 0644, 0, "Wait takes a whole number of seconds, not \"1000000000\""},
        {"[Run]\nStrict\n", 0644, 0, "Parse error at line 2: No '=' sign found: Strict"},
        {"[Run]\nStrict = yes\n", 0664, 0, "others than its owner may write it"},
        {"[Run]\nStrict = yes\n", 0646, 0, "others than its owner may write it"},
        {"[Run]\nStrict = yes\n", 0644, 65534, "owned by user 65534, not by root or the program's user"},
        {nullptr, 0755, 0, "not a regular file"},
        // A section it does not know, also without keys.
        {"[Rnu]\n", 0644, 0, "not a section it knows: [Rnu]"},
        {"[Run]\nStrict = yes\n[Defaults]\n", 0644, 0, "not a section it knows: [Defaults]"},
        {"[Run]\n[ ]\n", 0644, 0, "not a section it knows: []"},
        // A byte order mark first, as some editors save.
        {"\xef\xbb\xbf[Run]\nStrict = yes\n", 0644, 0,
         "begins with a byte order mark (EF BB BF): save it as plain text, without one"},
        {"\xef\xbb\xbf", 0644, 0, "begins with a byte order mark (EF BB BF): save it as plain text, without one"},
        // A link that leads nowhere, or to something not a regular file.
        {"link:missing.conf", 0644, 0, "a symbolic link to missing.conf, which does not exist"},
        {"link:nowhere/missing.conf", 0644, 0, "a symbolic link to nowhere/missing.conf, which does not exist"},
        {"link:fifo", 0644, 0, "not a regular file"},
        {"link:zelvo-ivask.conf", 0644, 0, "Too many levels of symbolic links"},
    };
    mkfifo(dir.file("fifo").c_str(), 0644);
    for (const auto& c : cases) {
        const std::string path = dir.file("zelvo-ivask.conf");
        shell("rm -rf '" + path + "'");
        if (c.owner != 0 && geteuid() != 0) continue;  // only root gives a file away
        const std::string text = c.text != nullptr ? c.text : "";
        if (c.text == nullptr)
            ASSERT_EQ(0, mkdir(path.c_str(), c.mode));
        else if (text.compare(0, 5, "link:") == 0)
            ASSERT_EQ(0, symlink(text.substr(5).c_str(), path.c_str()));
        else
            write(c.text, c.mode);
        if (c.owner != 0) {
            ASSERT_EQ(0, chown(path.c_str(), c.owner, c.owner));
        }
        run_options options;
        try {
            read_settings_file(path, options);
            ADD_FAILURE() << "taken: " << c.why;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(path + ": " + c.why, e.what());
        }
    }
    // A link to a regular file is read as that file; nothing at all at the
    // path is no settings file.
    write("[Run]\nStrict = yes\n");
    rename(dir.file("zelvo-ivask.conf").c_str(), dir.file("real.conf").c_str());
    ASSERT_EQ(0, symlink("real.conf", dir.file("zelvo-ivask.conf").c_str()));
    run_options linked;
    read_settings_file(dir.file("zelvo-ivask.conf"), linked);
    EXPECT_EQ("strict=1f", settings_of(linked));
}

// A refused file still gives the run every setting it gives soundly: the
// run's log line goes where the file says.
TEST_F(settings_file, RefusedFileStillSetsWhatItGivesSoundly) {
    const struct {
        std::string text;
        std::string why;
    } cases[] = {
        {"[Run]\nSyslog = yes\nFollow = maybe\n", "Follow takes yes or no, not \"maybe\""},
        {"[Run]\nAardvark = 1\nSyslog = yes\n", "not a setting it knows: Aardvark"},
        {"[Run]\nSyslog = yes\nWait = soon\n", "Wait takes a whole number of seconds, not \"soon\""},
        {"[Run]\nSyslog = yes\n[Other]\n", "not a section it knows: [Other]"},
        {"[Run]\nSyslog = yes\noops\n", "Parse error at line 3: No '=' sign found: oops"},
    };
    for (const auto& c : cases) {
        const std::string path = write(c.text);
        run_options options;
        try {
            read_settings_file(path, options);
            ADD_FAILURE() << "taken: " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(path + ": " + c.why, e.what());
        }
        EXPECT_EQ(1, options.syslog.value) << c.text;
    }
}

TEST_F(settings_file, DryRunLinesSayEachSettingAndWhereItCameFrom) {
    run_options options;
    options.follow = {1, run_options::command_line};
    options.wait = {1, run_options::command_line};
    const std::string path = write("[Run]\nWait = 30\nSyslog = yes\nStrict = no\n");
    read_settings_file(path, options);
    EXPECT_EQ((std::vector<std::string>{"setting Strict = no, from " + path, "setting Follow = yes, from the command line",
                                        "setting Syslog = yes, from " + path, "setting Wait = 1, from the command line",
                                        "setting Timeout = none, built in", "setting KillAfter = none, built in"}),
              describe_settings(options));
    EXPECT_TRUE(describe_settings(run_options()).empty()) << "no settings file, no lines";
    // What ends a scan by force is shown wherever it came from.
    run_options deadline;
    deadline.timeout = {30, run_options::command_line};
    const std::vector<std::string> lines = describe_settings(deadline);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("setting Timeout = 30, from the command line", lines[4]);
    EXPECT_EQ("setting KillAfter = none, built in", lines[5]);
}

// The options a text names: each word that is an option's spelling,
// after a blank, "[" or "|".
std::set<std::string> options_named(const std::string& text) {
    std::set<std::string> named;
    const std::regex option("(^|[ \\[|,])(--?[a-zA-Z][-a-zA-Z]*)");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) named.insert((*it)[2]);
    return named;
}

// A section of the manual page, its groff escapes for the dash taken out.
std::string manual_section(const std::string& name) {
    std::string page = agent_utils::read_file(ZELVO_SOURCE_DIR "/man/zelvo-ivask.1");
    for (std::string::size_type at; (at = page.find("\\-")) != std::string::npos;) page.replace(at, 2, "-");
    const std::string::size_type start = page.find("\n.SH " + name + "\n");
    if (start == std::string::npos) return std::string();
    return page.substr(start, page.find("\n.SH ", start + 1) - start);
}

TEST(usage, UsageAndManualNameTheSameOptionsAndKeys) {
    std::set<std::string> table = {"-V", "-v", "--version", "-h", "--help"};
    std::set<std::string> keys;
    for (const option_spec& option : all_options()) {
        if (option.short_name != nullptr) table.insert(option.short_name);
        table.insert(option.long_name);
        if (!option.negation().empty()) table.insert(option.negation());
        if (option.key != nullptr) keys.insert(option.key);
    }
    const std::string text = usage(paths);
    EXPECT_EQ(table, options_named(text)) << text;
    EXPECT_EQ(table, options_named(manual_section("SYNOPSIS")));
    // The keys as the usage gives them ("Strict: refuse ...") and as the
    // manual's example of the settings file sets them ("Strict = yes").
    std::set<std::string> usage_keys, manual_keys;
    const std::regex usage_key("\n  [^\n]*  ([A-Za-z]+): "), manual_key("\n([A-Za-z]+) = ");
    for (std::sregex_iterator it(text.begin(), text.end(), usage_key), end; it != end; ++it) usage_keys.insert((*it)[1]);
    const std::string files = manual_section("FILES");
    for (std::sregex_iterator it(files.begin(), files.end(), manual_key), end; it != end; ++it)
        manual_keys.insert((*it)[1]);
    EXPECT_EQ(keys, usage_keys) << text;
    EXPECT_EQ(keys, manual_keys) << files;
    EXPECT_NE(std::string::npos, text.find("Reads    /e/zelvo-ivask.conf ")) << text;
    EXPECT_NE(std::string::npos, text.find("Starts   /o/zelvo ")) << text;
}

}  // namespace
