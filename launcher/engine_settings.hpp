// The four paths read from the engine's INI file, filled once per run and
// written into the scanner config.
#pragma once

#include <string>

extern std::string virus_base;     // "Scanner/VirusBase"
extern std::string temp_path;      // "Scanner/TempPath"
extern std::string engine_path;    // "Scanner/EnginePath"
extern std::string move_files_to;  // "Scanner/MoveFilesTo"
