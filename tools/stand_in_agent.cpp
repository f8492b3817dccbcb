// A stand-in for the management agent, for the demo and for trying the
// program out by hand.
//
//   zelvo-stand-in-agent PROGRAM [TASK_FILE]
//
// Makes a Unix socket in a private temporary directory, starts PROGRAM with
// its address, writes the task (TASK_FILE, or a built-in sample) to its
// standard input, and prints what the scanner reports over the socket and
// what the program prints. Ctrl-C is passed on to the program. At the end it
// prints the program's exit status and a short report.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"

namespace {

volatile sig_atomic_t interrupt_requested = 0;
void on_interrupt(int) { interrupt_requested = 1; }

const char* const sample_task =
    "IvaskPaths /usr/share/doc ExcludeFileAndPaths /usr/share/doc/zelvo ScanHeuristic 1 CheckArchives 1 "
    "InfectedFiles 1 IncurableFiles 4 MaxArchLevel 8";

std::string fail_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Splits what arrives on a descriptor into lines, each printed with a prefix.
struct line_source {
    int fd;
    std::string prefix;
    std::string pending;
    bool from_program;

    // False once the other end has closed.
    bool pump(std::vector<std::string>& lines) {
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) return errno == EINTR || errno == EAGAIN;
        if (n > 0) pending.append(buffer, static_cast<std::size_t>(n));
        std::string::size_type end;
        while ((end = pending.find('\n')) != std::string::npos) {
            lines.push_back(pending.substr(0, end));
            std::cout << prefix << pending.substr(0, end) << std::endl;
            pending.erase(0, end + 1);
        }
        if (n == 0 && !pending.empty()) {
            lines.push_back(pending);
            std::cout << prefix << pending << std::endl;
            pending.clear();
        }
        return n > 0;
    }
};

int listen_on(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0)
        throw std::runtime_error(fail_text("cannot listen on " + path));
    return fd;
}

pid_t start_program(const std::string& program, const std::string& socket_path, int& to_stdin, int& from_stdout) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(fail_text("pipe"));
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(fail_text("fork"));
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execl(program.c_str(), program.c_str(), socket_path.c_str(), static_cast<char*>(nullptr));
        std::cerr << "cannot start " << program << ": " << std::strerror(errno) << std::endl;
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_stdin = in[1];
    from_stdout = out[0];
    return pid;
}

std::string describe(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: " << argv[0] << " PROGRAM [TASK_FILE]" << std::endl;
        return 2;
    }
    char dir_template[] = "/tmp/zelvo-agent.XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        std::cerr << "mkdtemp: " << std::strerror(errno) << std::endl;
        return 1;
    }
    const std::string socket_path = std::string(dir) + "/agent.sock";
    int status = 0;
    try {
        const std::string task = argc == 3 ? agent_utils::read_file(argv[2]) : std::string(sample_task);
        (void)signal(SIGPIPE, SIG_IGN);
        struct sigaction action = {};
        action.sa_handler = on_interrupt;
        sigaction(SIGINT, &action, nullptr);

        const int listener = listen_on(socket_path);
        int to_stdin = -1, from_stdout = -1;
        std::cout << "agent: starting " << argv[1] << " " << socket_path << std::endl;
        // One task, on one line: its line ends shown as \n.
        std::string shown;
        for (const char c : task) {
            if (c == '\n')
                shown += "\\n";
            else
                shown += c;
        }
        std::cout << "agent: task: " << shown << std::endl;
        const pid_t pid = start_program(argv[1], socket_path, to_stdin, from_stdout);
        const ssize_t written = write(to_stdin, task.data(), task.size());
        (void)written;
        close(to_stdin);

        // The program's output, then one source per scanner connection.
        std::vector<line_source> sources = {{from_stdout, "program: ", "", true}};
        std::vector<std::string> scanner_lines;
        bool program_done = false;
        // Ends when the program has ended and the scanner's report is
        // complete: the program's output and every connection closed, and
        // none waiting to be accepted (a scanner connects before it reports,
        // and ends before the output it shares with the program closes); or
        // when everything has gone quiet (a scanner told to stop may linger
        // for a while).
        for (int quiet_rounds = 0;;) {
            if (interrupt_requested && !program_done) {
                std::cout << "agent: passing Ctrl-C on to the program" << std::endl;
                kill(pid, SIGINT);
                interrupt_requested = 0;
            }
            std::vector<pollfd> fds = {{listener, POLLIN, 0}};
            for (const line_source& s : sources) fds.push_back({s.fd, POLLIN, 0});
            const int ready = poll(fds.data(), fds.size(), 50);
            quiet_rounds = ready > 0 ? 0 : quiet_rounds + 1;
            for (std::size_t i = sources.size(); i-- > 0;) {
                if (!(fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                std::vector<std::string> lines;
                const bool open = sources[i].pump(lines);
                if (!sources[i].from_program) scanner_lines.insert(scanner_lines.end(), lines.begin(), lines.end());
                if (!open) {
                    close(sources[i].fd);
                    sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            if (fds[0].revents & POLLIN) {
                const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) sources.push_back({client, "scanner: ", "", false});
            }
            if (!program_done && waitpid(pid, &status, WNOHANG) == pid) program_done = true;
            if (program_done && ((sources.empty() && !(fds[0].revents & POLLIN)) || quiet_rounds > 20)) break;
        }
        std::cout << "agent: the program ended with " << describe(status) << std::endl;
        for (const line_source& s : sources) close(s.fd);
        close(listener);

        unsigned scanned = 0, found = 0;
        for (const std::string& line : scanner_lines) {
            if (line.compare(0, 8, "scanned ") == 0) ++scanned;
            if (line.compare(0, 6, "found ") == 0) ++found;
        }
        std::cout << "agent: report: " << scanned << " files scanned, " << found << " found; program "
                  << describe(status) << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "agent: " << e.what() << std::endl;
        status = 1 << 8;
    }
    unlink(socket_path.c_str());
    rmdir(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
