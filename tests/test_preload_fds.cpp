/* The descriptor rules under the preload: numbering, sharing through dup,
 * fork and exec, appends, threads, record locks between processes, mmap,
 * stdio, directories and the working directory.
 *
 * The program runs itself again with the library preloaded and a
 * configuration of one container mount and one flat mount; every test runs
 * in that preloaded process. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "preload_test_util.h"
#include "sieve_test_util.h"

namespace {

const char *kChildVar = "VESK_PRELOAD_FDS_TEST";

std::string mnt(const std::string &layout) {
    const char *m = getenv(layout == "flat" ? "VESK_TEST_FLAT" : "VESK_TEST_CONTAINER");
    return m ? m : "";
}

std::string slurp(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<open: " + std::string(strerror(errno)) + ">";
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    close(fd);
    return out;
}

int wait_status(pid_t p) {
    int st = 0;
    waitpid(p, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

class PreloadFds : public ::testing::TestWithParam<std::string> {
protected:
    std::string dir;
    void SetUp() override {
        ASSERT_NE(getenv(kChildVar), nullptr) << "not running under the preload";
        static int seq = 0;
        dir = mnt(GetParam()) + "/t" + std::to_string(getpid()) + "_" + std::to_string(seq++);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << strerror(errno);
    }
    std::string path(const std::string &name) const { return dir + "/" + name; }
};

TEST_P(PreloadFds, NumbersAreKernelNumbers) {
    int a = open(path("a").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(a, 0) << strerror(errno);
    // The next kernel descriptor is the next number: none is shared.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_NE(p[0], a);
    EXPECT_NE(p[1], a);
    int b = open(path("b").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(b, 0);
    EXPECT_EQ(fcntl(b, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(a, F_GETFD) & FD_CLOEXEC, 0);
    // poll on another descriptor is not disturbed.
    ASSERT_EQ(write(p[1], "x", 1), 1);
    struct pollfd pf = {p[0], POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, 1000), 1);
    EXPECT_TRUE(pf.revents & POLLIN);
    // A closed number is reused by the next open, vesk or not.
    ASSERT_EQ(close(a), 0);
    int c = open(path("c").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(c, a);
    ASSERT_EQ(write(c, "cc", 2), 2);
    close(c);
    close(b);
    close(p[0]);
    close(p[1]);

    // A close-all loop in a child closes vesk descriptors like any other.
    pid_t pid = fork();
    if (pid == 0) {
        int v = open(path("a").c_str(), O_RDONLY);
        for (int fd = 3; fd < 256; fd++) close(fd);
        char ch;
        bool closed = read(v, &ch, 1) < 0 && errno == EBADF;
        int again = open(path("c").c_str(), O_RDONLY);
        _exit(closed && again == 3 && read(again, &ch, 1) == 1 && ch == 'c' ? 0 : 1);
    }
    EXPECT_EQ(wait_status(pid), 0);
}

TEST_P(PreloadFds, DupAndForkShareOffsetAndFlags) {
    int fd = open(path("f").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    int d = dup(fd);
    int d2 = fcntl(fd, F_DUPFD_CLOEXEC, 40);
    ASSERT_GE(d, 0);
    ASSERT_GE(d2, 40);
    ASSERT_EQ(write(fd, "ab", 2), 2);
    ASSERT_EQ(write(d, "cd", 2), 2);
    EXPECT_EQ(lseek(d2, 0, SEEK_CUR), 4);
    // Status flags belong to the description too.
    ASSERT_EQ(fcntl(fd, F_SETFL, O_APPEND), 0);
    EXPECT_TRUE(fcntl(d, F_GETFL) & O_APPEND);
    EXPECT_EQ(fcntl(d, F_GETFL) & O_ACCMODE, O_RDWR);
    ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);

    pid_t pid = fork();
    if (pid == 0) {
        // The child writes at the shared offset, as a writer of its own.
        bool ok = write(d, "CHILD", 5) == 5 && lseek(fd, 0, SEEK_CUR) == 9;
        _exit(ok ? 0 : 1);
    }
    ASSERT_EQ(wait_status(pid), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 9);
    ASSERT_EQ(write(d2, "ef", 2), 2);
    ASSERT_EQ(dup2(d, 30), 30);
    EXPECT_EQ(lseek(30, 0, SEEK_CUR), 11);
    close(30);
    close(d);
    close(d2);
    EXPECT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char buf[32] = {};
    EXPECT_EQ(read(fd, buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "abcdCHILDef");
    close(fd);
    EXPECT_EQ(slurp(path("f")), "abcdCHILDef");
}

TEST_P(PreloadFds, AppendFromSeveralProcesses) {
    const int kProcs = 4, kLines = 50;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; p++) {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open(path("log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd < 0) _exit(2);
            // (as stdio does before its first write): the size it reads
            // must not stand for the appends' later
            struct stat st;
            if (fstat(fd, &st) != 0) _exit(3);
            usleep(10000);
            for (int i = 0; i < kLines; i++) {
                char line[32];
                int n = snprintf(line, sizeof line, "p%d-%03d\n", p, i);
                if (write(fd, line, (size_t)n) != n) _exit(1);
                // Reopened each time, the next append still finds the end.
                if (i % 10 == 9) {
                    close(fd);
                    fd = open(path("log").c_str(), O_WRONLY | O_APPEND);
                }
            }
            close(fd);
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) EXPECT_EQ(wait_status(k), 0);
    std::string all = slurp(path("log"));
    // Appends by different processes may race on the end; each process's
    // own lines come whole and in order.
    for (int p = 0; p < kProcs; p++) {
        size_t at = 0;
        for (int i = 0; i < kLines; i++) {
            char line[32];
            snprintf(line, sizeof line, "p%d-%03d\n", p, i);
            size_t f = all.find(line, at);
            if (f == std::string::npos) {
                ADD_FAILURE() << "missing " << line;
                break;
            }
            at = f;
        }
    }
}

TEST_P(PreloadFds, SingleWriterAppendsExactly) {
    int fd = open(path("ap").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "12345", 5), 5);
    int other = open(path("ap").c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(other, "abcdefgh", 8, 0), 8);  // grows the file past our offset
    close(other);
    ASSERT_EQ(write(fd, "XY", 2), 2);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 10);
    close(fd);
    EXPECT_EQ(slurp(path("ap")), "abcdefghXY");
}

TEST_P(PreloadFds, ExecKeepsDescriptorAndOffset) {
    int fd = open(path("e").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    int cx = open(path("cx").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_GE(cx, 0);
    ASSERT_EQ(write(fd, "head:", 5), 5);
    std::string cmd = "echo tail >&" + std::to_string(fd) + " && /bin/echo more >&" + std::to_string(fd);
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
        _exit(127);
    }
    ASSERT_EQ(wait_status(pid), 0);
    // The offset moved in the exec'ed programs is the parent's offset.
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 15);
    EXPECT_EQ(slurp(path("e")), "head:tail\nmore\n");

    // A close-on-exec descriptor is gone in the new program.
    std::string cmd2 = "echo x >&" + std::to_string(cx);
    pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", cmd2.c_str(), (char *)nullptr);
        _exit(127);
    }
    EXPECT_NE(wait_status(pid), 0);
    EXPECT_EQ(slurp(path("cx")), "");
    close(cx);

    // A static program cannot load the library: with a vesk descriptor to
    // inherit, its exec fails instead of running with a dead descriptor.
    pid = fork();
    if (pid == 0) {
        execl("/sbin/ldconfig", "ldconfig", "--version", (char *)nullptr);
        _exit(errno == ENOTSUP ? 42 : 43);
    }
    EXPECT_EQ(wait_status(pid), 42);
    // Without one, it runs.
    pid = fork();
    if (pid == 0) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        int dn = open("/dev/null", O_WRONLY);
        dup2(dn, 1);
        execl("/sbin/ldconfig", "ldconfig", "--version", (char *)nullptr);
        _exit(43);
    }
    EXPECT_EQ(wait_status(pid), 0);
    close(fd);
}

TEST_P(PreloadFds, ThreadsShareOneDescriptor) {
    int fd = open(path("th").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const int kThreads = 6, kRecs = 100, kLen = 512;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++) {
        ts.emplace_back([&, t] {
            std::string rec(kLen, (char)('A' + t));
            for (int i = 0; i < kRecs; i++) {
                if (write(fd, rec.data(), rec.size()) != kLen) ADD_FAILURE() << "short write";
                // Other descriptors opened and closed meanwhile.
                int o = open(path("th").c_str(), O_RDONLY);
                if (o < 0) ADD_FAILURE() << "side open";
                close(o);
            }
        });
    }
    for (auto &t : ts) t.join();
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), (off_t)kThreads * kRecs * kLen);
    close(fd);
    std::string all = slurp(path("th"));
    ASSERT_EQ(all.size(), (size_t)kThreads * kRecs * kLen);
    // Every record whole: writes on one description do not interleave.
    std::vector<int> count(kThreads);
    for (size_t r = 0; r < all.size(); r += kLen) {
        char c = all[r];
        ASSERT_GE(c, 'A');
        ASSERT_LT(c, 'A' + kThreads);
        EXPECT_EQ(all.compare(r, kLen, std::string(kLen, c)), 0) << "record at " << r << " torn";
        count[c - 'A']++;
    }
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(count[t], kRecs);
}

TEST_P(PreloadFds, RecordLocksBetweenProcesses) {
    int fd = open(path("lk").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 100;
    ASSERT_EQ(fcntl(fd, F_SETLK, &fl), 0) << strerror(errno);
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        int c = open(path("lk").c_str(), O_RDWR);
        struct flock f = {};
        f.l_type = F_WRLCK;
        f.l_whence = SEEK_SET;
        f.l_start = 50;
        f.l_len = 10;
        int code = 0;
        if (fcntl(c, F_SETLK, &f) == 0 || (errno != EAGAIN && errno != EACCES)) code |= 1;
        struct flock q = f;
        if (fcntl(c, F_GETLK, &q) != 0 || q.l_type != F_WRLCK || q.l_pid != parent) code |= 2;
        f.l_start = 100;  // beside the parent's lock
        if (fcntl(c, F_SETLK, &f) != 0) code |= 4;
        if (write(done[1], "1", 1) != 1) code |= 8;
        char ch;
        if (read(go[0], &ch, 1) != 1) code |= 8;
        // The parent closed its descriptor: its lock is gone; a blocking
        // request is granted.
        f.l_start = 50;
        if (fcntl(c, F_SETLKW, &f) != 0) code |= 16;
        _exit(code);
    }
    char ch;
    ASSERT_EQ(read(done[0], &ch, 1), 1);
    // The child's lock at 100 keeps the parent out there.
    struct flock q = {};
    q.l_type = F_RDLCK;
    q.l_whence = SEEK_SET;
    q.l_start = 105;
    q.l_len = 1;
    ASSERT_EQ(fcntl(fd, F_GETLK, &q), 0);
    EXPECT_EQ(q.l_type, F_WRLCK);
    EXPECT_EQ(q.l_pid, pid);
    close(fd);
    ASSERT_EQ(write(go[1], "1", 1), 1);
    EXPECT_EQ(wait_status(pid), 0);
    for (int f : {go[0], go[1], done[0], done[1]}) close(f);
}

// A name is opened at once when it names a file, and looked at first when
// it names something else: the answer must be the kernel's either way, and
// a file opened through a link is known by the file the link leads to (its
// locks meet the locks taken through the file's own name).
TEST_P(PreloadFds, OpensThroughLinksDirectoriesAndMissingNames) {
    int fd = open(path("target").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    ASSERT_EQ(symlink(path("target").c_str(), path("abs").c_str()), 0) << strerror(errno);
    ASSERT_EQ(symlink("target", path("rel").c_str()), 0) << strerror(errno);
    for (const char *name : {"abs", "rel"}) {
        SCOPED_TRACE(name);
        int lfd = open(path(name).c_str(), O_RDWR);
        ASSERT_GE(lfd, 0) << strerror(errno);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_len = 10;
        ASSERT_EQ(fcntl(lfd, F_SETLK, &fl), 0) << strerror(errno);
        pid_t pid = fork();
        if (pid == 0) {
            int c = open(path("target").c_str(), O_RDWR);
            struct flock f = {};
            f.l_type = F_WRLCK;
            f.l_whence = SEEK_SET;
            f.l_start = 5;
            f.l_len = 1;
            int code = c < 0 ? 1 : 0;
            if (fcntl(c, F_SETLK, &f) == 0 || (errno != EAGAIN && errno != EACCES)) code |= 2;
            _exit(code);
        }
        EXPECT_EQ(wait_status(pid), 0) << "the lock taken through the link did not hold the file";
        char buf[4] = {};
        EXPECT_EQ(pread(lfd, buf, 3, 0), 3);
        EXPECT_STREQ(buf, "abc");
        close(lfd);
    }
    // O_NOFOLLOW refuses the link; O_CREAT through a dangling one makes
    // its target
    errno = 0;
    EXPECT_EQ(open(path("abs").c_str(), O_RDONLY | O_NOFOLLOW), -1);
    EXPECT_EQ(errno, ELOOP);
    ASSERT_EQ(symlink("made", path("dangling").c_str()), 0);
    fd = open(path("dangling").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
    struct stat st;
    ASSERT_EQ(lstat(path("made").c_str(), &st), 0) << strerror(errno);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // a directory opens for reading, and for nothing else
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    fd = open(path("sub").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    close(fd);
    errno = 0;
    EXPECT_EQ(open(path("sub").c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_EQ(open(path("sub").c_str(), O_RDWR | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, EISDIR);
    errno = 0;
    EXPECT_EQ(open(path("target").c_str(), O_RDONLY | O_DIRECTORY), -1);
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_EQ(open(path("target").c_str(), O_RDWR | O_CREAT | O_EXCL, 0644), -1);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(open(path("missing").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(open(path("missing/below").c_str(), O_RDWR | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, ENOENT);
}

// Read, patch, write back under a lock (MPI-IO's data sieving): each holder
// must read what the previous holder wrote while both still have the file
// open, or it writes stale bytes back over the other's.
TEST_P(PreloadFds, LockHoldersSeeEachOthersWrites) {
    EXPECT_EQ(vesk_test::sieve_two_processes(path("sieve")), "");
}

// flock locks belong to the open file description: another description
// (here another process's open) conflicts, a forked child shares the
// parent's, and unlocking lets the other in.
TEST_P(PreloadFds, FlockLocks) {
    int fd = open(path("fl").c_str(), O_RDWR | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << strerror(errno);
    ASSERT_EQ(write(fd, "held\n", 5), 5);  // the append lock is another lock
    pid_t pid = fork();
    if (pid == 0) {
        int code = 0;
        int c = open(path("fl").c_str(), O_RDONLY);
        if (flock(c, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) code |= 1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) code |= 2;  // the shared description's
        if (flock(fd, LOCK_UN) != 0 || flock(c, LOCK_SH | LOCK_NB) != 0) code |= 4;
        _exit(code);
    }
    EXPECT_EQ(wait_status(pid), 0) << "1 no conflict, 2 fork did not share, 4 unlock";
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << strerror(errno);
    EXPECT_EQ(flock(fd, LOCK_UN), 0);
    close(fd);
}

// lockf, which glibc builds on fcntl inside libc: record locks from the
// descriptor's offset.
TEST_P(PreloadFds, LockfLocks) {
    int fd = open(path("lf").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lockf(fd, F_LOCK, 100), 0) << strerror(errno);  // [0, 100)
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 0;
        int c = open(path("lf").c_str(), O_RDWR);
        if (lseek(c, 50, SEEK_SET) != 50) code |= 1;
        if (lockf(c, F_TEST, 10) == 0 || (errno != EACCES && errno != EAGAIN)) code |= 2;
        if (lockf(c, F_TLOCK, 10) == 0 || (errno != EACCES && errno != EAGAIN)) code |= 4;
        if (lseek(c, 100, SEEK_SET) != 100 || lockf(c, F_TLOCK, 10) != 0) code |= 8;
        char ch;
        if (write(done[1], "1", 1) != 1 || read(go[0], &ch, 1) != 1) code |= 16;
        if (lseek(c, 50, SEEK_SET) != 50 || lockf(c, F_TLOCK, 10) != 0) code |= 32;
        _exit(code);
    }
    char ch;
    ASSERT_EQ(read(done[0], &ch, 1), 1);
    // The child holds [100, 110).
    ASSERT_EQ(lseek(fd, 105, SEEK_SET), 105);
    EXPECT_EQ(lockf(fd, F_TEST, 1), -1);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(lockf(fd, F_ULOCK, 100), 0);
    ASSERT_EQ(write(go[1], "1", 1), 1);
    EXPECT_EQ(wait_status(pid), 0) << "2 test, 4 tlock saw no conflict; 8 beside; 32 after unlock";
    close(fd);
    for (int f : {go[0], go[1], done[0], done[1]}) close(f);
}

TEST_P(PreloadFds, MmapPrivateServedSharedWritableRefused) {
    std::string text(10000, 'm');
    text += "end";
    {
        int fd = open(path("mm").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
        close(fd);
    }
    int fd = open(path("mm").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    size_t len = 16384;
    void *m = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
    ASSERT_NE(m, MAP_FAILED) << strerror(errno);
    EXPECT_EQ(std::string(static_cast<char *>(m), text.size()), text);
    EXPECT_EQ(static_cast<char *>(m)[text.size()], '\0');  // past the end: zeros
    munmap(m, len);
    m = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 8192);
    ASSERT_NE(m, MAP_FAILED);
    EXPECT_EQ(std::string(static_cast<char *>(m), 3), "mmm");
    munmap(m, 4096);
    errno = 0;
    EXPECT_EQ(mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_EQ(errno, ENODEV);
    close(fd);
}

TEST_P(PreloadFds, UnservedCallsFailInsteadOfReachingTheKernel) {
    int fd = open(path("u").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    int n = 0;
    errno = 0;
    EXPECT_EQ(ioctl(fd, FIONREAD, &n), -1);
    EXPECT_EQ(errno, ENOTTY);
    // A write that bypasses the library reaches no file at all.
    errno = 0;
    EXPECT_EQ(syscall(SYS_write, fd, "zz", 2), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_SETPIPE_SZ, 4096), -1);
    EXPECT_EQ(errno, EINVAL);
    close(fd);
    EXPECT_EQ(slurp(path("u")), "");
}

TEST_P(PreloadFds, StdioStreams) {
    FILE *f = fopen(path("s").c_str(), "w+");
    ASSERT_NE(f, nullptr) << strerror(errno);
    int fd = fileno(f);
    ASSERT_GE(fd, 0);
    struct stat st;
    EXPECT_EQ(fstat(fd, &st), 0);
    for (int i = 0; i < 1000; i++) fprintf(f, "line %d\n", i);
    ASSERT_EQ(fseek(f, 0, SEEK_SET), 0);
    char buf[64];
    ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
    EXPECT_STREQ(buf, "line 0\n");
    ASSERT_EQ(fseek(f, -9, SEEK_END), 0);
    ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
    EXPECT_STREQ(buf, "line 999\n");
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(stat(path("s").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8890);

    int afd = open(path("s").c_str(), O_WRONLY | O_APPEND);
    FILE *a = fdopen(afd, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(fileno(a), afd);
    fputs("tail\n", a);
    fclose(a);
    FILE *r = fopen(path("s").c_str(), "r");
    ASSERT_NE(r, nullptr);
    FILE *r2 = freopen(path("s").c_str(), "r", r);
    ASSERT_NE(r2, nullptr);
    ASSERT_EQ(fseek(r2, -5, SEEK_END), 0);
    ASSERT_NE(fgets(buf, sizeof buf, r2), nullptr);
    EXPECT_STREQ(buf, "tail\n");
    fclose(r2);
    EXPECT_EQ(fopen(path("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_P(PreloadFds, DirectoriesAndWorkingDirectory) {
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    int dfd = open(path("d").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    // The *at calls relative to a vesk directory descriptor.
    int f = openat(dfd, "one", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(f, 0);
    close(f);
    ASSERT_EQ(mkdirat(dfd, "sub", 0755), 0);
    struct stat st;
    ASSERT_EQ(fstatat(dfd, "sub", &st, 0), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(renameat(dfd, "one", dfd, "two"), 0);
    DIR *d = fdopendir(dfd);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(dirfd(d), dfd);
    std::set<std::string> names;
    while (struct dirent *e = readdir(d)) names.insert(e->d_name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "sub", "two"}));
    rewinddir(d);
    int again = 0;
    while (readdir(d)) again++;
    EXPECT_EQ(again, 4);
    closedir(d);

    char old[PATH_MAX];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(path("d").c_str()), 0) << strerror(errno);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), path("d"));
    int rel = open("sub/rel", O_WRONLY | O_CREAT, 0644);
    EXPECT_GE(rel, 0);
    close(rel);
    EXPECT_EQ(access("sub/rel", F_OK), 0);
    EXPECT_EQ(unlink("two"), 0);
    ASSERT_EQ(chdir(old), 0);
    EXPECT_EQ(access(path("d/sub/rel").c_str(), F_OK), 0);
    EXPECT_EQ(access(path("d/two").c_str(), F_OK), -1);
    EXPECT_EQ(rename(path("d/sub/rel").c_str(), old), -1);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(rmdir(path("d").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
}

// A file whose name went (an unlink, a rename over it) stays this
// process's through its descriptors. A forked child opens its own handle
// by the name, and must not take for it whatever file has the name now:
// its reads and writes fail with ESTALE instead, and the other file is
// left alone.
TEST_P(PreloadFds, ChildrenNeverReachAnotherFileByTheOldName) {
    for (bool by_rename : {false, true}) {
        SCOPED_TRACE(by_rename ? "renamed over" : "unlinked");
        const std::string name = path(by_rename ? "over" : "gone");
        int fd = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(pwrite(fd, "mine", 4, 0), 4);
        int other = open(path("other").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(other, 0);
        ASSERT_EQ(write(other, "impostor", 8), 8);
        ASSERT_EQ(close(other), 0);
        if (by_rename) {
            ASSERT_EQ(rename(path("other").c_str(), name.c_str()), 0) << strerror(errno);
        } else {
            ASSERT_EQ(unlink(name.c_str()), 0);
            ASSERT_EQ(rename(path("other").c_str(), name.c_str()), 0) << strerror(errno);
        }
        pid_t pid = fork();
        if (pid == 0) {
            char buf[16];
            bool refused = pread(fd, buf, sizeof buf, 0) < 0 && errno == ESTALE &&
                           pwrite(fd, "X", 1, 0) < 0 && errno == ESTALE;
            _exit(refused ? 0 : 1);
        }
        EXPECT_EQ(wait_status(pid), 0) << "the child reached the other file";
        EXPECT_EQ(slurp(name), "impostor");
        char buf[16] = {};
        EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 4);
        EXPECT_STREQ(buf, "mine");
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_nlink, 0u);
        EXPECT_EQ(close(fd), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, PreloadFds, ::testing::Values("container", "flat"));

}  // namespace

int main(int argc, char **argv) {
    if (getenv(kChildVar)) {
        ::testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    // Run again with the library preloaded over a fresh configuration.
    vesk_test::PreloadEnv env;
    pid_t pid = fork();
    if (pid == 0) {
        for (auto &kv : env.env()) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        setenv(kChildVar, "1", 1);
        setenv("VESK_TEST_CONTAINER", env.container.c_str(), 1);
        setenv("VESK_TEST_FLAT", env.flat.c_str(), 1);
        execv("/proc/self/exe", argv);
        perror("exec");
        _exit(127);
    }
    return wait_status(pid);
}
