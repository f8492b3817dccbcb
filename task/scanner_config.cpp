#include "task/scanner_config.hpp"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "task/engine_settings.hpp"
#include "task/keyed_failure.hpp"

namespace {

// The scanner reads the file as the engine's INI files are read: "," separates
// items, "#" and ";" start a comment, "\" escapes, double quotes group,
// blanks at an item's ends are dropped and one pair of surrounding quotes
// (" or ') is removed. An item that would read back as something else is
// written in double quotes with "\" and '"' escaped; every other item is
// written as it is, so an ordinary config stays byte for byte the same.
bool needs_quotes(const std::string& item) {
    const auto lost_at_an_end = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\''; };
    return !item.empty() &&
           (item.find_first_of("\"\\,;#") != std::string::npos || lost_at_an_end(item.front()) ||
            lost_at_an_end(item.back()));
}

// A NUL byte ends an argument, and an item for a reader that stops there;
const char* const task_origin = "task settings";
const char* const engine_origin = "engine settings";

// origin ("task settings") and key name the item in the failure, which
// carries the key and the item too.
void refuse_nul(const std::string& item, const char* origin, const char* key) {
    if (item.find('\0') != std::string::npos)
        throw keyed_error(std::string("Malformed ") + origin + ": " + key + " holds a NUL byte", key, item);
}

// Refuses an item of the file that no quoting can carry to the scanner
// whole: the reader cuts lines before anything else.
void check_item(const std::string& item, const char* origin, const char* key) {
    if (item.find_first_of("\r\n") != std::string::npos)
        throw keyed_error(std::string("Malformed ") + origin + ": " + key + " holds a line end", key, item);
    refuse_nul(item, origin, key);
}

void append_item(std::string& out, const std::string& item, const char* origin, const char* key) {
    check_item(item, origin, key);
    if (!needs_quotes(item)) {
        out.append(item);
        return;
    }
    out.push_back('"');
    for (const char c : item) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

// The scanner's action settings, in the config's order.
struct action_setting {
    const char* name;
    scan_settings_t::action_t scan_settings_t::*field;
};
const action_setting action_settings[] = {
    {"ActionInfectedContainer", &scan_settings_t::action_infected_container},
    {"InfectedFiles", &scan_settings_t::action_infected},
    {"ActionInfectedArchive", &scan_settings_t::action_infected_archive},
    {"SuspiciousFiles", &scan_settings_t::action_suspicious},
    {"IncurableFiles", &scan_settings_t::action_incurable},
    {"ActionAdware", &scan_settings_t::action_adware},
    {"ActionDialers", &scan_settings_t::action_dialers},
    {"ActionJokes", &scan_settings_t::action_jokes},
    {"ActionRiskware", &scan_settings_t::action_riskware},
    {"ActionHacktools", &scan_settings_t::action_hacktools},
    {"ActionInfectedMail", &scan_settings_t::action_infected_mail},
};

// Builds the text in one string: lines of "Name = value\n".
class config_writer {
public:
    // A fixed value, written as it stands.
    void text(const char* name, const char* value) { line(name).append(value).push_back('\n'); }
    // A value from the engine settings or the task.
    void item(const char* name, const std::string& value, const char* origin, const char* key) {
        append_item(line(name), value, origin, key);
        out_.push_back('\n');
    }
    void flag(const char* name, bool value) { text(name, value ? "yes" : "no"); }
    void number(const char* name, uint32_t value) {
        char digits[sizeof "4294967295"];  // every 32-bit number fits
        (void)std::snprintf(digits, sizeof digits, "%" PRIu32, value);
        text(name, digits);
    }
    void action(const char* name, scan_settings_t::action_t value) {
        text(name, scan_settings_t::action_word(value));
    }
    void list(const char* name, const std::vector<std::string>& values, const char* origin, const char* key) {
        std::string& out = line(name);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) out.push_back(',');
            append_item(out, values[i], origin, key);
        }
        out.push_back('\n');
    }
    void header(const char* section) { out_.append("[").append(section).append("]\n"); }
    std::string take() { return std::move(out_); }

private:
    std::string& line(const char* name) { return out_.append(name).append(" = "); }
    std::string out_;
};

}  // namespace

std::vector<std::pair<const char*, scan_settings_t::action_t>> scanner_actions(const scan_settings_t& s) {
    std::vector<std::pair<const char*, scan_settings_t::action_t>> actions;
    for (const action_setting& setting : action_settings) {
        // What to do with a file that cannot be cured only matters when curing.
        if (setting.field == &scan_settings_t::action_incurable && s.action_infected != scan_settings_t::action_cure)
            continue;
        actions.emplace_back(setting.name, s.*setting.field);
    }
    return actions;
}

std::string render_scanner_config(const scan_settings_t& s) {
    // Not in the file, but checked with its items: each becomes an argument,
    // which carries a line end whole.
    for (const std::string& path : s.scan_paths) refuse_nul(path, task_origin, "IvaskPaths");
    config_writer w;
    w.header("Scanner");
    w.item("EnginePath", engine_path, engine_origin, "Scanner/EnginePath");
    w.item("VirusBase", virus_base, engine_origin, "Scanner/VirusBase");
    w.item("TempPath", temp_path, engine_origin, "Scanner/TempPath");
    w.text("FilesTypesWarnings", "no");
    w.text("OutputMode", "Terminal");
    w.text("ScanFiles", "All");
    w.text("EnableDeleteArchiveAction", "yes");
    w.item("MoveFilesTo", move_files_to, engine_origin, "Scanner/MoveFilesTo");
    w.list("ExcludePaths", s.exclude_paths, task_origin, "ExcludeFileAndPaths");
    w.text("LogScanned", "yes");
    w.text("LogPacked", "no");
    w.text("LogTime", "yes");
    w.text("LogStatistics", "yes");
    w.text("RecodeNonprintable", "yes");
    w.text("RecodeMode", "QuotedPrintable");
    w.text("RecodeChar", "\"?\"");
    w.text("ScanPriority", "0");
    w.flag("HeuristicAnalysis", s.heuristic_analysis);
    w.flag("CheckArchives", s.check_archives);
    w.flag("CheckEMailFiles", s.check_mail_files);
    w.flag("FollowLinks", s.follow_links);
    for (const auto& action : scanner_actions(s)) w.action(action.first, action.second);
    w.number("MaxCompressionRatio", s.max_compression_ratio);
    w.number("MaxFileSizeToExtract", s.max_file_size_to_extract);
    w.number("MaxArchiveLevel", s.max_archive_level);
    w.number("MaximumMemoryAllocationSize", s.max_memory_allocation_size);
    w.number("ScannerScanTimeout", s.scan_timeout_ms);
    w.number("CompressionCheckThreshold", s.compression_check_threshold);
    return w.take();
}
