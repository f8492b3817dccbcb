// Who holds a flock() on a file, from the kernel's own record, as lslocks
// and fuser find it: the lock belongs to an open file, and every process
// with a descriptor of that open file holds it (a scanner's worker that
// inherited it, flock(1) and the command it runs). The id the lock was taken
// under is not used: that process may have ended and its id been reused.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// The processes, lowest id first, that have a descriptor carrying a lock
// on the file open as fd: /proc/<pid>/fdinfo/<n> shows a "lock:" line for
// each. Processes whose descriptors this one may not read are left out, so
// the list may be empty although the file is locked.
std::vector<pid_t> lock_holders(int fd);

// Whether the kernel lists a flock() granted on the file open as fd
// (/proc/locks, which everyone may read), whoever holds it.
bool flock_granted(int fd);

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
