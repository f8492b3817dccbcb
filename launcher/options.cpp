#include "launcher/options.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "task/keyed_failure.hpp"

namespace {

// The table. A row's order is the order of the usage and of the dry run's
// setting lines.
const option_spec option_table[] = {
    {"-n", "--dry-run", nullptr, option_spec::switch_kind, "show what the run would do, and do nothing",
     &run_options::dry_run},
    {nullptr, "--strict", "Strict", option_spec::switch_kind, "refuse what the run would not take as written",
     &run_options::strict},
    {nullptr, "--follow", "Follow", option_spec::switch_kind, "wait for the scanner to end and end as it ended",
     &run_options::follow},
    {nullptr, "--syslog", "Syslog", option_spec::switch_kind, "log one line per run to syslog", &run_options::syslog},
    {"-w", "--wait", "Wait", option_spec::seconds_kind, "give up if the run's turn has not come by then",
     &run_options::wait},
    {nullptr, "--timeout", "Timeout", option_spec::seconds_kind, "end the scan once it has run so long (124)",
     &run_options::timeout},
    {nullptr, "--kill-after", "KillAfter", option_spec::seconds_kind, "kill the scan so long after it is ended",
     &run_options::kill_after},
};

const char wrong_count[] = "Wrong number of parameters";

bool is_version_switch(const std::string& arg) { return arg == "-v" || arg == "--version" || arg == "-V"; }

bool is_help_switch(const std::string& arg) { return arg == "-h" || arg == "--help"; }

bool names(const option_spec& option, const std::string& arg) {
    return (option.short_name != nullptr && arg == option.short_name) || arg == option.long_name;
}

std::string origin(run_options::origin_t from, const std::string& path) {
    switch (from) {
    case run_options::settings_file:
        return ", from " + path;
    case run_options::command_line:
        return ", from the command line";
    case run_options::built_in:
        break;
    }
    return ", built in";
}

std::string shown_value(const option_spec& option, int value) {
    if (option.kind == option_spec::switch_kind) return value != 0 ? "yes" : "no";
    return value < 0 ? "none" : std::to_string(value);
}

// "-w, --wait SECONDS" or "--strict, --no-strict": how the usage names it.
std::string spelled(const option_spec& option) {
    std::string name = option.short_name != nullptr ? std::string(option.short_name) + ", " : std::string();
    name += option.long_name;
    if (option.kind == option_spec::seconds_kind) name += " SECONDS";
    if (!option.negation().empty()) name += ", " + option.negation();
    return name;
}

}  // namespace

std::string option_spec::negation() const {
    if (kind != switch_kind || key == nullptr) return std::string();
    return "--no-" + std::string(long_name + 2);
}

option_rows all_options() { return {std::begin(option_table), std::end(option_table)}; }

int whole_seconds(const std::string& value, const std::string& what, bool none) {
    if (none && value == "none") return -1;
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        throw keyed_error(what + " takes a whole number of seconds, not \"" + value + "\"", what, value);
    return std::stoi(value);
}

command_line read_command_line(int argc, char** argv, run_options& options) {
    command_line command;
    if (argc < 2) throw std::runtime_error(wrong_count);
    if (argc == 2) {
        const std::string arg = argv[1];
        if (is_version_switch(arg)) command.kind = command_line::version;
        if (is_help_switch(arg)) command.kind = command_line::help;
        if (names(option_table[0], arg)) {
            command.kind = command_line::lone_dry_run;
            options.dry_run = {1, run_options::command_line};
        }
        command.socket_address = arg;
        return command;
    }
    for (int i = 1; i < argc - 1; ++i) {
        const std::string arg = argv[i];
        const option_spec* found = nullptr;
        int value = 0;
        for (const option_spec& option : all_options()) {
            if (option.kind == option_spec::switch_kind && names(option, arg)) {
                found = &option;
                value = 1;
            } else if (!option.negation().empty() && arg == option.negation()) {
                found = &option;
            } else if (option.kind == option_spec::seconds_kind && names(option, arg) && i + 1 < argc - 1) {
                found = &option;
                value = whole_seconds(argv[++i], option.long_name, true);
            }
            if (found != nullptr) break;
        }
        if (found == nullptr) throw std::runtime_error(wrong_count);
        options.*found->field = {value, run_options::command_line};
    }
    command.socket_address = argv[argc - 1];
    return command;
}

void apply_setting(const option_spec& option, const std::string& value, const std::string& path,
                   run_options& options) {
    int number = 0;
    if (option.kind == option_spec::seconds_kind) {
        try {
            number = whole_seconds(value, option.key, true);
        } catch (const keyed_error& e) {
            throw keyed_error(path + ": " + e.what(), option.key, value);
        }
    } else if (value == "yes" || value == "no") {
        number = value == "yes" ? 1 : 0;
    } else {
        throw keyed_error(path + ": " + option.key + " takes yes or no, not \"" + value + "\"", option.key, value);
    }
    run_options::setting& setting = options.*option.field;
    if (setting.from != run_options::command_line) setting = {number, run_options::settings_file};
}

std::string usage(const program_paths& paths) {
    std::string text =
        "Usage: zelvo-ivask SOCKET < TASK\n"
        "       zelvo-ivask [OPTION]... SOCKET < TASK\n"
        "       zelvo-ivask -V | -v | --version\n"
        "       zelvo-ivask -h | --help\n"
        "\n"
        "Runs one scan task for the management agent: SOCKET is the agent's socket\n"
        "address, standard input holds the task (IvaskPaths /home,/srv InfectedFiles 1).\n"
        "\n"
        "Options; before the colon, the key that sets one for every run in the settings\n"
        "file (an option wins over the file; SECONDS is a whole number, or none):\n";
    const std::string::size_type column = 27;
    for (const option_spec& option : all_options()) {
        std::string line = "  " + spelled(option);
        line.resize(std::max(column, line.size() + 2), ' ');
        if (option.key != nullptr) line += std::string(option.key) + ": ";
        text += line + option.help + "\n";
    }
    text += std::string("\nReads    ") + paths.settings_file + " (what an option sets, for every run)\n" +
            "Reads    " + paths.engine_ini + " (the engine's paths)\n" + "Writes   " + paths.scanner_config +
            " (the scanner config)\n" + "Starts   " + paths.scanner + " (the console scanner)\n" +
            "\nSee zelvo-ivask(1) for the task keys, output, signals and exit statuses.";
    return text;
}

std::vector<std::string> describe_settings(const run_options& options) {
    std::vector<std::string> lines;
    const bool by_force = options.timeout.from != run_options::built_in || options.kill_after.from != run_options::built_in;
    if (options.settings_path.empty() && !by_force) return lines;
    for (const option_spec& option : all_options()) {
        if (option.key == nullptr) continue;
        const run_options::setting& setting = options.*option.field;
        lines.push_back(std::string("setting ") + option.key + " = " + shown_value(option, setting.value) +
                        origin(setting.from, options.settings_path));
    }
    return lines;
}
