// Overlapping runs take turns. Every run writes the same scanner config path
// and the scanner reads it after it starts, so two runs at once could hand a
// scanner the other task's actions and exclusions.
//
// The turn is an exclusive flock() on a lock file that only the program's
// user can create: "zelvo-ivask.lock" in /run for root, in $XDG_RUNTIME_DIR
// for any other user. The directory must belong to that user and be writable
// by nobody else, and the file is opened without following links, created
// with mode 0600 and must be a regular file of the same owner, so no other
// local user can hold, plant or break it. Where no such lock can be had the
// run goes on without one.
//
// The turn lasts as long as the scan: the scanner inherits the lock (as a
// command run by flock(1) does), so it ends only once the program and its
// scanner have both ended. A run cancelled by a signal, or killed, keeps the
// next run waiting until its scanner has read its config and ended.
//
// The file holds the process id of the turn's holder as one line of text:
// the program's own once it has the turn, its scanner's once that has
// started. The id is for people and messages; the lock alone decides.
#pragma once

#include <string>

#include <sys/types.h>

class run_turn {
public:
    // Waits until no other run holds the turn: as long as it takes when
    // wait_seconds is negative, else at most that long (0: not at all).
    // Installs nothing: a signal that ends the program ends a waiting run as
    // well. Throws "the turn is still held by process <pid> after <N> s"
    // ("by process <pid>" left out when the file names none).
    explicit run_turn(int wait_seconds = -1);
    // Gives the turn to the next run, unless a scanner still holds it.
    ~run_turn();
    // The lock's descriptor (close-on-exec), for the scanner to inherit; -1
    // when the run goes on without a lock.
    int descriptor() const { return fd_; }
    // Names pid as the holder in the lock file (nothing without a lock).
    void record_holder(pid_t pid) const;
    run_turn(const run_turn&) = delete;
    run_turn& operator=(const run_turn&) = delete;

private:
    int fd_;
};

// For the dry run, without taking the turn or creating anything: "runs take
// turns by the lock <path>: the turn is free" (or "is held by process
// <pid>", "is held"), or "runs do not take turns here: <why>".
std::string describe_turn();
