// The scanner's INI file: one [Scanner] section rendered from the task and
// the engine settings.
#pragma once

#include <string>

#include "task/scan_settings.hpp"

// The whole file text, every line "Name = value\n". The paths to scan are not
// in it (they go on the scanner's command line). Throws "Unknown action" for
// an action field outside the five actions.
std::string render_scanner_config(const scan_settings_t& settings);
