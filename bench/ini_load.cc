// Reads one INI file into a store and ends: its peak memory is the reader's.
#include "config/config.hpp"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    config_t config;
    config.parse_ini_file(argv[1]);
    return config.params.empty() ? 1 : 0;
}
