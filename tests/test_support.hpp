// Helpers shared by the tests: scratch directories and environment.
#pragma once

#include <cstdlib>
#include <string>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "task/scan_settings.hpp"

// Runs a shell command whose outcome does not matter (clearing up).
inline void shell(const std::string& command) {
    const int ignored = std::system(command.c_str());
    (void)ignored;
}

// A fresh directory removed with everything in it at the end of the scope.
class scratch_dir {
public:
    scratch_dir() {
        char pattern[] = "/tmp/zelvo-test.XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~scratch_dir() {
        if (!path_.empty()) shell("rm -rf '" + path_ + "'");
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const {
        agent_utils::write_file(file(name), content);
        return file(name);
    }

private:
    std::string path_;
};

// Sets (or, with a null value, unsets) an environment variable for the scope.
class scoped_env {
public:
    scoped_env(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~scoped_env() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    scoped_env(const scoped_env&) = delete;
    scoped_env& operator=(const scoped_env&) = delete;

private:
    std::string name_, old_;
    bool had_;
};

// Collects the lines the task translation prints, each with its line end.
struct notice_log {
    std::string text;
    scan_settings_t::notice_sink_t sink() {
        return [this](const std::string& line) { text += line + "\n"; };
    }
};
