// A stand-in for the console scanner, for the demo and for trying the
// program out on a machine without the scanning product.
//
//   <config> -ini=<config file> -a=<agent socket> [-path=<path>]...
//
// Reads its [Scanner] config with the project's configuration library,
// connects to the agent's Unix socket, walks each path (leaving out the
// ExcludePaths, following symbolic links only with FollowLinks = yes) and
// reports one line per file, plus a "found" line for each file holding the
// standard anti-virus test string, naming the action InfectedFiles asks for.
// It only reports: it never changes, moves or deletes anything.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <list>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "config/config.hpp"

namespace {

volatile sig_atomic_t interrupted = 0;
void on_interrupt(int) { interrupted = 1; }

// The standard test string, assembled here so that this source file is not
// itself taken for a test virus.
std::string test_string() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!" + "$H+H*";
}

struct options_t {
    std::string config_path;
    std::string socket_path;
    std::vector<std::string> paths;
};

struct scan_config_t {
    std::vector<std::string> exclude;
    bool follow_links = false;
    std::string infected_action = "Report";
};

options_t parse_arguments(int argc, char** argv) {
    options_t o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, 5, "-ini=") == 0)
            o.config_path = arg.substr(5);
        else if (arg.compare(0, 3, "-a=") == 0)
            o.socket_path = arg.substr(3);
        else if (arg.compare(0, 6, "-path=") == 0)
            o.paths.push_back(arg.substr(6));
        else
            throw std::runtime_error("unknown argument " + arg);
    }
    if (o.config_path.empty() || o.socket_path.empty()) throw std::runtime_error("needs -ini= and -a=");
    return o;
}

scan_config_t read_config(const std::string& path) {
    config_t config;
    config.parse_ini_file(path);
    scan_config_t c;
    const auto exclude = config.params.find(ci_string("Scanner/ExcludePaths"));
    if (exclude != config.params.end())
        for (const std::string& p : exclude->second.values)
            if (!p.empty()) c.exclude.push_back(p);
    std::string follow;
    config.get("Scanner/FollowLinks", follow, "no", true);
    c.follow_links = follow == "yes";
    config.get("Scanner/InfectedFiles", c.infected_action, "Report", true);
    return c;
}

class agent_link {
public:
    explicit agent_link(const std::string& socket_path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (socket_path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
        std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + socket_path + ": " + std::strerror(errno));
    }
    ~agent_link() { close(fd_); }
    agent_link(const agent_link&) = delete;
    agent_link& operator=(const agent_link&) = delete;
    void send(const std::string& line) {
        const std::string text = line + "\n";
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("the agent went away");
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_ = -1;
};

class walker {
public:
    walker(const scan_config_t& config, agent_link& agent) : config_(config), agent_(agent) {}

    void walk(const std::string& path) {
        if (interrupted) return;
        if (excluded(path)) {
            agent_.send("skipped " + path + " (ExcludePaths)");
            return;
        }
        struct stat info = {};
        struct stat link_info = {};
        if (lstat(path.c_str(), &link_info) != 0) return;
        if (S_ISLNK(link_info.st_mode) && !config_.follow_links) return;
        if (stat(path.c_str(), &info) != 0) return;
        if (!visited_.insert(std::make_pair(info.st_dev, info.st_ino)).second) return;  // a loop
        if (S_ISDIR(info.st_mode)) {
            std::vector<std::string> names;
            if (DIR* dir = opendir(path.c_str())) {
                while (dirent* e = readdir(dir))
                    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
                closedir(dir);
            }
            std::sort(names.begin(), names.end());
            const std::string prefix = path == "/" ? path : path + "/";
            for (const std::string& name : names) walk(prefix + name);
        } else if (S_ISREG(info.st_mode)) {
            scan_file(path);
        }
    }
    unsigned scanned() const { return scanned_; }
    unsigned found() const { return found_; }

private:
    bool excluded(const std::string& path) const {
        for (const std::string& e : config_.exclude)
            if (path == e || (path.compare(0, e.size(), e) == 0 && (e.back() == '/' || path[e.size()] == '/')))
                return true;
        return false;
    }
    void scan_file(const std::string& path) {
        ++scanned_;
        std::string content;
        try {
            content = agent_utils::read_file(path);
        } catch (const std::exception&) {
            agent_.send("unreadable " + path);
            return;
        }
        agent_.send("scanned " + path);
        if (content.find(test_string()) != std::string::npos) {
            ++found_;
            agent_.send("found " + path + " EICAR-Test-File action=" + config_.infected_action);
        }
    }

    const scan_config_t& config_;
    agent_link& agent_;
    std::set<std::pair<dev_t, ino_t>> visited_;
    unsigned scanned_ = 0;
    unsigned found_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    (void)std::signal(SIGINT, on_interrupt);
    (void)std::signal(SIGTERM, on_interrupt);
    try {
        const options_t options = parse_arguments(argc, argv);
        const scan_config_t config = read_config(options.config_path);
        agent_link agent(options.socket_path);
        walker w(config, agent);
        for (const std::string& path : options.paths) w.walk(path);
        if (interrupted) {
            agent.send("interrupted after " + std::to_string(w.scanned()) + " files");
            return 1;
        }
        agent.send("summary scanned=" + std::to_string(w.scanned()) + " found=" + std::to_string(w.found()));
        return 0;
    } catch (const std::exception& e) {
        std::cout << "stand-in scanner: " << e.what() << std::endl;
        return 3;
    }
}
