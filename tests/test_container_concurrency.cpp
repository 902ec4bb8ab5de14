/* Many writers at once: processes interleaving blocks into one container,
 * and threads of one process writing for many pids through one handle
 * while others read. */
#include "container_test_util.h"

#include "Util.h"
#include "container/Layout.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>

using namespace vesk_test;

namespace {

class ContainerConcurrency : public ContainerMount {};

std::string block_of(size_t i, size_t size) {
    std::string b(size, '\0');
    for (size_t k = 0; k < size; k++) b[k] = (char)((i * 131 + k * 7 + (k >> 8)) & 0xff);
    return b;
}

TEST_F(ContainerConcurrency, FourProcessesInterleaveBlocks) {
    const int kProcs = 4;
    const size_t kWrites = 1000, kBlock = 4096;
    // Start together, so the writes really interleave.
    int go[2];
    ASSERT_EQ(0, pipe(go));
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; p++) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(go[1]);
            char c;
            if (read(go[0], &c, 1) != 0) _exit(9);
            pid_t me = getpid();
            Vesk_fd *fd = nullptr;
            if (containerfs.open(&fd, L("shared").c_str(), O_WRONLY | O_CREAT, me, 0644,
                                 nullptr) != 0)
                _exit(10);
            for (size_t w = 0; w < kWrites; w++) {
                size_t blk = w * kProcs + (size_t)p;
                std::string b = block_of(blk, kBlock);
                if (fd->write(b.data(), kBlock, (off_t)(blk * kBlock), me) != (ssize_t)kBlock)
                    _exit(11);
            }
            if (fd->close(me, getuid(), O_WRONLY | O_CREAT, nullptr) != 0) _exit(12);
            delete fd;
            _exit(0);
        }
        kids.push_back(child);
    }
    close(go[0]);
    close(go[1]);  // every child sees end of file and starts
    for (pid_t k : kids) {
        int status = 0;
        ASSERT_EQ(k, waitpid(k, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(0, WEXITSTATUS(status));
    }
    // A fresh process reads it back.
    pid_t reader = fork();
    if (reader == 0) {
        Vesk_fd *fd = nullptr;
        if (containerfs.open(&fd, L("shared").c_str(), O_RDONLY, getpid(), 0, nullptr) != 0)
            _exit(20);
        std::string all(kProcs * kWrites * kBlock, '\0');
        if (fd->read(&all[0], all.size() + 100, 0) != (ssize_t)all.size()) _exit(21);
        for (size_t i = 0; i < kProcs * kWrites; i++)
            if (all.compare(i * kBlock, kBlock, block_of(i, kBlock)) != 0) _exit(22);
        struct stat st;
        if (fd->getattr(L("shared").c_str(), &st, 0) != 0 || st.st_size != (off_t)all.size())
            _exit(23);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(reader, waitpid(reader, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "reader exit code";
    // Per-writer logs on the backend, no shared data file.
    std::string hd = vesk_cont::hostdir(backend("shared"), vesk_cont::host());
    int data_logs = 0;
    DIR *d = opendir(hd.c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "data.", 5) != 0) continue;
        data_logs++;
        struct stat st;
        ASSERT_EQ(0, stat((hd + "/" + e->d_name).c_str(), &st));
        EXPECT_EQ((off_t)(kWrites * kBlock), st.st_size) << e->d_name;
    }
    closedir(d);
    EXPECT_EQ(kProcs, data_logs);
    std::vector<ContainerIndexEntry> es;
    ASSERT_EQ(0, container_index_entries(L("shared").c_str(), es));
    EXPECT_EQ(kProcs * kWrites, es.size());  // interleaved: nothing merges
    EXPECT_EQ((off_t)(kProcs * kWrites * kBlock), size_of("shared"));
}

TEST_F(ContainerConcurrency, ThreadsWriteForManyPidsWhileOthersRead) {
    const int kThreads = 4;
    const size_t kWrites = 300, kBlock = 1024;
    Vesk_fd *fd = open("mt", O_RDWR | O_CREAT, 8000000);
    ASSERT_NE(nullptr, fd);
    for (int t = 0; t < kThreads; t++)
        ASSERT_EQ(0, containerfs.open(&fd, L("mt").c_str(), O_WRONLY, 8000001 + t, 0, nullptr));
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (size_t w = 0; w < kWrites; w++) {
                size_t blk = w * kThreads + (size_t)t;
                std::string b = block_of(blk, kBlock);
                if (fd->write(b.data(), kBlock, (off_t)(blk * kBlock), 8000001 + t) !=
                    (ssize_t)kBlock)
                    failures++;
            }
        });
    }
    // a reader alongside: whatever it sees of a block is that block
    std::thread reader([&] {
        std::string buf(kBlock, '\0');
        while (!done) {
            for (size_t blk = 0; blk < 64; blk++) {
                ssize_t n = fd->read(&buf[0], kBlock, (off_t)(blk * kBlock));
                if (n == (ssize_t)kBlock && buf != block_of(blk, kBlock) &&
                    buf != std::string(kBlock, '\0'))
                    failures++;
            }
        }
    });
    for (auto &t : threads) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(0, failures.load());
    std::string all(kThreads * kWrites * kBlock, '\0');
    ASSERT_EQ((ssize_t)all.size(), fd->read(&all[0], all.size(), 0));
    for (size_t i = 0; i < kThreads * kWrites; i++)
        ASSERT_EQ(0, all.compare(i * kBlock, kBlock, block_of(i, kBlock))) << "block " << i;
    size_t writers = 0;
    ASSERT_EQ(0, fd->query(&writers, nullptr, nullptr, nullptr));
    EXPECT_EQ((size_t)kThreads + 1, writers);
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(kThreads - t, fd->close(8000001 + t, getuid(), O_WRONLY, nullptr));
    EXPECT_EQ(0, fd->close(8000000, getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ(all, read_all("mt"));
}

// The descriptors the writer's thread opens for reading are those its kept
// writes are read back through; the reader's reads through them are slowed.
thread_local bool t_writer = false, t_slow = false;
std::atomic<int> g_reread_fd{-1};
int noting_open(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags, mode);
    if (t_writer && fd >= 0 && (flags & O_ACCMODE) == O_RDONLY) g_reread_fd = fd;
    return fd;
}
ssize_t slow_pread(int fd, void *buf, size_t size, off_t off) {
    if (t_slow && fd == g_reread_fd) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return pread(fd, buf, size, off);
}

// A process reads its own writes back from its data log, which a
// truncation to 0 rewinds and later writes fill again from its start: a
// read racing that may see any version of a block, or zeros, but never the
// bytes of another block that took its old place in the log.
TEST_F(ContainerConcurrency, ReadsRacingTruncationsToZeroNeverSeeAnotherBlock) {
    const size_t kBlock = 4096, kBlocks = 16;
    const pid_t pid = 8100000;
    Vesk_fd *fd = open("rt", O_RDWR | O_CREAT, pid);
    ASSERT_NE(nullptr, fd);
    // every 8 bytes: the block's number above, the round below
    auto stamp = [&](uint64_t blk, uint64_t round) {
        std::string b(kBlock, '\0');
        for (size_t k = 0; k < kBlock; k += 8) {
            uint64_t v = (blk + 1) << 32 | (round + 1);
            memcpy(&b[k], &v, 8);
        }
        return b;
    };
    std::atomic<bool> done{false};
    std::atomic<int> failures{0}, truncations{0};
    // The reader's reads of kept writes are slowed, so that the writer and
    // the truncator often act between its look at what is kept and its
    // pread.
    Util::syscalls().pread = slow_pread;
    Util::syscalls().open = noting_open;
    std::thread writer([&] {
        t_writer = true;
        for (uint64_t round = 0; round < 1000; round++)
            for (uint64_t blk = 0; blk < kBlocks; blk++)
                if (fd->write(stamp(blk, round).data(), kBlock, (off_t)(blk * kBlock), pid) !=
                    (ssize_t)kBlock)
                    failures++;
        done = true;
    });
    std::thread truncator([&] {
        while (!done) {
            if (fd->trunc(L("rt").c_str(), 0) != 0) failures++;
            truncations++;
            std::this_thread::sleep_for(std::chrono::microseconds(1000));
        }
    });
    std::string wrong;
    std::thread reader([&] {
        t_slow = true;
        std::string buf(kBlock, '\0');
        while (!done) {
            for (uint64_t blk = 0; blk < kBlocks; blk++) {
                ssize_t n = fd->read(&buf[0], kBlock, (off_t)(blk * kBlock));
                if (n < 0) {
                    failures++;
                    if (wrong.empty()) wrong = "read: " + std::string(strerror((int)-n));
                }
                for (ssize_t k = 0; k + 8 <= n; k += 8) {
                    uint64_t v;
                    memcpy(&v, &buf[(size_t)k], 8);
                    if (v != 0 && v >> 32 != blk + 1 && wrong.empty())
                        wrong = "block " + std::to_string(blk) + " read a word of block " +
                                  std::to_string((v >> 32) - 1);
                }
            }
        }
    });
    writer.join();
    truncator.join();
    reader.join();
    Util::resetSyscalls();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ("", wrong);
    EXPECT_GT(truncations.load(), 0);
    EXPECT_GE(g_reread_fd.load(), 0) << "no kept write was read back";
    EXPECT_EQ(0, fd->close(pid, getuid(), O_RDWR, nullptr));
    delete fd;
}

TEST_F(ContainerConcurrency, ParallelOpensOfANewFileAgreeOnOneContainer) {
    // Several processes create the same file at once: all succeed and one
    // container results, holding every writer's bytes.
    const int kProcs = 4;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; p++) {
        pid_t child = fork();
        if (child == 0) {
            Vesk_fd *fd = nullptr;
            pid_t me = getpid();
            if (containerfs.open(&fd, L("race").c_str(), O_WRONLY | O_CREAT, me, 0644, nullptr))
                _exit(10);
            char c = (char)('a' + p);
            if (fd->write(&c, 1, p, me) != 1) _exit(11);
            fd->close(me, getuid(), O_WRONLY, nullptr);
            _exit(0);
        }
        kids.push_back(child);
    }
    for (pid_t k : kids) {
        int status;
        waitpid(k, &status, 0);
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
    EXPECT_EQ("abcd", read_all("race"));
}

// A writer appends and syncs while readers open the file again and again,
// one in another process and one a thread beside the writer: no open or
// read fails, and what a reader sees is always a prefix of the stream.
TEST_F(ContainerConcurrency, ReadersOpeningUnderAnAppendingWriterNeverFail) {
    const size_t kAppends = 300;
    auto byte_at = [](size_t o) { return (char)('0' + (o * 7 + o / 251) % 64); };
    write_file_at("grow", std::string(1, byte_at(0)), 0);
    // Opens, reads everything, checks it; minus errno or 1 for wrong bytes.
    auto check_once = [&](size_t *seen) {
        Vesk_fd *fd = nullptr;
        int r = containerfs.open(&fd, L("grow").c_str(), O_RDONLY, getpid(), 0, nullptr);
        if (r != 0) return r;
        std::string buf(256 * 1024, '\0');
        ssize_t n = fd->read(&buf[0], buf.size(), 0);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        if (n < 0) return (int)n;
        for (ssize_t i = 0; i < n; i++)
            if (buf[(size_t)i] != byte_at((size_t)i)) return 1;
        if ((size_t)n < *seen) return 2;  // a synced prefix never shrinks
        *seen = (size_t)n;
        return 0;
    };
    int go[2];
    ASSERT_EQ(0, pipe(go));
    pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        close(go[1]);
        int opens = 0;
        size_t seen = 0;
        char c;
        // until the writer closes its end of the pipe
        fcntl(go[0], F_SETFL, O_NONBLOCK);
        while (read(go[0], &c, 1) != 0) {
            int r = check_once(&seen);
            if (r != 0) {
                fprintf(stderr, "reader process, open %d: %d\n", opens, r);
                _exit(1);
            }
            opens++;
        }
        _exit(opens > 0 ? 0 : 3);
    }
    close(go[0]);
    std::atomic<bool> done{false};
    std::atomic<int> thread_failure{0}, thread_opens{0};
    std::thread beside([&] {
        size_t seen = 0;
        while (!done) {
            int r = check_once(&seen);
            if (r != 0) {
                thread_failure = r;
                return;
            }
            thread_opens++;
        }
    });
    Vesk_fd *w = open("grow", O_WRONLY);
    ASSERT_NE(nullptr, w);
    size_t end = 1;
    for (size_t i = 0; i < kAppends; i++) {
        size_t n = 1 + (i * 97) % 700;
        std::string b(n, '\0');
        for (size_t k = 0; k < n; k++) b[k] = byte_at(end + k);
        ASSERT_EQ((ssize_t)n, w->write(b.data(), n, (off_t)end, getpid()));
        end += n;
        ASSERT_EQ(0, w->sync(getpid()));
    }
    EXPECT_EQ(0, w->close(getpid(), getuid(), O_WRONLY, nullptr));
    delete w;
    done = true;
    beside.join();
    close(go[1]);
    int status = 0;
    ASSERT_EQ(reader, waitpid(reader, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader process failed";
    EXPECT_EQ(0, thread_failure.load());
    EXPECT_GT(thread_opens.load(), 0);
    EXPECT_EQ((off_t)end, size_of("grow"));
    printf("%zu appends, %d opens beside the writer\n", kAppends, thread_opens.load());
}

}  // namespace
