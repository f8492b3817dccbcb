// The task text as the agent writes it, before the translation reads it.
#pragma once

#include <string>

// The input's lines joined without their line ends: a line end is LF, or CR
// LF; a lone CR stays. Nothing is put between the lines.
std::string join_task_lines(const std::string& input);

// All that can be read from fd, its lines joined by join_task_lines().
// Throws "Failed to read the task settings: <why>" on a read error: a task
// cut short would run with what came before it.
std::string read_task_settings(int fd);
