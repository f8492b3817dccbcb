// The fixed paths of a run. Each program's own main() passes them in: the
// shipped program the real ones, the builds for the demo, the tests and the
// benchmarks paths under a folder of their own. They are string literals,
// so that nothing is allocated before the run can report a failure.
#pragma once

struct program_paths {
    const char* engine_ini;      // read: the engine's four paths
    const char* settings_file;   // read: what the operator sets for every run
    const char* scanner_config;  // written: the scanner's configuration
    const char* scanner;         // started: the console scanner
    const char* run_dir;         // where root's run lock lies
};

// The paths of the shipped program.
inline constexpr program_paths shipped_paths = {"/etc/zelvo/zelvo32.ini", "/etc/zelvo/zelvo-ivask.conf",
                                                "/tmp/.ivask_config", "/opt/zelvo/zelvo", "/run"};
