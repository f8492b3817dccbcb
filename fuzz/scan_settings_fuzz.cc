// The task translation on arbitrary text (PATH fixed), telling what it
// ignores: it builds a record or throws, and a record renders to a complete
// scanner config whose path lists hold only absolute paths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "task/scan_settings.hpp"
#include "task/scanner_config.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("PATH", "/usr/local/bin:/usr/bin:/bin::.", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const scan_settings_t::notice_sink_t discard = [](const std::string&) {};
    try {
        const scan_settings_t settings(text, discard, discard);
        for (const auto* list : {&settings.scan_paths, &settings.exclude_paths})
            for (const std::string& p : *list)
                if (p.empty() || p[0] != '/') std::abort();
        const std::string config = render_scanner_config(settings);
        std::size_t lines = 0;
        for (char c : config) lines += c == '\n';
        const std::size_t expected = settings.action_infected == scan_settings_t::action_cure ? 39 : 38;
        if (lines < expected || config.compare(0, 10, "[Scanner]\n") != 0) std::abort();
    } catch (const std::exception&) {
    }
    return 0;
}
