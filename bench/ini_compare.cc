// The configuration library against the INI libraries people pick, each as a
// whole one-shot process (cold, the way the program uses it) on the same
// files: a realistic engine file and a generated 10 MB one. Rounds are
// interleaved so that drift hits every library alike; medians of three.
// Prints one table, for information.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "bench_data.hpp"

namespace {

struct library {
    const char* name;
    const char* stores;
    const char* loader;
};

const library libraries[] = {
    {"config_t::parse_ini_file", "everything", ZELVO_INI_LOAD},
    {"SimpleIni (multi-key)", "everything", ZELVO_SIMPLEINI_LOAD},
    {"Boost.PropertyTree read_ini", "everything", ZELVO_PTREE_LOAD},
    {"inih, counting only", "nothing", ZELVO_INIH_LOAD},
};

struct sample {
    double wall_ms = 0;   // the whole process
    double parse_us = 0;  // the parse alone, as the loader timed it
    double peak_mib = 0;
};

// One run of loader on file under the peak-memory probe.
sample run(const std::string& loader, const std::string& file) {
    const std::string out = "ini-compare.out", peak = "ini-compare.peak";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {ZELVO_RSS_PROBE, peak, loader, file};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    sample s;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) waitpid(pid, &status, 0);
    s.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        std::fprintf(stderr, "%s failed on %s\n", loader.c_str(), file.c_str());
        std::exit(1);
    }
    const std::string printed = agent_utils::read_file(out);
    s.parse_us = std::stod(printed.substr(printed.find(' ')));
    s.peak_mib = std::stod(agent_utils::read_file(peak)) / 1024;
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    const struct {
        const char* label;
        std::string path;
    } files[] = {
        {"engine file, 43 KB", generated_file("bench-engine.ini", make_engine_ini)},
        {"10 MB", ini_file(10 * MB)},
    };
    const int rounds = 3;
    std::printf("| file | library (Debian package) | stores | time | first parse | peak memory |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const auto& f : files) {
        std::vector<sample> samples[sizeof libraries / sizeof libraries[0]];
        for (int round = 0; round < rounds; ++round)
            for (std::size_t l = 0; l < sizeof libraries / sizeof libraries[0]; ++l)
                samples[l].push_back(run(libraries[l].loader, f.path));
        for (std::size_t l = 0; l < sizeof libraries / sizeof libraries[0]; ++l) {
            std::vector<double> wall, parse, peak;
            for (const sample& s : samples[l]) {
                wall.push_back(s.wall_ms);
                parse.push_back(s.parse_us);
                peak.push_back(s.peak_mib);
            }
            sample m;
            m.wall_ms = median(wall);
            m.parse_us = median(parse);
            m.peak_mib = median(peak);
            std::printf("| %s | %s | %s | %.1f ms | %.0f us | %.1f MiB |\n", f.label, libraries[l].name,
                        libraries[l].stores, m.wall_ms, m.parse_us, m.peak_mib);
        }
    }
    return 0;
}
