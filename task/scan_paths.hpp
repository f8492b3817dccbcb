// Which paths the scanner scans and which it leaves out: part of the task
// translation, not a public interface.
#pragma once

#include <string>
#include <vector>

#include "task/scan_settings.hpp"
#include "task/task_pairs.hpp"

namespace task_detail {

// Fills scan_paths and exclude_paths from the task (named paths, a
// whole-system scan, or the PATH directories plus the system directories),
// then drops empty and relative entries, reporting each on notices. The
// whole-system keys, given beside named paths, a named list of which every
// path was dropped, and an IvaskPaths that names no path (with the fallback
// taken) are told to ignored.
void select_paths(const settings_map& settings, std::vector<std::string>& scan_paths,
                  std::vector<std::string>& exclude_paths, const scan_settings_t::notice_sink_t& notices,
                  const scan_settings_t::notice_sink_t& ignored);

}  // namespace task_detail
