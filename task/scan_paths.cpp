// Which paths the scanner scans and which it leaves out.

#include <algorithm>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "agent_utils/agent_utils.hpp"
#include "task/scan_paths.hpp"

namespace task_detail {

namespace {

using agent_utils::is_space;

const char* const system_directories[] = {
    "/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/lib",
    "/usr/lib", "/usr/local/lib", "/opt", "/boot", "/var/mail", "/tmp", "/var/tmp",
};
const char* const whole_system_exclusions[] = {"/dev", "/proc", "/sys"};

// Items are separated by runs of commas and whitespace; none is ever empty.
void split_value_by_commas(const std::string& value, std::vector<std::string>& list) {
    std::string::size_type i = 0;
    const std::string::size_type size = value.size();
    while (i < size) {
        while (i < size && (value[i] == ',' || is_space(value[i]))) ++i;
        const std::string::size_type start = i;
        while (i < size && value[i] != ',' && !is_space(value[i])) ++i;
        if (i > start) list.emplace_back(value, start, i - start);
    }
}

// Trims each entry on the left, reports and drops the empty and the relative
// ones; the others keep their order.
void filter_paths(std::vector<std::string>& list, const scan_settings_t::notice_sink_t& notices) {
    for (std::string& entry : list) {
        std::string::size_type lead = 0;
        while (lead < entry.size() && is_space(entry[lead])) ++lead;
        entry.erase(0, lead);
        if (entry.empty()) {
            notices("Skipping empty path");
        } else if (entry[0] != '/') {
            notices("Skipping relative path: " + entry);
            entry.clear();
        }
    }
    list.erase(std::remove_if(list.begin(), list.end(), [](const std::string& e) { return e.empty(); }),
               list.end());
}


// The directories of PATH and the system directories, sorted, each once.
void add_program_directories(std::vector<std::string>& scan_paths) {
    const char* const path = std::getenv("PATH");
    if (path == nullptr) throw std::runtime_error("PATH is not set");
    std::vector<std::string> pieces;
    boost::split(pieces, path, boost::is_any_of(":"));
    std::set<std::string> directories(pieces.begin(), pieces.end());
    directories.insert(std::begin(system_directories), std::end(system_directories));
    scan_paths.insert(scan_paths.end(), directories.begin(), directories.end());
}

}  // namespace

void select_paths(const settings_map& settings, std::vector<std::string>& scan_paths,
                  std::vector<std::string>& exclude_paths, const scan_settings_t::notice_sink_t& notices,
                  const scan_settings_t::notice_sink_t& ignored) {
    const std::string* const named = find_setting(settings, key_ivask_paths);
    if (named != nullptr) split_value_by_commas(*named, scan_paths);
    if (const std::string* excluded = find_setting(settings, key_exclude_paths))
        split_value_by_commas(*excluded, exclude_paths);

    if (!scan_paths.empty()) {
        for (const char* key : {key_scan_removable, key_scan_fixed})
            if (find_setting(settings, key) != nullptr)
                tell_ignored(ignored, "used only when IvaskPaths names no path", key);
    } else {
        // An IvaskPaths that names nothing (",,", "") falls back as if it
        // were absent; said, since an empty selection may be a mistake that
        // widens the scan.
        const std::string* removable = find_setting(settings, key_scan_removable);
        const std::string* fixed = find_setting(settings, key_scan_fixed);
        if (removable == nullptr || fixed == nullptr)
            throw std::runtime_error(named != nullptr ? "Malformed task settings: IvaskPaths names no path, so "
                                                        "ScanRemovable and ScanFixed are required"
                                                      : "Malformed task settings: ScanRemovable and ScanFixed are "
                                                        "required when IvaskPaths names no path");
        const bool scan_removable = to_bool(*removable, key_scan_removable);
        const bool scan_fixed = to_bool(*fixed, key_scan_fixed);
        if (named != nullptr && ignored)
            ignored(std::string("IvaskPaths names no path: ") +
                    (scan_removable || scan_fixed ? "the whole system is scanned instead"
                                                  : "the folders of PATH and the system's are scanned instead"));
        if (scan_removable || scan_fixed) {
            scan_paths.emplace_back("/");
            exclude_paths.insert(exclude_paths.end(), std::begin(whole_system_exclusions),
                                 std::end(whole_system_exclusions));
        } else {
            add_program_directories(scan_paths);
        }
    }

    const bool had_paths = !scan_paths.empty();
    filter_paths(scan_paths, notices);
    filter_paths(exclude_paths, notices);
    if (had_paths && scan_paths.empty() && ignored)
        ignored("every path to scan was dropped: the scanner starts without a -path= argument");
}

}  // namespace task_detail
