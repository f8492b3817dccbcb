// The four paths read from the engine's INI file: process-wide, filled once
// per run by load_engine_settings() and written into the scanner config by
// render_scanner_config().
#pragma once

#include <string>

#include "config/config.hpp"

extern std::string virus_base;     // "Scanner/VirusBase", default "/var/zelvo/bases/*.vdb"
extern std::string temp_path;      // "Scanner/TempPath", default "/tmp"
extern std::string engine_path;    // "Scanner/EnginePath", default "/var/zelvo/lib/zelvo32.dll"
extern std::string move_files_to;  // "Scanner/MoveFilesTo", default "/var/zelvo/infected"

// Reads the INI file at path and fills the four settings, in the order
// above. A key that is absent, given more than once or whose value holds a
// comma (several values) takes its default, which is told to logger, if
// set, with why; an empty value stays empty. Throws the INI reader's
// failures ("Failed to read file <path>", "Parse error at line N: ...").
void load_engine_settings(const std::string& path, const config_t::logger_t& logger = config_t::logger_t());
