// zelvo-ivask: runs one scan task for the management agent (see entry.hpp),
// with the shipped program's fixed paths.
#include "launcher/entry.hpp"
#include "launcher/program_paths.hpp"

int main(int argc, char** argv) { return run_program(argc, argv, shipped_paths); }
