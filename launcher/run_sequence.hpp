// One scan run, from the engine's INI file to the end of the scanner.
#pragma once

#include <string>

// All that can be read from fd, its lines joined without their line ends
// (LF or CR LF; a lone CR is kept).
// Throws "Failed to read the task settings: <why>" on a read error.
std::string read_task_settings(int fd);

// What the command line asks of a run besides its socket address.
struct run_options {
    int wait_seconds = -1;  // how long to wait for the turn; negative: as long as it takes
};

// Loads the engine settings, reads the task from standard input, translates
// it and renders the scanner config (every check of the task done), then
// waits for its turn (see run_lock.hpp), writes the config and starts the
// scanner with socket_address, then waits for it. Returns the exit status;
// every failure is an exception.
int run_sequence(const std::string& socket_address, const run_options& options);

// What run_sequence would do, shown instead of done: reads the engine
// settings and the task as a run does, prints the lines a run would print
// and, as "# " comments, each engine setting that took its default and why,
// and what the task says that the run will not use; then "# the scanner
// config that would be written to <config>", the config byte for byte, "#
// the scanner that would be started, then its arguments from argv[0] on, one
// per line", the scanner's path and each argument on a line of its own.
// Before the config, a comment says whether runs take turns and who holds
// the turn (see describe_turn()).
// Writes nothing, takes no turn, installs no handler, starts nothing. Fails
// as a run would, a value that does not convert shown first as "# <key>
// "<value>": <what it takes>". Returns 0, or 2 after "Execve failed: <why>"
// when the scanner is not an executable regular file.
int dry_run(const std::string& socket_address);
