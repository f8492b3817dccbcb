// What the turn's line says of the process that holds it.
#include <gtest/gtest.h>

#include "launcher/lock_holders.hpp"
#include "process_support.hpp"

#include <unistd.h>

namespace {

TEST(lock_holders, RunningTimeIsRoundedDownToItsLargestUnit) {
    const struct {
        long seconds;
        const char* shown;
    } cases[] = {{0, "0 s"},    {59, "59 s"},    {60, "1 min"},  {3599, "59 min"},
                 {3600, "1 h"}, {86399, "23 h"}, {86400, "1 d"}, {864000, "10 d"}};
    for (const auto& c : cases) EXPECT_EQ(c.shown, rounded_duration(c.seconds)) << c.seconds;
}

// The turn is a flock(): a POSIX or an open file description's lock, a
// lease, a request still waiting are not it.
TEST(lock_holders, OnlyAGrantedFlockIsTheTurn) {
    const struct {
        const char* line;
        bool flock_granted;
        const char* file;
    } cases[] = {
        {"1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF", true, "fe:00:1234"},
        {"\t12: FLOCK  ADVISORY  WRITE 4242 08:01:99 0 EOF", true, "08:01:99"},
        {"1: POSIX  ADVISORY  WRITE 4242 fe:00:1234 0 EOF", false, "fe:00:1234"},
        {"2: OFDLCK ADVISORY  WRITE -1 fe:00:1234 1 1", false, "fe:00:1234"},
        {"3: LEASE  ACTIVE    READ 4242 fe:00:1234 0 EOF", false, "fe:00:1234"},
        {"1: -> FLOCK  ADVISORY  WRITE 4243 fe:00:1234 0 EOF", false, ""},
        {"FLOCK ADVISORY WRITE 4242 fe:00:1234", false, ""},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        const lock_line lock = read_lock_line(c.line);
        EXPECT_EQ(c.flock_granted, lock.flock_granted) << c.line;
        EXPECT_EQ(c.file, lock.file) << c.line;
    }
}

TEST(lock_holders, ProcessIsSummarizedByItsNameAndTime) {
    const process_summary self = summarize_process(getpid());
    ASSERT_TRUE(self.known);
    std::string comm = slurp("/proc/self/comm");
    comm.resize(comm.find('\n'));
    EXPECT_EQ(comm, self.name);
    EXPECT_GE(self.seconds, 0);
    EXPECT_LT(self.seconds, 3600);
    EXPECT_FALSE(summarize_process(-1).known);
}

}  // namespace
