// Standard output of the program, unbuffered: every line is written whole and
// at once, so nothing is held in a buffer when the scanner is forked, and the
// program needs no stream library at start.
#pragma once

#include <string>

// Writes line and a line end to standard output. Errors are ignored: there is
// nowhere left to report them.
void print_line(const std::string& line);
