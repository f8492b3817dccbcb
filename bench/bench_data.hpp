// Generated inputs for the benchmarks: engine INI files and task texts of a
// given size, the same bytes for every reader measured.
#pragma once

#include <cstddef>
#include <string>

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
