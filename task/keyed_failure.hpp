// A failure about one key (of the task, the engine's INI file, the settings
// file or the command line) and the value it was given, carried as data for
// whoever reports it; the failure's message says the same in words.
#pragma once

#include <stdexcept>
#include <string>

class keyed_failure {
public:
    virtual ~keyed_failure() = default;
    virtual const std::string& failed_key() const = 0;
    // Empty where the failure names no value.
    virtual const std::string& failed_value() const = 0;
};

// A runtime error about a key: message as ever, key and value beside it.
class keyed_error : public std::runtime_error, public keyed_failure {
public:
    keyed_error(const std::string& message, const std::string& key, const std::string& value = std::string())
        : std::runtime_error(message), key_(key), value_(value) {}
    const std::string& failed_key() const override { return key_; }
    const std::string& failed_value() const override { return value_; }

private:
    std::string key_;
    std::string value_;
};
