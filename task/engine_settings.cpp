#include "task/engine_settings.hpp"

std::string virus_base;
std::string temp_path;
std::string engine_path;
std::string move_files_to;

namespace {

const struct {
    const char* key;
    std::string* destination;
    const char* fallback;
} engine_settings[] = {
    {"Scanner/VirusBase", &virus_base, "/var/zelvo/bases/*.vdb"},
    {"Scanner/TempPath", &temp_path, "/tmp"},
    {"Scanner/EnginePath", &engine_path, "/var/zelvo/lib/zelvo32.dll"},
    {"Scanner/MoveFilesTo", &move_files_to, "/var/zelvo/infected"},
};

}  // namespace

void load_engine_settings(const std::string& path, const config_t::logger_t& logger) {
    config_t engine;
    engine.set_logger(logger);
    engine.parse_ini_file(path);
    for (const auto& setting : engine_settings) engine.get(setting.key, *setting.destination, setting.fallback, false);
}
