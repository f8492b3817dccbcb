// The process tests' common ground: the sandboxed program, its fixed paths,
// the fake scanner it starts, and what can be seen of a process from /proc.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "process_support.hpp"
#include "test_support.hpp"

using namespace std::chrono_literals;
using namespace std::string_literals;

inline const std::string sandbox = ZELVO_SANDBOX;
inline const std::string program = ZELVO_SANDBOX_PROGRAM;
inline const std::string engine_ini = sandbox + "/etc/zelvo/zelvo32.ini";
inline const std::string settings_file = sandbox + "/etc/zelvo/zelvo-ivask.conf";
inline const std::string scanner_config = sandbox + "/tmp/.ivask_config";
inline const std::string scanner = sandbox + "/opt/zelvo/zelvo";
inline const std::string run_dir = sandbox + "/run";
inline const std::string run_lock = run_dir + "/zelvo-ivask.lock";
inline const std::string version_line = "zelvo-ivask for Linux, version " ZELVO_VERSION "\n";
inline const std::string typical_task = "IvaskPaths /home,/srv InfectedFiles 1 IncurableFiles 4";
// Every engine setting given once: no default is taken.
inline const std::string full_engine_ini = "[Scanner]\nVirusBase = /b\nTempPath = /t\nEnginePath = /e\nMoveFilesTo = /q\n";

inline std::vector<std::string> split_nul(const std::string& text) {
    std::vector<std::string> parts;
    std::string::size_type start = 0, end;
    while ((end = text.find('\0', start)) != std::string::npos) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The process tests run as pid 1 of a PID namespace of their own when the
// system allows it (see in_own_pid_namespace.sh): only there may a test
// signal a process it did not start, such as the scanner, since a fault can
// then reach no process outside.
inline bool in_own_pid_namespace() { return getpid() == 1; }
inline const char* const no_pid_namespace =
    "signals a process the test did not start: runs only in a PID namespace of its own, which "
    "unshare could not make here";

// The process's state letter from /proc ('T' stopped, 'Z' a zombie), or 0
// when it is gone.
inline char process_state(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const std::string::size_type paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

// The text with each holder's running time, as the turn's line names it
// ("(zelvo, for 3 s)"), shown as "(zelvo, for T)": it depends on the moment.
inline std::string with_times_masked(std::string text) {
    for (std::string::size_type at = 0; (at = text.find(", for ", at)) != std::string::npos;) {
        const std::string::size_type close = text.find(')', at);
        if (close == std::string::npos) break;
        text.replace(at, close - at, ", for T");
        at += 7;
    }
    return text;
}

// How often the process has given up the processor of its own accord: its
// wake-ups, as /proc counts them; -1 where it is gone.
inline long voluntary_switches(pid_t pid) {
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    const std::string::size_type at = status.find("\n" + key);
    return at == std::string::npos ? -1 : std::stol(status.substr(at + key.size() + 1));
}

// True while the process has a descriptor open on path.
inline bool has_open(pid_t pid, const std::string& path) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 64; ++fd) {
        char target[4096] = {};
        const ssize_t n = readlink((fds + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && path == target) return true;
    }
    return false;
}

// True once the process has ended (gone, or a zombie) within timeout.
inline bool process_ends(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const char state = process_state(pid);
        if (state == 0 || state == 'Z') return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// True once /proc/locks lists a lock the process holds (or, with waiting,
// a request of its that waits) within 10 s. The file may list other
// processes' locks too (on some kernels, those outside this PID namespace
// with pid 0), so only the process's own line tells that it has the lock.
inline bool await_lock(pid_t pid, bool waiting = false) {
    for (int i = 0; i < 2000; ++i) {
        std::istringstream locks(slurp("/proc/locks"));
        for (std::string line; std::getline(locks, line);) {
            std::istringstream fields(line);
            std::string number, kind, advisory, mode;
            long holder = -1;
            fields >> number >> kind;
            const bool waits = kind == "->";
            if (waits) fields >> kind;
            if (fields >> advisory >> mode >> holder && holder == pid && waits == waiting) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// What lies beside the config under a name made from its own: leftovers of
// a config write, or a directory moved aside.
inline std::vector<std::string> entries_beside_config() {
    std::vector<std::string> names;
    if (DIR* d = opendir((sandbox + "/tmp").c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(".ivask_config.", 0) == 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}
inline int temporaries_beside_config() { return static_cast<int>(entries_beside_config().size()); }
inline std::string only_entry_beside_config() {
    const std::vector<std::string> names = entries_beside_config();
    return names.size() == 1 ? names[0] : "";
}

class launch : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"", "/etc", "/etc/zelvo", "/opt", "/opt/zelvo", "/tmp", "/run"}) mkdir((sandbox + d).c_str(), 0755);
        agent_utils::write_file(engine_ini, "[Scanner]\nVirusBase = /bases/*.vdb\nTempPath = /scratch\n");
        shell("rm -rf '" + settings_file + "'");
        install_scanner();
        unlink(scanner_config.c_str());
        shell("rm -rf '" + scanner_config + "'.*");  // leftovers, and directories moved aside
    }
    void TearDown() override {
        stop_scanner();
        if (in_own_pid_namespace() && file_exists(seen.file("child"))) kill(child_pid(), SIGKILL);
    }

    static void install_scanner() {
        agent_utils::write_file(scanner, agent_utils::read_file(ZELVO_FAKE_SCANNER));
        chmod(scanner.c_str(), 0755);
    }

    // The fake scanner leaves what it saw in fake_dir (seen by default).
    process_options options(const std::string& mode = "record", const std::string& fake_dir = "") const {
        process_options o;
        // Where a run as another user than root takes its turn.
        o.env = {"ZELVO_FAKE_DIR=" + (fake_dir.empty() ? seen.path() : fake_dir), "ZELVO_FAKE_MODE=" + mode,
                 "XDG_RUNTIME_DIR=" + run_dir};
        return o;
    }
    process_options with_shim(const std::string& setting, const char* shim = ZELVO_LAUNCH_SHIM,
                              const std::string& mode = "record") const {
        process_options o = options(mode);
        o.env.push_back(std::string("LD_PRELOAD=") + shim);
        o.env.push_back("ZELVO_SHIM_MARK=" + seen.file("shim"));
        o.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        o.env.push_back(setting);
        return o;
    }
    run_result run(const std::string& socket, const std::string& task, const process_options& o) const {
        return run_program({program, socket}, task, o);
    }
    run_result run(const std::string& socket, const std::string& task) const { return run(socket, task, options()); }

    // A scanner that sleeps with a child that sleeps too, both keeping the
    // lock; with ignore_term, both ignore SIGTERM.
    process_options family(bool ignore_term) const {
        process_options o = options("sleep");
        o.env.push_back("ZELVO_FAKE_CHILD=1");
        if (ignore_term) o.env.push_back("ZELVO_FAKE_IGNORE_TERM=1");
        return o;
    }
    pid_t child_pid() const { return await_file(seen.file("child")) ? std::stoi(slurp(seen.file("child"))) : -1; }

    std::vector<std::string> scanner_argv() const { return split_nul(slurp(seen.file("argv"))); }
    bool scanner_started() const { return file_exists(seen.file("argv")); }
    pid_t scanner_pid() const { return await_file(seen.file("pid")) ? std::stoi(slurp(seen.file("pid"))) : -1; }
    void stop_scanner() const {
        if (in_own_pid_namespace() && file_exists(seen.file("pid"))) {
            const pid_t pid = std::stoi(slurp(seen.file("pid")));
            kill(pid, SIGCONT);
            kill(pid, SIGKILL);
        }
    }

    scratch_dir seen;
};

// The shipped program with its real paths, in a private mount namespace
// whose /etc/zelvo, /opt/zelvo and /tmp are test folders.
class shipped_program : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
        if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "unshare -m does not work here";
        for (const char* d : {"etc", "opt", "tmp"}) mkdir(root.file(d).c_str(), 0755);
        agent_utils::write_file(root.file("etc/zelvo32.ini"), "[Scanner]\nVirusBase = /bases/*.vdb\n");
        agent_utils::write_file(root.file("opt/zelvo"), agent_utils::read_file(ZELVO_FAKE_SCANNER));
        chmod(root.file("opt/zelvo").c_str(), 0755);
        // Reached as /mnt/zelvo-ivask inside, wherever the build tree lies.
        agent_utils::write_file(root.file("zelvo-ivask"), agent_utils::read_file(ZELVO_PROGRAM));
        chmod(root.file("zelvo-ivask").c_str(), 0755);
    }
    std::vector<std::string> in_private_root(const std::vector<std::string>& command) const {
        std::vector<std::string> argv = {ZELVO_PRIVATE_ROOT_SCRIPT, root.path()};
        argv.insert(argv.end(), command.begin(), command.end());
        return argv;
    }
    scratch_dir root;
};
