// The program with its fixed paths under one folder, ZELVO_ROOT (the build
// sets it): the same code as the shipped program, for the demo, the tests
// and the benchmarks, which need neither root nor the real paths.
#include "launcher/entry.hpp"
#include "launcher/program_paths.hpp"

#ifndef ZELVO_ROOT
#error "the build sets ZELVO_ROOT"
#endif

int main(int argc, char** argv) {
    static constexpr program_paths rooted = {ZELVO_ROOT "/etc/zelvo/zelvo32.ini", ZELVO_ROOT "/etc/zelvo/zelvo-ivask.conf",
                                             ZELVO_ROOT "/tmp/.ivask_config", ZELVO_ROOT "/opt/zelvo/zelvo",
                                             ZELVO_ROOT "/run"};
    return run_program(argc, argv, rooted);
}
