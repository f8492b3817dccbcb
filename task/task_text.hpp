// The task text as the agent writes it, before the translation reads it.
#pragma once

#include <string>

#include "task/scan_settings.hpp"

// The input's lines joined without their line ends: a line end is LF, or CR
// LF; a lone CR stays. Nothing is put between the lines. A line end inside
// double quotes is removed like any other, which joins the two halves of a
// quoted value; told, if set, hears of each token that lost one, once:
// "a line end inside double quotes was removed from the value of <key>"
// ("from the key <key>" where the key itself was quoted).
std::string join_task_lines(const std::string& input,
                            const scan_settings_t::notice_sink_t& told = scan_settings_t::notice_sink_t());

// All that can be read from fd, its lines joined by join_task_lines(), told
// as there. Throws "Failed to read the task settings: <why>" on a read
// error: a task cut short would run with what came before it.
std::string read_task_settings(int fd,
                               const scan_settings_t::notice_sink_t& told = scan_settings_t::notice_sink_t());
