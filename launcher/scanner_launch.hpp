// Starting the console scanner and relaying signals to it.
//
// From install_signal_handlers() on, SIGINT and SIGTERM are caught and
// relayed to the scanner, followed by SIGCONT; one caught before the scanner
// exists is relayed as soon as it does. The wait ends at once after a relay,
// or, when the run follows its scanner, only once the scanner has ended (a
// second SIGINT or SIGTERM then kills it). It also ends when the scanner
// exits or is killed; a scanner that is only stopped or continued keeps the
// program waiting. The scanner starts with the
// signal mask and the dispositions of SIGPIPE and SIGXFSZ that the program
// itself was started with, except that SIGINT, SIGTERM and SIGCHLD, which the
// program catches, start at their default action and SIGINT and SIGTERM
// unblocked (see unblock_relayed_signals()): a relayed signal always acts on
// the scanner.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "launcher/run_lock.hpp"

// Shared with the signal handlers: the scanner's process id (0 until it
// exists, and always 0 in the scanner's own process) and the flag that wakes
// the wait.
extern volatile sig_atomic_t child_pid;
extern volatile sig_atomic_t child_done;

// The program's own output never ends it: SIGPIPE and SIGXFSZ are ignored,
// so a write to a closed pipe or past a file-size limit fails with an error
// instead (and output that cannot be written is dropped). Throws
// "sigaction failed: <why>".
void ignore_write_signals();

// Unblocks SIGINT and SIGTERM for the program and so for its scanner,
// whatever mask the program was started with: a queued run ends on either at
// once, and a relayed one is never left pending in the scanner. Throws
// "sigprocmask failed: <why>".
void unblock_relayed_signals();

// Throws "failed to set signal handlers: <why>" or
// "failed to set sigchld handler: <why>".
void install_signal_handlers();

// The scanner's argument vector, argv[0] first: the config path as its
// program name, "-ini=<config>", "-a=<socket_address>", one "-path=" per path.
std::vector<std::string> scanner_arguments(const std::string& socket_address,
                                           const std::vector<std::string>& scan_paths);

// How the wait for the scanner ended.
struct scan_outcome {
    enum kind_t {
        exited,      // value: the scanner's exit status
        killed,      // value: the signal that ended the scanner
        passed_on,   // value: the signal relayed to a scanner that may still run
        not_started  // value: the start failure's status, 1 or 2; error: why
    };
    kind_t kind;
    int value;
    int error = 0;
};

// Starts the scanner with scanner_arguments(), and waits. The scanner
// inherits the turn's lock and keeps it open until it ends (the program's own
// copy is closed once it has started: see run_turn::hand_over()). When follow
// is set, the scanner starts with SIGKILL as its parent-death signal, so it
// never outlives the program, and the wait lasts until it has ended, whatever
// was relayed. When the scanner could not be started, start_failure_line() is
// printed first. Throws "fork failed: <why>".
scan_outcome start_scanner_and_wait(const std::string& socket_address, const std::vector<std::string>& scan_paths,
                                    run_turn& turn, bool follow);

// Ends the program by signal_number at its default action, without a core
// file, as the scanner it followed ended. Returns 128 + signal_number, the
// shell's status for it, only where the signal did not end the program.
int end_by_signal(int signal_number);

// The line for a scanner that could not be started: "Setuid failed: <why>"
// for status 1, "Execve failed: <why>" for status 2.
std::string start_failure_line(int status, int error);

// Why starting the scanner with the argument vector args (and the program's
// environment) would fail at once: the error number execv would give for a
// missing file, one that is not a regular file or that the program's
// effective user may not execute, or, E2BIG, for an argument or the whole
// list over the system's limits; or 0. Nothing else of the start is tried.
int scanner_start_error(const std::vector<std::string>& args);
