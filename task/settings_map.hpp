// Shared by the pieces of the task translation; not a public interface.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "task/scan_settings.hpp"

namespace task_detail {

typedef std::map<std::string, std::string> settings_map;

// The keys path selection reads.
constexpr const char* key_ivask_paths = "IvaskPaths";
constexpr const char* key_exclude_paths = "ExcludeFileAndPaths";
constexpr const char* key_scan_removable = "ScanRemovable";
constexpr const char* key_scan_fixed = "ScanFixed";
constexpr const char* path_keys[] = {key_ivask_paths, key_exclude_paths, key_scan_removable, key_scan_fixed};

// The value of key, or null when the task leaves it out.
inline const std::string* find_setting(const settings_map& settings, const char* key) {
    const settings_map::const_iterator it = settings.find(key);
    return it == settings.end() ? nullptr : &it->second;
}

// The exact spellings the task may use for key's boolean: "1", "+1" true;
// "0", "+0", "-0" false. Anything else throws scan_settings_t::bad_value.
bool to_bool(const std::string& value, const char* key);

// Tells ignored, if it is set, that the task's key is not used, and why.
void tell_ignored(const scan_settings_t::notice_sink_t& ignored, const char* why, const std::string& key);

// Fills scan_paths and exclude_paths from the task (named paths, a
// whole-system scan, or the PATH directories plus the system directories),
// then drops empty and relative entries, reporting each on notices. The
// whole-system keys, given beside named paths, are told to ignored.
void select_paths(const settings_map& settings, std::vector<std::string>& scan_paths,
                  std::vector<std::string>& exclude_paths, const scan_settings_t::notice_sink_t& notices,
                  const scan_settings_t::notice_sink_t& ignored);

}  // namespace task_detail
