#include "launcher/run_settings.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "config/ini_reader.hpp"

namespace {

const char section_name[] = "Run";

// The settings that take yes or no, as the file spells them.
struct switch_setting {
    const char* name;
    bool run_options::*value;
    run_options::origin_t run_options::*from;
};
const switch_setting switch_settings[] = {
    {"Strict", &run_options::strict, &run_options::strict_from},
    {"Follow", &run_options::follow, &run_options::follow_from},
    {"Syslog", &run_options::syslog, &run_options::syslog_from},
};

// The file's text, read from the descriptor that was checked: a regular
// file that only root or the effective user owns and may write. exists is
// false where there is no file at path.
std::string read_trusted(const std::string& path, bool& exists) {
    const auto failure = [&path](const std::string& why) { return std::runtime_error(path + ": " + why); };
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    exists = fd >= 0 || errno != ENOENT;
    if (!exists) return std::string();
    if (fd < 0) throw failure(std::strerror(errno));
    struct stat info = {};
    std::string text;
    const bool read = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && agent_utils::read_all(fd, text);
    const int error = errno;
    close(fd);
    if (!S_ISREG(info.st_mode)) throw failure("not a regular file");
    if (info.st_uid != 0 && info.st_uid != geteuid())
        throw failure("owned by user " + std::to_string(info.st_uid) + ", not by root or the program's user");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) throw failure("others than its owner may write it");
    if (!read) throw failure(std::strerror(error));
    return text;
}

[[noreturn]] void refuse(const std::string& path, const char* before, const std::string& what, const char* after) {
    throw std::runtime_error(path + ": " + before + what + after);
}

bool yes_or_no(const std::string& value, const std::string& name, const std::string& path) {
    if (value == "yes") return true;
    if (value == "no") return false;
    throw std::runtime_error(path + ": " + name + " takes yes or no, not \"" + value + "\"");
}

std::string origin(run_options::origin_t from, const std::string& path) {
    switch (from) {
    case run_options::settings_file:
        return ", from " + path;
    case run_options::command_line:
        return ", from the command line";
    case run_options::built_in:
        break;
    }
    return ", built in";
}

}  // namespace

int whole_seconds(const std::string& value, const std::string& what) {
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error(what + " takes a whole number of seconds, not \"" + value + "\"");
    return std::stoi(value);
}

void read_settings_file(const std::string& path, run_options& options) {
    bool exists = false;
    const std::string text = read_trusted(path, exists);
    if (!exists) return;
    options.settings_path = path;
    config_t::params_t params;
    try {
        config_detail::parse_ini_text(params, text, path);
    } catch (const config_t::ini_error& e) {
        throw std::runtime_error(path + ": " + e.what() + ": " + e.line_text());
    }
    for (const auto& param : params) {
        const std::string key(param.first.data(), param.first.size());
        const std::string::size_type slash = key.find('/');
        const std::string section = key.substr(0, slash), name = key.substr(slash + 1);
        if (ci_string(section.c_str()) != section_name)
            refuse(path, "not a section it knows: [", section, "]");
        const std::vector<std::string>& values = param.second.values;
        if (values.size() != 1)
            refuse(path, "", name, " is given more than once, or holds a comma");
        const std::string& value = values.front();
        bool known = false;
        for (const switch_setting& setting : switch_settings) {
            if (ci_string(name.c_str()) != setting.name) continue;
            known = true;
            const bool on = yes_or_no(value, setting.name, path);
            if (options.*setting.from == run_options::command_line) continue;
            options.*setting.value = on;
            options.*setting.from = run_options::settings_file;
        }
        if (ci_string(name.c_str()) == "Wait") {
            known = true;
            const int seconds = whole_seconds(value, path + ": Wait");
            if (options.wait_from != run_options::command_line) {
                options.wait_seconds = seconds;
                options.wait_from = run_options::settings_file;
            }
        }
        if (!known) refuse(path, "not a setting it knows: ", name, "");
    }
}

std::vector<std::string> describe_settings(const run_options& options) {
    std::vector<std::string> lines;
    if (options.settings_path.empty()) return lines;
    const std::string& path = options.settings_path;
    for (const switch_setting& setting : switch_settings)
        lines.push_back(std::string("setting ") + setting.name + " = " + (options.*setting.value ? "yes" : "no") +
                        origin(options.*setting.from, path));
    lines.push_back("setting Wait = " +
                    (options.wait_seconds < 0 ? std::string("none") : std::to_string(options.wait_seconds)) +
                    origin(options.wait_from, path));
    return lines;
}
