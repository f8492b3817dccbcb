// Running a program as the agent does: arguments, environment, a task on
// standard input, its output and status collected with a deadline.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct process_options {
    std::vector<std::string> env;      // NAME=value added to the current environment
    std::vector<int> ignored_signals;  // start the program with these ignored
    std::vector<int> blocked_signals;  // and these blocked
    // How the agent may hand over the program's descriptors and limits.
    std::vector<int> closed_fds;     // closed at start (0, 1, 2)
    std::string stdin_path;          // standard input opened from this path instead of the pipe
    bool stdin_nonblocking = false;  // the task pipe is non-blocking
    bool stdout_gone = false;        // nobody reads standard output: its read end is closed at once
    bool fsize_limit_zero = false;   // RLIMIT_FSIZE 0
    bool core_files = false;         // RLIMIT_CORE as high as allowed: a crash may leave a core file
    std::vector<int> null_fds;       // given open on /dev/null at these numbers
    rlim_t stack_limit = 0;          // RLIMIT_STACK, where not 0
    uid_t user = 0;                  // run as this user (root only; 0 keeps the current one)
    std::string cwd;                 // start in this folder instead of the current one
};

class child_process {
public:
    child_process(const std::vector<std::string>& argv, const process_options& options = process_options()) {
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> env_strings;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool overridden = false;
            for (const std::string& o : options.env)
                overridden = overridden || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
            if (!overridden) env_strings.push_back(entry);
        }
        env_strings.insert(env_strings.end(), options.env.begin(), options.env.end());
        std::vector<char*> args, envp;
        std::vector<std::string> arg_copy = argv;
        for (std::string& a : arg_copy) args.push_back(&a[0]);
        args.push_back(nullptr);
        for (std::string& e : env_strings) envp.push_back(&e[0]);
        envp.push_back(nullptr);

        if (options.stdin_nonblocking) fcntl(in[0], F_SETFL, O_NONBLOCK);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (!options.stdin_path.empty()) {
                const int fd = open(options.stdin_path.c_str(), O_RDONLY);
                if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
            }
            for (int fd : options.closed_fds) close(fd);
            for (int fd : options.null_fds) {
                const int null_fd = open("/dev/null", O_RDWR);
                if (null_fd < 0 || dup2(null_fd, fd) < 0) _exit(126);
                if (null_fd != fd) close(null_fd);
            }
            if (options.stack_limit != 0) {
                const struct rlimit stack = {options.stack_limit, options.stack_limit};
                if (setrlimit(RLIMIT_STACK, &stack) != 0) _exit(126);
            }
            signal(SIGPIPE, SIG_DFL);
            for (int s : options.ignored_signals) signal(s, SIG_IGN);
            sigset_t mask;
            sigemptyset(&mask);
            for (int s : options.blocked_signals) sigaddset(&mask, s);
            sigprocmask(SIG_SETMASK, &mask, nullptr);
            if (options.fsize_limit_zero) {
                const struct rlimit none = {0, 0};
                setrlimit(RLIMIT_FSIZE, &none);
            }
            if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
            if (options.core_files) {
                struct rlimit core = {};
                getrlimit(RLIMIT_CORE, &core);
                core.rlim_cur = core.rlim_max;
                setrlimit(RLIMIT_CORE, &core);
            }
            if (options.user != 0 && setuid(options.user) != 0) _exit(126);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        fcntl(stdout_, F_SETFL, O_NONBLOCK);
        if (options.stdout_gone) {
            close(stdout_);
            stdout_ = -1;
        }
    }
    ~child_process() {
        if (stdin_ >= 0) close(stdin_);
        if (stdout_ >= 0) close(stdout_);
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }

    // Writes the task and closes standard input. A program that never reads
    // it (a refused command line) is not an error.
    void feed(const std::string& input) {
        std::size_t done = 0;
        while (done < input.size()) {
            const ssize_t n = write(stdin_, input.data() + done, input.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        close(stdin_);
        stdin_ = -1;
    }

    // Writes the task a byte at a time, each a write of its own a moment
    // after the last, so that the program reads one byte at a time; then
    // closes standard input.
    void feed_bytewise(const std::string& input) {
        for (const char c : input) {
            if (write(stdin_, &c, 1) != 1) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(stdin_);
        stdin_ = -1;
    }

    // Waits up to timeout for the program to end. Returns false when it is
    // still running. Its output so far is collected either way.
    bool wait_for(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!ended_) {
            drain();
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                ended_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                core_dumped_ = WIFSIGNALED(status) && WCOREDUMP(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            pollfd p = {stdout_, POLLIN, 0};
            poll(&p, 1, 5);
        }
        drain();
        return true;
    }

    // Exit status, or minus the signal that killed it.
    int status() const { return status_; }
    bool core_dumped() const { return core_dumped_; }
    const std::string& output() const { return output_; }

private:
    void drain() {
        if (stdout_ < 0) return;
        char buffer[4096];
        ssize_t n;
        while ((n = read(stdout_, buffer, sizeof buffer)) > 0) output_.append(buffer, static_cast<std::size_t>(n));
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool ended_ = false;
    int status_ = 0;
    bool core_dumped_ = false;
    std::string output_;
};

struct run_result {
    bool ended;
    int status;
    std::string output;
};

inline run_result run_program(const std::vector<std::string>& argv, const std::string& input,
                              const process_options& options = process_options(),
                              std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    child_process p(argv, options);
    p.feed(input);
    const bool ended = p.wait_for(timeout);
    return {ended, p.status(), p.output()};
}

inline bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Waits until the file exists; false after timeout.
inline bool await_file(const std::string& path, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!file_exists(path)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
