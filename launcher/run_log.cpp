#include "launcher/run_log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "launcher/console.hpp"

namespace {

// A key, a value or the socket address longer than this, escaped, is cut
// and ends in "...", so that the fields before the paths always stand whole.
const std::size_t longest_value = 160;

const char* outcome_word(run_outcome outcome) {
    switch (outcome) {
    case run_outcome::scanned: return "scanned";
    case run_outcome::cancelled: return "cancelled";
    case run_outcome::timed_out: return "timed-out";
    case run_outcome::killed: return "killed";
    case run_outcome::busy: return "busy";
    case run_outcome::not_started: return "not-started";
    case run_outcome::failed: break;
    }
    return "failed";
}

const char* cause_word(run_cause cause) {
    switch (cause) {
    case run_cause::arguments: return "arguments";
    case run_cause::settings: return "settings";
    case run_cause::engine_ini: return "engine-ini";
    case run_cause::task: return "task";
    case run_cause::lock: return "lock";
    case run_cause::config: return "config";
    case run_cause::start: return "start";
    case run_cause::none: break;
    }
    return "none";
}

// The byte as the line shows it, as the dry run escapes: printable ASCII as
// it is, the backslash doubled, a control character as "\n" or "\x1b", every
// byte from 0x80 as "\xff"; in a list item the comma too, as "\x2c", so that
// the items stand apart; in a quoted value the quote as "\"". Returns the
// length written into out (4 at most).
std::size_t escape_byte(char c, bool list_item, bool quoted, char* out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\\' && !(list_item && c == ',') && !(quoted && c == '"')) {
        out[0] = c;
        return 1;
    }
    return c_escape(c, out);
}

std::size_t escaped_length(std::string_view text, bool list_item, bool quoted) {
    char scratch[4];
    std::size_t length = 0;
    for (const char c : text) length += escape_byte(c, list_item, quoted, scratch);
    return length;
}

// logfmt quotes a value that is empty or holds a blank, a quote or "=".
bool needs_quotes(std::string_view text) { return text.empty() || text.find_first_of(" \"=") != std::string_view::npos; }

// Writes into a fixed buffer; a piece that does not fit is left out whole.
class line_writer {
public:
    line_writer(char* out, std::size_t size) : out_(out), size_(size) { out_[0] = '\0'; }
    std::size_t used() const { return used_; }
    std::size_t room() const { return size_ - 1 - used_; }
    void put(std::string_view text) {
        if (text.size() > room()) return;
        std::memcpy(out_ + used_, text.data(), text.size());
        used_ += text.size();
        out_[used_] = '\0';
    }
    // The text escaped; stops before the first byte that would pass limit
    // bytes.
    void put_escaped(std::string_view text, bool list_item, bool quoted, std::size_t limit) {
        char piece[4];
        for (const char c : text) {
            const std::size_t n = escape_byte(c, list_item, quoted, piece);
            if (n > limit || n > room()) return;
            limit -= n;
            put(std::string_view(piece, n));
        }
    }

private:
    char* out_;
    std::size_t size_;
    std::size_t used_ = 0;
};

void put_number(line_writer& line, const char* name, long long number) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%s%s=%lld", line.used() > 0 ? " " : "", name, number);
    if (n > 0) line.put(std::string_view(text, static_cast<std::size_t>(n)));
}

// " name=value", escaped, quoted where logfmt needs it, cut at longest_value.
void put_value(line_writer& line, const char* name, std::string_view value) {
    const bool quoted = needs_quotes(value);
    line.put(" ");
    line.put(name);
    line.put(quoted ? "=\"" : "=");
    if (escaped_length(value, false, quoted) <= longest_value) {
        line.put_escaped(value, false, quoted, longest_value);
    } else {
        line.put_escaped(value, false, quoted, longest_value - 3);
        line.put("...");
    }
    if (quoted) line.put("\"");
}

bool list_needs_quotes(const std::vector<std::string>& items) {
    if (items.empty()) return true;
    for (const std::string& item : items)
        if (needs_quotes(item)) return true;
    return false;
}

// The length of " name=" and the items, quoted, all of them.
std::size_t whole_list_length(const char* name, const std::vector<std::string>& items) {
    const bool quoted = list_needs_quotes(items);
    std::size_t length = 2 + std::strlen(name) + (quoted ? 2 : 0);
    for (std::size_t i = 0; i < items.size(); ++i) length += (i > 0 ? 1 : 0) + escaped_length(items[i], true, quoted);
    return length;
}

// " +9998 more" after shown items, or "+10000 more" alone.
int more_text(std::size_t shown, std::size_t left, char (&text)[32]) {
    return std::snprintf(text, sizeof text, "%s+%zu more", shown > 0 ? " " : "", left);
}

// " name=a,b,c", or where it would pass budget, as many items as fit and
// " +N more", quoted.
void put_list(line_writer& line, const char* name, const std::vector<std::string>& items, std::size_t budget) {
    std::size_t count = items.size();
    bool quoted = list_needs_quotes(items);
    char more[32];
    if (whole_list_length(name, items) > budget) {
        quoted = true;
        const std::size_t fixed = 4 + std::strlen(name);  // " name=" and the quotes
        std::size_t length = 0;
        count = 0;
        while (count < items.size()) {
            const std::size_t next = length + (count > 0 ? 1 : 0) + escaped_length(items[count], true, true);
            if (fixed + next + static_cast<std::size_t>(more_text(count + 1, items.size() - count - 1, more)) > budget)
                break;
            length = next;
            ++count;
        }
    }
    line.put(" ");
    line.put(name);
    line.put(quoted ? "=\"" : "=");
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) line.put(",");
        line.put_escaped(items[i], true, quoted, line.room());
    }
    if (count < items.size()) {
        const int n = more_text(count, items.size() - count, more);
        if (n > 0) line.put(std::string_view(more, static_cast<std::size_t>(n)));
    }
    if (quoted) line.put("\"");
}

long long milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// Sends the datagram to the syslog socket, waiting for room at most a second
// in all; a stream socket (as some daemons make) gets it with a NUL after it.
void send_to_syslog(const char* datagram, std::size_t length) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    int fd = -1;
    bool stream = false;
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
            (type == SOCK_STREAM && (errno == EINPROGRESS || errno == EAGAIN)))
            break;
        const int error = errno;
        close(fd);
        fd = -1;
        if (error != EPROTOTYPE) return;
        stream = true;
    }
    if (fd < 0) return;
    std::size_t sent = 0, total = length + (stream ? 1 : 0);  // the NUL after the line
    while (sent < total) {
        const ssize_t n = send(fd, datagram + sent, total - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0 && (stream || static_cast<std::size_t>(n) == total)) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) || left.count() <= 0) break;
        pollfd ready = {fd, POLLOUT, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) == 0) break;
        // Ready, or said so too soon: a short pause keeps a retry from spinning.
        const struct timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
    }
    close(fd);
}

}  // namespace

std::size_t log_fields(const run_report& report, const run_end& end, std::chrono::steady_clock::time_point now,
                       char* out, std::size_t size) noexcept {
    line_writer line(out, size);
    line.put("outcome=");
    line.put(outcome_word(end.outcome));
    put_number(line, "status", end.status);
    if (end.exit_status >= 0) put_number(line, "scanner_status", end.exit_status);
    const bool cancelled = end.outcome == run_outcome::cancelled || end.outcome == run_outcome::timed_out;
    if (cancelled && end.cancel != 0) put_number(line, "signal", end.cancel);
    if (!cancelled && end.killed_by != 0) put_number(line, "signal", end.killed_by);
    if (cancelled && end.killed_by != 0) put_number(line, "scanner_signal", end.killed_by);
    if (end.cause != run_cause::none) {
        line.put(" cause=");
        line.put(cause_word(end.cause));
    }
    if (!end.key.empty()) put_value(line, "key", end.key);
    if (!end.key.empty() && !end.value.empty()) put_value(line, "value", end.value);
    put_number(line, "duration_ms", milliseconds(now - report.started));
    const std::chrono::steady_clock::time_point never{};
    if (report.turn_asked != never)
        put_number(line, "waited_ms",
                   milliseconds((report.turn_had != never ? report.turn_had : now) - report.turn_asked));
    if (report.scanner > 0) put_number(line, "scanner", report.scanner);
    if (report.socket_given) put_value(line, "socket", report.socket_address);
    if (!report.translated) return line.used();
    // The paths and the actions share what is left: each list takes what it
    // needs where it needs at most half.
    const std::size_t room = line.room();
    const std::size_t paths = whole_list_length("paths", report.scan_paths);
    const std::size_t actions = whole_list_length("actions", report.actions);
    std::size_t paths_budget = room / 2;
    if (paths <= room / 2)
        paths_budget = paths;
    else if (actions <= room / 2)
        paths_budget = room - actions;
    put_list(line, "paths", report.scan_paths, paths_budget);
    put_list(line, "actions", report.actions, line.room());
    return line.used();
}

std::size_t log_datagram(const run_report& report, const run_end& end, char* out) noexcept {
    const time_t now = time(nullptr);
    struct tm local = {};
    char stamp[32] = "Jan  1 00:00:00";
    if (localtime_r(&now, &local) != nullptr || gmtime_r(&now, &local) != nullptr)
        (void)strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    const int header = std::snprintf(out, log_line_limit, "<%d>%s zelvo-ivask[%ld]: ",
                                     LOG_DAEMON | (end.error ? LOG_ERR : LOG_INFO), stamp, static_cast<long>(getpid()));
    if (header <= 0 || static_cast<std::size_t>(header) >= log_line_limit) return 0;
    const std::size_t at = static_cast<std::size_t>(header);
    return at + log_fields(report, end, std::chrono::steady_clock::now(), out + at, log_line_limit + 1 - at);
}

void log_run(const run_report& report, const run_end& end) noexcept {
    char datagram[log_line_limit + 1];
    const std::size_t length = log_datagram(report, end, datagram);
    if (length > 0) send_to_syslog(datagram, length);
}
