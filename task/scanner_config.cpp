#include "task/scanner_config.hpp"

#include <string>

#include "task/engine_settings.hpp"

namespace {

// Builds the text in one string: lines of "Name = value\n".
class config_writer {
public:
    void text(const char* name, const std::string& value) { line(name).append(value).push_back('\n'); }
    void flag(const char* name, bool value) { text(name, value ? "yes" : "no"); }
    void number(const char* name, uint32_t value) { text(name, std::to_string(value)); }
    void action(const char* name, scan_settings_t::action_t value) {
        text(name, scan_settings_t::action_word(value));
    }
    void list(const char* name, const std::vector<std::string>& values) {
        std::string& out = line(name);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) out.push_back(',');
            out.append(values[i]);
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

std::string render_scanner_config(const scan_settings_t& s) {
    config_writer w;
    w.header("Scanner");
    w.text("EnginePath", engine_path);
    w.text("VirusBase", virus_base);
    w.text("TempPath", temp_path);
    w.text("FilesTypesWarnings", "no");
    w.text("OutputMode", "Terminal");
    w.text("ScanFiles", "All");
    w.text("EnableDeleteArchiveAction", "yes");
    w.text("MoveFilesTo", move_files_to);
    w.list("ExcludePaths", s.exclude_paths);
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
    w.action("ActionInfectedContainer", s.action_infected_container);
    w.action("InfectedFiles", s.action_infected);
    w.action("ActionInfectedArchive", s.action_infected_archive);
    w.action("SuspiciousFiles", s.action_suspicious);
    // What to do with a file that cannot be cured only matters when curing.
    if (s.action_infected == scan_settings_t::action_cure) w.action("IncurableFiles", s.action_incurable);
    w.action("ActionAdware", s.action_adware);
    w.action("ActionDialers", s.action_dialers);
    w.action("ActionJokes", s.action_jokes);
    w.action("ActionRiskware", s.action_riskware);
    w.action("ActionHacktools", s.action_hacktools);
    w.action("ActionInfectedMail", s.action_infected_mail);
    w.number("MaxCompressionRatio", s.max_compression_ratio);
    w.number("MaxFileSizeToExtract", s.max_file_size_to_extract);
    w.number("MaxArchiveLevel", s.max_archive_level);
    w.number("MaximumMemoryAllocationSize", s.max_memory_allocation_size);
    w.number("ScannerScanTimeout", s.scan_timeout_ms);
    w.number("CompressionCheckThreshold", s.compression_check_threshold);
    return w.take();
}
