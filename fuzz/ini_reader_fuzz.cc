// The INI reader on arbitrary bytes: it parses or throws a parse error, and
// whatever it stores has at least one value and the file as its source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "config/ini_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    config_t config;
    try {
        config_detail::parse_ini_text(config.params, text, "/fuzz.ini");
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).compare(0, 20, "Parse error at line ") != 0) std::abort();
    }
    for (const auto& entry : config.params) {
        if (entry.second.values.empty() || entry.second.source != std::string("/fuzz.ini")) std::abort();
        if (entry.first.find('/') == ci_string::npos) std::abort();
    }
    return 0;
}
