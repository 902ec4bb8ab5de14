/* The public entry points: handle lifetimes over both layouts. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "LogMessage.h"
#include "api/Stats.h"
#include "vesk.h"
#include "vesk_test_util.h"

namespace {

using vesk_test::TempDir;

class ApiTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        auto cfg = vesk_test::use_config(
            tmp_.sub("vesk.conf"),
            vesk_test::mount_config("/va", {tmp_.sub("b0"), tmp_.sub("b1")}, GetParam()));
        ASSERT_TRUE(cfg->errors.empty());
        base_ = vesk::live_handles();
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }

    Vesk_fd *open(const char *path, int flags, int *ret = nullptr) {
        Vesk_fd *fd = nullptr;
        int r = vesk_open(&fd, path, flags, getpid(), 0644);
        if (ret) *ret = r;
        return r == 0 ? fd : nullptr;
    }
    std::string read(Vesk_fd *fd, size_t n) {
        std::string buf(n, '\0');
        ssize_t got = vesk_read(fd, &buf[0], n, 0);
        if (got < 0) return "<read " + std::to_string(got) + ">";
        buf.resize((size_t)got);
        return buf;
    }

    TempDir tmp_;
    size_t base_ = 0;
};

// Opens of one file through separate handles: each handle lives until its
// own close, whatever the count the layout shares between them.
TEST_P(ApiTest, SeparateHandlesOfOneFileEachEndWithTheirOwnClose) {
    const uint64_t closes0 = vesk::stats().closes.load();
    Vesk_fd *a = open("/va/f", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, a);
    Vesk_fd *b = open("/va/f", O_RDWR);
    ASSERT_NE(nullptr, b);
    ASSERT_NE(a, b);
    EXPECT_EQ(base_ + 2, vesk::live_handles());

    ASSERT_EQ(5, vesk_write(a, "hello", 5, 0, getpid()));
    ASSERT_EQ(0, vesk_sync(a, getpid()));
    ASSERT_GE(vesk_close(a, getpid(), getuid(), O_RDWR), 0);
    EXPECT_EQ(base_ + 1, vesk::live_handles()) << "the closed handle is gone";

    // The other handle still works after its sibling closed.
    ASSERT_EQ(6, vesk_write(b, " world", 6, 5, getpid()));
    ASSERT_EQ(0, vesk_sync(b, getpid()));
    EXPECT_EQ("hello world", read(b, 64));
    EXPECT_EQ(0, vesk_close(b, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(base_, vesk::live_handles());
    EXPECT_EQ(closes0 + 2, vesk::stats().closes.load());

    Vesk_fd *c = open("/va/f", O_RDONLY);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("hello world", read(c, 64));
    EXPECT_EQ(0, vesk_close(c, getpid(), getuid(), O_RDONLY));
}

// A handle opened twice stays usable after the first of its two closes.
// Tracing follows the configuration in force, through a reload too.
TEST_P(ApiTest, CallsAreTracedWhileTheConfigurationSaysSo) {
    const std::string mount = vesk_test::mount_config("/va", {tmp_.sub("b0"), tmp_.sub("b1")},
                                                      GetParam());
    Vesk_fd *fd = open("/va/t", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(3, vesk_write(fd, "abc", 3, 0, getpid()));
    std::string before = LogMessage::Dump();
    char b[4];
    ASSERT_EQ(2, vesk_read(fd, b, 2, 1));
    EXPECT_EQ(before, LogMessage::Dump());  // not traced: nothing recorded

    ASSERT_TRUE(vesk_test::use_config(tmp_.sub("vesk.conf"), "trace = 1\n" + mount)->trace);
    ASSERT_EQ(3, vesk_read(fd, b, 3, 0));
    std::string traced = LogMessage::Dump();
    EXPECT_NE(std::string::npos, traced.find("read")) << traced;
    ASSERT_EQ(3, vesk_write(fd, "xyz", 3, 3, getpid()));
    EXPECT_NE(traced, LogMessage::Dump());
    EXPECT_NE(std::string::npos, LogMessage::Dump().find("write"));

    ASSERT_FALSE(vesk_test::use_config(tmp_.sub("vesk.conf"), mount)->trace);
    traced = LogMessage::Dump();
    ASSERT_EQ(2, vesk_read(fd, b, 2, 4));
    EXPECT_EQ(traced, LogMessage::Dump());
    EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_RDWR));
}

TEST_P(ApiTest, ReopenedHandleOutlivesItsFirstClose) {
    Vesk_fd *a = open("/va/g", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(0, vesk_open(&a, "/va/g", O_RDWR, getpid(), 0644));
    EXPECT_EQ(base_ + 1, vesk::live_handles());
    ASSERT_EQ(3, vesk_write(a, "abc", 3, 0, getpid()));
    EXPECT_EQ(1, vesk_close(a, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(base_ + 1, vesk::live_handles());
    ASSERT_EQ(0, vesk_sync(a, getpid()));
    EXPECT_EQ("abc", read(a, 8));
    EXPECT_EQ(0, vesk_close(a, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(base_, vesk::live_handles());
}

// Asked without the size, a stat tells the same file, type, bits and
// times as a full one, by path and through a handle, and misses what a
// full one misses.
TEST_P(ApiTest, StatWithoutTheSizeTellsTheSameFile) {
    Vesk_fd *w = open("/va/s", O_WRONLY | O_CREAT);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(5, vesk_write(w, "12345", 5, 0, getpid()));
    ASSERT_EQ(0, vesk_close(w, getpid(), getuid(), O_WRONLY));
    ASSERT_EQ(0, vesk_mkdir("/va/d", 0755));
    for (const char *p : {"/va/s", "/va/d"}) {
        SCOPED_TRACE(p);
        struct stat full, light;
        ASSERT_EQ(0, vesk_getattr(nullptr, p, &full, 0));
        ASSERT_EQ(0, vesk_getattr(nullptr, p, &light, VESK_GETATTR_NO_SIZE));
        EXPECT_EQ(full.st_dev, light.st_dev);
        EXPECT_EQ(full.st_ino, light.st_ino);
        EXPECT_EQ(full.st_mode, light.st_mode);
        EXPECT_EQ(full.st_uid, light.st_uid);
        EXPECT_EQ(full.st_mtim.tv_sec, light.st_mtim.tv_sec);
        EXPECT_EQ(full.st_mtim.tv_nsec, light.st_mtim.tv_nsec);
    }
    struct stat st;
    ASSERT_EQ(0, vesk_getattr(nullptr, "/va/s", &st, 0));
    EXPECT_EQ(5, st.st_size);
    Vesk_fd *r = open("/va/s", O_RDONLY);
    ASSERT_NE(nullptr, r);
    struct stat by_fd;
    ASSERT_EQ(0, vesk_getattr(r, nullptr, &by_fd, VESK_GETATTR_NO_SIZE));
    EXPECT_EQ(st.st_ino, by_fd.st_ino);
    EXPECT_TRUE(S_ISREG(by_fd.st_mode));
    EXPECT_EQ(0, vesk_close(r, getpid(), getuid(), O_RDONLY));
    EXPECT_EQ(-ENOENT, vesk_getattr(nullptr, "/va/none", &st, VESK_GETATTR_NO_SIZE));
}

TEST_P(ApiTest, FailedOpenLeavesNoHandle) {
    int ret = 0;
    EXPECT_EQ(nullptr, open("/va/missing", O_RDONLY, &ret));
    EXPECT_EQ(-ENOENT, ret);
    EXPECT_EQ(base_, vesk::live_handles());
    EXPECT_EQ(-EBADF, vesk_close(nullptr, getpid(), getuid(), O_RDONLY));
}

// The levels above mount points are read-only directories that lead to the
// mounts; what lies beside them, or under no mount at all, is not there.
TEST_P(ApiTest, LevelsAboveMountPointsAnswerAsDirectories) {
    std::string conf = vesk_test::mount_config("/deep/er/va", {tmp_.sub("d0")}, GetParam()) +
                       vesk_test::mount_config("/deep/er/vb", {tmp_.sub("d1")}, GetParam()) +
                       vesk_test::mount_config("/deep/side", {tmp_.sub("d2")}, GetParam());
    auto cfg = vesk_test::use_config(tmp_.sub("deep.conf"), conf);
    ASSERT_TRUE(cfg->errors.empty());
    ASSERT_EQ(0, vesk_mkdir("/deep/er/va/sub", 0755));

    struct Level {
        const char *path;
        Vesk_dirents entries;
    } levels[] = {{"/", {"deep"}},
                  {"/deep", {"er", "side"}},
                  {"/deep/", {"er", "side"}},
                  {"/deep/./er", {"va", "vb"}},
                  {"/deep/nope/../er", {"va", "vb"}}};
    for (const Level &l : levels) {
        SCOPED_TRACE(l.path);
        EXPECT_EQ(0, vesk_access(l.path, X_OK));
        EXPECT_EQ(0, vesk_access(l.path, R_OK | X_OK));
        EXPECT_EQ(-EROFS, vesk_access(l.path, W_OK));
        struct stat st;
        ASSERT_EQ(0, vesk_getattr(nullptr, l.path, &st, 0));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0555u, st.st_mode & 07777);
        mode_t mode = 0;
        EXPECT_EQ(0, vesk_mode(l.path, &mode));
        EXPECT_EQ(st.st_mode, mode);
        Vesk_dirents got;
        EXPECT_EQ(0, vesk_readdir(l.path, &got));
        EXPECT_EQ(l.entries, got);
        EXPECT_EQ(-EEXIST, vesk_mkdir(l.path, 0755));
        EXPECT_EQ(-EROFS, vesk_rmdir(l.path));
        EXPECT_EQ(-EROFS, vesk_chmod(l.path, 0777));
    }
    // The mounts themselves and what is in them answer for themselves.
    struct stat st;
    ASSERT_EQ(0, vesk_getattr(nullptr, "/deep/er/va/sub", &st, 0));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    Vesk_dirents got;
    EXPECT_EQ(0, vesk_readdir("/deep/er/va", &got));
    EXPECT_EQ(Vesk_dirents{"sub"}, got);
    // Beside the mounts, and where no mount was ever configured: nothing.
    for (const char *absent : {"/deep/nope", "/deep/er/vc", "/elsewhere", "/deep/erx"}) {
        SCOPED_TRACE(absent);
        EXPECT_EQ(-ENOENT, vesk_access(absent, X_OK));
        EXPECT_EQ(-ENOENT, vesk_getattr(nullptr, absent, &st, 0));
        Vesk_dirents none;
        EXPECT_EQ(-ENOENT, vesk_readdir(absent, &none));
        EXPECT_TRUE(none.empty());
    }
}

// Backend paths are never taken for logical ones: a backend may lie below
// its own mount point, and a mount at "/" holds every backend path.
TEST_P(ApiTest, BackendsBelowTheirOwnMountPoint) {
    const std::string m = tmp_.sub("m");
    ASSERT_EQ(0, mkdir(m.c_str(), 0755));
    struct Setup {
        std::string mount;
        std::vector<std::string> backends;
    } setups[] = {{m, {m + "/b0", m + "/b1"}}, {"/", {tmp_.sub("r0"), tmp_.sub("r1")}}};
    for (const Setup &su : setups) {
        SCOPED_TRACE("mount " + su.mount);
        auto cfg = vesk_test::use_config(tmp_.sub("under.conf"),
                                         vesk_test::mount_config(su.mount, su.backends, GetParam()));
        ASSERT_TRUE(cfg->errors.empty());
        const std::string top = su.mount == "/" ? "" : su.mount;
        const std::string d = top + "/dir", f = d + "/file", g = d + "/moved";
        ASSERT_EQ(0, vesk_mkdir(d.c_str(), 0755));
        int ret = 0;
        Vesk_fd *fd = open(f.c_str(), O_CREAT | O_WRONLY, &ret);
        ASSERT_NE(nullptr, fd) << ret;
        EXPECT_EQ(5, vesk_write(fd, "hello", 5, 0, getpid()));
        EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_WRONLY));
        struct stat st;
        ASSERT_EQ(0, vesk_getattr(nullptr, f.c_str(), &st, 0));
        EXPECT_EQ(5, st.st_size);
        EXPECT_EQ(0, vesk_rename(f.c_str(), g.c_str()));
        fd = open(g.c_str(), O_RDONLY, &ret);
        ASSERT_NE(nullptr, fd) << ret;
        EXPECT_EQ("hello", read(fd, 16));
        EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_RDONLY));
        Vesk_dirents names;
        EXPECT_EQ(0, vesk_readdir(d.c_str(), &names));
        EXPECT_EQ(Vesk_dirents{"moved"}, names);
        EXPECT_EQ(0, vesk_unlink(g.c_str()));
        EXPECT_EQ(0, vesk_rmdir(d.c_str()));
        // nothing was left where a second lookup would have put it
        for (const std::string &b : su.backends) {
            Vesk_dirents left;
            DIR *dp = opendir(b.c_str());
            ASSERT_NE(nullptr, dp) << b;
            while (struct dirent *e = readdir(dp))
                if (e->d_name[0] != '.') left.insert(e->d_name);  // the layer's own start with '.'
            closedir(dp);
            EXPECT_TRUE(left.empty()) << b << ": " << *left.begin();
        }
    }
}

std::string layout_name(const ::testing::TestParamInfo<const char *> &i) { return i.param; }
INSTANTIATE_TEST_SUITE_P(Layouts, ApiTest, ::testing::Values("container", "flat"), layout_name);

}  // namespace
