#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "config/config.hpp"
#include "test_support.hpp"

namespace {

typedef std::map<std::string, std::vector<std::string>> stored_t;

// What the store holds: each key as spelled, with its values.
stored_t stored(const config_t& config) {
    stored_t result;
    for (const auto& entry : config.params)
        result[std::string(entry.first.data(), entry.first.size())].assign(entry.second.values.begin(),
                                                                          entry.second.values.end());
    return result;
}

struct ini_case {
    const char* name;
    std::string text;
    stored_t expected;
    const char* error;  // null: parses
};

// Shown by name in test listings and failures, not as a byte dump.
void PrintTo(const ini_case& c, std::ostream* os) { *os << c.name; }

class ini_reader : public ::testing::TestWithParam<ini_case> {};

TEST_P(ini_reader, StoresExactlyTheExpectedParametersOrFailsOnTheRightLine) {
    const ini_case& c = GetParam();
    scratch_dir dir;
    const std::string path = dir.write("engine.ini", c.text);
    config_t config;
    if (c.error) {
        try {
            config.parse_ini_file(path);
            FAIL() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(c.error, std::string(e.what()));
        }
    } else {
        config.parse_ini_file(path);
        for (const auto& entry : config.params) EXPECT_EQ(path, entry.second.source);
    }
    EXPECT_EQ(c.expected, stored(config));
}

const char* const no_equals = "Parse error at line 1: No '=' sign found";

INSTANTIATE_TEST_SUITE_P(
    Syntax, ini_reader,
    ::testing::Values(
        ini_case{"EmptyFile", "", {}, nullptr},
        ini_case{"Section", "[Scanner]\nVirusBase = /var/bases/*.vdb", {{"Scanner/VirusBase", {"/var/bases/*.vdb"}}}, nullptr},
        ini_case{"BeforeAnyHeader", "TempPath=/tmp", {{"/TempPath", {"/tmp"}}}, nullptr},
        ini_case{"EmptyValue", "k =", {{"/k", {""}}}, nullptr},
        ini_case{"ItemsTrimmed", "k = a, b ,c", {{"/k", {"a", "b", "c"}}}, nullptr},
        ini_case{"EmptyItems", "k = a,,b\nj = a,", {{"/k", {"a", "", "b"}}, {"/j", {"a", ""}}}, nullptr},
        ini_case{"InnerBlanksKept", "k = a  b\nt = a\t\tb", {{"/k", {"a  b"}}, {"/t", {"a\t\tb"}}}, nullptr},
        ini_case{"QuotesGroup", "k = \"a, b # c\"", {{"/k", {"a, b # c"}}}, nullptr},
        ini_case{"QuotedBlanksKept", "k = \" a \"", {{"/k", {" a "}}}, nullptr},
        ini_case{"TwoQuotesStay", "k = \"\"", {{"/k", {"\"\""}}}, nullptr},
        ini_case{"SingleQuotes", "k = 'x'\nj = 'a, b'", {{"/k", {"x"}}, {"/j", {"'a", "b'"}}}, nullptr},
        ini_case{"Escapes", "k = a\\,b\nj = a\\#b", {{"/k", {"a,b"}}, {"/j", {"a#b"}}}, nullptr},
        ini_case{"TrailingComments", "k = a # note\nj = a;b", {{"/k", {"a"}}, {"/j", {"a"}}}, nullptr},
        ini_case{"EscapedQuote", "k = \"a\\\"b\"", {{"/k", {"a\"b"}}}, nullptr},
        ini_case{"TextAfterClosingQuote", "k = \"a\", b\nj = \"a\" ; note\nm = \"a\"b, c",
                 {{"/k", {"a", "b"}}, {"/j", {"a"}}, {"/m", {"\"a\"b", "c"}}}, nullptr},
        ini_case{"EscapedQuoteKeepsQuoting", "k = \"a\\\"b, c\"\nj = \"x\\\" # y\"",
                 {{"/k", {"a\"b, c"}}, {"/j", {"x\" # y"}}}, nullptr},
        // The unterminated quote stays; the line end neither joins the value
        // nor swallows the next line.
        ini_case{"UnterminatedQuoteEndsWithTheLine", "k = \"abc\nx = 1\r\nj = a, \"b",
                 {{"/k", {"\"abc"}}, {"/x", {"1"}}, {"/j", {"a", "\"b"}}}, nullptr},
        ini_case{"OnlyFirstEquals", "a = b = c", {{"/a", {"b = c"}}}, nullptr},
        ini_case{"CommentCharsInName", "k#1 = v", {{"/k#1", {"v"}}}, nullptr},
        ini_case{"CommentLines", "# c\n; c\n   ; c\n\n \t \nk=1", {{"/k", {"1"}}}, nullptr},
        ini_case{"EmptySectionName", "[ ]\nx = 1", {{"/x", {"1"}}}, nullptr},
        ini_case{"HeaderWithComment", "  [ Sec ]   ; engine\nx = 1", {{"Sec/x", {"1"}}}, nullptr},
        ini_case{"RepeatedKeyAccumulates", "k = 1\nk = 1", {{"/k", {"1", "1"}}}, nullptr},
        ini_case{"CaseInsensitiveKeys", "[s]\nK = 1\n[S]\nk = 2", {{"s/K", {"1", "2"}}}, nullptr},
        ini_case{"Continuation", "k = a\\\nb", {{"/k", {"ab"}}}, nullptr},
        ini_case{"ContinuationKeepsLeadingBlanks", "k = a, \\\n   b", {{"/k", {"a", "   b"}}}, nullptr},
        ini_case{"ContinuationInsideQuotes", "k = \"a\\\nb\"", {{"/k", {"ab"}}}, nullptr},
        ini_case{"BackslashOnLastLine", "k = a\\", {{"/k", {"a"}}}, nullptr},
        ini_case{"ContinuationConsumesCommentLine", "k = a\\\n# b\nj = 1", {{"/k", {"a"}}, {"/j", {"1"}}}, nullptr},
        ini_case{"NulInValueKept", std::string("k = a\0b", 7), {{"/k", {std::string("a\0b", 3)}}}, nullptr},
        ini_case{"HighBytesAreNotBlanks", "k = \xA0x\xA0", {{"/k", {"\xA0x\xA0"}}}, nullptr},
        ini_case{"EmptyName", "= v", {}, "Parse error at line 1: Parameter name empty"},
        ini_case{"BlankName", "   = v", {}, "Parse error at line 1: Parameter name empty"},
        ini_case{"TwoBrackets", "[]", {}, no_equals},
        ini_case{"TextAfterHeader", "[Sec] trailing\nx = 1", {}, no_equals},
        ini_case{"CommentInsideBrackets", "[a;b]\nx = 1", {}, no_equals},
        ini_case{"ErrorLineCountsComments", "[S]\n# c\noops", {}, "Parse error at line 3: No '=' sign found"},
        ini_case{"EarlierLinesStay", "x = 1\nbad", {{"/x", {"1"}}}, "Parse error at line 2: No '=' sign found"},
        ini_case{"ByteOrderMark", "\xEF\xBB\xBF[Scanner]\nk = 1", {}, no_equals}),
    [](const ::testing::TestParamInfo<ini_case>& info) { return std::string(info.param.name); });

// A CR LF pair is one line end, so errors name the physical line and a
// trailing backslash joins the next physical line. Lone CRs still end lines.
INSTANTIATE_TEST_SUITE_P(
    LineEnds, ini_reader,
    ::testing::Values(
        ini_case{"CrLfValues", "[Scanner]\r\nVirusBase = /v\r\nTempPath = /t\r\n",
                 {{"Scanner/VirusBase", {"/v"}}, {"Scanner/TempPath", {"/t"}}}, nullptr},
        ini_case{"CrLfErrorLine", "[S]\r\nx = 1\r\noops\r\n", {{"S/x", {"1"}}},
                 "Parse error at line 3: No '=' sign found"},
        ini_case{"CrLfContinuation", "k = a\\\r\nb\r\nj = 2", {{"/k", {"ab"}}, {"/j", {"2"}}}, nullptr},
        ini_case{"LoneCrEndsALine", "x = 1\roops", {{"/x", {"1"}}}, "Parse error at line 2: No '=' sign found"},
        ini_case{"LfCrIsTwoLineEnds", "x = 1\n\roops", {{"/x", {"1"}}}, "Parse error at line 3: No '=' sign found"},
        ini_case{"CrCrLf", "x = 1\r\r\noops", {{"/x", {"1"}}}, "Parse error at line 3: No '=' sign found"}),
    [](const ::testing::TestParamInfo<ini_case>& info) { return std::string(info.param.name); });

TEST(ini_reader_file, MissingFileLeavesTheStoreUnchanged) {
    config_t config;
    config.set("a", "src", "1");
    try {
        config.parse_ini_file("/nonexistent/zelvo.ini");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Failed to read file /nonexistent/zelvo.ini", e.what());
    }
    EXPECT_EQ(1u, config.params.size());
}

// The failure carries what a caller shows beside its message: the file, the
// malformed line's number and text, or why the file could not be read.
TEST(ini_reader_file, FailureCarriesTheFileTheLineAndWhy) {
    const struct {
        const char* name;
        const char* text;  // null: a folder at the path; "": nothing there
        std::size_t line;
        const char* line_text;
        int error_number;
    } cases[] = {
        {"parse", "[S]\r\n# c\noops\x1b\nx = 1", 3, "oops\x1b", 0},
        {"name", "[S]\n = v", 2, " = v", 0},
        {"folder", nullptr, 0, "", EISDIR},
        {"missing", "", 0, "", ENOENT},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        const std::string path = dir.file("engine.ini");
        if (c.text == nullptr)
            mkdir(path.c_str(), 0755);
        else if (*c.text != '\0')
            dir.write("engine.ini", c.text);
        config_t config;
        try {
            config.parse_ini_file(path);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const config_t::ini_error& e) {
            EXPECT_EQ(path, e.path()) << c.name;
            EXPECT_EQ(c.line, e.line()) << c.name;
            EXPECT_EQ(c.line_text, e.line_text()) << c.name;
            EXPECT_EQ(c.error_number, e.error_number()) << c.name;
        }
    }
}

TEST(ini_reader_file, SecondFileAddsToTheFirst) {
    scratch_dir dir;
    config_t config;
    config.parse_ini_file(dir.write("a.ini", "[S]\nk = 1\n"));
    config.parse_ini_file(dir.write("b.ini", "[s]\nK = 2\nj = 3\n"));
    EXPECT_EQ((stored_t{{"S/k", {"1", "2"}}, {"s/j", {"3"}}}), stored(config));
    EXPECT_EQ(dir.file("b.ini"), config.params.begin()->second.source);
}

}  // namespace
