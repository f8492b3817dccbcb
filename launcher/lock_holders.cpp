#include "launcher/lock_holders.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

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

bool carries_lock(const std::string& fdinfo) {
    try {
        const std::string info = agent_utils::read_file(fdinfo);
        return info.compare(0, 5, "lock:") == 0 || info.find("\nlock:") != std::string::npos;
    } catch (const std::runtime_error&) {  // closed or gone meanwhile
        return false;
    }
}

// "/proc/<pid>/<folder>/<fd>".
std::string proc_entry(long pid, const char* folder, long fd) {
    return "/proc/" + std::to_string(pid) + "/" + folder + "/" + std::to_string(fd);
}

bool holds_lock_on(long pid, const struct stat& file) {
    for (const long fd : numbered_entries("/proc/" + std::to_string(pid) + "/fd")) {
        struct stat target = {};
        if (stat(proc_entry(pid, "fd", fd).c_str(), &target) == 0 && same_file(target, file) &&
            carries_lock(proc_entry(pid, "fdinfo", fd)))
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
    std::string locks;
    try {
        locks = agent_utils::read_file("/proc/locks");
    } catch (const std::runtime_error&) {
        return false;
    }
    // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"; a request still
    // waiting has "->" before its kind.
    char where[64];
    (void)std::snprintf(where, sizeof where, "%02x:%02x:%lu", major(file.st_dev), minor(file.st_dev),
                        static_cast<unsigned long>(file.st_ino));
    std::istringstream lines(locks);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, file_id;
        fields >> number >> kind >> mode >> access >> pid >> file_id;
        if (kind == "FLOCK" && file_id == where) return true;
    }
    return false;
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
