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

// What a symbolic link at path leads to, as it is written.
std::string link_target(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// The file's text, read from the descriptor that was checked: a regular
// file that only root or the effective user owns and may write. exists is
// false where nothing at all stands at path; anything else there that is
// not such a file (a link that leads nowhere too) fails the run, so that an
// operator's policy is never dropped without a word.
std::string read_trusted(const std::string& path, bool& exists) {
    const auto failure = [&path](const std::string& why) { return std::runtime_error(path + ": " + why); };
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const int open_error = errno;
    struct stat standing = {};
    exists = fd >= 0 || open_error != ENOENT || lstat(path.c_str(), &standing) == 0;
    if (!exists) return std::string();
    if (fd < 0 && open_error == ENOENT && S_ISLNK(standing.st_mode))
        throw failure("a symbolic link to " + link_target(path) + ", which does not exist");
    if (fd < 0) throw failure(std::strerror(open_error));
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
    // The engine's INI files are plain text, and so is this one: a mark some
    // editors put first would hide in the first line's name.
    if (text.compare(0, 3, "\xef\xbb\xbf") == 0)
        throw failure("begins with a byte order mark (EF BB BF): save it as plain text, without one");
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
    std::vector<ci_string> sections;
    try {
        config_detail::parse_ini_text(params, text, path, &sections);
    } catch (const config_t::ini_error& e) {
        first_failure = std::make_exception_ptr(std::runtime_error(path + ": " + e.what() + ": " + e.line_text()));
    }
    // A section it does not know fails the run also where it holds no key.
    for (const ci_string& section : sections) {
        if (first_failure) break;
        if (section != section_name)
            first_failure = std::make_exception_ptr(
                refusal(path, "not a section it knows: [", std::string(section.begin(), section.end()), "]"));
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
