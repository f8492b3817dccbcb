#include "task/engine_settings.hpp"

std::string virus_base;
std::string temp_path;
std::string engine_path;
std::string move_files_to;
