/* What opening a container leaves on the backend and reads from it:
 * nothing until a writer's first write, which makes its logs and records
 * it as open; truncations and syncs of writers that have not written yet;
 * the merge at open of the logs of few writers and of many. */
#include "container_test_util.h"

#include "Util.h"
#include "container/Layout.h"

#include <algorithm>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace vesk_test;

namespace {

class ContainerOpen : public ContainerMount {
protected:
    std::set<std::string> logs(const std::string &rel) {
        return list(vesk_cont::hostdir(backend(rel), vesk_cont::host()));
    }
    std::set<std::string> open_writers(const std::string &rel) {
        return list(backend(rel) + "/openwriters");
    }
    static std::string of(pid_t pid) { return std::to_string(pid); }
};

TEST_F(ContainerOpen, OpensThatNeverWriteLeaveNothingBehind) {
    // A file made and closed (an MPI library's lock test, touch): only the
    // marker, through a sync as well.
    pid_t me = getpid();
    Vesk_fd *fd = open("made", O_WRONLY | O_CREAT, me);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ((std::set<std::string>{".vesk_container"}), list(backend("made")));
    EXPECT_EQ(0, size_of("made"));
    EXPECT_EQ(0, fd->sync(me));
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ((std::set<std::string>{".vesk_container"}), list(backend("made")));
    EXPECT_EQ("", read_all("made"));
    EXPECT_EQ(0, containerfs.unlink(L("made").c_str()));
    EXPECT_EQ(nullptr, open("made", O_RDONLY));

    // Another writer opens a written file and leaves: the file is the same
    // and carries nothing of it.
    pid_t other = me + 1000;
    write_file_at("data", "hello", 0);
    std::set<std::string> before = logs("data");
    fd = open("data", O_RDWR, other);
    ASSERT_NE(nullptr, fd);
    EXPECT_TRUE(open_writers("data").empty());
    char buf[8] = {};
    EXPECT_EQ(5, fd->read(buf, sizeof buf, 0));
    EXPECT_EQ(0, fd->close(other, getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ(before, logs("data"));
    for (const std::string &m : list(backend("data") + "/meta"))
        EXPECT_EQ(std::string::npos, m.find("." + of(other) + ".")) << m;
    EXPECT_EQ("hello", read_all("data"));
    EXPECT_EQ(5, size_of("data"));
}

// A file made for reading and writing starts with nothing to merge; what
// is written after, by its own handle or another writer of this process,
// and by another process before a later open, reads back.
TEST_F(ContainerOpen, AFileMadeForReadingReadsWhatIsWrittenAfter) {
    pid_t me = getpid(), other = me + 1000;
    Vesk_fd *fd = open("rw", O_RDWR | O_CREAT | O_EXCL, me);
    ASSERT_NE(nullptr, fd);
    char buf[16] = {};
    EXPECT_EQ(0, fd->read(buf, sizeof buf, 0));
    ASSERT_EQ(3, fd->write("abc", 3, 0, me));
    EXPECT_EQ(3, fd->read(buf, sizeof buf, 0));
    EXPECT_EQ("abc", std::string(buf, 3));
    write_file_at("rw", "xyz", 8, O_WRONLY, other);
    ASSERT_EQ(11, fd->read(buf, sizeof buf, 0));
    EXPECT_EQ(std::string("abc\0\0\0\0\0xyz", 11), std::string(buf, 11));

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Vesk_fd *c = nullptr;
        int r = containerfs.open(&c, L("rw").c_str(), O_WRONLY, getpid(), 0644, nullptr);
        if (r != 0 || c->write("Q", 1, 4, getpid()) != 1) _exit(2);
        _exit(c->close(getpid(), getuid(), O_WRONLY, nullptr) == 0 ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(0, fd->close(me, getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ(std::string("abc\0Q\0\0\0xyz", 11), read_all("rw"));
}

// Which paths the library flushes to disk.
std::vector<std::string> g_fsynced;
int noting_fsync(int fd) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    g_fsynced.push_back(n > 0 ? std::string(path, (size_t)n) : "?");
    return fsync(fd);
}

// Making a file flushes nothing: a file made and removed unsynced (an MPI
// library's lock test at every open, temporary files) costs no disk
// flush. Its first sync makes the marker's text durable before the names,
// and so does a rename of a file never synced.
// A file is made aside and renamed into place; a name taken meanwhile keeps
// what took it, an empty directory too (rename(2) would replace that).
std::string g_taken;
int taking_rename2(const char *from, const char *to, unsigned flags) {
    if (!g_taken.empty() && g_taken == to) ::mkdir(to, 0755);
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
}

TEST_F(ContainerOpen, ANameTakenWhileTheFileIsMadeKeepsWhatTookIt) {
    Util::syscalls().rename2 = taking_rename2;
    g_taken = backend("raced");
    int r = 0;
    Vesk_fd *fd = open("raced", O_RDWR | O_CREAT, getpid(), 0644, &r);
    EXPECT_EQ(nullptr, fd);
    EXPECT_EQ(-EISDIR, r);
    g_taken = backend("raced_excl");
    fd = open("raced_excl", O_RDWR | O_CREAT | O_EXCL, getpid(), 0644, &r);
    EXPECT_EQ(nullptr, fd);
    EXPECT_EQ(-EEXIST, r);
    g_taken.clear();
    Util::resetSyscalls();
    for (const char *name : {"raced", "raced_excl"}) {
        struct stat st;
        ASSERT_EQ(0, lstat(backend(name).c_str(), &st)) << name;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << name;
        EXPECT_EQ(std::set<std::string>{}, list(backend(name))) << name << " was replaced";
    }
    for (const std::string &b : {b0, b1})
        EXPECT_EQ(std::vector<std::string>{}, staged_entries(b)) << b;
}

TEST_F(ContainerOpen, MakingAFileFlushesNothingUntilItsFirstSyncOrRename) {
    pid_t me = getpid();
    auto marker_of = [&](const std::string &rel) {
        return vesk_cont::marker(backend(rel));
    };
    auto count = [&](const std::string &path) {
        return std::count(g_fsynced.begin(), g_fsynced.end(), path);
    };
    Util::syscalls().fsync = noting_fsync;
    g_fsynced.clear();
    Vesk_fd *fd = open("lock", O_WRONLY | O_CREAT, me);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ(0, containerfs.unlink(L("lock").c_str()));
    EXPECT_EQ(std::vector<std::string>{}, g_fsynced);

    fd = open("kept", O_WRONLY | O_CREAT, me);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(std::vector<std::string>{}, g_fsynced);
    EXPECT_EQ(4, fd->write("data", 4, 0, me));
    EXPECT_EQ(0, fd->sync(me));
    EXPECT_EQ(1, count(marker_of("kept")));
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;

    fd = open("moved", O_WRONLY | O_CREAT, me);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ(0, containerfs.rename(L("moved").c_str(), L("moved2").c_str()));
    EXPECT_EQ(1, count(marker_of("moved2")));
    Util::resetSyscalls();
    EXPECT_EQ("data", read_all("kept"));
    EXPECT_EQ("", read_all("moved2"));
}

TEST_F(ContainerOpen, TheFirstWriteMakesTheLogsAndMarksTheWriterOpen) {
    pid_t me = getpid();
    Vesk_fd *fd = open("w", O_WRONLY | O_CREAT, me);
    ASSERT_NE(nullptr, fd);
    EXPECT_TRUE(open_writers("w").empty());
    ASSERT_EQ(3, fd->write("abc", 3, 5, me));
    EXPECT_EQ((std::set<std::string>{"data." + of(me), "index." + of(me)}), logs("w"));
    EXPECT_EQ((std::set<std::string>{of(me) + "." + vesk_cont::host()}), open_writers("w"));
    EXPECT_EQ(8, size_of("w"));
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_TRUE(open_writers("w").empty());
    EXPECT_EQ(1u, list(backend("w") + "/meta").size());
    EXPECT_EQ(std::string("\0\0\0\0\0abc", 8), read_all("w"));
}

TEST_F(ContainerOpen, TruncationsWithWritersThatHaveNotWritten) {
    pid_t me = getpid(), other = me + 1000;
    // A writer with no logs yet records a truncation it makes in a log of
    // its own, ordered with the writes around it.
    write_file_at("t", "0123456789", 0, O_WRONLY | O_CREAT, other);
    Vesk_fd *fd = open("t", O_WRONLY, me);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(0, fd->trunc(L("t").c_str(), 4));
    EXPECT_EQ("0123", read_all("t"));
    ASSERT_EQ(1, fd->write("X", 1, 6, me));
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ(std::string("0123\0\0X", 7), read_all("t"));
    EXPECT_EQ(7, size_of("t"));

    // A truncation to 0 takes away what a pid wrote in an earlier open,
    // although that pid has the file open again (without writing yet):
    // only logs in use are kept.
    write_file_at("z", "abcdef", 0, O_WRONLY | O_CREAT, me);
    fd = open("z", O_WRONLY, me);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(0, fd->trunc(L("z").c_str(), 0));
    EXPECT_EQ("", read_all("z"));
    ASSERT_EQ(1, fd->write("z", 1, 0, me));
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ("z", read_all("z"));
    EXPECT_EQ(1, size_of("z"));
}

TEST_F(ContainerOpen, StridedCheckpointsOfFewAndManyWritersReadBack) {
    // Few small logs are read by the opening thread, many on readers.
    for (int writers : {3, 12}) {
        SCOPED_TRACE(writers);
        std::string name = "n1." + std::to_string(writers), want;
        const size_t block = 1000, rounds = 5;
        std::vector<Vesk_fd *> fds;
        for (int w = 0; w < writers; w++) {
            fds.push_back(open(name, O_WRONLY | O_CREAT, 7000000 + w));
            ASSERT_NE(nullptr, fds.back());
        }
        for (size_t k = 0; k < rounds; k++)
            for (int w = 0; w < writers; w++) {
                std::string b = pattern(block, (unsigned)(k * 100 + (size_t)w));
                want += b;
                off_t at = (off_t)((k * (size_t)writers + (size_t)w) * block);
                ASSERT_EQ((ssize_t)block, fds[(size_t)w]->write(b.data(), block, at, 7000000 + w));
            }
        for (int w = 0; w < writers; w++) {
            EXPECT_EQ(0, fds[(size_t)w]->close(7000000 + w, getuid(), O_WRONLY, nullptr));
            delete fds[(size_t)w];
        }
        EXPECT_EQ((size_t)writers, logs(name).size() / 2);
        EXPECT_EQ(want, read_all(name));
        EXPECT_EQ((off_t)want.size(), size_of(name));
    }
}

}  // namespace
