// zelvo-ivask: runs one scan task for the management agent.
//
//   zelvo-ivask SOCKET     task settings on standard input
//   zelvo-ivask -V | -v | --version
//
// Every failure ends here: one line "Enterprise scan failed: <why>", status 255.

#include <exception>
#include <stdexcept>
#include <string>

#include "launcher/console.hpp"
#include "launcher/run_sequence.hpp"
#include "launcher/scanner_launch.hpp"

#ifndef ZELVO_VERSION
#error "the build sets ZELVO_VERSION"
#endif

namespace {

bool is_version_switch(const std::string& arg) { return arg == "-v" || arg == "--version" || arg == "-V"; }

void print_version() {
    print_line(std::string("zelvo-ivask for ") + "Linux" + ", version " + ZELVO_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
    child_pid = 0;
    child_done = 0;
    try {
        open_missing_standard_descriptors();
        ignore_write_signals();
        if (argc != 2) throw std::runtime_error("Wrong number of parameters");
        const std::string arg = argv[1];
        if (is_version_switch(arg)) {
            print_version();
            return 0;
        }
        return run_sequence(arg);
    } catch (const std::exception& e) {
        print_line(std::string("Enterprise scan failed: ") + e.what());
        return -1;
    }
}
