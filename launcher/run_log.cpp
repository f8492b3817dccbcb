#include "launcher/run_log.hpp"

#include <cstring>

#include <syslog.h>

#include "launcher/console.hpp"

namespace {

std::string joined(const std::vector<std::string>& items, const char* none) {
    if (items.empty()) return none;
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
}

std::string scanner_end(const run_end& end) {
    if (end.killed_by != 0) return "the scanner was killed by signal " + std::to_string(end.killed_by);
    return "the scanner exited with status " + std::to_string(end.exit_status);
}

}  // namespace

std::string describe_end(const run_end& end) {
    switch (end.outcome) {
    case run_outcome::scanned:
    case run_outcome::killed:
        return scanner_end(end);
    case run_outcome::timed_out: {
        char why[64];
        deadline_text(end.deadline, why, sizeof why);
        return failure_prefix + std::string(why);
    }
    case run_outcome::cancelled: {
        if (end.queued) return "signal " + std::to_string(end.cancel) + " ended the run before its turn";
        std::string passed_on = "signal " + std::to_string(end.cancel) + " was passed on to the scanner";
        if (end.exit_status < 0 && end.killed_by == 0) return passed_on;
        return passed_on + ", then " + scanner_end(end);
    }
    case run_outcome::not_started:
        return start_failure_prefix(end.status) + std::string(std::strerror(end.start_error));
    case run_outcome::busy:
    case run_outcome::failed:
        break;
    }
    return failure_prefix + std::string(end.why != nullptr ? end.why : "");
}

std::string log_text(const run_report& report, const run_end& end) {
    std::string line = "socket " + report.socket_address;
    if (report.translated)
        line += ", paths " + joined(report.scan_paths, "none") + ", actions " + joined(report.actions, "all Report");
    return line + ": " + describe_end(end);
}

void log_run(const run_report& report, const run_end& end) noexcept {
    try {
        const std::string line = escaped(log_text(report, end));
        openlog("zelvo-ivask", LOG_PID, LOG_DAEMON);
        syslog(end.error ? LOG_ERR : LOG_INFO, "%s", line.c_str());
        closelog();
    } catch (...) {  // out of memory: the run's own line has been printed
    }
}
