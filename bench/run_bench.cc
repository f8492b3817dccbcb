// One whole run of the program (engine INI, a typical task, the config
// written, a scanner that ends at once, its end noticed) against a minimal
// fork/exec/wait launcher and `sh -c` starting the same scanner; the same
// program with lazy binding shows what immediate binding costs, and the same
// reading a realistic 43 KB engine INI what the INI reader costs a run. The runs are
// interleaved, so drift on a shared machine hits all of them alike; what is
// reported are medians and their ratios, and the program's peak memory.
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
#include "bench_data.hpp"

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
    mkdir((root + "/engine").c_str(), 0755);
    agent_utils::write_file(root + "/engine/zelvo32.ini", make_engine_ini());
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
    const std::vector<std::string> args = {"-ini=" + root + "/tmp/.ivask_config", "-a=/run/agent.sock",
                                           "-path=/home", "-path=/srv", "-path=/var/www"};
    std::vector<std::string> launcher = {ZELVO_MIN_LAUNCHER, scanner, root + "/tmp/.ivask_config"};
    launcher.insert(launcher.end(), args.begin(), args.end());
    std::string shell_command = scanner;
    for (const std::string& a : args) shell_command += " " + a;
    const std::vector<std::string> programs[] = {
        {ZELVO_BENCH_PROGRAM, "/run/agent.sock"},
        {ZELVO_BENCH_PROGRAM_DYNAMIC, "/run/agent.sock"},
        launcher,
        {"/bin/sh", "-c", shell_command},
        {ZELVO_BENCH_PROGRAM_LAZY, "/run/agent.sock"},
        {ZELVO_BENCH_PROGRAM_ENGINE_INI, "/run/agent.sock"},
    };
    const int count = sizeof programs / sizeof programs[0];
    std::vector<double> times[count];
    // An earlier build of the program, when make bench could build one: run
    // in the same rounds, so that the two meet the same machine.
    const char* reference = std::getenv("ZELVO_REFERENCE_PROGRAM");
    const bool with_reference = reference != nullptr && reference[0] != '\0';
    std::vector<double> reference_times;
    for (auto _ : state) {
        for (int round = 0; round < 400; ++round) {
            for (int p = 0; p < count; ++p) times[p].push_back(run(programs[p]).micros);
            if (with_reference) reference_times.push_back(run({reference, "/run/agent.sock"}).micros);
        }
    }
    const double launcher_us = median(times[2]);
    if (with_reference) {
        const double reference_us = median(reference_times);
        state.counters["reference_us"] = reference_us;
        state.counters["ratio_reference_launcher"] = reference_us / launcher_us;
        state.counters["vs_reference"] = median(times[0]) / reference_us;
    }
    state.counters["program_us"] = median(times[0]);
    state.counters["program_dynamic_us"] = median(times[1]);
    state.counters["program_lazy_us"] = median(times[4]);
    state.counters["launcher_us"] = launcher_us;
    state.counters["sh_us"] = median(times[3]);
    state.counters["ratio"] = median(times[0]) / launcher_us;
    state.counters["ratio_dynamic"] = median(times[1]) / launcher_us;
    state.counters["ratio_lazy"] = median(times[4]) / launcher_us;
    state.counters["engine_ini_vs_four_keys"] = median(times[5]) / median(times[0]);
    state.counters["ratio_sh"] = median(times[3]) / launcher_us;
    state.counters["peak_rss_kib"] = peak_rss_kib(programs[0]);
    state.counters["peak_rss_dynamic_kib"] = peak_rss_kib(programs[1]);
    state.counters["peak_rss_launcher_kib"] = peak_rss_kib(launcher);
}

}  // namespace

BENCHMARK(BM_whole_run)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
