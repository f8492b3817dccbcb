// The INI reader's text-level entry, for the fuzzer; config_t::parse_ini_file()
// is the public way in.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "config/config.hpp"

namespace config_detail {

// Parses text as the content of the INI file at path into params, exactly as
// config_t::parse_ini_file(path) does once it has read the file. Where
// sections is given, the name of each section header is appended to it, in
// the file's order, also for a section that holds no key.
void parse_ini_text(config_t::params_t& params, const std::string& text, const std::string& path,
                    std::vector<ci_string>* sections = nullptr);

}  // namespace config_detail
