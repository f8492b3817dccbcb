// The INI reader's text-level entry, for the fuzzer, and its way of
// counting lines, for messages; config_t::parse_ini_file() is the public way
// in.
#pragma once

#include <cstddef>
#include <string>

#include "config/config.hpp"

namespace config_detail {

// Parses text as the content of the INI file at path into params, exactly as
// config_t::parse_ini_file(path) does once it has read the file.
void parse_ini_text(config_t::params_t& params, const std::string& text, const std::string& path);

// Line number (1-based, as the reader's messages count them: LF, CR and CR
// LF each end a line) of text, without its line end; empty past the end.
std::string ini_line(const std::string& text, std::size_t number);

}  // namespace config_detail
