/* Flattening after the last close: when a file that several writers wrote
 * much of loses its last writer, its merged index is written to
 * global.index; readers then use it while it is current and merge the logs
 * otherwise, and nothing is lost when it cannot be written. */
#include "container_test_util.h"

#include "Util.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/Layout.h"

#include <memory>
#include <signal.h>
#include <sys/wait.h>

using namespace vesk_test;

namespace {

class FlattenOnClose : public ContainerMount {
protected:
    static const size_t kBlock = 100;

    // Writes `blocks` blocks of `pid`'s stripe (blocks k * stride + slot)
    // through the open `fd`, each its own record; `want` gets the bytes.
    static void write_stripe(Vesk_fd *fd, pid_t pid, size_t slot, size_t stride, size_t blocks,
                             std::string &want) {
        for (size_t k = 0; k < blocks; k++) {
            off_t at = (off_t)((k * stride + slot) * kBlock);
            std::string b = pattern(kBlock, (unsigned)(pid + k));
            ASSERT_EQ((ssize_t)kBlock, fd->write(b.data(), b.size(), at, pid));
            if (want.size() < (size_t)at + kBlock) want.resize((size_t)at + kBlock, '\0');
            want.replace((size_t)at, kBlock, b);
        }
    }
    // Two writers, `a` and `b`, write interleaved stripes of `blocks`
    // blocks each and close.
    void write_by_two(const std::string &rel, pid_t a, pid_t b, size_t blocks,
                      std::string &want) {
        Vesk_fd *fa = open(rel, O_WRONLY | O_CREAT, a);
        ASSERT_NE(nullptr, fa);
        Vesk_fd *fb = open(rel, O_WRONLY, b);
        ASSERT_NE(nullptr, fb);
        write_stripe(fa, a, 0, 2, blocks, want);
        write_stripe(fb, b, 1, 2, blocks, want);
        EXPECT_EQ(0, fa->close(a, getuid(), O_WRONLY, nullptr));
        EXPECT_EQ(0, fb->close(b, getuid(), O_WRONLY, nullptr));
        delete fa;
        delete fb;
    }
    std::string flat(const std::string &rel) { return backend(rel) + "/global.index"; }
    bool uses_flattened(const std::string &rel) {
        Index idx(backend(rel));
        return idx.readIndex(backend(rel)) == 0 && idx.usedFlattened();
    }
    bool leftovers(const std::string &rel) {
        for (const std::string &n : list(backend(rel)))
            if (n.find(".tmp.") != std::string::npos) return true;
        return false;
    }
};

TEST_F(FlattenOnClose, TheLastOfSeveralWritersFlattensAndLaterWritesMakeItStale) {
    // Two writers (two client pids of this process, as the mount daemon
    // serves them) write interleaved stripes of one file, N-1.
    const pid_t a = 4100001, b = 4100002;
    std::string want;
    Vesk_fd *fa = open("ck", O_WRONLY | O_CREAT, a);
    ASSERT_NE(nullptr, fa);
    Vesk_fd *fb = open("ck", O_WRONLY, b);
    ASSERT_NE(nullptr, fb);
    write_stripe(fa, a, 0, 2, 100, want);
    write_stripe(fb, b, 1, 2, 100, want);
    ASSERT_EQ(0, fa->close(a, getuid(), O_WRONLY, nullptr));
    delete fa;
    // one writer still open here: no flattening yet
    EXPECT_FALSE(Util::exists(flat("ck").c_str()));
    ASSERT_EQ(0, fb->close(b, getuid(), O_WRONLY, nullptr));
    delete fb;
    ASSERT_TRUE(Util::exists(flat("ck").c_str()));
    EXPECT_FALSE(leftovers("ck"));
    EXPECT_TRUE(uses_flattened("ck"));
    EXPECT_EQ(want, read_all("ck"));
    EXPECT_EQ((off_t)want.size(), size_of("ck"));

    // A short write later (too short to flatten again) makes it stale: it is
    // no longer used, and the read sees the write.
    write_file_at("ck", "late", 150, O_WRONLY, a);
    want.replace(150, 4, "late");
    EXPECT_TRUE(Util::exists(flat("ck").c_str()));
    EXPECT_FALSE(uses_flattened("ck"));
    EXPECT_EQ(want, read_all("ck"));

    // A truncation to 0 takes it away with the logs.
    Vesk_fd *ft = open("ck", O_WRONLY | O_TRUNC, a);
    ASSERT_NE(nullptr, ft);
    ASSERT_EQ(0, ft->close(a, getuid(), O_WRONLY | O_TRUNC, nullptr));
    delete ft;
    EXPECT_FALSE(Util::exists(flat("ck").c_str()));
    EXPECT_EQ(0, size_of("ck"));
}

// Sizes from a listing may be a network file system's cached attributes;
// what an open of the log tells decides whether the flattened index holds.
TEST_F(FlattenOnClose, ALogGrownSinceIsSeenThoughTheListingShowsItsOldSize) {
    const pid_t a = 4500001, b = 4500002;
    std::string want;
    write_by_two("nc", a, b, 100, want);
    ASSERT_TRUE(uses_flattened("nc"));
    // Another node appends to b's log; this node's listing still has the
    // size the flattened index recorded.
    std::string log = "/index." + std::to_string(b);
    struct stat st;
    ASSERT_EQ(0, ::lstat((vesk_cont::hostdir(backend("nc"), vesk_cont::host()) + log).c_str(), &st));
    write_file_at("nc", "remote", 0, O_WRONLY, b);
    want.replace(0, 6, "remote");
    StaleListing nfs(log, st.st_size);
    EXPECT_FALSE(uses_flattened("nc"));
    EXPECT_EQ(want, read_all("nc"));
}

// Logs and flattened indexes are read in slices through one buffer: what
// lies past the first slice, and a slice cut short at the end, must come
// back whole, and a damaged record or entry there must be the one found.
TEST_F(FlattenOnClose, LogsLongerThanOneReadSliceAreReadWhole) {
    const pid_t a = 4600001, b = 4600002;
    const size_t blocks = 2500;  // per writer: 2 slices of records and a part
    std::string want;
    write_by_two("big", a, b, blocks, want);
    ASSERT_TRUE(uses_flattened("big"));
    EXPECT_EQ(want, read_all("big"));

    // An entry of the flattened index's last slice changes: its checksum
    // no longer holds, and the logs are merged instead.
    int gfd = ::open(flat("big").c_str(), O_RDWR);
    ASSERT_GE(gfd, 0);
    off_t entry = vesk_fmt::kGlobalHeaderSize + 2 * vesk_fmt::kGlobalSourceSize +
                  (off_t)(2 * blocks - 3) * vesk_fmt::kGlobalEntrySize;
    char byte;
    ASSERT_EQ(1, pread(gfd, &byte, 1, entry + 16));  // its physical offset
    byte ^= 0x01;
    ASSERT_EQ(1, pwrite(gfd, &byte, 1, entry + 16));
    ::close(gfd);
    EXPECT_FALSE(uses_flattened("big"));
    EXPECT_EQ(want, read_all("big"));

    // A record of a's log past its second slice is damaged: the merge
    // loses that write alone, its neighbours of both writers read.
    ASSERT_EQ(0, ::unlink(flat("big").c_str()));
    const size_t k = 2100;
    std::string log = vesk_cont::hostdir(backend("big"), vesk_cont::host()) + "/index." +
                      std::to_string(a);
    int lfd = ::open(log.c_str(), O_RDWR);
    ASSERT_GE(lfd, 0);
    off_t rec = vesk_fmt::kIndexHeaderSize + (off_t)k * vesk_fmt::kIndexRecordSize;
    ASSERT_EQ(1, pread(lfd, &byte, 1, rec + 20));
    byte ^= 0x10;
    ASSERT_EQ(1, pwrite(lfd, &byte, 1, rec + 20));
    ::close(lfd);
    Vesk_fd *fd = open("big", O_RDONLY);
    ASSERT_NE(nullptr, fd);
    char buf[kBlock];
    off_t lost = (off_t)(2 * k * kBlock);
    EXPECT_EQ(-EIO, fd->read(buf, kBlock, lost));
    for (off_t at : {lost - (off_t)kBlock, lost + (off_t)kBlock, lost + 2 * (off_t)kBlock,
                     (off_t)(want.size() - kBlock)}) {
        ASSERT_EQ((ssize_t)kBlock, fd->read(buf, kBlock, at)) << at;
        EXPECT_EQ(want.substr((size_t)at, kBlock), std::string(buf, kBlock)) << at;
    }
    fd->close(getpid(), getuid(), O_RDONLY, nullptr);
    delete fd;
}

// Two indexes hold the same pieces, and every lookup in them agrees: the
// bytes' place (log and offset) or a hole, and how far either reaches.
::testing::AssertionResult same_index(Index &x, Index &y, off_t end) {
    if (x.entries().size() != y.entries().size())
        return ::testing::AssertionFailure()
               << x.entries().size() << " pieces against " << y.entries().size();
    for (size_t i = 0; i < x.entries().size(); i++) {
        IndexPiece a = x.entries().at(i), b = y.entries().at(i);
        if (a.logical != b.logical || a.physical != b.physical || a.length != b.length ||
            a.chunk != b.chunk || a.id != b.id)
            return ::testing::AssertionFailure() << "piece " << i << " differs";
    }
    for (off_t at = 0; at < end + 300; at += 37) {
        int fa, fb;
        off_t oa, ob;
        size_t la, lb;
        bool ha, hb;
        pid_t pa, pb;
        int ra = x.globalLookup(&fa, &oa, &la, &ha, &pa, at);
        int rb = y.globalLookup(&fb, &ob, &lb, &hb, &pb, at);
        struct stat sa, sb;
        bool same_log = fa < 0 ? fb < 0
                               : fb >= 0 && fstat(fa, &sa) == 0 && fstat(fb, &sb) == 0 &&
                                     sa.st_ino == sb.st_ino;
        if (ra != rb || !same_log || oa != ob || la != lb || ha != hb || pa != pb)
            return ::testing::AssertionFailure() << "lookups at " << at << " differ";
    }
    return ::testing::AssertionSuccess();
}

// A process keeps the memory of the last merged index it dropped for the
// next: it must come back empty, go only to an index of about its size,
// and never to two indexes at once.
TEST_F(FlattenOnClose, AnIndexBuiltAfterAnotherIsDroppedReadsRightInItsMemory) {
    std::string wa, wb, ws;
    write_by_two("a", 4700001, 4700002, 200, wa);  // 400 pieces
    write_by_two("b", 4700003, 4700004, 190, wb);  // 380
    write_by_two("s", 4700005, 4700006, 20, ws);   // 40
    // the merge of the logs writes its pieces out; a flattened index of
    // stripes would keep one period of them
    for (const char *f : {"a", "b"}) ASSERT_EQ(0, ::unlink(flat(f).c_str()));
    ASSERT_FALSE(Util::exists(flat("s").c_str()));  // too few records to flatten
    const void *kept;
    {
        Index ia(backend("a"));
        ASSERT_EQ(0, ia.readIndex(backend("a")));
        ASSERT_EQ(400u, ia.entries().size());
        kept = ia.entries().storage();
    }
    for (int round = 0; round < 2; round++) {
        Index ib(backend("b"));
        ASSERT_EQ(0, ib.readIndex(backend("b")));
        EXPECT_EQ(kept, ib.entries().storage()) << round;
        Index other(backend("b"));  // the memory is taken: this one has its own
        ASSERT_EQ(0, other.readIndex(backend("b")));
        EXPECT_NE(ib.entries().storage(), other.entries().storage());
        EXPECT_TRUE(same_index(ib, other, (off_t)wb.size())) << round;
    }  // other goes first, ib last: ib's memory is the one kept
    {
        Index is(backend("s"));  // far smaller: not given 380 pieces' memory
        ASSERT_EQ(0, is.readIndex(backend("s")));
        EXPECT_EQ(40u, is.entries().size());
        EXPECT_NE(kept, is.entries().storage());
    }
    EXPECT_EQ(wa, read_all("a"));
    EXPECT_EQ(wb, read_all("b"));
    EXPECT_EQ(ws, read_all("s"));
}

// The flattened index of a checkpoint's stripes is kept as one period,
// and serves every lookup as the merge of the logs does; where the pattern
// breaks, or anything changes the pieces, they are written out and serve
// as before.
TEST_F(FlattenOnClose, AStripedCheckpointIsKeptAsOnePeriod) {
    auto merged = [&](const std::string &rel, std::unique_ptr<Index> &idx) {
        // the same file's logs merged, its flattened index set aside
        std::string f = flat(rel), aside = f + ".aside";
        ASSERT_EQ(0, ::rename(f.c_str(), aside.c_str()));
        idx.reset(new Index(backend(rel)));
        ASSERT_EQ(0, idx->readIndex(backend(rel)));
        EXPECT_FALSE(idx->usedFlattened());
        ASSERT_EQ(0, ::rename(aside.c_str(), f.c_str()));
    };
    // Two writers' stripes, the second writer's blocks shorter (its data
    // log grows by other steps, and holes lie between): whole, with its
    // last block shorter still (the pattern breaks at the very end), and
    // with one of its blocks left out (a hole where the pattern breaks).
    auto write_two = [&](const std::string &rel, pid_t a, pid_t b, bool short_last, bool skip,
                         std::string &want) {
        Vesk_fd *fa = open(rel, O_WRONLY | O_CREAT, a);
        ASSERT_NE(nullptr, fa);
        Vesk_fd *fb = open(rel, O_WRONLY, b);
        ASSERT_NE(nullptr, fb);
        write_stripe(fa, a, 0, 2, 300, want);
        for (size_t k = 0; k < 300; k++) {
            if (skip && k == 150) continue;
            off_t at = (off_t)((k * 2 + 1) * kBlock);
            std::string blk = pattern(short_last && k == 299 ? 30 : 60, (unsigned)(b + k));
            ASSERT_EQ((ssize_t)blk.size(), fb->write(blk.data(), blk.size(), at, b));
            if (want.size() < (size_t)at + blk.size()) want.resize((size_t)at + blk.size(), '\0');
            want.replace((size_t)at, blk.size(), blk);
        }
        EXPECT_EQ(0, fa->close(a, getuid(), O_WRONLY, nullptr));
        EXPECT_EQ(0, fb->close(b, getuid(), O_WRONLY, nullptr));
        delete fa;
        delete fb;
    };
    std::string whole, tail, gap;
    write_two("ck", 4800001, 4800002, false, false, whole);
    write_two("tail", 4800003, 4800004, true, false, tail);
    write_two("gap", 4800005, 4800006, false, true, gap);
    ASSERT_EQ(std::string(kBlock, '\0'), gap.substr(301 * kBlock, kBlock));
    struct Case {
        const char *rel;
        const std::string *bytes;
        bool periodic;
    } cases[] = {{"ck", &whole, true}, {"tail", &tail, false}, {"gap", &gap, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rel);
        Index idx(backend(c.rel));
        ASSERT_EQ(0, idx.readIndex(backend(c.rel)));
        ASSERT_TRUE(idx.usedFlattened());
        EXPECT_EQ(c.periodic, idx.entries().periodic());
        if (c.periodic) {
            EXPECT_LT(idx.entries().memoryBytes(), 512u);
        }
        std::unique_ptr<Index> logs;
        merged(c.rel, logs);
        ASSERT_TRUE(logs);
        EXPECT_TRUE(same_index(idx, *logs, (off_t)c.bytes->size()));
        EXPECT_EQ(*c.bytes, read_all(c.rel));
    }

    // A write merged into the periodic index, or a truncation, writes it
    // out; it agrees with the merge of the logs changed alike.
    for (int change = 0; change < 2; change++) {
        SCOPED_TRACE(change);
        Index idx(backend("ck"));
        ASSERT_EQ(0, idx.readIndex(backend("ck")));
        ASSERT_TRUE(idx.entries().periodic());
        std::unique_ptr<Index> logs;
        merged("ck", logs);
        ASSERT_TRUE(logs);
        for (Index *x : {&idx, logs.get()}) {
            if (change == 0) {
                ContainerEntry e;
                e.logical_offset = 12345;
                e.length = 1000;
                e.physical_offset = 0;
                e.id = 4800002;
                e.original_chunk = 1;
                ASSERT_EQ(0, x->insertGlobal(&e));
            } else {
                ASSERT_EQ(0, x->truncate(20050));
            }
        }
        EXPECT_FALSE(idx.entries().periodic());
        EXPECT_TRUE(same_index(idx, *logs, (off_t)whole.size()));
        if (change == 1) {
            EXPECT_EQ(201u, idx.entries().size());
            EXPECT_EQ(50u, idx.entries().at(200).length);
        }
    }
}

TEST_F(FlattenOnClose, OneWriterOrFewRecordsAreLeftToTheMerge) {
    // One writer, many records: one log to read, nothing to gain.
    std::string want;
    Vesk_fd *fd = open("one", O_WRONLY | O_CREAT);
    ASSERT_NE(nullptr, fd);
    write_stripe(fd, getpid(), 0, 1, 300, want);
    ASSERT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_FALSE(Util::exists(flat("one").c_str()));
    EXPECT_EQ(want, read_all("one"));
    // Two writers of a few records each: the merge costs less than a
    // flattening at every close would.
    for (pid_t p = 4200001; p <= 4200002; p++) {
        Vesk_fd *f = open("few", O_WRONLY | O_CREAT, p);
        ASSERT_NE(nullptr, f);
        std::string unused;
        write_stripe(f, p, (size_t)(p - 4200001), 2, 10, unused);
        ASSERT_EQ(0, f->close(p, getuid(), O_WRONLY, nullptr));
        delete f;
    }
    EXPECT_FALSE(Util::exists(flat("few").c_str()));
    EXPECT_EQ(2000, size_of("few"));
}

TEST_F(FlattenOnClose, AWriterOpenInAnotherProcessFlattensAtItsOwnClose) {
    int go[2], done[2];
    ASSERT_EQ(0, pipe(go));
    ASSERT_EQ(0, pipe(done));
    std::string mine, theirs;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // writes its stripe, waits for the parent's close, then closes
        Vesk_fd *fd = nullptr;
        if (containerfs.open(&fd, L("shared").c_str(), O_WRONLY | O_CREAT, getpid(), 0644,
                             nullptr) != 0)
            _exit(2);
        for (size_t k = 0; k < 100; k++) {
            std::string b = pattern(kBlock, (unsigned)k);
            if (fd->write(b.data(), b.size(), (off_t)((2 * k + 1) * kBlock), getpid()) !=
                (ssize_t)kBlock)
                _exit(3);
        }
        char c = 0;
        if (write(done[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(4);
        _exit(fd->close(getpid(), getuid(), O_WRONLY, nullptr) == 0 ? 0 : 5);
    }
    char c;
    ASSERT_EQ(1, read(done[0], &c, 1));
    for (size_t k = 0; k < 100; k++) {
        std::string b = pattern(kBlock, (unsigned)k);
        theirs.resize((2 * k + 2) * kBlock, '\0');
        theirs.replace((2 * k + 1) * kBlock, kBlock, b);
    }
    Vesk_fd *fd = open("shared", O_WRONLY);
    ASSERT_NE(nullptr, fd);
    write_stripe(fd, getpid(), 0, 2, 100, mine);
    ASSERT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
    delete fd;
    // the child's writer is still open: its close is the last
    EXPECT_FALSE(Util::exists(flat("shared").c_str()));
    ASSERT_EQ(1, write(go[1], "x", 1));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(Util::exists(flat("shared").c_str()));
    EXPECT_TRUE(uses_flattened("shared"));
    std::string want = theirs;
    for (size_t k = 0; k < 100; k++) want.replace(2 * k * kBlock, kBlock, mine, 2 * k * kBlock, kBlock);
    EXPECT_EQ(want, read_all("shared"));
    for (int f : {go[0], go[1], done[0], done[1]}) close(f);
}

TEST_F(FlattenOnClose, AFailedFlatteningFailsNoCloseAndLeavesNothing) {
    // Every sync fails: the flattened index cannot be made durable, so it
    // is not put in place, and the close still succeeds.
    auto saved = Util::syscalls();
    Util::syscalls().fsync = [](int) -> int {
        errno = EIO;
        return -1;
    };
    const pid_t a = 4300001, b = 4300002;
    std::string want;
    write_by_two("nf", a, b, 80, want);
    Util::syscalls() = saved;
    EXPECT_FALSE(Util::exists(flat("nf").c_str()));
    EXPECT_FALSE(leftovers("nf"));
    EXPECT_EQ(want, read_all("nf"));
}

TEST_F(FlattenOnClose, ReadersThatVerifyDataMergeTheLogsEvenWhenFlattened) {
    const pid_t a = 4400001, b = 4400002;
    std::string want;
    write_by_two("vf", a, b, 100, want);
    ASSERT_TRUE(uses_flattened("vf"));
    // One byte of a's first block changes on disk, where only the records'
    // checksums can tell.
    std::string data = vesk_cont::hostdir(backend("vf"), vesk_cont::host()) + "/data." +
                       std::to_string(a);
    int dfd = ::open(data.c_str(), O_RDWR);
    ASSERT_GE(dfd, 0);
    char byte;
    ASSERT_EQ(1, pread(dfd, &byte, 1, 5));
    byte ^= 0x20;
    ASSERT_EQ(1, pwrite(dfd, &byte, 1, 5));
    ::close(dfd);
    EXPECT_NE(want, read_all("vf"));  // served changed, as without flattening
    auto cfg = use_config(tmp.sub("vesk.conf"),
                          "verify = 1\n" + mount_config("/vk", {b0, b1}, "container"));
    ASSERT_TRUE(cfg->errors.empty());
    EXPECT_FALSE(uses_flattened("vf"));
    Vesk_fd *fd = open("vf", O_RDONLY);
    ASSERT_NE(nullptr, fd);
    char buf[kBlock];
    EXPECT_EQ(-EIO, fd->read(buf, sizeof buf, 0));  // a's first block is lost
    std::string rest(kBlock, '\0');
    EXPECT_EQ((ssize_t)kBlock, fd->read(&rest[0], kBlock, kBlock));  // b's reads
    EXPECT_EQ(want.substr(kBlock, kBlock), rest);
    fd->close(getpid(), getuid(), O_RDONLY, nullptr);
    delete fd;
}

}  // namespace
