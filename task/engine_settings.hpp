// The four paths read from the engine's INI file: process-wide, filled once
// per run by the launcher and written into the scanner config here.
#pragma once

#include <string>

extern std::string virus_base;     // "Scanner/VirusBase"
extern std::string temp_path;      // "Scanner/TempPath"
extern std::string engine_path;    // "Scanner/EnginePath"
extern std::string move_files_to;  // "Scanner/MoveFilesTo"
