// The task's key/value pairs as the pieces of the translation share them:
// the map, the key names path selection reads, the lookup, the boolean
// conversion and the telling of what is not used. Not a public interface.
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

}  // namespace task_detail
