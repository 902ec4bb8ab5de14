/* The container layer through containerfs: layout on the backend, the
 * merge of writers' logs, truncation, flattening, crash left-overs and the
 * path operations. */
#include "container_test_util.h"

#include "Util.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/IndexRecord.h"
#include "container/Layout.h"

#include <dirent.h>
#include <functional>
#include <limits>
#include <set>
#include <signal.h>
#include <sys/wait.h>

using namespace vesk_test;

namespace {

class ContainerTest : public ContainerMount {};

TEST_F(ContainerTest, WriteReadBackAndLayout) {
    std::string data = pattern(10000, 1);
    write_file_at("f", data, 0);
    std::string dir = backend("f");
    struct stat st;
    ASSERT_EQ(0, lstat(dir.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(container_is_container(dir));
    std::string hd = vesk_cont::hostdir(dir, vesk_cont::host());
    std::set<std::string> logs = list(hd);
    EXPECT_EQ(1u, logs.count("data." + std::to_string(getpid())));
    EXPECT_EQ(1u, logs.count("index." + std::to_string(getpid())));
    // data log holds exactly the bytes written, unframed
    EXPECT_EQ(data, read_file(hd + "/data." + std::to_string(getpid())));
    EXPECT_EQ(data, read_all("f"));
    EXPECT_EQ((off_t)data.size(), size_of("f"));
}


TEST_F(ContainerTest, PidsOfOneProcessAreSeparateWritersAndLaterWriteWins) {
    // One process, two client pids (as the mount daemon serves them): each
    // gets logs of its own; where their writes overlap the later one wins.
    const pid_t a = 4000001, b = 4000002;
    Vesk_fd *fd = open("ov", O_RDWR | O_CREAT, a);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(0, containerfs.open(&fd, L("ov").c_str(), O_WRONLY, b, 0644, nullptr));
    std::string A(8192, 'A'), B(8192, 'B'), c(1024, 'c');
    ASSERT_EQ(8192, fd->write(A.data(), A.size(), 0, a));
    ASSERT_EQ(8192, fd->write(B.data(), B.size(), 4096, b));
    ASSERT_EQ(1024, fd->write(c.data(), c.size(), 6144, a));
    std::string got(12288, '?');
    ASSERT_EQ(12288, fd->read(&got[0], got.size(), 0));
    std::string want = std::string(4096, 'A') + std::string(2048, 'B') + c + std::string(5120, 'B');
    EXPECT_EQ(want, got);
    size_t writers = 0, readers = 0, bytes = 0;
    ASSERT_EQ(0, fd->query(&writers, &readers, &bytes, nullptr));
    EXPECT_EQ(2u, writers);
    EXPECT_EQ(1u, readers);
    EXPECT_EQ(8192u + 8192u + 1024u, bytes);
    EXPECT_EQ(1, fd->close(b, getuid(), O_WRONLY, nullptr));
    EXPECT_EQ(0, fd->close(a, getuid(), O_RDWR, nullptr));
    delete fd;
    std::set<std::string> logs = list(vesk_cont::hostdir(backend("ov"), vesk_cont::host()));
    EXPECT_EQ((std::set<std::string>{"data.4000001", "data.4000002", "index.4000001",
                                     "index.4000002"}),
              logs);
    EXPECT_EQ(want, read_all("ov"));
    EXPECT_EQ(12288, size_of("ov"));
}

TEST_F(ContainerTest, OverlapAcrossProcessesResolvesToTheLater) {
    write_file_at("x", std::string(100, 'p'), 0);
    pid_t child = fork();
    if (child == 0) {
        Vesk_fd *fd = nullptr;
        int r = containerfs.open(&fd, L("x").c_str(), O_WRONLY, getpid(), 0, nullptr);
        if (r != 0) _exit(10);
        std::string q(50, 'q');
        if (fd->write(q.data(), q.size(), 25, getpid()) != 50) _exit(11);
        if (fd->close(getpid(), getuid(), O_WRONLY, nullptr) != 0) _exit(12);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_EQ(0, WEXITSTATUS(status));
    // and the parent overwrites part of the child's range again
    write_file_at("x", "RR", 30);
    std::string want = std::string(25, 'p') + std::string(5, 'q') + "RR" +
                       std::string(43, 'q') + std::string(25, 'p');
    EXPECT_EQ(want, read_all("x"));
}

TEST_F(ContainerTest, HolesReadAsZerosAndReadsStopAtTheEnd) {
    write_file_at("h", "head", 0);
    write_file_at("h", "tail", 1 << 20);
    EXPECT_EQ((1 << 20) + 4, size_of("h"));
    Vesk_fd *fd = open("h", O_RDONLY);
    ASSERT_NE(nullptr, fd);
    std::string buf(64, 'x');
    ASSERT_EQ(64, fd->read(&buf[0], 64, 100));
    EXPECT_EQ(std::string(64, '\0'), buf);
    ASSERT_EQ(6, fd->read(&buf[0], 64, (1 << 20) - 2));
    EXPECT_EQ(std::string("\0\0tail", 6), buf.substr(0, 6));
    EXPECT_EQ(0, fd->read(&buf[0], 64, (1 << 20) + 4));
    EXPECT_EQ(0, fd->read(&buf[0], 64, 5 << 20));
    EXPECT_EQ(-EINVAL, fd->read(&buf[0], 64, -1));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete fd;
}

TEST_F(ContainerTest, TruncateClosedToZeroSmallerLarger) {
    std::string data = pattern(20000, 3);
    write_file_at("t", data, 0);
    // smaller: nothing beyond is read, and a later write past the cut
    // leaves zeros, not the old bytes, in between
    ASSERT_EQ(0, containerfs.trunc(L("t").c_str(), 5000, 0));
    EXPECT_EQ(5000, size_of("t"));
    EXPECT_EQ(data.substr(0, 5000), read_all("t"));
    write_file_at("t", "Z", 9999);
    EXPECT_EQ(10000, size_of("t"));
    EXPECT_EQ(data.substr(0, 5000) + std::string(4999, '\0') + "Z", read_all("t"));
    // larger: a hole to the new end
    ASSERT_EQ(0, containerfs.trunc(L("t").c_str(), 30000, 0));
    EXPECT_EQ(30000, size_of("t"));
    std::string r = read_all("t");
    ASSERT_EQ(30000u, r.size());
    EXPECT_EQ(std::string(20000, '\0'), r.substr(10000));
    // zero: every log goes
    ASSERT_EQ(0, containerfs.trunc(L("t").c_str(), 0, 0));
    EXPECT_EQ(0, size_of("t"));
    EXPECT_EQ("", read_all("t"));
    EXPECT_TRUE(list(vesk_cont::hostdir(backend("t"), vesk_cont::host())).empty());
    EXPECT_TRUE(container_is_container(backend("t")));
    write_file_at("t", "again", 0);
    EXPECT_EQ("again", read_all("t"));
}

TEST_F(ContainerTest, TruncateThroughAnOpenHandle) {
    Vesk_fd *fd = open("to", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, fd);
    pid_t me = getpid();
    std::string data = pattern(8000, 4);
    ASSERT_EQ(8000, fd->write(data.data(), data.size(), 0, me));
    ASSERT_EQ(0, fd->trunc(L("to").c_str(), 3000));
    struct stat st;
    ASSERT_EQ(0, fd->getattr(L("to").c_str(), &st, 0));
    EXPECT_EQ(3000, st.st_size);
    std::string buf(9000, '?');
    EXPECT_EQ(3000, fd->read(&buf[0], buf.size(), 0));
    EXPECT_EQ(data.substr(0, 3000), buf.substr(0, 3000));
    ASSERT_EQ(0, fd->trunc(L("to").c_str(), 6000));
    EXPECT_EQ(6000, fd->read(&buf[0], buf.size(), 0));
    EXPECT_EQ(data.substr(0, 3000) + std::string(3000, '\0'), buf.substr(0, 6000));
    ASSERT_EQ(0, fd->trunc(L("to").c_str(), 0));
    EXPECT_EQ(0, fd->read(&buf[0], buf.size(), 0));
    ASSERT_EQ(4, fd->write("abcd", 4, 2, me));
    EXPECT_EQ(6, fd->read(&buf[0], buf.size(), 0));
    EXPECT_EQ(std::string("\0\0abcd", 6), buf.substr(0, 6));
    EXPECT_EQ(0, fd->close(me, getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ(std::string("\0\0abcd", 6), read_all("to"));
    EXPECT_EQ(6, size_of("to"));
    // a truncation of the path while this process holds it open for
    // writing goes through the open record
    fd = open("to", O_WRONLY);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(0, containerfs.trunc(L("to").c_str(), 3, 1));
    ASSERT_EQ(1, fd->write("X", 1, 3, me));
    EXPECT_EQ(0, fd->close(me, getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ(std::string("\0\0aX", 4), read_all("to"));
}

TEST_F(ContainerTest, ADataLogGrownOnAnotherNodeIsReadThoughTheListingShowsItsOldSize) {
    // Two writers (two nodes, as far as the backend can tell); the second
    // appends later, and this node's attribute cache still has its data
    // log's old size. The new records must not be taken for writes beyond
    // the end of their log.
    const pid_t a = 4600001, b = 4600002;
    write_file_at("grown", pattern(512, 1), 0, O_WRONLY | O_CREAT, a);
    write_file_at("grown", pattern(512, 2), 512, O_WRONLY, b);
    std::string data = "/data." + std::to_string(b);
    struct stat st;
    ASSERT_EQ(0, ::lstat((vesk_cont::hostdir(backend("grown"), vesk_cont::host()) + data).c_str(),
                         &st));
    write_file_at("grown", pattern(512, 3), 1024, O_WRONLY, b);
    StaleListing nfs(data, st.st_size);
    EXPECT_EQ(pattern(512, 1) + pattern(512, 2) + pattern(512, 3), read_all("grown"));
}

TEST_F(ContainerTest, SizeRecordsAgreeWithTheMerge) {
    // Sizes from the writers' close records must be what a merge says,
    // through writes, truncations and reopen-appends.
    write_file_at("m", pattern(5000, 1), 0);
    write_file_at("m", pattern(100, 2), 7000);
    auto merged = [&] {
        Index idx(backend("m"));
        EXPECT_EQ(0, idx.readIndex(backend("m")));
        return idx.lastOffset();
    };
    EXPECT_EQ(7100, size_of("m"));
    EXPECT_EQ(merged(), size_of("m"));
    ASSERT_EQ(0, containerfs.trunc(L("m").c_str(), 6000, 0));
    EXPECT_EQ(6000, size_of("m"));
    write_file_at("m", "x", 100);
    EXPECT_EQ(6000, size_of("m"));
    EXPECT_EQ(merged(), size_of("m"));
    // the directory listing alone tells the size now
    std::set<std::string> meta = list(backend("m") + "/meta");
    EXPECT_FALSE(meta.empty());
    EXPECT_TRUE(list(backend("m") + "/openwriters").empty());
}

TEST_F(ContainerTest, FlattenedIndexReadsTheSameAndGoesStale) {
    for (pid_t p = 5000001; p < 5000004; p++)
        write_file_at("fl", pattern(3000, (unsigned)p), (p - 5000001) * 2000,
                      O_WRONLY | O_CREAT, p);
    std::string before = read_all("fl");
    ASSERT_EQ(7000u, before.size());
    Vesk_fd *fd = open("fl", O_RDONLY);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(0, fd->compress_metadata(L("fl").c_str()));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete fd;
    ASSERT_TRUE(Util::exists((backend("fl") + "/global.index").c_str()));
    {
        Index idx(backend("fl"));
        ASSERT_EQ(0, idx.readIndex(backend("fl")));
        EXPECT_TRUE(idx.usedFlattened());
    }
    EXPECT_EQ(before, read_all("fl"));
    write_file_at("fl", "NEW", 10);
    {
        Index idx(backend("fl"));
        ASSERT_EQ(0, idx.readIndex(backend("fl")));
        EXPECT_FALSE(idx.usedFlattened());
    }
    std::string after = before;
    after.replace(10, 3, "NEW");
    EXPECT_EQ(after, read_all("fl"));
    EXPECT_EQ(0, container_recover(L("fl").c_str()));  // drops the stale one
    EXPECT_FALSE(Util::exists((backend("fl") + "/global.index").c_str()));
    EXPECT_EQ(-EEXIST, container_recover(L("fl").c_str()));
}

TEST_F(ContainerTest, KilledWriterLeavesEverySyncedByte) {
    const size_t block = 4096, synced_blocks = 50;
    int pipefd[2];
    ASSERT_EQ(0, pipe(pipefd));
    pid_t child = fork();
    if (child == 0) {
        close(pipefd[0]);
        Vesk_fd *fd = nullptr;
        pid_t me = getpid();
        if (containerfs.open(&fd, L("k").c_str(), O_WRONLY | O_CREAT, me, 0644, nullptr) != 0)
            _exit(10);
        for (size_t i = 0; i < synced_blocks; i++) {
            std::string b = pattern(block, (unsigned)i);
            if (fd->write(b.data(), block, (off_t)(i * block), me) != (ssize_t)block) _exit(11);
        }
        if (fd->sync(me) != 0) _exit(12);
        std::string b = pattern(block, 999);
        fd->write(b.data(), block, (off_t)(synced_blocks * block), me);  // never synced
        if (write(pipefd[1], "s", 1) != 1) _exit(13);
        pause();
        _exit(0);
    }
    close(pipefd[1]);
    char c;
    ASSERT_EQ(1, read(pipefd[0], &c, 1));
    close(pipefd[0]);
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::string got = read_all("k");
    ASSERT_GE(got.size(), synced_blocks * block);
    for (size_t i = 0; i < synced_blocks; i++)
        ASSERT_EQ(pattern(block, (unsigned)i), got.substr(i * block, block)) << "block " << i;
    EXPECT_GE(size_of("k"), (off_t)(synced_blocks * block));
    // the dead writer is still recorded as open until recovery
    EXPECT_FALSE(list(backend("k") + "/openwriters").empty());
    EXPECT_EQ(0, container_recover(L("k").c_str()));
    EXPECT_TRUE(list(backend("k") + "/openwriters").empty());
    EXPECT_EQ(-EEXIST, container_recover(L("k").c_str()));
    EXPECT_EQ(got, read_all("k"));
}

class CorruptLogTest : public ContainerTest {
protected:
    void SetUp() override {
        ContainerTest::SetUp();
        write_file_at("c", pattern(4096, 1), 0);
        write_file_at("c", pattern(4096, 2), 8192);  // not contiguous: two records
        log = vesk_cont::index_log(backend("c"), vesk_cont::host(), getpid());
    }
    void patch(off_t at, const void *bytes, size_t n) {
        int fd = ::open(log.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ((ssize_t)n, pwrite(fd, bytes, n, at));
        close(fd);
    }
    int open_result() {
        int r = 0;
        Vesk_fd *fd = open("c", O_RDONLY, getpid(), 0, &r);
        if (fd) {
            fd->close(getpid(), getuid(), O_RDONLY, nullptr);
            delete fd;
        }
        return r;
    }
    std::string log;
};

TEST_F(CorruptLogTest, TornLastRecordIsIgnored) {
    struct stat st;
    ASSERT_EQ(0, stat(log.c_str(), &st));
    ASSERT_EQ((off_t)(vesk_fmt::kIndexHeaderSize + 2 * vesk_fmt::kIndexRecordSize), st.st_size);
    ASSERT_EQ(0, truncate(log.c_str(), st.st_size - 20));  // half of the second record
    EXPECT_EQ(0, open_result());
    EXPECT_EQ(pattern(4096, 1), read_all("c"));
    // a writer reopening its log cuts the torn bytes and appends after
    write_file_at("c", "W", 5000);
    ASSERT_EQ(0, stat(log.c_str(), &st));
    EXPECT_EQ(0, (st.st_size - (off_t)vesk_fmt::kIndexHeaderSize) % vesk_fmt::kIndexRecordSize);
    EXPECT_EQ(5001, size_of("c"));
}

// Records carry checksums of their own: a damaged header loses none.
TEST_F(CorruptLogTest, BadHeaderLosesNoRecord) {
    const std::string whole = read_all("c");
    ASSERT_EQ((size_t)(4096 + 8192), whole.size());
    patch(0, "XXXX", 4);
    EXPECT_EQ(0, open_result());
    EXPECT_EQ(whole, read_all("c"));
    unsigned char v[4];
    vesk_fmt::put_u32(v, 99);
    patch(0, vesk_fmt::kIndexMagic, 8);
    patch(8, v, 4);  // unknown version
    EXPECT_EQ(whole, read_all("c"));
}

// A record whose fields are wrong, however its checksum fits, loses what
// its writer may have written: reads there are -EIO, the size stands.
TEST_F(CorruptLogTest, CorruptRecordsLoseTheirWritersBytes) {
    // Each case rewrites the first record, starting from its sound form.
    unsigned char raw[vesk_fmt::kIndexRecordSize];
    {
        int fd = ::open(log.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ((ssize_t)sizeof raw, pread(fd, raw, sizeof raw, vesk_fmt::kIndexHeaderSize));
        close(fd);
    }
    const vesk_fmt::IndexRecord sound = vesk_fmt::decode_record(raw);
    ASSERT_EQ(vesk_fmt::kKindWrite, sound.kind);
    ASSERT_EQ(4096u, sound.length);
    struct Case {
        const char *what;
        std::function<void(vesk_fmt::IndexRecord &)> harm;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"unknown kind", [](vesk_fmt::IndexRecord &r) { r.kind = 7; }},
        {"physical offset past its data log", [](vesk_fmt::IndexRecord &r) { r.physical = 1 << 30; }},
        {"offset that would overflow", [](vesk_fmt::IndexRecord &r) { r.physical = ~0ULL; }},
        {"logical offset out of range", [](vesk_fmt::IndexRecord &r) { r.logical = 1ULL << 62; }},
        {"truncation with a length", [](vesk_fmt::IndexRecord &r) { r.kind = vesk_fmt::kKindTrunc; }},
        {"timestamp not finite", [&](vesk_fmt::IndexRecord &r) { r.begin = inf; }},
    };
    for (const Case &c : cases) {
        vesk_fmt::IndexRecord bad = sound;
        c.harm(bad);
        EXPECT_NE(nullptr, vesk_fmt::check_record(bad, 1 << 20)) << c.what;
        unsigned char b[vesk_fmt::kIndexRecordSize];
        vesk_fmt::encode_record(b, bad);
        patch(vesk_fmt::kIndexHeaderSize, b, sizeof b);
        EXPECT_EQ(0, open_result()) << c.what;
        EXPECT_EQ("<read failed -5>", read_all("c")) << c.what;
        EXPECT_EQ(4096 + 8192, size_of("c")) << c.what;
    }
    vesk_fmt::encode_record(raw, sound);
    patch(vesk_fmt::kIndexHeaderSize, raw, sizeof raw);
    EXPECT_EQ(0, open_result());
    EXPECT_EQ(pattern(4096, 1), read_all("c").substr(0, 4096));
}

TEST_F(ContainerTest, OpenFlags) {
    int r = 0;
    EXPECT_EQ(nullptr, open("nf", O_RDONLY, getpid(), 0644, &r));
    EXPECT_EQ(-ENOENT, r);
    EXPECT_FALSE(Util::exists(backend("nf").c_str()));
    Vesk_fd *fd = open("nf", O_WRONLY | O_CREAT | O_EXCL, getpid(), 0640, &r);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(5, fd->write("hello", 5, 0, getpid()));
    // a read on a handle opened only for writing
    char c;
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ(nullptr, open("nf", O_WRONLY | O_CREAT | O_EXCL, getpid(), 0640, &r));
    EXPECT_EQ(-EEXIST, r);
    struct stat st;
    ASSERT_EQ(0, containerfs.getattr(L("nf").c_str(), &st, 0));
    EXPECT_EQ((mode_t)(S_IFREG | (0640 & ~[] { mode_t m = umask(0); umask(m); return m; }())),
              st.st_mode);
    // O_RDONLY handles do not write
    fd = open("nf", O_RDONLY);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(-EBADF, fd->write("x", 1, 0, getpid()));
    EXPECT_EQ(1, fd->read(&c, 1, 1));
    EXPECT_EQ('e', c);
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete fd;
    // O_APPEND: every write at the end, whatever offset it names
    fd = open("nf", O_WRONLY | O_APPEND);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(3, fd->write("abc", 3, 0, getpid()));
    ASSERT_EQ(2, fd->write("de", 2, 1, getpid()));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY | O_APPEND, nullptr));
    delete fd;
    EXPECT_EQ("helloabcde", read_all("nf"));
    // O_TRUNC empties it
    fd = open("nf", O_RDWR | O_TRUNC);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(0, fd->read(&c, 1, 0));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ(0, size_of("nf"));
    // a plain directory is no file
    ASSERT_EQ(0, containerfs.mkdir(L("d").c_str(), 0755));
    EXPECT_EQ(nullptr, open("d", O_RDONLY, getpid(), 0, &r));
    EXPECT_EQ(-EISDIR, r);
    EXPECT_EQ(nullptr, open("d", O_WRONLY | O_CREAT, getpid(), 0644, &r));
    EXPECT_EQ(-EISDIR, r);
    // a file in that directory lives on its own backend
    write_file_at("d/in", "inner", 0);
    EXPECT_EQ("inner", read_all("d/in"));
    Vesk_dirents names;
    ASSERT_EQ(0, containerfs.readdir(L("d").c_str(), &names));
    EXPECT_EQ(Vesk_dirents{"in"}, names);
}

TEST_F(ContainerTest, ListingShowsEveryNameButNoneInTransit) {
    ASSERT_EQ(0, containerfs.mkdir(L("ls").c_str(), 0755));
    write_file_at("ls/real", "x", 0);
    // names like the ones the layer once used for itself are a user's
    write_file_at("ls/new.vesk-new.123.456", "y", 0);
    // what a crash in the middle of a create or an unlink leaves behind
    // stays in the staging directories
    for (const std::string &b : {b0, b1}) {
        mkdir((b + "/.vesk-staging").c_str(), 0700);  // made by the writes, or not yet
        ASSERT_TRUE(Util::isDirectory((b + "/.vesk-staging").c_str()));
    }
    ASSERT_EQ(0, mkdir((b0 + "/.vesk-staging/new.1.2.3").c_str(), 0700));
    ASSERT_EQ(0, mkdir((b1 + "/.vesk-staging/unlink.1.2.3").c_str(), 0700));
    Vesk_dirents names;
    ASSERT_EQ(0, containerfs.readdir(L("ls").c_str(), &names));
    EXPECT_EQ((Vesk_dirents{"new.vesk-new.123.456", "real"}), names);
    names.clear();
    ASSERT_EQ(0, containerfs.readdir("/vk", &names));
    EXPECT_EQ((Vesk_dirents{"ls"}), names);
}

TEST_F(ContainerTest, PermissionChecksForOtherUsers) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    write_file_at("p", "secret", 0);
    ASSERT_EQ(0, containerfs.chmod(L("p").c_str(), 0640));
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(20);
        int r = 0;
        Vesk_fd *fd = nullptr;
        r = containerfs.open(&fd, L("p").c_str(), O_RDONLY, getpid(), 0, nullptr);
        if (r != -EACCES || fd) _exit(21);
        if (containerfs.access(L("p").c_str(), R_OK) != -EACCES) _exit(22);
        if (containerfs.access(L("p").c_str(), F_OK) != 0) _exit(23);
        if (containerfs.trunc(L("p").c_str(), 0, 0) != -EACCES) _exit(24);
        _exit(0);
    }
    int status;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status));
    ASSERT_EQ(0, containerfs.chmod(L("p").c_str(), 0644));
    child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(20);
        Vesk_fd *fd = nullptr;
        if (containerfs.open(&fd, L("p").c_str(), O_RDONLY, getpid(), 0, nullptr) != 0) _exit(21);
        if (containerfs.open(&fd, L("p").c_str(), O_WRONLY, getpid(), 0, nullptr) != -EACCES)
            _exit(22);
        _exit(0);
    }
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("secret", read_all("p"));
}

TEST_F(ContainerTest, AttributesLiveOnTheMarker) {
    write_file_at("a", pattern(10000, 5), 0);
    ASSERT_EQ(0, containerfs.chmod(L("a").c_str(), 0600));
    mode_t m = 0;
    ASSERT_EQ(0, containerfs.getmode(L("a").c_str(), &m));
    EXPECT_EQ((mode_t)(S_IFREG | 0600), m);
    struct utimbuf ut = {1000000, 2000000};
    ASSERT_EQ(0, containerfs.utime(L("a").c_str(), &ut));
    ASSERT_EQ(0, containerfs.chown(L("a").c_str(), getuid(), getgid()));
    struct stat st;
    ASSERT_EQ(0, containerfs.getattr(L("a").c_str(), &st, 0));
    EXPECT_EQ((mode_t)(S_IFREG | 0600), st.st_mode);
    EXPECT_EQ(10000, st.st_size);
    EXPECT_EQ(2000000, st.st_mtime);
    EXPECT_EQ(1000000, st.st_atime);
    EXPECT_EQ(getuid(), st.st_uid);
    EXPECT_EQ((blkcnt_t)((10000 + 511) / 512), st.st_blocks);
    EXPECT_EQ(1u, (unsigned)st.st_nlink);
    // the directory stays reachable for its owner, searchable for all
    struct stat ds;
    ASSERT_EQ(0, stat(backend("a").c_str(), &ds));
    EXPECT_EQ(0711u, ds.st_mode & 07777);
    EXPECT_EQ(0, containerfs.access(L("a").c_str(), F_OK));
    EXPECT_EQ(0, containerfs.access(L("a").c_str(), R_OK | W_OK));
    EXPECT_EQ(-ENOENT, containerfs.access(L("none").c_str(), F_OK));
    EXPECT_EQ(-ENOENT, containerfs.getmode(L("none").c_str(), &m));
    struct statvfs sv;
    EXPECT_EQ(0, containerfs.statvfs(L("a").c_str(), &sv));
    EXPECT_EQ(0, containerfs.statvfs(L("none").c_str(), &sv));
    EXPECT_GT(sv.f_bsize, 0u);
    // directories report themselves; chmod reaches every backend copy
    ASSERT_EQ(0, containerfs.mkdir(L("dd").c_str(), 0755));
    ASSERT_EQ(0, containerfs.chmod(L("dd").c_str(), 0711));
    struct stat s0, s1;
    ASSERT_EQ(0, stat((b0 + "/dd").c_str(), &s0));
    ASSERT_EQ(0, stat((b1 + "/dd").c_str(), &s1));
    EXPECT_EQ(0711u, s0.st_mode & 0777);
    EXPECT_EQ(0711u, s1.st_mode & 0777);
    ASSERT_EQ(0, containerfs.getattr(L("dd").c_str(), &st, 0));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ContainerTest, LinksAreBackendLinks) {
    EXPECT_EQ(-38, containerfs.link(L("a").c_str(), L("b").c_str()));
    EXPECT_EQ(-38, containerfs.link("/nowhere", "/else"));
    ASSERT_EQ(0, containerfs.symlink("target-name", L("ln").c_str()));
    char buf[32];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(11, containerfs.readlink(L("ln").c_str(), buf, 11));
    EXPECT_EQ('#', buf[11]);
    EXPECT_EQ(0, memcmp(buf, "target-name", 11));
    EXPECT_EQ(11, containerfs.readlink(L("ln").c_str(), buf, sizeof buf));
    EXPECT_STREQ("target-name", buf);
    struct stat st;
    ASSERT_EQ(0, containerfs.getattr(L("ln").c_str(), &st, 0));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // an absolute link to a container opens the container
    write_file_at("real", "through the link", 0);
    ASSERT_EQ(0, containerfs.symlink("/vk/real", L("abs").c_str()));
    EXPECT_EQ("through the link", read_all("abs"));
    EXPECT_EQ(0, containerfs.unlink(L("abs").c_str()));
    EXPECT_EQ("through the link", read_all("real"));
}

TEST_F(ContainerTest, UnlinkAndCreate) {
    write_file_at("u", "bytes", 0);
    ASSERT_EQ(0, containerfs.unlink(L("u").c_str()));
    EXPECT_FALSE(Util::exists(backend("u").c_str()));
    EXPECT_EQ(-ENOENT, containerfs.unlink(L("u").c_str()));
    ASSERT_EQ(0, containerfs.mkdir(L("ud").c_str(), 0755));
    EXPECT_EQ(-EISDIR, containerfs.unlink(L("ud").c_str()));
    write_file(backend("flat"), "plain");
    EXPECT_EQ(0, containerfs.unlink(L("flat").c_str()));
    EXPECT_FALSE(Util::exists(backend("flat").c_str()));
    // create makes an empty container and leaves an existing one alone,
    // unless told O_TRUNC; O_EXCL refuses one that exists
    ASSERT_EQ(0, containerfs.create(L("cr").c_str(), 0444, 0, getpid()));
    EXPECT_TRUE(container_is_container(backend("cr")));
    EXPECT_EQ(0, size_of("cr"));
    mode_t m;
    ASSERT_EQ(0, containerfs.getmode(L("cr").c_str(), &m));
    EXPECT_TRUE(m & 0200);
    write_file_at("cr", "kept", 0);
    EXPECT_EQ(0, containerfs.create(L("cr").c_str(), 0644, O_CREAT, getpid()));
    EXPECT_EQ("kept", read_all("cr"));
    EXPECT_EQ(-EEXIST, containerfs.create(L("cr").c_str(), 0644, O_CREAT | O_EXCL, getpid()));
    EXPECT_EQ(0, containerfs.create(L("cr").c_str(), 0644, O_CREAT | O_TRUNC, getpid()));
    EXPECT_EQ("", read_all("cr"));
    EXPECT_EQ(-EISDIR, containerfs.create(L("ud").c_str(), 0644, 0, getpid()));
}

TEST_F(ContainerTest, RenameWithinAndAcrossBackends) {
    std::string a = name_on(0, "ra"), same = name_on(0, "rs"), other = name_on(1, "ro");
    std::string data = pattern(9000, 8);
    write_file_at(a, data, 0);
    ASSERT_EQ(0, containerfs.rename(L(a).c_str(), L(same).c_str()));
    EXPECT_FALSE(Util::exists(backend(a).c_str()));
    EXPECT_EQ(data, read_all(same));
    ASSERT_EQ(0, containerfs.rename(L(same).c_str(), L(other).c_str()));
    EXPECT_TRUE(container_is_container(b1 + "/" + other));
    EXPECT_FALSE(Util::exists(backend(same).c_str()));
    EXPECT_EQ(data, read_all(other));
    // over an existing container: replaced
    write_file_at(a, "old", 0);
    ASSERT_EQ(0, containerfs.rename(L(other).c_str(), L(a).c_str()));
    EXPECT_EQ(data, read_all(a));
    EXPECT_EQ(-ENOENT, containerfs.rename(L("missing").c_str(), L("x").c_str()));
    ASSERT_EQ(0, containerfs.mkdir(L("rd").c_str(), 0755));
    EXPECT_EQ(-EISDIR, containerfs.rename(L(a).c_str(), L("rd").c_str()));
}

// Makes every rename of a container directory fail as if the backends
// were different file systems.
int exdev_rename(const char *from, const char *to) {
    if (!strstr(from, "/.vesk-staging/") && container_is_container(from)) {
        errno = EXDEV;
        return -1;
    }
    return ::rename(from, to);
}

TEST_F(ContainerTest, RenameCopiesWhenTheBackendsDiffer) {
    std::string a = name_on(0, "xa"), b = name_on(1, "xb");
    std::string data = pattern(20000, 9);
    write_file_at(a, data, 0);
    write_file_at(a, "more", 30000, O_WRONLY, 6000001);
    struct utimbuf ut = {1000000, 2000000};
    ASSERT_EQ(0, containerfs.utime(L(a).c_str(), &ut));
    Util::syscalls().rename = exdev_rename;
    int r = containerfs.rename(L(a).c_str(), L(b).c_str());
    Util::resetSyscalls();
    ASSERT_EQ(0, r);
    // a move keeps the file's times, as mv does
    struct stat st;
    ASSERT_EQ(0, containerfs.getattr(L(b).c_str(), &st, 0));
    EXPECT_EQ(2000000, st.st_mtime);
    EXPECT_EQ(1000000, st.st_atime);
    EXPECT_FALSE(Util::exists(backend(a).c_str()));
    std::string got = read_all(b);
    ASSERT_EQ(30004u, got.size());
    EXPECT_EQ(data, got.substr(0, 20000));
    EXPECT_EQ("more", got.substr(30000));
    mode_t m;
    ASSERT_EQ(0, containerfs.getmode(L(b).c_str(), &m));
    EXPECT_TRUE(S_ISREG(m));
}

TEST_F(ContainerTest, RenamedOpenFileWritesIntoTheNewContainer) {
    std::string a = name_on(0, "oa"), b = name_on(1, "ob");
    Vesk_fd *fd = open(a, O_WRONLY | O_CREAT);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(5, fd->write("first", 5, 0, getpid()));
    Util::syscalls().rename = exdev_rename;  // the old logs are copied and removed
    int r = containerfs.rename(L(a).c_str(), L(b).c_str());
    Util::resetSyscalls();
    ASSERT_EQ(0, r);
    ASSERT_EQ(0, fd->rename(L(b).c_str()));
    EXPECT_STREQ(L(b).c_str(), fd->getPath());
    ASSERT_EQ(6, fd->write("second", 6, 5, getpid()));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_FALSE(Util::exists(backend(a).c_str()));
    EXPECT_EQ("firstsecond", read_all(b));
    EXPECT_EQ(11, size_of(b));
}

TEST_F(ContainerTest, AdminViews) {
    write_file_at("ad", std::string(100, 'a'), 0, O_WRONLY | O_CREAT, 7000001);
    write_file_at("ad", std::string(50, 'b'), 25, O_WRONLY, 7000002);
    std::vector<ContainerIndexEntry> es;
    ASSERT_EQ(0, container_index_entries(L("ad").c_str(), es));
    ASSERT_EQ(3u, es.size());
    EXPECT_EQ(0, es[0].logical_offset);
    EXPECT_EQ(25u, es[0].length);
    EXPECT_EQ(7000001, es[0].writer);
    EXPECT_EQ(25, es[1].logical_offset);
    EXPECT_EQ(50u, es[1].length);
    EXPECT_EQ(7000002, es[1].writer);
    EXPECT_EQ(0, es[1].physical_offset);
    EXPECT_EQ(vesk_cont::data_log(backend("ad"), vesk_cont::host(), 7000002), es[1].data_path);
    EXPECT_EQ(75, es[2].logical_offset);
    EXPECT_EQ(75, es[2].physical_offset);
    const char *v = nullptr;
    ASSERT_EQ(0, container_file_version(L("ad").c_str(), &v));
    EXPECT_STREQ(VESK_CONTAINER_VERSION_TEXT, v);
    EXPECT_EQ(-ENOENT, container_file_version(L("none").c_str(), &v));
    EXPECT_EQ(-ENOENT, container_index_entries(L("none").c_str(), es));
    // a lost marker: the directory is no container until recovered
    ASSERT_EQ(0, unlink(vesk_cont::marker(backend("ad")).c_str()));
    int r;
    EXPECT_EQ(nullptr, open("ad", O_RDONLY, getpid(), 0, &r));
    EXPECT_EQ(-EISDIR, r);
    EXPECT_EQ(0, container_recover(L("ad").c_str()));
    EXPECT_EQ(std::string(25, 'a') + std::string(50, 'b') + std::string(25, 'a'), read_all("ad"));
    EXPECT_EQ(-EEXIST, container_recover(L("ad").c_str()));
    EXPECT_EQ(-ENOENT, container_recover(L("none").c_str()));
    ASSERT_EQ(0, containerfs.mkdir(L("plain").c_str(), 0755));
    EXPECT_EQ(-EISDIR, container_recover(L("plain").c_str()));
    // a mangled marker is rewritten
    write_file(vesk_cont::marker(backend("ad")), "garbage");
    EXPECT_EQ(nullptr, open("ad", O_RDONLY, getpid(), 0, &r));
    EXPECT_EQ(-EIO, r);
    EXPECT_EQ(-EIO, container_file_version(L("ad").c_str(), &v));
    EXPECT_EQ(0, container_recover(L("ad").c_str()));
    EXPECT_EQ(100, size_of("ad"));
}

}  // namespace
