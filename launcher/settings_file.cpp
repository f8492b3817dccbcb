#include "launcher/settings_file.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"
#include "config/ini_reader.hpp"
#include "task/keyed_failure.hpp"

namespace {

const char section_name[] = "Run";

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

// The failure about the file's key (or section) what.
keyed_error refusal(const std::string& path, const char* before, const std::string& what, const char* after) {
    return keyed_error(path + ": " + before + what + after, what);
}

// The option whose settings-file key is name, compared without regard to
// case; null for none.
const option_spec* option_keyed(const std::string& name) {
    for (const option_spec& option : all_options())
        if (option.key != nullptr && ci_string(name.c_str()) == option.key) return &option;
    return nullptr;
}

}  // namespace

void read_settings_file(const std::string& path, run_options& options) {
    bool exists = false;
    const std::string text = read_trusted(path, exists);
    if (!exists) return;
    options.settings_path = path;
    // Every setting the file gives soundly is taken, also where another one
    // fails the run: the run's log line then goes where the file says.
    std::exception_ptr first_failure;
    config_t::params_t params;
    try {
        config_detail::parse_ini_text(params, text, path);
    } catch (const config_t::ini_error& e) {
        first_failure = std::make_exception_ptr(std::runtime_error(path + ": " + e.what() + ": " + e.line_text()));
    }
    for (const auto& param : params) {
        const std::string key(param.first.data(), param.first.size());
        const std::string::size_type slash = key.find('/');
        const std::string section = key.substr(0, slash), name = key.substr(slash + 1);
        const std::vector<std::string>& values = param.second.values;
        const option_spec* option = option_keyed(name);
        try {
            if (ci_string(section.c_str()) != section_name) throw refusal(path, "not a section it knows: [", section, "]");
            if (values.size() != 1) throw refusal(path, "", name, " is given more than once, or holds a comma");
            if (option == nullptr) throw refusal(path, "not a setting it knows: ", name, "");
            apply_setting(*option, values.front(), path, options);
        } catch (const std::runtime_error&) {
            if (!first_failure) first_failure = std::current_exception();
        }
    }
    if (first_failure) std::rethrow_exception(first_failure);
}
