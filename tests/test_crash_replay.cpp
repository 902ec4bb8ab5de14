/* What a sync promises, checked against every power loss a workload could
 * meet. A workload of creates, writes, syncs, renames and a flattening runs
 * on a mount under CrashRecorder; then, for every prefix of the system
 * calls it made, the disk a power loss would leave is rebuilt into the
 * backend of a second mount and read back through the library: every byte
 * synced before the cut must read back, under the file's name (either name
 * while a rename is under way). The recorder's own rules are tested first,
 * since every other verdict here rests on them. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Util.h"
#include "crash_replay_util.h"
#include "vesk.h"
#include "vesk_test_util.h"

using namespace vesk_test;

namespace {

bool exists(const std::string &p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

// Makes a file through the wrappers (so the recorder sees it).
int make_file(const std::string &p, const std::string &data, bool sync_file) {
    int fd = Util::Open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -errno;
    if (Util::WriteAll(fd, data.data(), data.size(), 0) < 0) return -errno;
    if (sync_file && Util::Fsync(fd) < 0) return -errno;
    Util::Close(fd);
    return 0;
}

TEST(CrashRecorder, KeepsOnlyWhatWasSynced) {
    TempDir tmp;
    std::string root = tmp.sub("root"), out = tmp.sub("out");
    ::mkdir(root.c_str(), 0755);
    write_file(root + "/old", "before");
    CrashRecorder rec(root);
    rec.install();
    ASSERT_EQ(0, make_file(root + "/unsynced", "lost", false));
    ASSERT_EQ(0, make_file(root + "/nameless", "data but no name", true));
    size_t before_dirsync = rec.count();
    ASSERT_EQ(0, Util::FsyncDir(root.c_str()));
    size_t after_dirsync = rec.count();
    // Appended after the sync: the synced content survives, not the append.
    int fd = Util::Open((root + "/nameless").c_str(), O_WRONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, Util::WriteAll(fd, "extra", 5, 16));
    Util::Close(fd);
    ASSERT_EQ(0, Util::Mkdir((root + "/d").c_str(), 0755));
    ASSERT_EQ(0, make_file(root + "/d/f", "in d", true));
    ASSERT_EQ(0, Util::FsyncDir((root + "/d").c_str()));  // d's own entry unsynced
    size_t d_unsynced = rec.count();
    ASSERT_EQ(0, Util::FsyncDir(root.c_str()));
    size_t d_synced = rec.count();
    rec.uninstall();

    ASSERT_EQ(0, rec.replay(before_dirsync, out + "0"));
    EXPECT_EQ("before", read_file(out + "0/old"));  // there before the recorder
    EXPECT_FALSE(exists(out + "0/unsynced"));
    EXPECT_FALSE(exists(out + "0/nameless"));

    ASSERT_EQ(0, rec.replay(after_dirsync, out + "1"));
    // The unsynced file's name is durable, its content is not.
    EXPECT_TRUE(exists(out + "1/unsynced"));
    EXPECT_EQ("", read_file(out + "1/unsynced"));
    EXPECT_EQ("data but no name", read_file(out + "1/nameless"));

    ASSERT_EQ(0, rec.replay(d_unsynced, out + "2"));
    EXPECT_EQ("data but no name", read_file(out + "2/nameless"));
    EXPECT_FALSE(exists(out + "2/d"));

    ASSERT_EQ(0, rec.replay(d_synced, out + "3"));
    EXPECT_EQ("in d", read_file(out + "3/d/f"));
    // The real tree kept everything.
    EXPECT_EQ(std::string("data but no name").substr(0, 16) + "extra",
              read_file(root + "/nameless"));
}

TEST(CrashRecorder, RenameCountsOnlyWithItsDirectoriesSynced) {
    TempDir tmp;
    std::string root = tmp.sub("root"), out = tmp.sub("out");
    ::mkdir(root.c_str(), 0755);
    ::mkdir((root + "/a").c_str(), 0755);
    ::mkdir((root + "/b").c_str(), 0755);
    write_file(root + "/a/f", "content");
    CrashRecorder rec(root);
    rec.install();
    ASSERT_EQ(0, Util::Rename((root + "/a/f").c_str(), (root + "/b/g").c_str()));
    size_t moved = rec.count();
    ASSERT_EQ(0, Util::FsyncDir((root + "/b").c_str()));
    size_t half = rec.count();
    ASSERT_EQ(0, Util::FsyncDir((root + "/a").c_str()));
    size_t whole = rec.count();
    // A truncation, like a write, counts once synced.
    int fd = Util::Open((root + "/b/g").c_str(), O_WRONLY, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, Util::Ftruncate(fd, 3));
    size_t cut_unsynced = rec.count();
    ASSERT_EQ(0, Util::Fsync(fd));
    Util::Close(fd);
    size_t cut_synced = rec.count();
    rec.uninstall();

    ASSERT_EQ(0, rec.replay(moved, out + "0"));
    EXPECT_EQ("content", read_file(out + "0/a/f"));
    EXPECT_FALSE(exists(out + "0/b/g"));
    ASSERT_EQ(0, rec.replay(half, out + "1"));
    EXPECT_EQ("content", read_file(out + "1/a/f"));  // both names, as on disk
    EXPECT_EQ("content", read_file(out + "1/b/g"));
    ASSERT_EQ(0, rec.replay(whole, out + "2"));
    EXPECT_FALSE(exists(out + "2/a/f"));
    EXPECT_EQ("content", read_file(out + "2/b/g"));
    ASSERT_EQ(0, rec.replay(cut_unsynced, out + "3"));
    EXPECT_EQ("content", read_file(out + "3/b/g"));
    ASSERT_EQ(0, rec.replay(cut_synced, out + "4"));
    EXPECT_EQ("con", read_file(out + "4/b/g"));
}

/* --- Workloads through the library ---------------------------------------- */

// Byte k of file f: never zero, so a hole never passes for data.
char byte_of(int f, size_t k) { return (char)(1 + (f * 53 + k * 7 + (k >> 8)) % 251); }
std::string bytes_of(int f, size_t off, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = byte_of(f, off + i);
    return s;
}

struct Promise {
    std::string name, alt;  // alt: the other name while a rename runs
    size_t len = 0;         // bytes [0, len) were synced
    bool synced = false;    // a sync returned: the file exists, even empty
};

class Workload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.ok());
        live = tmp.sub("live");
        check = tmp.sub("check");
        ::mkdir(live.c_str(), 0755);
        ::mkdir(check.c_str(), 0755);
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }
    void configure(const std::string &layout) {
        auto cfg = use_config(tmp.sub("vesk.conf"),
                              "[mount /live]\nbackends = " + live + "\nlayout = " + layout +
                                  "\n[mount /check]\nbackends = " + check +
                                  "\nlayout = " + layout + "\n");
        ASSERT_TRUE(cfg->errors.empty());
    }

    // The state of promises from this point of the record on.
    void promise() { history.push_back({rec->count(), files}); }

    Vesk_fd *open_w(int f, const std::string &name) {
        Vesk_fd *fd = nullptr;
        EXPECT_EQ(0, vesk_open(&fd, ("/live/" + name).c_str(), O_WRONLY | O_CREAT, getpid(), 0644));
        files[f].name = name;
        return fd;
    }
    void write(Vesk_fd *fd, int f, size_t n) {
        ASSERT_EQ((ssize_t)n, vesk_write(fd, bytes_of(f, written[f], n).data(), n,
                                         (off_t)written[f], getpid()));
        written[f] += n;
    }
    void sync(Vesk_fd *fd, int f) {
        ASSERT_EQ(0, vesk_sync(fd, getpid()));
        files[f].len = written[f];
        files[f].synced = true;
        promise();
    }
    void close(Vesk_fd *fd) { EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_WRONLY)); }
    void rename(int f, const std::string &to) {
        files[f].alt = to;
        promise();
        ASSERT_EQ(0, vesk_rename(("/live/" + files[f].name).c_str(), ("/live/" + to).c_str()));
        files[f].name = to;
        files[f].alt.clear();
        promise();
    }

    // Reads every promised file of the state in force at each cut from the
    // rebuilt disk. Returns the bytes verified; failures are reported.
    void check_every_cut() {
        rec->uninstall();
        size_t n = rec->count(), cuts = 0, bytes = 0, lost = 0;
        size_t h = 0;
        std::map<int, Promise> state;
        for (size_t cut = 0; cut <= n; cut++) {
            while (h < history.size() && history[h].first <= cut) state = history[h++].second;
            std::string cmd = "rm -rf '" + check + "' && mkdir '" + check + "'";
            ASSERT_EQ(0, system(cmd.c_str()));
            ASSERT_EQ(0, rec->replay(cut, check)) << "cut " << cut;
            cuts++;
            for (auto &kv : state) {
                const Promise &p = kv.second;
                if (p.len == 0) {
                    if (p.synced && !opens(p.name) && (p.alt.empty() || !opens(p.alt))) {
                        lost++;
                        ADD_FAILURE() << "cut " << cut << " of " << n << ": " << p.name
                                      << ", synced empty, is gone";
                    }
                    continue;
                }
                std::string got = read_back(p.name);
                if (got.size() < p.len && !p.alt.empty()) got = read_back(p.alt);
                size_t ok = 0;
                while (ok < p.len && ok < got.size() && got[ok] == byte_of(kv.first, ok)) ok++;
                if (ok < p.len) {
                    lost++;
                    ADD_FAILURE() << "cut " << cut << " of " << n << " (after "
                                  << rec->fsyncs_before(cut) << " fsyncs): " << p.name
                                  << " reads " << got.size() << " bytes, " << ok
                                  << " of the " << p.len << " synced ones right";
                } else {
                    bytes += p.len;
                }
            }
        }
        std::cout << "[ figures ] " << cuts << " cuts (" << rec->fsyncs_before(n)
                  << " fsyncs), " << bytes << " synced bytes verified, " << lost
                  << " files short\n";
        EXPECT_GT(bytes, 0u);
    }
    bool opens(const std::string &name) {
        Vesk_fd *fd = nullptr;
        if (vesk_open(&fd, ("/check/" + name).c_str(), O_RDONLY, getpid(), 0) != 0) return false;
        vesk_close(fd, getpid(), getuid(), O_RDONLY);
        return true;
    }
    std::string read_back(const std::string &name) {
        Vesk_fd *fd = nullptr;
        std::string path = "/check/" + name;
        if (vesk_open(&fd, path.c_str(), O_RDONLY, getpid(), 0) != 0) return "";
        std::string buf(1 << 20, '\0');
        ssize_t r = vesk_read(fd, &buf[0], buf.size(), 0);
        vesk_close(fd, getpid(), getuid(), O_RDONLY);
        buf.resize(r > 0 ? (size_t)r : 0);
        return buf;
    }

    // Creates, appends with syncs in between, a second file in a new
    // directory, an empty file synced, a rename of each kind, a sync
    // after the rename.
    void run(bool flatten) {
        rec.reset(new CrashRecorder(live));
        rec->install();
        promise();
        ASSERT_EQ(0, vesk_mkdir("/live/d", 0755));
        Vesk_fd *a = open_w(0, "d/a");
        ASSERT_NE(nullptr, a);
        write(a, 0, 3000);
        sync(a, 0);
        write(a, 0, 1000);
        write(a, 0, 500);
        sync(a, 0);
        Vesk_fd *e = open_w(2, "d/empty");
        ASSERT_NE(nullptr, e);
        sync(e, 2);  // made and synced, never written
        close(e);
        Vesk_fd *b = open_w(1, "b");
        ASSERT_NE(nullptr, b);
        write(b, 1, 7000);
        write(a, 0, 100);  // unsynced, then closed: not promised
        close(a);
        sync(b, 1);
        if (flatten) {
            ASSERT_EQ(0, vesk_flatten_index(b, "/live/b"));
            promise();
        }
        close(b);
        rename(0, "a2");
        rename(1, "d/b2");
        Vesk_fd *c = open_w(1, "d/b2");
        ASSERT_NE(nullptr, c);
        write(c, 1, 2000);
        sync(c, 1);
        close(c);
        check_every_cut();
    }

    TempDir tmp;
    std::string live, check;
    std::unique_ptr<CrashRecorder> rec;
    std::map<int, Promise> files;
    std::map<int, size_t> written;
    std::vector<std::pair<size_t, std::map<int, Promise>>> history;
};

TEST_F(Workload, FlatFilesKeepEverySyncedByte) {
    configure("flat");
    run(false);
}

TEST_F(Workload, ContainersKeepEverySyncedByte) {
    configure("container");
    run(true);
}

}  // namespace
