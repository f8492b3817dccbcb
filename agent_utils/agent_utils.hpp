// Whole-file reading and writing, quote stripping, and the C locale's
// whitespace.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace agent_utils {

// read_file()'s failure, "Failed to read file <path>", with why as data:
// the system's error number, EISDIR for a directory, 0 for another file
// that is not a regular file (a FIFO, a device).
class read_error : public std::runtime_error {
public:
    read_error(const std::string& path, int error_number)
        : std::runtime_error("Failed to read file " + path), error_number_(error_number) {}
    int error_number() const { return error_number_; }

private:
    int error_number_;
};

// The file's whole content, byte for byte, read to its end (files under
// /proc included). Throws read_error when it cannot be read whole (missing,
// unreadable) or is not a regular file (a directory, a FIFO, a device): it
// never waits for a writer and never reads an endless device.
std::string read_file(const std::string& path);

// Replaces the file at path with content. The content goes to a new file
// made beside it, which then takes path's place in one step: whatever
// stood at path (a link, a FIFO, another user's file, even a directory) is
// replaced, never followed, reused or entered, wherever the program may
// remove it (another user's in a sticky folder only as root). What it was is removed,
// except a directory with content, which is left beside path under a name
// of its own. The new file has mode 0644 less the umask. Throws
// std::runtime_error "Failed to write file <path>" on any failure (missing
// directory, full disk, a file-size limit) and leaves no temporary behind
// and whatever was at path as it was. Signals are held back while the
// temporary file exists, so none can end the program before it is in place
// or removed; they take effect as soon as write_file returns. SIGXFSZ, when
// not ignored, ends the program then.
void write_file(const std::string& path, const std::string& content);

// Whether write_file(path, ...) may put a new file at path, by the rules
// the write meets before it writes: the effective user may create a file in
// path's folder, and whatever stands at path may give way (in a folder with
// the sticky bit, only what that user owns, in a folder that user owns, or
// for root). A full disk or a file-size limit still fails the write.
bool may_replace(const std::string& path);

// Appends everything that can be read from fd until its end to out. False
// after a read error, with errno telling which (out then holds what came
// before it). Interrupted reads are resumed, and a non-blocking fd is waited
// for, never taken to have ended.
bool read_all(int fd, std::string& out);

// Writes all size bytes of data to fd, resuming after short writes and
// interruptions and waiting for a non-blocking fd. False on a write error.
bool write_all(int fd, const char* data, std::size_t size);

// Whitespace of the "C" locale (blank, tab, LF, VT, FF, CR); bytes above
// 0x7F never are.
inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Removes one pair of matching surrounding quotes (both " or both ') from a
// text of at least three characters; anything else stays as it is.
void kill_quotes(std::string& text);

}  // namespace agent_utils
