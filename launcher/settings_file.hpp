// The operator's settings file: what the options set, for the agent's call
// that carries nothing but the socket address. An INI file with one
// section, each key an option's (see options.cpp):
//
//   [Run]
//   Strict = yes      refuse what the run would not take as written
//   Follow = yes      wait for the scanner and end as it ended
//   Wait = 30         give up waiting for the turn after 30 s
//   Syslog = yes      one line per run to syslog
//
// An option on the command line wins over the file. No file: the built-in
// values. A file that cannot be trusted or read fails the run: an
// operator's setting is never silently dropped, and no other user can set
// one.
#pragma once

#include <string>

#include "launcher/options.hpp"

// Reads the settings file at path, if there is one, into each setting of
// options that the command line left as built in, and notes the path in
// options.settings_path. Throws "<path>: <why>" where the file is not a
// regular file owned by root or by the effective user and writable by nobody
// else, cannot be read or parsed, or holds a section or key it does not
// know, a key twice or a value its key does not take.
void read_settings_file(const std::string& path, run_options& options);
