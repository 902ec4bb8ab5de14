/* The open-file record and the container classes behind it: the record's
 * fields and path propagation, the index entries' geometry and the merged
 * index's map (overlaps, splits, holes, truncation, flattened form). */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <time.h>

#include "OpenFile.h"
#include "container/Format.h"
#include "container/HostEntry.h"
#include "container/Index.h"
#include "container/WriteFile.h"
#include "vesk_test_util.h"

#include <sys/time.h>

namespace {

TEST(OpenFileRecord, NewRecordFields) {
    char path[] = "/vk/some/file";
    // the record's clock: time(2) reads a coarser one, up to a tick behind
    auto now = [] {
        struct timeval t;
        gettimeofday(&t, nullptr);
        return t.tv_sec;
    };
    time_t before = now();
    Container_OpenFile rec(nullptr, nullptr, 4242, 0640, path);
    time_t after = now();
    path[1] = 'X';  // the record keeps a copy
    EXPECT_STREQ("/vk/some/file", rec.getPath());
    EXPECT_EQ(4242, rec.getPid());
    EXPECT_EQ((mode_t)0640, rec.getMode());
    EXPECT_GE(rec.getCtime(), before);
    EXPECT_LE(rec.getCtime(), after);
    EXPECT_FALSE(rec.isReopen());
    EXPECT_TRUE(rec.isSynced());
    EXPECT_FALSE(rec.needsSync());
    off_t last = -1;
    size_t bytes = 99;
    rec.getMeta(&last, &bytes);
    EXPECT_EQ(0, last);
    EXPECT_EQ(0u, bytes);
    EXPECT_EQ(0, rec.incrementOpens(0));
    EXPECT_EQ(nullptr, rec.getWritefile());
    EXPECT_EQ(nullptr, rec.getIndex());
    rec.setReopen();
    EXPECT_TRUE(rec.isReopen());
}

TEST(OpenFileRecord, IncrementOpensArithmetic) {
    Container_OpenFile rec(nullptr, nullptr, 1, 0644, "/p");
    EXPECT_EQ(1, rec.incrementOpens(1));
    EXPECT_EQ(4, rec.incrementOpens(3));
    EXPECT_EQ(3, rec.incrementOpens(-1));
    EXPECT_EQ(3, rec.incrementOpens(0));
}

TEST(OpenFileRecord, MetadataFigures) {
    Container_OpenFile rec(nullptr, nullptr, 1, 0644, "/p");
    rec.addWrite(100, 50);
    rec.addWrite(0, 10);
    off_t last;
    size_t bytes;
    rec.getMeta(&last, &bytes);
    EXPECT_EQ(150, last);
    EXPECT_EQ(60u, bytes);
    EXPECT_TRUE(rec.needsSync());
    rec.setSynced();
    EXPECT_TRUE(rec.isSynced());
    rec.truncate(20);
    rec.getMeta(&last, nullptr);
    EXPECT_EQ(20, last);
}

TEST(OpenFileRecord, SetPathReachesWriterAndIndexAsPresent) {
    vesk_test::TempDir tmp;
    ASSERT_TRUE(tmp.ok());
    // Paths under no mount point are backend paths as they are.
    std::string a = tmp.sub("a"), b = tmp.sub("b");
    {
        Container_OpenFile rec(nullptr, nullptr, 1, 0644, a.c_str());
        rec.setPath(b);
        EXPECT_EQ(b, rec.getPath());
    }
    {
        WriteFile wf(a, "h", 0644, 0);
        Container_OpenFile rec(&wf, nullptr, 1, 0644, a.c_str());
        rec.setPath(b);
        EXPECT_EQ(b, rec.getPath());
        EXPECT_EQ(b, wf.containerPath());
        EXPECT_EQ(&wf, rec.getWritefile());
    }
    {
        Index idx(a);
        Container_OpenFile rec(nullptr, &idx, 1, 0644, a.c_str());
        rec.setPath(b);
        EXPECT_EQ(b, rec.getPath());
        EXPECT_EQ(b, idx.path());
        // setters replace, and the record still never owns them
        rec.setIndex(nullptr);
        EXPECT_EQ(nullptr, rec.getIndex());
    }
    {
        WriteFile wf(a, "h", 0644, 0);
        Index idx(a);
        Container_OpenFile rec(nullptr, nullptr, 1, 0644, a.c_str());
        rec.setWritefile(&wf);
        rec.setIndex(&idx);
        rec.setPath(b);
        EXPECT_EQ(b, wf.containerPath());
        EXPECT_EQ(b, idx.path());
    }
}

TEST(OpenFileRecord, LockIndexExcludesOtherThreads) {
    Container_OpenFile rec(nullptr, nullptr, 1, 0644, "/p");
    ASSERT_EQ(0, rec.lockIndex());
    std::atomic<bool> entered{false};
    std::thread t([&] {
        rec.lockIndex();
        entered = true;
        rec.unlockIndex();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    ASSERT_EQ(0, rec.unlockIndex());
    t.join();
    EXPECT_TRUE(entered.load());
}

/* --- entries -------------------------------------------------------------- */

HostEntry he(off_t lo, size_t len, off_t po, pid_t id = 1) {
    HostEntry e(lo, len, id);
    e.physical_offset = po;
    return e;
}

TEST(Entries, Geometry) {
    HostEntry a = he(100, 50, 0), b = he(150, 10, 50), c = he(140, 20, 0);
    EXPECT_EQ(150, a.logical_tail());
    EXPECT_TRUE(a.contains(100));
    EXPECT_TRUE(a.contains(149));
    EXPECT_FALSE(a.contains(150));
    EXPECT_FALSE(a.contains(99));
    EXPECT_TRUE(a.splittable(101));
    EXPECT_FALSE(a.splittable(100));
    EXPECT_FALSE(a.splittable(150));
    EXPECT_TRUE(a.overlap(c));
    EXPECT_FALSE(a.overlap(b));
    EXPECT_TRUE(a.abut(b));
    EXPECT_TRUE(b.abut(a));
    EXPECT_TRUE(b.follows(a));
    EXPECT_TRUE(a.preceeds(b));
    HostEntry other_writer = he(150, 10, 50, 2);
    EXPECT_FALSE(other_writer.follows(a));
    HostEntry gap = he(150, 10, 60);
    EXPECT_FALSE(gap.follows(a));  // logically next, physically not
    HostEntry copy(a);
    EXPECT_EQ(a.logical_offset, copy.logical_offset);
    EXPECT_EQ(a.physical_offset, copy.physical_offset);
}

TEST(Entries, SplitKeepsPhysicalMapping) {
    ContainerEntry e;
    static_cast<HostEntry &>(e) = he(1000, 100, 5000);
    e.original_chunk = 3;
    ContainerEntry back = e.split(1030);
    EXPECT_EQ(1000, e.logical_offset);
    EXPECT_EQ(30u, e.length);
    EXPECT_EQ(1030, back.logical_offset);
    EXPECT_EQ(70u, back.length);
    EXPECT_EQ(5030, back.physical_offset);
    EXPECT_EQ(3, back.original_chunk);
    EXPECT_TRUE(back.mergable(e));
    ContainerEntry other = back;
    other.original_chunk = 4;
    EXPECT_FALSE(other.mergable(e));
}

/* --- merged index ----------------------------------------------------------- */

ContainerEntry ce(off_t lo, size_t len, off_t po, pid_t chunk) {
    ContainerEntry e;
    static_cast<HostEntry &>(e) = he(lo, len, po, chunk);
    e.original_chunk = chunk;
    return e;
}

// The map as (offset, length, chunk, physical) tuples.
std::vector<std::vector<long long>> pieces(const Index &idx) {
    std::vector<std::vector<long long>> out;
    for (auto &kv : idx.entries())
        out.push_back({(long long)kv.first, (long long)kv.second.length,
                       (long long)kv.second.original_chunk, (long long)kv.second.physical_offset});
    return out;
}

TEST(MergedIndex, NewerPiecesCutOlderOnes) {
    Index idx("/nowhere");
    ContainerEntry a = ce(0, 100, 0, 0);
    idx.insertGlobal(&a);
    ContainerEntry inside = ce(40, 10, 0, 1);  // splits a in three
    idx.insertGlobal(&inside);
    EXPECT_EQ((std::vector<std::vector<long long>>{{0, 40, 0, 0}, {40, 10, 1, 0}, {50, 50, 0, 50}}),
              pieces(idx));
    ContainerEntry across = ce(45, 30, 100, 2);  // tail of one, head of another
    idx.insertGlobal(&across);
    EXPECT_EQ((std::vector<std::vector<long long>>{
                  {0, 40, 0, 0}, {40, 5, 1, 0}, {45, 30, 2, 100}, {75, 25, 0, 75}}),
              pieces(idx));
    ContainerEntry all = ce(0, 200, 7, 3);  // covers everything
    idx.insertGlobal(&all);
    EXPECT_EQ((std::vector<std::vector<long long>>{{0, 200, 3, 7}}), pieces(idx));
    EXPECT_EQ(200, idx.lastOffset());
}

TEST(MergedIndex, TruncateAndCompress) {
    Index idx("/nowhere");
    ContainerEntry a = ce(0, 50, 0, 0), b = ce(50, 50, 50, 0), c = ce(200, 10, 100, 1);
    idx.insertGlobal(&a);
    idx.insertGlobal(&b);
    idx.insertGlobal(&c);
    idx.compress();  // a and b continue each other in one chunk
    EXPECT_EQ((std::vector<std::vector<long long>>{{0, 100, 0, 0}, {200, 10, 1, 100}}), pieces(idx));
    idx.truncate(60);
    EXPECT_EQ((std::vector<std::vector<long long>>{{0, 60, 0, 0}}), pieces(idx));
    EXPECT_EQ(60, idx.lastOffset());
    idx.truncate(500);  // extends with a hole
    EXPECT_EQ(500, idx.lastOffset());
    EXPECT_EQ(1u, idx.entries().size());
}

TEST(MergedIndex, LookupFindsPiecesHolesAndTheEnd) {
    Index idx("/nowhere");
    ContainerEntry a = ce(100, 50, 0, 0);
    idx.insertGlobal(&a);
    idx.truncate(300);
    int fd;
    off_t off;
    size_t len;
    bool hole;
    pid_t pid;
    ASSERT_EQ(0, idx.globalLookup(&fd, &off, &len, &hole, &pid, 10));
    EXPECT_TRUE(hole);
    EXPECT_EQ(90u, len);
    ASSERT_EQ(0, idx.globalLookup(&fd, &off, &len, &hole, &pid, 160));
    EXPECT_TRUE(hole);
    EXPECT_EQ(140u, len);  // to the end of the file
    ASSERT_EQ(0, idx.globalLookup(&fd, &off, &len, &hole, &pid, 300));
    EXPECT_EQ(0u, len);
}

TEST(MergedIndex, FlattenedStreamRoundTripAndCorruption) {
    Index idx("/c");
    ContainerEntry a = ce(0, 10, 0, 0), b = ce(4096, 20, 10, 0);
    idx.insertGlobal(&a);
    idx.insertGlobal(&b);
    idx.truncate(10000);
    void *buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(0, idx.global_to_stream(&buf, &len));
    std::string data(static_cast<char *>(buf), len);
    free(buf);
    Index back("/c");
    // the stream names no sources for pieces of chunk 0: reject it
    EXPECT_EQ(-EIO, back.global_from_stream(&data));
    std::string bad = data;
    bad[0] = 'X';
    EXPECT_EQ(-EIO, back.global_from_stream(&bad));
    std::string cut = data.substr(0, data.size() - 5);
    EXPECT_EQ(-EIO, back.global_from_stream(&cut));
}

}  // namespace
