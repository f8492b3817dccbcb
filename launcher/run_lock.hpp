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
#pragma once

class run_turn {
public:
    // Waits until no other run holds the turn. Installs nothing: a signal
    // that ends the program ends a waiting run as well.
    run_turn();
    // Gives the turn to the next run, unless a scanner still holds it.
    ~run_turn();
    // The lock's descriptor (close-on-exec), for the scanner to inherit; -1
    // when the run goes on without a lock.
    int descriptor() const { return fd_; }
    run_turn(const run_turn&) = delete;
    run_turn& operator=(const run_turn&) = delete;

private:
    int fd_;
};
