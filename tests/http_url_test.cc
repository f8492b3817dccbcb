#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.hpp"

namespace {

struct url_case {
    const char* value;  // null: parameter absent
    const char* default_url;
    const char* server;
    const char* path;
    bool fails;
    std::size_t warnings;
};

TEST(http_url, SplitsServerAndPathAndRefusesOtherSchemes) {
    const url_case cases[] = {
        {"http://host:port/a/b", "", "host:port", "/a/b", false, 0},
        {"HTTP://host", "", "host", "", false, 0},
        {"Http://host/x?q=1#f", "", "host", "/x?q=1#f", false, 0},
        {"host:port/x", "", "host:port", "/x", false, 0},
        {"host?q=/x", "", "host?q=", "/x", false, 0},
        {"", "http://unused/", "", "", false, 0},
        {nullptr, "", "", "", false, 1},
        {nullptr, "http://fallback:80/p", "fallback:80", "/p", false, 1},
        {"https://host/x", "", "host", "/x", true, 0},
        {"ftp://host", "", "host", "", true, 0},
        {"http:///x", "", "", "/x", true, 0},
        {"/x", "", "", "/x", true, 0},
        {nullptr, "https://bad", "bad", "", true, 1},
    };
    for (const url_case& c : cases) {
        config_t config;
        std::vector<std::string> warnings;
        config.set_logger([&](const std::string& w) { warnings.push_back(w); });
        if (c.value) config.set("Update/Url", "src", c.value);
        std::string server = "old", path = "old";
        const std::string shown = c.value ? c.value : c.default_url;
        try {
            config.get_http_url("update/url", c.default_url, server, path);
            EXPECT_FALSE(c.fails) << shown;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(c.fails) << shown;
            EXPECT_EQ("cannot parse url \"" + shown + "\" at parameter \"update/url\"", e.what());
        }
        EXPECT_EQ(c.server, server) << shown;
        EXPECT_EQ(c.path, path) << shown;
        EXPECT_EQ(c.warnings, warnings.size()) << shown;
    }
}

TEST(http_url, WarnsAboutTheFallbackEvenWithoutAQuietSwitch) {
    config_t config;
    std::vector<std::string> warnings;
    config.set_logger([&](const std::string& w) { warnings.push_back(w); });
    config.set("u", "src", "a,b");
    std::string server, path;
    config.get_http_url("u", "http://d/", server, path);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ("in src at parameter \"u\": Multiple values are not allowed. Default value (http://d/) used.",
              warnings[0]);
    EXPECT_EQ("d", server);
    EXPECT_EQ("/", path);
}

}  // namespace
