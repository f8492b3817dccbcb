// A scanner stand-in that the process tests control through its environment
// (which it inherits from the program):
//   ZELVO_FAKE_DIR   where it leaves what it saw: "argv" (NUL-separated),
//                    "config" (a copy of its -ini= file), "start" (signal
//                    state at start), "fds" (what descriptors 0, 1 and 2
//                    are), "open" (every descriptor it started with, one
//                    line each: number and target), "pid", "signal" (a
//                    signal it received)
//   ZELVO_FAKE_DELAY_MS  milliseconds to sleep before it reads its config
//                    (signals it catches do not cut it short)
//   ZELVO_FAKE_MODE  record (default): record and exit
//                    wait: catch SIGINT, SIGTERM, SIGHUP and SIGQUIT from
//                          its start on; record, then wait for one
//                    sleep: record, then sleep with every signal as it
//                          started (a relayed signal at its default ends it)
//                    stop: record, stop itself, exit once continued
//                    worker: record, leave a worker behind that keeps
//                          every descriptor and sleeps ("worker": its pid),
//                          and exit
//   ZELVO_FAKE_LINGER=1  in wait mode, once a signal came, stay until a file
//                    "release" appears in ZELVO_FAKE_DIR; then "count" says
//                    how many SIGINT and SIGTERM it caught in all
//   ZELVO_FAKE_EXIT  its exit status (default 0)
//   ZELVO_FAKE_CHILD=1   in sleep or wait mode, first fork a child that keeps
//                    every descriptor and sleeps with every signal at its
//                    default but SIGTERM where ignored ("child": its pid)
//   ZELVO_FAKE_IGNORE_TERM=1  ignore SIGTERM (the child too)
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <unistd.h>

namespace {

std::string dir;
volatile sig_atomic_t received = 0;
volatile sig_atomic_t received_count = 0;

void put(const std::string& name, const std::string& content) {
    std::ofstream(dir + "/" + name + ".part", std::ios::binary) << content;
    std::rename((dir + "/" + name + ".part").c_str(), (dir + "/" + name).c_str());
}

std::string disposition(int signal_number) {
    struct sigaction action;
    sigaction(signal_number, nullptr, &action);
    if (action.sa_handler == SIG_IGN) return "ignored";
    if (action.sa_handler == SIG_DFL) return "default";
    return "caught";
}

std::string signal_state() {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    std::ostringstream out;
    out << "blocked:";
    for (int s = 1; s < 32; ++s)
        if (sigismember(&mask, s)) out << ' ' << s;
    out << "\nINT " << disposition(SIGINT) << "\nTERM " << disposition(SIGTERM) << "\nCHLD "
        << disposition(SIGCHLD) << "\nPIPE " << disposition(SIGPIPE) << "\nXFSZ " << disposition(SIGXFSZ) << '\n';
    return out.str();
}

// "<fd> <target>" for each descriptor open now, but the one that lists them.
std::string open_fds() {
    std::string out;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return out;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        out += std::string(entry->d_name) + " " + (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?") + "\n";
    }
    closedir(dir);
    return out;
}

// One line per standard descriptor: what it refers to, or "closed".
std::string standard_fds() {
    std::string out;
    for (int fd = 0; fd <= 2; ++fd) {
        char target[256] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        out += std::to_string(fd) + " " + (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "closed") + "\n";
    }
    return out;
}

void on_signal(int s) {
    received = s;
    received_count = received_count + 1;
}

bool enabled(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Gives up after 30 s.
template <class Done> void wait_until(Done done) {
    for (int i = 0; i < 3000 && !done(); ++i) usleep(10000);
}

}  // namespace

int main(int argc, char** argv) {
    const char* d = std::getenv("ZELVO_FAKE_DIR");
    const char* m = std::getenv("ZELVO_FAKE_MODE");
    const char* e = std::getenv("ZELVO_FAKE_EXIT");
    const char* delay = std::getenv("ZELVO_FAKE_DELAY_MS");
    const std::string fds = standard_fds();  // before this program opens anything
    const std::string all_fds = open_fds();
    const std::string mode = m ? m : "record";
    const int status = e ? std::atoi(e) : 0;
    const std::string start = signal_state();
    if (mode == "wait") {
        for (int caught : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(caught, on_signal);
    }
    if (enabled("ZELVO_FAKE_IGNORE_TERM")) std::signal(SIGTERM, SIG_IGN);
    if (d) {
        dir = d;
        std::string args;
        for (int i = 0; i < argc; ++i) args.append(argv[i]).push_back('\0');
        put("argv", args);
        put("start", start);
        if (mode != "record") put("pid", std::to_string(getpid()));
        put("fds", fds);
        put("open", all_fds);
        if (delay) {  // the whole delay, even when a signal comes meanwhile
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(delay));
            while (std::chrono::steady_clock::now() < until) usleep(1000);
        }
        for (int i = 1; i < argc; ++i) {
            if (std::strncmp(argv[i], "-ini=", 5) != 0) continue;
            std::ifstream in(argv[i] + 5, std::ios::binary);
            std::ostringstream copy;
            copy << in.rdbuf();
            put("config", copy.str());
        }
    }
    std::cout << "scanner ran" << std::endl;

    if (d && (mode == "sleep" || mode == "wait") && enabled("ZELVO_FAKE_CHILD") && fork() == 0) {
        for (int caught : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(caught, SIG_DFL);
        if (enabled("ZELVO_FAKE_IGNORE_TERM")) std::signal(SIGTERM, SIG_IGN);
        put("child", std::to_string(getpid()));
        wait_until([] { return false; });
        return status;
    }

    if (mode == "wait") {
        wait_until([] { return received != 0; });
        if (d && received) put("signal", std::to_string(received));
        if (d && enabled("ZELVO_FAKE_LINGER")) {
            wait_until([] { return access((dir + "/release").c_str(), F_OK) == 0; });
            put("count", std::to_string(received_count));
        }
    } else if (mode == "sleep") {
        wait_until([] { return false; });
    } else if (mode == "stop") {
        raise(SIGSTOP);
    } else if (mode == "worker" && fork() == 0) {
        put("worker", std::to_string(getpid()));
        wait_until([] { return false; });
    }
    return status;
}
