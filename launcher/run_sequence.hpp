// One scan run, from the engine's INI file to the end of the scanner.
#pragma once

#include <string>

#include "launcher/options.hpp"
#include "launcher/program_paths.hpp"
#include "launcher/run_log.hpp"
#include "launcher/scanner_launch.hpp"

// Loads the engine settings from paths.engine_ini, reads the task from
// standard input, translates it and renders the scanner config (every check
// of the task done; strict: also refusing what the dry run comments on, and
// a run without turns), then waits for its turn (see run_lock.hpp), writes
// the config to paths.scanner_config and starts paths.scanner with
// socket_address, then waits for it. Returns how the wait ended; every
// failure is an exception. Fills report as far as it gets.
scan_outcome run_sequence(const program_paths& paths, const std::string& socket_address, const run_options& options,
                          run_report& report);

// How long the run's scan may take, and whether the run follows it, from
// the options.
scan_limits scan_limits_of(const run_options& options);

// What run_sequence would do, shown instead of done: reads the engine
// settings and the task as a run does and prints, in this order, "# "
// comments on each setting of the run (see describe_settings()), on each
// engine setting that took its default and why, on each
// token whose double quotes held a line end, the lines about dropped paths
// and comments on what the task says that a run will not take as written (in
// the order the translation meets them), whether runs
// take turns and who holds the turn (see describe_turn()), that the run
// would follow its scanner (with --follow), then "# the
// scanner config that would be written to <config>", the config byte for
// byte, "# the scanner that would be started, then its arguments from
// argv[0] on, one per line", the scanner's path and each argument on a line
// of its own. Every line but the config's shows a control character or a
// backslash as a C escape, so that each is one line. Writes nothing, takes no
// lock, installs no handler, starts nothing. Fails as a run would, also where
// the config could not be written (see agent_utils::may_replace()); strict:
// with the first comment's or dropped path's words once all are shown. A
// value that does not convert is shown first as "# <key> "<value>": <what it
// takes>", an engine file that cannot be read or parsed as "# <file>: <the
// system's reason>" or "# <file> line <N>: <its text>", and a strict run
// fails with those words. Returns 0, or the error number of "Execve failed:
// <why>" when the scanner would not start (see scanner_start_error()), for
// end_of_dry_run().
int dry_run(const program_paths& paths, const std::string& socket_address, const run_options& options);
