// Standard descriptors and output of the program. Output is unbuffered: every
// line is written whole and at once, so nothing is held in a buffer when the
// scanner is forked, and the program needs no stream library at start.
#pragma once

#include <cstddef>
#include <string>

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the program or the scanner opens later takes one of their numbers
// (a closed standard input then reads as empty). Throws
// "failed to open /dev/null: <why>".
void open_missing_standard_descriptors();

// The byte c as a C escape, as the dry run writes one: "\\" and "\"" for the
// backslash and the quote, "\a" to "\r" for those control characters,
// "\x1b" for any other byte; written into out, which takes 4 bytes.
// Returns its length.
std::size_t c_escape(char c, char* out) noexcept;

// The text on one line, whatever it holds: a control character and the
// backslash are written as C escapes ("\n", "\t", "\\", "\x1b").
std::string escaped(const std::string& text);

// Writes line and a line end to standard output. Errors are ignored: there is
// nowhere left to report them.
void print_line(const std::string& line);

// A line of the run's about what a task or a file gave ("Skipping relative
// path: <path>"): print_line() with every control character (below 0x20,
// and 0x7f) written as the dry run writes it ("\x1b"), so that no task can
// make the program print a second line or a terminal's escape. Every other
// byte stands as it is: a file name in UTF-8 reads as written.
void print_notice(const std::string& line);

// How every failure line of the program's own begins, on standard output
// and in the log.
inline constexpr char failure_prefix[] = "Enterprise scan failed: ";

// Writes first, second and a line end to standard output, control
// characters escaped as print_notice() escapes them, in one write where the
// system allows (and the line is at most 4 KiB), without allocating:
// running out of memory is one of the failures a line reports.
void print_parts(const char* first, const char* second) noexcept;

// failure_prefix and why, as print_parts() writes them.
void print_failure(const char* why) noexcept;
