// The scanner's INI file: one [Scanner] section rendered from the task and
// the engine settings.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "task/scan_settings.hpp"

// The whole file text, every line "Name = value\n". The paths to scan are not
// in it (they go on the scanner's command line). Each engine setting and
// each excluded path is written so that the scanner reads back exactly that
// item: in double quotes, with "\\" and '"' escaped, when it holds '"', "\\",
// ",", ";" or "#" or begins or ends with a blank, tab, vertical tab, form
// feed or "'"; as it is otherwise. Throws "Unknown action" for an action
// field outside the five actions, and "Malformed task settings:
// ExcludeFileAndPaths holds a line end" (or "Malformed engine settings:
// Scanner/<name> holds a line end") for an item no quoting can carry; "...
// holds a NUL byte" likewise, for these items and for each path to scan
// ("Malformed task settings: IvaskPaths holds a NUL byte"), whose argument
// would end there (an argument carries a line end whole).
std::string render_scanner_config(const scan_settings_t& settings);

// The scanner's action settings as the config gives them, in its order:
// each name with its action, IncurableFiles only where InfectedFiles is
// Cure.
std::vector<std::pair<const char*, scan_settings_t::action_t>> scanner_actions(const scan_settings_t& settings);
