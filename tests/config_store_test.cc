#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.hpp"

namespace {

std::vector<std::string> values_of(const config_t& config, const std::string& name) {
    const auto it = config.params.find(ci_string(name.c_str()));
    if (it == config.params.end()) return {"<absent>"};
    return std::vector<std::string>(it->second.values.begin(), it->second.values.end());
}

TEST(ci_string, ComparesLettersWithoutCaseAndShorterFirst) {
    EXPECT_EQ(ci_string("Scanner/TempPath"), ci_string("scanner/TEMPPATH"));
    EXPECT_LT(ci_string("abc"), ci_string("ABCD"));
    EXPECT_LT(ci_string("a"), ci_string("B"));
    EXPECT_LT(ci_string("_"), ci_string("Z"));  // letters fold to lower case before comparing
    EXPECT_NE(ci_string("\xC4"), ci_string("\xE4"));  // only ASCII letters fold
}

TEST(ci_string, FindsACharacterWithoutCase) {
    const ci_string key("Scanner/VirusBase");
    const struct {
        char c;
        std::size_t at;
    } cases[] = {{'s', 0}, {'V', 8}, {'v', 8}, {'/', 7}, {'E', 5}, {'x', ci_string::npos}};
    for (const auto& c : cases) EXPECT_EQ(c.at, key.find(c.c)) << c.c;
}

TEST(config_store, SetSplitsAtEveryCommaAndKeepsBlanks) {
    struct {
        const char* value;
        std::vector<std::string> expected;
    } const cases[] = {
        {"a,,b,", {"a", "", "b", ""}},
        {" a , b ", {" a ", " b "}},
        {"", {""}},
        {",", {"", ""}},
        {"\"a,b\"", {"\"a", "b\""}},
    };
    for (const auto& c : cases) {
        config_t config;
        config.set("k", "src", c.value);
        EXPECT_EQ(c.expected, values_of(config, "k")) << c.value;
    }
}

TEST(config_store, SetReplacesAndKeepsTheFirstSpellingOfTheKey) {
    config_t config;
    config.set("Scanner/TempPath", "first", "a,b");
    config.set("SCANNER/temppath", "second", "c");
    ASSERT_EQ(1u, config.params.size());
    EXPECT_EQ("Scanner/TempPath", std::string(config.params.begin()->first.c_str()));
    EXPECT_EQ("second", config.params.begin()->second.source);
    EXPECT_EQ(std::vector<std::string>{"c"}, values_of(config, "scanner/TEMPPATH"));
}

TEST(config_store, NameEndsAtItsFirstNul) {
    config_t config;
    config.set(std::string("key\0tail", 8), "src", "v");
    std::string out;
    config.get("KEY", out);
    EXPECT_EQ("v", out);
}

TEST(config_store, MkMsgNamesOriginAndParameter) {
    config_t config;
    config.set("Scanner/TempPath", "/etc/zelvo/zelvo32.ini", "x");
    config.set("NoSource", "", "x");
    const std::string m = "Multiple values are not allowed";
    EXPECT_EQ("in /etc/zelvo/zelvo32.ini at parameter \"scanner/temppath\": " + m,
              config.mk_msg(m, "scanner/temppath"));
    EXPECT_EQ(" at parameter \"Other\": " + m, config.mk_msg(m, "Other"));
    EXPECT_EQ(": " + m, config.mk_msg(m, ""));
    EXPECT_EQ("in  at parameter \"NoSource\": " + m, config.mk_msg(m, "NoSource"));
}

TEST(config_store, ClearRemovesEntriesButKeepsTheLogger) {
    config_t config;
    std::vector<std::string> warnings;
    config.set_logger([&](const std::string& w) { warnings.push_back(w); });
    config.set("k", "src", "v");
    config.clear();
    std::string out;
    EXPECT_THROW(config.get("k", out), config_t::param_not_found);
    config.get("k", out, "d", false);
    EXPECT_EQ("d", out);
    EXPECT_EQ(1u, warnings.size());
    EXPECT_EQ(0, config.ref_count);
}

TEST(config_store, WarningWithoutLoggerDoesNothing) {
    config_t config;
    EXPECT_NO_THROW(config.warning("x"));
    config.set_logger([](const std::string&) { throw std::runtime_error("logger"); });
    EXPECT_THROW(config.warning("x"), std::runtime_error);
    config.set_logger(config_t::logger_t());
    EXPECT_NO_THROW(config.warning("x"));
}

// The strict lookup: absent, then empty, then several values.
struct strict_case {
    const char* what;
    std::vector<std::string> values;  // empty with absent = true: no entry
    bool absent;
    const char* error;  // null: found
    const char* type;   // "not_found", "logic", "runtime"
};

TEST(config_lookup, StrictLookupFailsInOrderWithExactMessages) {
    const strict_case cases[] = {
        {"absent", {}, true, "Parameter not found: Scanner/TempPath", "not_found"},
        {"no values", {}, false, "in /src at parameter \"Scanner/TempPath\": Empty value std::list for ", "logic"},
        {"two values", {"a", "b"}, false,
         "in /src at parameter \"Scanner/TempPath\": Multiple values are not allowed", "runtime"},
        {"one empty value", {""}, false, nullptr, ""},
        {"one value", {" v "}, false, nullptr, ""},
    };
    for (const strict_case& c : cases) {
        config_t config;
        if (!c.absent) {
            config_t::param_entry& entry = config.params[ci_string("scanner/temppath")];
            entry.source = "/src";
            entry.values.assign(c.values.begin(), c.values.end());
        }
        std::string out = "untouched";
        std::string type, message;
        try {
            config.get("Scanner/TempPath", out);
        } catch (const config_t::param_not_found& e) {
            type = "not_found", message = e.what();
        } catch (const std::logic_error& e) {
            type = "logic", message = e.what();
        } catch (const std::runtime_error& e) {
            type = "runtime", message = e.what();
        }
        if (c.error) {
            EXPECT_EQ(c.type, type) << c.what;
            EXPECT_EQ(c.error, message) << c.what;
            EXPECT_EQ("untouched", out) << c.what;
        } else {
            EXPECT_EQ("", message) << c.what;
            EXPECT_EQ(c.values.front(), out) << c.what;
        }
    }
}

TEST(config_lookup, DefaultReplacesEveryFailureWithAWarning) {
    struct {
        const char* ini_value;  // null: absent
        bool twice;
        bool quiet;
        const char* expected_out;
        const char* expected_warning;  // null: none
    } const cases[] = {
        {nullptr, false, false, "/var/zelvo/bases/*.vdb",
         "Parameter not found: Scanner/VirusBase. Default value (/var/zelvo/bases/*.vdb) used."},
        {"/x", true, false, "/var/zelvo/bases/*.vdb",
         "in /etc/zelvo/zelvo32.ini at parameter \"Scanner/VirusBase\": Multiple values are not allowed. "
         "Default value (/var/zelvo/bases/*.vdb) used."},
        {nullptr, false, true, "/var/zelvo/bases/*.vdb", nullptr},
        {"/mine", false, false, "/mine", nullptr},
        {"", false, false, "", nullptr},
    };
    for (const auto& c : cases) {
        config_t config;
        std::vector<std::string> warnings;
        config.set_logger([&](const std::string& w) { warnings.push_back(w); });
        if (c.ini_value) {
            config.set("scanner/virusbase", "/etc/zelvo/zelvo32.ini", c.ini_value);
            if (c.twice) config.params.begin()->second.values.push_back(c.ini_value);
        }
        std::string out = "untouched";
        config.get("Scanner/VirusBase", out, "/var/zelvo/bases/*.vdb", c.quiet);
        EXPECT_EQ(c.expected_out, out);
        EXPECT_EQ(c.expected_warning ? std::vector<std::string>{c.expected_warning} : std::vector<std::string>{},
                  warnings);
    }
}

TEST(config_lookup, DefaultWithoutLoggerIsSilentAndALoggerFailureLeavesOutUnchanged) {
    config_t config;
    std::string out;
    config.get("absent", out, "d", false);
    EXPECT_EQ("d", out);

    config.set_logger([](const std::string&) { throw std::runtime_error("logger failed"); });
    out = "untouched";
    EXPECT_THROW(config.get("absent", out, "d", false), std::runtime_error);
    EXPECT_EQ("untouched", out);
}

TEST(config_lookup, OtherValueTypesConvertOrTakeTheDefault) {
    config_t config;
    config.set("n", "src", "42");
    config.set("bad", "src", "4x");
    int n = 0;
    config.get("n", n);
    EXPECT_EQ(42, n);
    std::vector<std::string> warnings;
    config.set_logger([&](const std::string& w) { warnings.push_back(w); });
    config.get("bad", n, 7, false);
    EXPECT_EQ(7, n);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find("Default value (7) used."));
    static_assert(config_t::is_container<std::list<std::string>>::value, "lists are containers");
    static_assert(!config_t::is_container<std::string>::value, "a string is a single value");
}

// A value whose reading runs out of memory.
struct exhausting_value {
    friend std::istream& operator>>(std::istream&, exhausting_value&) { throw std::bad_alloc(); }
    friend std::ostream& operator<<(std::ostream& out, const exhausting_value&) { return out << "default"; }
};

// Running out of memory is no missing parameter: the default never stands in for it.
TEST(config_lookup, DefaultNeverReplacesMemoryExhaustion) {
    config_t config;
    config.set("k", "src", "v");
    std::vector<std::string> warnings;
    config.set_logger([&](const std::string& w) { warnings.push_back(w); });
    exhausting_value out;
    EXPECT_THROW(config.get("k", out, exhausting_value(), false), std::bad_alloc);
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
