// Who holds a flock() on a file, from the kernel's own record, as lslocks
// and fuser find it: the lock belongs to an open file, and every process
// with a descriptor of that open file holds it (a scanner's worker that
// inherited it, flock(1) and the command it runs). The id the lock was taken
// under is not used: that process may have ended and its id been reused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

// The processes, lowest id first, that have a descriptor carrying a
// flock() on the file open as fd: /proc/<pid>/fdinfo/<n> shows a "lock:"
// line of the FLOCK kind for each; a POSIX or open-file-description lock on
// the file is not the turn. Processes whose descriptors this one may not
// read are left out, so the list may be empty although the file is locked.
std::vector<pid_t> lock_holders(int fd);

// Whether the kernel lists a flock() granted on the file open as fd
// (/proc/locks, which everyone may read), whoever holds it.
bool flock_granted(int fd);

// One line of the kernel's list of locks, or of a descriptor's record after
// its "lock:" ("1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"): whether
// it is a flock() granted (not POSIX, not an open file description's, not a
// request still waiting, "1: -> FLOCK ..."), and the file it is on
// ("fe:00:1234", major and minor device and inode), a view into line.
struct lock_line {
    bool flock_granted = false;
    std::string_view file;
};
lock_line read_lock_line(std::string_view line);

// What /proc says of a running process: its command name and how long it
// has run, in whole seconds. known is false where it cannot be read (the
// process has ended, or its record cannot be read).
struct process_summary {
    bool known = false;
    std::string name;
    long seconds = 0;
};
process_summary summarize_process(pid_t pid);

// "3 h": seconds in the largest unit that fits (s, min, h, d), rounded down.
std::string rounded_duration(long seconds);
