// Generated inputs for the benchmarks: engine INI files and task texts of a
// given size, the same bytes for every reader measured.
#pragma once

#include <cstddef>
#include <string>

#include <unistd.h>

#include "agent_utils/agent_utils.hpp"

// An INI text of about `bytes` bytes: many sections, unique keys, comments,
// quoted and multi-item values. Lines stay short enough for every reader.
inline std::string make_ini(std::size_t bytes) {
    std::string text;
    text.reserve(bytes + 256);
    for (std::size_t section = 0; text.size() < bytes; ++section) {
        text += "; section " + std::to_string(section) + "\n[Section" + std::to_string(section) + "]\n";
        for (int key = 0; key < 40 && text.size() < bytes; ++key) {
            const std::string k = "Key" + std::to_string(key);
            switch (key % 4) {
            case 0: text += k + " = /var/zelvo/data/file" + std::to_string(section) + ".dat\n"; break;
            case 1: text += k + " = \"quoted, value # kept\" ; trailing comment\n"; break;
            case 2: text += k + " = alpha, beta, gamma\n"; break;
            default: text += "# a comment line about " + k + "\n" + k + " = 42\n"; break;
            }
        }
    }
    return text;
}

// An engine INI file as one is found on a machine: a dozen sections, two
// comment lines before each of about 220 parameters (about 40 KB), paths,
// numbers, lists and quoted values, with [Scanner] holding the four keys the
// program reads.
inline std::string make_engine_ini() {
    static const char* const sections[] = {"Scanner", "Engine",  "Update",  "Network", "Quarantine", "Logging",
                                           "Archives", "Mail",   "Daemon",  "Schedule", "Reports",   "Licence"};
    std::string text = "; Engine configuration, read by the scanner and its tools.\n"
                       "; Values are comma-separated lists; quote a value that holds a comma.\n";
    for (const char* section : sections) {
        text += "\n; ---------------------------------------------------------------\n";
        text += std::string("; [") + section + "]: settings of this part of the engine\n";
        text += std::string("[") + section + "]\n";
        const bool scanner = std::string(section) == "Scanner";
        for (int key = 0; key < 18; ++key) {
            std::string name, value;
            if (scanner && key < 4) {
                static const char* const engine_keys[][2] = {{"VirusBase", "/var/zelvo/bases/*.vdb"},
                                                             {"TempPath", "/var/tmp/zelvo"},
                                                             {"EnginePath", "/var/zelvo/lib/zelvo32.dll"},
                                                             {"MoveFilesTo", "/var/zelvo/infected"}};
                name = engine_keys[key][0];
                value = engine_keys[key][1];
            } else {
                name = std::string(section) + "Option" + std::to_string(key);
                switch (key % 4) {
                case 0: value = "/var/zelvo/" + std::string(section) + "/data" + std::to_string(key); break;
                case 1: value = std::to_string(1000 * key + 17); break;
                case 2: value = "exe, dll, sys, scr, com, pif, cpl"; break;
                default: value = "\"Zelvo engine, " + std::string(section) + " part\""; break;
                }
            }
            text += "# " + name + ": what this setting controls, its unit and the range of its values;\n";
            text += "# the engine reads it at start and again when it is told to reload.\n";
            text += name + " = " + value + "\n";
        }
    }
    return text;
}

// A task text of about `bytes` bytes: the usual option keys, then long path
// lists and many keys the program does not know.
inline std::string make_task(std::size_t bytes) {
    std::string text =
        "ScanHeuristic 1 CheckContainer 1 CheckEMailFiles 0 CheckArchives 1 FollowSymbolicLinks 0 "
        "MaxCompressionRatio 100 MaxSizeToExtract 1048576 MaxArchLevel 8 MaxTimeMills 60000 "
        "RatioCheckThreshold 4096 ActionDialers 8 InfectedFiles 1 IncurableFiles 4 ActionAdware 2 "
        "ActionInfectedMail 0 ActionInfectedArchive 4 ActionInfectedContainer 2 SuspiciousFiles 2 "
        "ActionJokes 8 ActionRiskware 0 ActionHacktools 4 ";
    text.reserve(bytes + 256);
    const std::size_t path_bytes = bytes / 4;
    for (const char* key : {"IvaskPaths ", "ExcludeFileAndPaths "}) {
        text += key;
        text += '"';
        for (std::size_t i = 0; text.size() < path_bytes * (key[0] == 'I' ? 1 : 2); ++i)
            text += "/srv/data/projects/p" + std::to_string(i) + ",";
        text += "\" ";
    }
    for (std::size_t i = 0; text.size() < bytes; ++i)
        text += "Extra" + std::to_string(i) + " value" + std::to_string(i) + " ";
    text += "Last 1";
    return text;
}

const std::size_t MB = 1000 * 1000;

// The generated files live in the benchmark's folder and are made only once,
// before anything is timed: name, with make() written there unless a file of
// that name is already there.
template <class Make> std::string generated_file(const std::string& name, Make make) {
    if (access(name.c_str(), F_OK) != 0) agent_utils::write_file(name, make());
    return name;
}

// The INI file of make_ini(bytes), bytes a whole number of MB.
inline std::string ini_file(std::size_t bytes) {
    return generated_file("bench-ini-" + std::to_string(bytes / MB) + "mb.ini", [bytes] { return make_ini(bytes); });
}
