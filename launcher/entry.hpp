// The entry point of every build of the program: each build's own main()
// passes its fixed paths in.
//
//   zelvo-ivask SOCKET     task settings on standard input
//   zelvo-ivask [OPTION]... SOCKET
//   zelvo-ivask -V | -v | --version
//   zelvo-ivask -h | --help
//
// A single argument is always the socket address unless it is a version or
// help switch: the agent's call never reads as an option (see options.hpp).
// Every run and dry run reads the operator's settings file first (see
// settings_file.hpp). How the run ends is decided once (run_end.hpp): every
// failure of the program's own ends with one line "Enterprise scan failed:
// <why>", and the entry point is the one place that catches it.
#pragma once

#include "launcher/program_paths.hpp"

// The whole program; returns its exit status.
int run_program(int argc, char** argv, const program_paths& paths);
