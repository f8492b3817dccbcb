// Overlapping runs take turns. Every run writes the same scanner config path
// and the scanner reads it after it starts, so two runs at once could hand a
// scanner the other task's actions and exclusions.
//
// The turn is an exclusive flock() on a lock file that only the program's
// user can create: "zelvo-ivask.lock" in root's folder (/run for the
// shipped program) for root, in $XDG_RUNTIME_DIR for any other user. The directory must belong to that user and be writable
// by nobody else, and the file is opened without following links, created
// with mode 0600 and must be a regular file of the same owner, so no other
// local user can hold, plant or break it. Where no such lock can be had the
// run goes on without one.
//
// The turn lasts as long as the scan: the scanner inherits the lock (as a
// command run by flock(1) does) and, once it has started, holds it alone, so
// the turn ends when the scanner, and any process of its own that kept the
// descriptor, have ended. A run cancelled by a signal, or killed, keeps the
// next run waiting until its scanner has read its config and ended.
//
// Who holds the turn comes from the kernel (see lock_holders.hpp), never
// from the file, which stays empty: a process id written there would outlive
// the process and could name another one that reuses it.
#pragma once

#include <stdexcept>
#include <string>

#include <sys/types.h>

// A run that gave up waiting for its turn: worth trying again later, unlike
// every other failure.
class turn_still_held : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class run_turn {
public:
    // Waits until no other run holds the turn: as long as it takes when
    // wait_seconds is negative, else at most that long (0: not at all),
    // blocked in flock() until then. Installs nothing that outlasts the
    // wait: a signal that ends the program ends a waiting run as well.
    // Throws turn_still_held("the turn is still held by process <pid> after
    // <N> s"; "by process <pid> and <M> more" where several hold it, "held"
    // alone where none can be seen). Where no lock can be had the run goes
    // on without one, unless required: then it throws "runs do not take
    // turns here: <why>", in describe_turn()'s words.
    // root_dir is the lock's folder for root.
    run_turn(const std::string& root_dir, int wait_seconds, bool required);
    // Gives the turn to the next run, unless a scanner still holds it.
    ~run_turn();
    // The lock's descriptor (close-on-exec), for the scanner to inherit; -1
    // when the run goes on without a lock.
    int descriptor() const { return fd_; }
    // Closes the program's own descriptor once the scanner holds the lock
    // through its copy: the scanner is then the turn's only holder.
    void hand_over();
    run_turn(const run_turn&) = delete;
    run_turn& operator=(const run_turn&) = delete;

private:
    int fd_;
};

// For the dry run, without taking any lock or creating anything: "runs take
// turns by the lock <path>: the turn is free" (or "is held by process
// <pid>", "... and <M> more", "is held"), or "runs do not take turns here:
// <why>", with which of the two it is.
struct turn_description {
    bool runs_take_turns;
    std::string text;
};
turn_description describe_turn(const std::string& root_dir);
