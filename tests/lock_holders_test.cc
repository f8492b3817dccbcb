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
