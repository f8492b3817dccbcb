// Whole-file reading and writing, and quote stripping.
#pragma once

#include <cstddef>
#include <string>

namespace agent_utils {

// The file's whole content, byte for byte. Throws std::runtime_error
// "Failed to read file <path>" when it cannot be read whole (missing,
// unreadable, a directory).
std::string read_file(const std::string& path);

// Replaces the file at path with content. The content goes to a new file
// created exclusively beside it, which is then renamed over path: whatever
// stood at path (a link, another user's file) is replaced, never followed or
// reused. The new file has mode 0644 less the umask. Throws
// std::runtime_error "Failed to write file <path>" on any failure (missing
// directory, full disk, a directory at path) and leaves no temporary behind.
void write_file(const std::string& path, const std::string& content);

// Appends everything that can be read from fd until its end to out. False
// after a read error (out then holds what came before it).
bool read_all(int fd, std::string& out);

// Writes all size bytes of data to fd, resuming after short writes and
// interruptions. False on a write error.
bool write_all(int fd, const char* data, std::size_t size);

// Removes one pair of matching surrounding quotes (both " or both ') from a
// text of at least three characters; anything else stays as it is.
void kill_quotes(std::string& text);

}  // namespace agent_utils
