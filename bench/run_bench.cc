// One whole run of the program (engine INI, a typical task, the config
// written, a scanner that ends at once, its end noticed), as built by default
// and with the C++ runtime linked in, against a minimal fork/exec/wait
// launcher starting the same scanner. The runs are interleaved, so drift on a
// shared machine hits all of them alike; what is reported are medians and
// their ratios, the peak memory of each, and how often the program wakes
// while a scanner runs for a second (it waits in sigsuspend: never).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"

namespace {

const std::string root = ZELVO_BENCH_ROOT;
const std::string task_file = root + "/task.txt";
const char* const typical_task =
    "IvaskPaths /home,/srv,/var/www ExcludeFileAndPaths /home/tmp,/srv/cache ScanInteractive 0 "
    "ScanRemovable 0 ScanFixed 1 ScanHeuristic 1 CheckContainer 1 CheckEMailFiles 0 CheckArchives 1 "
    "FollowSymbolicLinks 0 MaxCompressionRatio 100 MaxSizeToExtract 1048576 MaxArchLevel 8 "
    "MaxTimeMills 60000 RatioCheckThreshold 4096 ActionDialers 8 InfectedFiles 1 IncurableFiles 4 "
    "ActionAdware 2 ActionInfectedMail 0 ActionInfectedArchive 4 ActionInfectedContainer 2 "
    "SuspiciousFiles 2 ActionJokes 8 ActionRiskware 0 ActionHacktools 4\n";

void prepare() {
    for (const char* d : {"", "/etc", "/etc/zelvo", "/opt", "/opt/zelvo", "/tmp", "/run"}) mkdir((root + d).c_str(), 0755);
    agent_utils::write_file(root + "/etc/zelvo/zelvo32.ini",
                            "[Scanner]\nVirusBase = /var/zelvo/bases/*.vdb\nTempPath = /tmp\n"
                            "EnginePath = /var/zelvo/lib/zelvo32.dll\nMoveFilesTo = /var/zelvo/infected\n");
    agent_utils::write_file(root + "/opt/zelvo/zelvo", agent_utils::read_file(ZELVO_NULL_SCANNER));
    chmod((root + "/opt/zelvo/zelvo").c_str(), 0755);
    agent_utils::write_file(task_file, typical_task);
}

struct sample {
    double micros;
};

// Starts argv with the task on standard input and nothing on standard
// output, and waits for it.
sample run(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, task_file.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (std::string& a : copy) args.push_back(&a[0]);
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) return {-1};
    int status;
    waitpid(pid, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    // The scanner the program starts is left to init: reap nothing else.
    return {std::chrono::duration<double, std::micro>(end - start).count()};
}

// Peak resident set of one run of argv, in KiB.
double peak_rss_kib(const std::vector<std::string>& argv) {
    const std::string out = root + "/rss";
    std::vector<std::string> probe = {ZELVO_RSS_PROBE, out};
    probe.insert(probe.end(), argv.begin(), argv.end());
    run(probe);
    return std::stod(agent_utils::read_file(out));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_whole_run(benchmark::State& state) {
    prepare();
    const std::string scanner = root + "/opt/zelvo/zelvo";
    const std::vector<std::string> launcher = {ZELVO_MIN_LAUNCHER, scanner, root + "/tmp/.ivask_config",
                                               "-ini=" + root + "/tmp/.ivask_config", "-a=/run/agent.sock",
                                               "-path=/home", "-path=/srv", "-path=/var/www"};
    const std::vector<std::string> programs[] = {
        {ZELVO_BENCH_PROGRAM, "/run/agent.sock"},
        {ZELVO_BENCH_PROGRAM_STATIC_RUNTIME, "/run/agent.sock"},
        launcher,
    };
    const int count = sizeof programs / sizeof programs[0];
    std::vector<double> times[count];
    for (auto _ : state) {
        for (int round = 0; round < 400; ++round)
            for (int p = 0; p < count; ++p) times[p].push_back(run(programs[p]).micros);
    }
    const double launcher_us = median(times[2]);
    state.counters["program_us"] = median(times[0]);
    state.counters["program_static_runtime_us"] = median(times[1]);
    state.counters["launcher_us"] = launcher_us;
    state.counters["ratio"] = median(times[0]) / launcher_us;
    state.counters["ratio_static_runtime"] = median(times[1]) / launcher_us;
    state.counters["peak_rss_kib"] = peak_rss_kib(programs[0]);
    state.counters["peak_rss_static_runtime_kib"] = peak_rss_kib(programs[1]);
    state.counters["peak_rss_launcher_kib"] = peak_rss_kib(launcher);
}

// How often the program wakes while the scanner runs: the waiting scanner
// counts it from the program's context switches over one second.
void BM_wakeups_while_waiting(benchmark::State& state) {
    prepare();
    const std::string scanner = root + "/opt/zelvo/zelvo";
    const std::string wakeups = root + "/wakeups";
    agent_utils::write_file(scanner, agent_utils::read_file(ZELVO_WAITING_SCANNER));
    chmod(scanner.c_str(), 0755);
    setenv("ZELVO_BENCH_WAKEUPS", wakeups.c_str(), 1);
    double total = 0;
    for (auto _ : state) {
        run({ZELVO_BENCH_PROGRAM, "/run/agent.sock"});
        total += std::stod(agent_utils::read_file(wakeups));
    }
    state.counters["wakeups_per_second"] = total / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_whole_run)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_wakeups_while_waiting)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
