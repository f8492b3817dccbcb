#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent_utils/agent_utils.hpp"
#include "test_support.hpp"

namespace {

TEST(kill_quotes, RemovesOneMatchingPairFromTextsOfThreeOrMore) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"\"abc\"", "abc"},     {"'abc'", "abc"},         {"\"a\"", "a"},
        {"\"\"", "\"\""},       {"''", "''"},             {"\"abc'", "\"abc'"},
        {" \"abc\"", " \"abc\""}, {"\"\"abc\"\"", "\"abc\""}, {"\"a\"b\"", "a\"b"},
        {"", ""},               {"abc", "abc"},           {"\"abc", "\"abc"},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        agent_utils::kill_quotes(text);
        EXPECT_EQ(c.out, text) << c.in;
    }
}

std::string message_of(void (*action)(const std::string&), const std::string& path) {
    try {
        action(path);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

void read_only(const std::string& path) { agent_utils::read_file(path); }
void write_x(const std::string& path) { agent_utils::write_file(path, "x"); }

// Names in dir other than the ones listed: leftovers of a failed write.
int entries_in(const std::string& dir) {
    int count = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++count;
        closedir(d);
    }
    return count;
}

TEST(file_utils, ReadAndWriteAreByteExact) {
    scratch_dir dir;
    const std::string content("a\0b\r\n\xff\0", 7);
    for (const std::string& text : {content, std::string(), std::string(200000, 'z')}) {
        agent_utils::write_file(dir.file("f"), text);
        EXPECT_EQ(text, agent_utils::read_file(dir.file("f")));
    }
    agent_utils::write_file(dir.file("f"), "longer content");
    agent_utils::write_file(dir.file("f"), "short");
    EXPECT_EQ("short", agent_utils::read_file(dir.file("f")));
    EXPECT_EQ(1, entries_in(dir.path()));
}

TEST(file_utils, FailuresNameThePath) {
    scratch_dir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    EXPECT_EQ("Failed to read file " + dir.file("missing"), message_of(read_only, dir.file("missing")));
    EXPECT_EQ("Failed to read file " + dir.file("sub"), message_of(read_only, dir.file("sub")));
    EXPECT_EQ("Failed to write file " + dir.file("no/such"), message_of(write_x, dir.file("no/such")));
    EXPECT_EQ("Failed to write file " + dir.file("sub/no/such"), message_of(write_x, dir.file("sub/no/such")));
    EXPECT_EQ(1, entries_in(dir.path()));  // only sub: no temporary left behind
    EXPECT_EQ(0, entries_in(dir.file("sub")));
}

// Whatever stands at the path gives way to the new file in one step; a
// directory with content is moved aside whole, never entered.
TEST(file_utils, WriteTakesThePlaceOfWhateverStandsThere) {
    const struct {
        const char* planted;
        int left_beside;  // entries besides the new file afterwards
    } cases[] = {{"empty directory", 0}, {"full directory", 1}, {"fifo", 0}, {"file", 0}};
    for (const auto& c : cases) {
        scratch_dir dir;
        const std::string path = dir.file("config");
        const std::string planted = c.planted;
        if (planted == "fifo") {
            ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
        } else if (planted == "file") {
            dir.write("config", "old");
        } else {
            ASSERT_EQ(0, mkdir(path.c_str(), 0755));
            if (planted == "full directory") dir.write("config/inside", "kept");
        }
        agent_utils::write_file(path, "new");
        EXPECT_EQ("new", agent_utils::read_file(path)) << planted;
        EXPECT_EQ(1 + c.left_beside, entries_in(dir.path())) << planted;
        if (c.left_beside == 0) continue;
        std::string aside;
        DIR* d = opendir(dir.path().c_str());
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind("config.", 0) == 0) aside = e->d_name;
        closedir(d);
        EXPECT_EQ("kept", agent_utils::read_file(dir.file(aside + "/inside"))) << "the directory aside lost its content";
    }
}

TEST(file_utils, ReadRefusesAnythingButARegularFileWithoutWaiting) {
    scratch_dir dir;
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0644));  // nobody writes: open would wait forever
    for (const std::string& path : {dir.file("fifo"), std::string("/dev/null"), std::string("/dev/zero")})
        EXPECT_EQ("Failed to read file " + path, message_of(read_only, path));
    // Files under /proc tell a size of 0 and are still read to their end.
    EXPECT_NE(std::string::npos, agent_utils::read_file("/proc/self/status").find("\nPid:"));
}

TEST(file_utils, WriteReplacesAPlantedLinkWithoutFollowingIt) {
    scratch_dir dir;
    const std::string target = dir.write("victim", "precious");
    ASSERT_EQ(0, symlink(target.c_str(), dir.file("config").c_str()));
    ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()));
    agent_utils::write_file(dir.file("config"), "new");
    agent_utils::write_file(dir.file("dangling"), "new");
    EXPECT_EQ("precious", agent_utils::read_file(target));
    EXPECT_EQ(-1, access(dir.file("nowhere").c_str(), F_OK));
    struct stat info = {};
    ASSERT_EQ(0, lstat(dir.file("config").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ("new", agent_utils::read_file(dir.file("config")));
}

TEST(file_utils, NewFileIsOursAndNeverWritableByOthers) {
    scratch_dir dir;
    const std::string path = dir.write("config", "old");
    chmod(path.c_str(), 0666);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
    }
    const mode_t old_mask = umask(0);
    agent_utils::write_file(path, "new");
    umask(027);
    agent_utils::write_file(dir.file("masked"), "new");
    umask(old_mask);
    struct stat info = {};
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 07777);
    EXPECT_EQ(geteuid(), info.st_uid);
    ASSERT_EQ(0, stat(dir.file("masked").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
    if (!root) GTEST_SKIP() << "not root: a file owned by another user could not be planted";
}

TEST(file_utils, NoDescriptorStaysOpenOnAnyWayOut) {
    scratch_dir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    const std::string file = dir.write("f", "content");
    const struct {
        void (*action)(const std::string&);
        std::string path;
    } cases[] = {
        {read_only, file},            // read whole
        {read_only, dir.file("sub")},  // opened, then refused
        {write_x, file},              // written and renamed
        {write_x, dir.file("sub")},   // written, rename refused
    };
    for (const auto& c : cases) {
        const int before = entries_in("/proc/self/fd");
        for (int i = 0; i < 3; ++i) message_of(c.action, c.path);
        EXPECT_EQ(before, entries_in("/proc/self/fd")) << c.path;
    }
}

void on_signal(int) {}

// A reader that falls behind: write_all must wait for it, through
// interruptions, and never give up while the reader is there.
TEST(file_utils, WriteAllWaitsForASlowReaderThroughInterruptions) {
    struct sigaction action = {}, previous = {};
    action.sa_handler = on_signal;  // no SA_RESTART: blocked calls fail with EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
    alarm(20);  // a write_all that never returns fails the test instead of hanging it
    for (const bool nonblocking : {false, true}) {
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        // Fill the pipe, so that the next write waits.
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        const std::string chunk(4096, 'f');
        std::size_t filled = 0;
        while (write(fds[1], chunk.data(), chunk.size()) > 0) filled += chunk.size();
        if (!nonblocking) fcntl(fds[1], F_SETFL, 0);

        const pthread_t writer = pthread_self();
        std::size_t drained = 0;
        std::thread reader([&] {
            for (int i = 0; i < 5; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                pthread_kill(writer, SIGUSR1);
            }
            char buffer[65536];
            ssize_t n;
            while ((n = read(fds[0], buffer, sizeof buffer)) > 0) drained += static_cast<std::size_t>(n);
        });
        const std::string text(100000, 't');
        EXPECT_TRUE(agent_utils::write_all(fds[1], text.data(), text.size())) << "non-blocking: " << nonblocking;
        close(fds[1]);
        reader.join();
        close(fds[0]);
        EXPECT_EQ(filled + text.size(), drained) << "non-blocking: " << nonblocking;
    }
    alarm(0);
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
