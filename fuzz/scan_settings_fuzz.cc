// The task translation on arbitrary input, its lines joined as a run joins
// them (PATH fixed), telling what it ignores: it builds a record or throws,
// and a record renders to a complete scanner config (every line of the
// smallest task's, one more when curing) whose path lists hold only absolute
// paths.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "task/scan_settings.hpp"
#include "task/scanner_config.hpp"
#include "task/task_text.hpp"

namespace {

std::size_t line_count(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

const scan_settings_t::notice_sink_t discard = [](const std::string&) {};
std::size_t fewest_lines = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("PATH", "/usr/local/bin:/usr/bin:/bin::.", 1);
    fewest_lines = line_count(render_scanner_config(scan_settings_t("IvaskPaths /", discard)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = join_task_lines(std::string(reinterpret_cast<const char*>(data), size));
    try {
        const scan_settings_t settings(text, discard, discard);
        for (const auto* list : {&settings.scan_paths, &settings.exclude_paths})
            for (const std::string& p : *list)
                if (p.empty() || p[0] != '/') std::abort();
        const std::string config = render_scanner_config(settings);
        const std::size_t expected = fewest_lines + (settings.action_infected == scan_settings_t::action_cure);
        if (line_count(config) < expected || config.compare(0, 10, "[Scanner]\n") != 0) std::abort();
    } catch (const std::exception&) {
    }
    return 0;
}
