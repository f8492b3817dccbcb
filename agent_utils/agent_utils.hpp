// Whole-file reading and writing, and quote stripping.
#pragma once

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

// Removes one pair of matching surrounding quotes (both " or both ') from a
// text of at least three characters; anything else stays as it is.
void kill_quotes(std::string& text);

}  // namespace agent_utils
