/*
 * Reads of a container file this process writes: its own writes are laid
 * over the last merge (RecentWrites) instead of being published and merged
 * again for every read, and what an open writer's handle reports (size,
 * modification time) moves with its writes.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <memory>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <vector>

#include "container/RecentWrites.h"
#include "container_test_util.h"

namespace {

using vesk_test::ContainerMount;

// A data log in memory: each write lands at its tail, as a writer's does,
// before the kept writes learn where.
struct MemLog {
    RecentLogRef ref = std::make_shared<RecentLog>(memfd_create("log", MFD_CLOEXEC));
    off_t tail = 0;
    void add(RecentWrites &rw, off_t off, const char *data, size_t len, uint64_t seq) {
        ASSERT_EQ((ssize_t)len, pwrite(ref->fd(), data, len, tail));
        rw.add(off, len, seq, ref, tail);
        tail += (off_t)len;
    }
};

/* --- the kept writes against a model of the file ------------------------ */

TEST(RecentWrites, LaysEveryNewerWriteOverAnyMergeItStillServes) {
    // content[g]: the file as a merge built at generation g reads it.
    const size_t kFile = 4096;
    std::mt19937 rng(7);
    RecentWrites rw;
    MemLog log;
    rw.want();  // a reader is open: writes are kept from now on
    std::vector<std::string> content{std::string(kFile, '\0')};
    std::vector<off_t> write_end{0};  // write_end[s]: where write s ends
    uint64_t dropped = 0;
    for (uint64_t seq = 1; seq <= 600; seq++) {
        size_t off = rng() % kFile, len = 1 + rng() % 300;
        if (off + len > kFile) len = kFile - off;
        // every byte differs from its neighbours: a piece read from the
        // wrong place in its log shows
        std::string data(len, '\0');
        for (size_t i = 0; i < len; i++) data[i] = (char)('a' + (seq * 7 + i) % 26);
        log.add(rw, (off_t)off, data.data(), len, seq);
        std::string next = content.back();
        next.replace(off, len, data);
        content.push_back(next);
        write_end.push_back((off_t)(off + len));
        if (seq % 97 == 0) {
            dropped = seq - rng() % 20;
            rw.dropThrough(dropped);
        }
        // Any merge from the drop on, completed by the kept writes, reads
        // the file as it is now; an older one is refused.
        uint64_t gen = dropped + rng() % (seq - dropped + 1);
        size_t at = rng() % kFile, n = 1 + rng() % 700;
        if (at + n > kFile) n = kFile - at;
        std::string buf = content[gen].substr(at, n);
        off_t end = -1;
        ASSERT_TRUE(rw.overlay(gen, &buf[0], n, (off_t)at, &end)) << "seq " << seq;
        ASSERT_EQ(content.back().substr(at, n), buf) << "seq " << seq << " gen " << gen;
        if (gen < seq) {
            EXPECT_GT(end, 0);
        }
        // Where the writes above the merge end, as the size query sees it.
        off_t furthest = 0;
        for (uint64_t w = gen + 1; w <= seq; w++) furthest = std::max(furthest, write_end[w]);
        off_t ext = -1;
        ASSERT_TRUE(rw.extent(gen, &ext));
        ASSERT_EQ(furthest, ext) << "seq " << seq << " gen " << gen;
        if (dropped > 0) {
            EXPECT_FALSE(rw.extent(dropped - 1, &ext));
            std::string untouched(n, '#');
            EXPECT_FALSE(rw.overlay(dropped - 1, &untouched[0], n, (off_t)at, &end));
            EXPECT_EQ(std::string(n, '#'), untouched);
        }
    }
}

TEST(RecentWrites, BudgetAndTruncationForgetEverythingAndSayWhen) {
    RecentWrites::setBudget(2);
    {
        RecentWrites rw;
        MemLog log;
        rw.want();
        off_t end;
        std::string block(4000, 'x');
        log.add(rw, 0, block.data(), block.size(), 1);
        log.add(rw, 4000, block.data(), block.size(), 2);
        EXPECT_EQ(8000u, rw.heldBytes());
        // A rewrite of kept bytes costs nothing more.
        log.add(rw, 0, block.data(), block.size(), 3);
        EXPECT_EQ(8000u, rw.heldBytes());
        EXPECT_EQ(2u, RecentWrites::processPieces());
        log.add(rw, 8000, block.data(), block.size(), 4);  // over the budget
        EXPECT_EQ(0u, rw.heldBytes());
        EXPECT_EQ(0u, RecentWrites::processPieces());
        // Spent, it keeps nothing until a read asks again: that read
        // merges anyway.
        log.add(rw, 9000, block.data(), block.size(), 5);
        EXPECT_EQ(0u, RecentWrites::processPieces());
        std::string buf(10, '\0');
        EXPECT_FALSE(rw.overlay(4, &buf[0], buf.size(), 0, &end));
        EXPECT_TRUE(rw.overlay(5, &buf[0], buf.size(), 0, &end));
        EXPECT_EQ(0, end);

        log.add(rw, 100, "abc", 3, 6);
        EXPECT_EQ(1u, RecentWrites::processPieces());
        rw.forgetAll(7);
        EXPECT_EQ(0u, rw.heldBytes());
        EXPECT_FALSE(rw.extent(6, &end));
        EXPECT_TRUE(rw.extent(7, &end));
        EXPECT_EQ(0, end);
    }
    RecentWrites::setBudget(1u << 16);
    EXPECT_EQ(0u, RecentWrites::processPieces());
}

// The kept writes are read back from their log: a log that no longer holds
// them (cut short behind the writer's back) must send the read to a merge,
// never lay zeros or stale bytes over it.
TEST(RecentWrites, ALogThatLostAKeptWriteSendsTheReadToAMerge) {
    RecentWrites rw;
    MemLog log;
    rw.want();
    log.add(rw, 0, "abcdefgh", 8, 1);
    log.add(rw, 8, "ijkl", 4, 2);
    std::string buf(12, '.');
    off_t end = 0;
    ASSERT_TRUE(rw.overlay(0, &buf[0], buf.size(), 0, &end));
    EXPECT_EQ("abcdefghijkl", buf);
    EXPECT_EQ(12, end);
    // A piece cut by a later write reads from the right place in the log.
    log.add(rw, 2, "XY", 2, 3);
    buf.assign(12, '.');
    ASSERT_TRUE(rw.overlay(0, &buf[0], buf.size(), 0, &end));
    EXPECT_EQ("abXYefghijkl", buf);
    log.add(rw, 7, "Z", 1, 4);
    buf.assign(12, '.');
    ASSERT_TRUE(rw.overlay(0, &buf[0], buf.size(), 0, &end));
    EXPECT_EQ("abXYefgZijkl", buf);
    ASSERT_EQ(0, ftruncate(log.ref->fd(), 10));
    buf.assign(12, '.');
    EXPECT_FALSE(rw.overlay(1, &buf[0], buf.size(), 0, &end));
    // Everything was forgotten: only a merge from now on is completed.
    EXPECT_EQ(0u, rw.heldBytes());
    EXPECT_FALSE(rw.overlay(3, &buf[0], buf.size(), 0, &end));
    EXPECT_TRUE(rw.overlay(4, &buf[0], buf.size(), 0, &end));
    // A write without a readable log is not kept either.
    rw.add(0, 4, 5, nullptr, 0);
    EXPECT_EQ(0u, rw.heldBytes());
    EXPECT_FALSE(rw.overlay(4, &buf[0], buf.size(), 0, &end));
    EXPECT_EQ(0u, RecentWrites::processPieces());
}

TEST(RecentWrites, KeepsNoBytesUntilAReadAsksButAlwaysWhereWritesEnd) {
    RecentWrites rw;
    MemLog log;
    log.add(rw, 0, "abcd", 4, 1);
    EXPECT_EQ(0u, rw.heldBytes());
    EXPECT_EQ(0u, RecentWrites::processPieces());
    // A size query needs no bytes: it is answered all the same.
    off_t end = -1;
    ASSERT_TRUE(rw.extent(0, &end));
    EXPECT_EQ(4, end);
    // A read does: the unkept write cannot complete a merge from before it.
    std::string buf(8, '.');
    EXPECT_FALSE(rw.overlay(0, &buf[0], buf.size(), 0, &end));
    EXPECT_EQ("........", buf);
    // Asked once, it keeps what follows.
    buf = "abcd....";
    ASSERT_TRUE(rw.overlay(1, &buf[0], buf.size(), 0, &end));
    log.add(rw, 4, "efgh", 4, 2);
    EXPECT_EQ(4u, rw.heldBytes());
    ASSERT_TRUE(rw.overlay(1, &buf[0], buf.size(), 0, &end));
    EXPECT_EQ("abcdefgh", buf);
    EXPECT_EQ(8, end);
    // A later write that ends short of an earlier one leaves the furthest
    // end to the earlier one for merges before both.
    log.add(rw, 100, "x", 1, 3);
    log.add(rw, 10, "y", 1, 4);
    ASSERT_TRUE(rw.extent(2, &end));
    EXPECT_EQ(101, end);
    ASSERT_TRUE(rw.extent(3, &end));
    EXPECT_EQ(11, end);
    ASSERT_TRUE(rw.extent(4, &end));
    EXPECT_EQ(0, end);
    rw.dropThrough(3);
    EXPECT_FALSE(rw.extent(2, &end));
    ASSERT_TRUE(rw.extent(3, &end));
    EXPECT_EQ(11, end);
    // A truncation forgets where everything ended.
    rw.forgetAll(5);
    EXPECT_FALSE(rw.extent(4, &end));
    ASSERT_TRUE(rw.extent(5, &end));
    EXPECT_EQ(0, end);
}

/* --- through the container layer -------------------------------------- */

class RecentContainer : public ContainerMount {
protected:
    // Bytes in the file's index logs on its backend: they grow only when
    // records are published.
    off_t index_bytes(const std::string &rel) {
        off_t total = 0;
        std::string dir = backend(rel);
        DIR *d = opendir(dir.c_str());
        if (!d) return -1;
        while (struct dirent *e = readdir(d)) {
            std::string host = e->d_name;
            if (host.compare(0, 8, "hostdir.") != 0) continue;
            DIR *h = opendir((dir + "/" + host).c_str());
            if (!h) continue;
            while (struct dirent *f = readdir(h)) {
                std::string n = f->d_name;
                struct stat st;
                if (n.compare(0, 6, "index.") == 0 &&
                    stat((dir + "/" + host + "/" + n).c_str(), &st) == 0)
                    total += st.st_size;
            }
            closedir(h);
        }
        closedir(d);
        return total;
    }
    static std::string block(char c, size_t n = 8192) { return std::string(n, c); }
};

TEST_F(RecentContainer, RewriteLoopReadsItsOwnWritesWithoutPublishingThem) {
    const int kBlocks = 64;
    const size_t kB = 8192;
    Vesk_fd *w = open("loop", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, w);
    pid_t pid = getpid();
    for (int b = 0; b < kBlocks; b++)
        ASSERT_EQ((ssize_t)kB, w->write(block('a').data(), kB, (off_t)b * kB, pid));
    // A reader of this process opened beside the writer.
    Vesk_fd *r = open("loop", O_RDONLY);
    ASSERT_NE(nullptr, r);
    off_t published = index_bytes("loop");
    ASSERT_GT(published, 0);

    std::string buf(kB, '\0');
    for (int round = 0; round < 3; round++) {
        char was = (char)('a' + round), now = (char)('b' + round);
        for (int b = 0; b < kBlocks; b++) {
            off_t at = (off_t)b * kB;
            ASSERT_EQ((ssize_t)kB, w->read(&buf[0], kB, at));
            ASSERT_EQ(block(was), buf) << "round " << round << " block " << b;
            ASSERT_EQ((ssize_t)kB, w->write(block(now).data(), kB, at, pid));
            // the other handle sees it at once, a straddling read too
            std::string want = block(now, kB / 2) +
                               (b + 1 < kBlocks ? block(was, kB / 2) : std::string());
            ASSERT_EQ((ssize_t)want.size(), r->read(&buf[0], kB, at + (off_t)kB / 2));
            buf.resize(want.size());
            ASSERT_EQ(want, buf) << "reader, round " << round << " block " << b;
            buf.resize(kB);
        }
    }
    // Nothing was published for those reads.
    EXPECT_EQ(published, index_bytes("loop"));
    struct stat st;
    ASSERT_EQ(0, w->getattr(nullptr, &st, 0));
    EXPECT_EQ((off_t)kBlocks * (off_t)kB, st.st_size);

    // Past the end: a write leaves a hole that reads as zeros, and the size
    // grows with it before anything is published.
    off_t far = (off_t)(kBlocks + 3) * (off_t)kB;
    ASSERT_EQ(3, w->write("xyz", 3, far, pid));
    ASSERT_EQ(0, r->getattr(nullptr, &st, 0));
    EXPECT_EQ(far + 3, st.st_size);
    std::string tail(3 * kB + 10, '#');
    ASSERT_EQ((ssize_t)(3 * kB + 3), r->read(&tail[0], tail.size(), (off_t)kBlocks * kB));
    EXPECT_EQ(std::string(3 * kB, '\0') + "xyz", tail.substr(0, 3 * kB + 3));
    EXPECT_EQ(published, index_bytes("loop"));

    // A truncation ends what was laid over the last merge.
    ASSERT_EQ(0, w->trunc(L("loop").c_str(), 5000));
    ASSERT_EQ((ssize_t)5000, r->read(&buf[0], kB, 0));
    EXPECT_EQ(block('d', 5000), buf.substr(0, 5000));
    ASSERT_EQ(4, w->write("tail", 4, 6000, pid));
    ASSERT_EQ((ssize_t)6004, w->read(&buf[0], kB, 0));
    EXPECT_EQ(block('d', 5000) + std::string(1000, '\0') + "tail", buf.substr(0, 6004));

    EXPECT_EQ(0, r->close(pid, getuid(), O_RDONLY, nullptr));
    delete r;
    EXPECT_EQ(0, w->close(pid, getuid(), O_RDWR, nullptr));
    delete w;
    EXPECT_EQ(block('d', 5000) + std::string(1000, '\0') + "tail", read_all("loop"));
}

// A checkpoint writer opens write-only and never reads: it keeps no copy
// of what it writes, and a read that comes after all is still right.
TEST_F(RecentContainer, AWriterThatNeverReadsKeepsNoCopyOfItsBytes) {
    const size_t kB = 65536;
    Vesk_fd *w = open("ckpt", O_WRONLY | O_CREAT);
    ASSERT_NE(nullptr, w);
    pid_t pid = getpid();
    for (int b = 0; b < 16; b++)
        ASSERT_EQ((ssize_t)kB, w->write(block((char)('a' + b), kB).data(), kB, (off_t)b * kB, pid));
    EXPECT_EQ(0u, RecentWrites::processPieces());
    // Its size, asked through its handle (as a preloaded open does), costs
    // no copy either.
    struct stat st;
    ASSERT_EQ(0, w->getattr(nullptr, &st, 0));
    EXPECT_EQ(16 * (off_t)kB, st.st_size);
    ASSERT_EQ((ssize_t)kB, w->write(block('q', kB).data(), kB, 16 * (off_t)kB, pid));
    ASSERT_EQ(0, w->getattr(nullptr, &st, 0));
    EXPECT_EQ(17 * (off_t)kB, st.st_size);
    EXPECT_EQ(0u, RecentWrites::processPieces());
    // A reader opened beside it sees every byte, and from then on the
    // writer's rewrites are kept and read back without a merge.
    Vesk_fd *r = open("ckpt", O_RDONLY);
    ASSERT_NE(nullptr, r);
    std::string buf(kB, '\0');
    ASSERT_EQ((ssize_t)kB, r->read(&buf[0], kB, 3 * (off_t)kB));
    EXPECT_EQ(block('d', kB), buf);
    ASSERT_EQ((ssize_t)kB, w->write(block('z', kB).data(), kB, 3 * (off_t)kB, pid));
    EXPECT_EQ(1u, RecentWrites::processPieces());
    ASSERT_EQ((ssize_t)kB, r->read(&buf[0], kB, 3 * (off_t)kB));
    EXPECT_EQ(block('z', kB), buf);
    EXPECT_EQ(0, r->close(pid, getuid(), O_RDONLY, nullptr));
    delete r;
    EXPECT_EQ(0, w->close(pid, getuid(), O_WRONLY, nullptr));
    delete w;
    EXPECT_EQ(0u, RecentWrites::processPieces());
}

// What another process publishes is seen by a read after a write here, as
// when every such read merged again.
TEST_F(RecentContainer, AReadAfterAWriteSeesWhatOthersPublishedMeanwhile) {
    Vesk_fd *w = open("shared", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, w);
    pid_t me = getpid();
    ASSERT_EQ(4, w->write("mine", 4, 0, me));
    char buf[16] = {};
    ASSERT_EQ(4, w->read(buf, sizeof buf, 0));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Vesk_fd *o = open("shared", O_RDWR);
        bool ok = o && o->write("theirs", 6, 8, getpid()) == 6 &&
                  o->close(getpid(), getuid(), O_RDWR, nullptr) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(4, w->write("MINE", 4, 0, me));
    ASSERT_EQ(14, w->read(buf, sizeof buf, 0));
    EXPECT_EQ(std::string("MINE\0\0\0\0theirs", 14), std::string(buf, 14));
    EXPECT_EQ(0, w->close(me, getuid(), O_RDWR, nullptr));
    delete w;
}

TEST_F(RecentContainer, ReadsStayRightWhenTheKeptWritesOutgrowTheirBudget) {
    RecentWrites::setBudget(3);
    const size_t kB = 8192;
    Vesk_fd *w = open("budget", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, w);
    pid_t pid = getpid();
    std::string buf(kB, '\0');
    for (int b = 0; b < 12; b++) {
        std::string data = pattern(kB, (unsigned)b);
        ASSERT_EQ((ssize_t)kB, w->write(data.data(), kB, (off_t)b * kB, pid));
        for (int back = 0; back <= b; back++) {
            ASSERT_EQ((ssize_t)kB, w->read(&buf[0], kB, (off_t)back * kB));
            ASSERT_EQ(pattern(kB, (unsigned)back), buf) << "after " << b << ", block " << back;
        }
    }
    EXPECT_LE(RecentWrites::processPieces(), 3u);
    RecentWrites::setBudget(1u << 16);
    EXPECT_EQ(0, w->close(pid, getuid(), O_RDWR, nullptr));
    delete w;
    EXPECT_EQ(0u, RecentWrites::processPieces());
}

bool later(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// The kernel's page cache of a mounted file is dropped when the file's
// modification time changes: a time that stood still while other processes
// wrote let pages read before a write stay cached after it.
TEST_F(RecentContainer, AnOpenWritersTimeMovesWithEachWriteUntilTimesAreSet) {
    Vesk_fd *w = open("times", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, w);
    pid_t pid = getpid();
    struct stat st;
    ASSERT_EQ(0, w->getattr(nullptr, &st, 0));
    struct timespec prev = st.st_mtim;
    for (int i = 0; i < 5; i++) {
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
        ASSERT_EQ(1, w->write("x", 1, i, pid));
        ASSERT_EQ(0, w->getattr(nullptr, &st, 0));
        EXPECT_TRUE(later(st.st_mtim, prev)) << "write " << i;
        prev = st.st_mtim;
    }
    // Times set by a caller stand, through the handle and after the close.
    struct timespec ts[2] = {{1000000000, 5}, {1100000000, 6}};
    ASSERT_EQ(0, containerfs.utimens(L("times").c_str(), ts, 0));
    ASSERT_EQ(0, w->getattr(nullptr, &st, 0));
    EXPECT_EQ(1100000000, st.st_mtim.tv_sec);
    EXPECT_EQ(6, st.st_mtim.tv_nsec);
    EXPECT_EQ(0, w->close(pid, getuid(), O_RDWR, nullptr));
    delete w;
    ASSERT_EQ(0, containerfs.getattr(L("times").c_str(), &st, 0));
    EXPECT_EQ(1100000000, st.st_mtim.tv_sec);
    EXPECT_EQ(6, st.st_mtim.tv_nsec);
    EXPECT_EQ(1000000000, st.st_atim.tv_sec);
    EXPECT_EQ(5u, (unsigned)st.st_size);
}

}  // namespace
