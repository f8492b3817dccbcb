#include "launcher/lock_holders.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"

namespace {

// The numeric entries of a /proc folder: process ids, or descriptors.
std::vector<long> numbered_entries(const std::string& folder) {
    std::vector<long> numbers;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return numbers;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long n = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') numbers.push_back(n);
    }
    closedir(dir);
    return numbers;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether some line of the kernel's record at path passes test; false
// where it cannot be read (a descriptor closed, a process gone meanwhile).
template <class Test> bool any_line_of(const std::string& path, Test test) {
    std::string text;
    try {
        text = agent_utils::read_file(path);
    } catch (const std::runtime_error&) {
        return false;
    }
    const std::string_view record = text;
    for (std::size_t start = 0; start < record.size();) {
        const std::size_t end = std::min(record.find('\n', start), record.size());
        if (test(record.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

// Whether the descriptor's record shows a flock() granted on it: a "lock:"
// line of the FLOCK kind. A POSIX or open-file-description lock on the same
// file is not the turn.
bool carries_flock(const std::string& fdinfo) {
    return any_line_of(fdinfo, [](std::string_view line) {
        return line.compare(0, 5, "lock:") == 0 && read_lock_line(line.substr(5)).flock_granted;
    });
}

// "/proc/<pid>/<folder>/<fd>".
std::string proc_entry(long pid, const char* folder, long fd) {
    return "/proc/" + std::to_string(pid) + "/" + folder + "/" + std::to_string(fd);
}

bool holds_lock_on(long pid, const struct stat& file) {
    for (const long fd : numbered_entries("/proc/" + std::to_string(pid) + "/fd")) {
        struct stat target = {};
        if (stat(proc_entry(pid, "fd", fd).c_str(), &target) == 0 && same_file(target, file) &&
            carries_flock(proc_entry(pid, "fdinfo", fd)))
            return true;
    }
    return false;
}

}  // namespace

std::vector<pid_t> lock_holders(int fd) {
    std::vector<pid_t> holders;
    struct stat file = {};
    if (fstat(fd, &file) != 0) return holders;
    std::vector<long> pids = numbered_entries("/proc");
    std::sort(pids.begin(), pids.end());
    for (const long pid : pids)
        if (holds_lock_on(pid, file)) holders.push_back(static_cast<pid_t>(pid));
    return holders;
}

bool flock_granted(int fd) {
    struct stat file = {};
    if (fstat(fd, &file) != 0) return false;
    char where[64];
    (void)std::snprintf(where, sizeof where, "%02x:%02x:%lu", major(file.st_dev), minor(file.st_dev),
                        static_cast<unsigned long>(file.st_ino));
    return any_line_of("/proc/locks", [&where](std::string_view line) {
        const lock_line lock = read_lock_line(line);
        return lock.flock_granted && lock.file == where;
    });
}

lock_line read_lock_line(std::string_view line) {
    // The line's words, split at blanks and tabs.
    std::string_view words[8];
    std::size_t count = 0;
    for (std::size_t at = 0; count < 8;) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) break;
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        words[count++] = line.substr(at, end - at);
        at = end;
    }
    // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"; a request still
    // waiting has "->" before its kind.
    lock_line lock;
    if (count < 6 || words[0].empty() || words[0].back() != ':' || words[1] == "->") return lock;
    lock.flock_granted = words[1] == "FLOCK";
    lock.file = words[5];
    return lock;
}

process_summary summarize_process(pid_t pid) {
    process_summary summary;
    std::string stat, uptime;
    try {
        stat = agent_utils::read_file("/proc/" + std::to_string(pid) + "/stat");
        uptime = agent_utils::read_file("/proc/uptime");
    } catch (const std::runtime_error&) {  // gone meanwhile
        return summary;
    }
    // "4242 (its name) S 1 ...": the name may hold blanks and parentheses,
    // the last ")" ends it; the start time, in clock ticks after boot, is the
    // 20th field after it.
    const std::string::size_type open = stat.find(" ("), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return summary;
    const char* field = stat.c_str() + close + 1;
    for (int i = 0; i < 20 && field != nullptr; ++i) field = std::strchr(field + 1, ' ');
    const long ticks = sysconf(_SC_CLK_TCK);
    if (field == nullptr || ticks <= 0) return summary;
    const double started = std::strtod(field, nullptr) / static_cast<double>(ticks);
    const double now = std::strtod(uptime.c_str(), nullptr);
    summary.known = true;
    summary.name = stat.substr(open + 2, close - open - 2);
    summary.seconds = now > started ? static_cast<long>(now - started) : 0;
    return summary;
}

std::string rounded_duration(long seconds) {
    if (seconds >= 86400) return std::to_string(seconds / 86400) + " d";
    if (seconds >= 3600) return std::to_string(seconds / 3600) + " h";
    if (seconds >= 60) return std::to_string(seconds / 60) + " min";
    return std::to_string(seconds) + " s";
}
