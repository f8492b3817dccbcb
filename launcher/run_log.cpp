#include "launcher/run_log.hpp"

#include <syslog.h>

#include "launcher/console.hpp"

namespace {

std::string joined(const std::vector<std::string>& items, const char* none) {
    if (items.empty()) return none;
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
}

}  // namespace

std::string describe_outcome(const scan_outcome& outcome) {
    const std::string value = std::to_string(outcome.value);
    switch (outcome.kind) {
    case scan_outcome::exited:
        return "the scanner exited with status " + value;
    case scan_outcome::killed:
        return "the scanner was killed by signal " + value;
    case scan_outcome::passed_on:
        return "signal " + value + " was passed on to the scanner";
    case scan_outcome::not_started:
        break;
    }
    return start_failure_line(outcome.value, outcome.error);
}

void log_run(const run_report& report, bool failed, const std::string& ending) noexcept {
    try {
        std::string line = "socket " + report.socket_address;
        if (report.translated)
            line += ", paths " + joined(report.scan_paths, "none") + ", actions " + joined(report.actions, "all Report");
        line += ": " + ending;
        openlog("zelvo-ivask", LOG_PID, LOG_DAEMON);
        syslog(failed ? LOG_ERR : LOG_INFO, "%s", escaped(line).c_str());
        closelog();
    } catch (...) {  // out of memory: the run's own line has been printed
    }
}
