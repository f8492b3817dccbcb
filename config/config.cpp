#include "config/config.hpp"

#include <utility>

namespace {

// Keys end at the first NUL, like the C strings they were once made of.
ci_string key_of(const std::string& name) { return ci_string(name.c_str()); }

// Every comma separates; empty items are kept, so the list is never empty.
std::vector<std::string> split_at_commas(const std::string& value) {
    std::vector<std::string> items;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type comma = value.find(',', start);
        if (comma == std::string::npos) {
            items.emplace_back(value, start);
            return items;
        }
        items.emplace_back(value, start, comma - start);
        start = comma + 1;
    }
}

}  // namespace

config_t::config_t() {}

config_t::~config_t() {
    logger.clear();
    params.clear();
}

void config_t::set(const std::string& name, const std::string& source, const std::string& value) {
    std::vector<std::string> items = split_at_commas(value);
    std::string new_source = source;
    param_entry& entry = params[key_of(name)];
    entry.source.swap(new_source);
    entry.values.swap(items);
}

void config_t::clear() { params.clear(); }

void config_t::set_logger(const logger_t& new_logger) { logger = new_logger; }

std::string config_t::mk_msg(const std::string& message, const std::string& name) const {
    std::string text;
    const params_t::const_iterator it = params.find(key_of(name));
    if (it != params.end()) {
        text += "in ";
        text += it->second.source;
    }
    if (!name.empty()) text += " at parameter \"" + name + "\"";
    text += ": ";
    text += message;
    return text;
}

void config_t::warning(const std::string& message) const {
    if (logger) logger(message);
}

const std::string& config_t::single_value(const std::string& name) const {
    const params_t::const_iterator it = params.find(key_of(name));
    if (it == params.end()) throw param_not_found("Parameter not found: " + name);
    const std::vector<std::string>& values = it->second.values;
    if (values.empty()) throw std::logic_error(mk_msg("Empty value std::list for ", name));
    if (values.size() > 1) throw std::runtime_error(mk_msg("Multiple values are not allowed", name));
    return values.front();
}

std::string config_t::default_used(const std::string& failure, const std::string& default_text) {
    return failure + ". Default value (" + default_text + ") used.";
}
