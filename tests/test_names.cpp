/*
 * Names a user may choose: every legal name (1 to 255 bytes, any byte but
 * '/' and NUL) goes through every namespace operation on both layouts, with
 * one backend in /dev/shm and one on the disk, so that a move between
 * backends is also a move between file systems. Among them the names the
 * layer itself uses or used (its marker, its temporary infixes).
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "config/Config.h"
#include "vesk.h"
#include "vesk_test_util.h"

namespace {

using vesk_test::TempDir;

std::string printable(const std::string &name) {
    std::string s;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7f) {
            s += (char)c;
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02x", c);
            s += buf;
        }
    }
    return s.size() > 40 ? s.substr(0, 20) + "...(" + std::to_string(name.size()) + " bytes)" : s;
}

const std::vector<std::string> &names() {
    static const std::vector<std::string> n = [] {
        std::vector<std::string> v = {
            ".vesk_container", "a.vesk-new.1", "b.vesk-copy.2", "c.vesk-unlink.3",
            "d.vesk-link.4",   ".vesk-new.",   ".vesk-copy.",   "meta",
            "x",               "with space",   " lead and trail ", "new\nline",
            "\xff\xfe\x80 not utf-8", "...",   "-",             "tab\there",
        };
        for (size_t len : {200, 230, 240, 250, 255}) v.push_back(std::string(len, 'n'));
        v.push_back(std::string(245, 'm') + ".vesk-new.");  // 255 bytes
        return v;
    }();
    return n;
}

class Names : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        ASSERT_TRUE(disk.ok());
        struct stat a, b;
        if (stat("/dev/shm", &a) == 0 && stat(disk.path().c_str(), &b) == 0 &&
            a.st_dev != b.st_dev) {
            shm = std::make_unique<TempDir>("/dev/shm");
            ASSERT_TRUE(shm->ok());
            backends = {shm->sub("b0"), disk.sub("b1")};
        } else {
            // still every name, only without the move between file systems
            backends = {disk.sub("b0"), disk.sub("b1")};
        }
        auto cfg = vesk_test::use_config(disk.sub("vesk.conf"),
                                         vesk_test::mount_config("/vn", backends, GetParam()));
        ASSERT_TRUE(cfg->errors.empty());
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }

    static size_t home(const std::string &name) { return vesk::backend_for(name, 2); }
    // A name of the same length whose file lives on the other backend.
    static std::string elsewhere(const std::string &name) {
        for (char c = 'a'; c <= 'z'; c++) {
            std::string v = name;
            v.back() = c;
            if (home(v) != home(name)) return v;
        }
        return "";
    }
    Vesk_dirents list(const std::string &dir, int *ret = nullptr) {
        Vesk_dirents e;
        int r = vesk_readdir(dir.c_str(), &e);
        if (ret) *ret = r;
        return e;
    }
    int put(const std::string &path, const std::string &data) {
        Vesk_fd *fd = nullptr;
        int r = vesk_open(&fd, path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, getpid(), 0644);
        if (r != 0) return r;
        ssize_t n = vesk_write(fd, data.data(), data.size(), 0, getpid());
        int c = vesk_close(fd, getpid(), getuid(), O_WRONLY);
        return n != (ssize_t)data.size() ? (n < 0 ? (int)n : -EIO) : c;
    }
    std::string get(const std::string &path) {
        Vesk_fd *fd = nullptr;
        int r = vesk_open(&fd, path.c_str(), O_RDONLY, getpid(), 0);
        if (r != 0) return "<open " + std::to_string(r) + ">";
        std::string buf(1024, '\0');
        ssize_t n = vesk_read(fd, &buf[0], buf.size(), 0);
        vesk_close(fd, getpid(), getuid(), O_RDONLY);
        if (n < 0) return "<read " + std::to_string(n) + ">";
        buf.resize((size_t)n);
        return buf;
    }
    bool is_dir(const std::string &path) {
        struct stat st;
        return vesk_getattr(nullptr, path.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    // What the backends hold besides the layer's own entries at their roots.
    std::vector<std::string> backend_roots() {
        std::vector<std::string> seen;
        for (const std::string &b : backends) {
            DIR *d = opendir(b.c_str());
            if (!d) continue;
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] != '.') seen.push_back(b + "/" + e->d_name);
            closedir(d);
        }
        return seen;
    }

    TempDir disk;
    std::unique_ptr<TempDir> shm;
    std::vector<std::string> backends;
};

// A file of each name: made, listed, read, moved to the other backend and
// back, removed; its directory stays a directory throughout.
TEST_P(Names, FilesOfEveryName) {
    int i = 0;
    for (const std::string &name : names()) {
        SCOPED_TRACE(printable(name));
        const std::string dir = "/vn/f" + std::to_string(i++);
        const std::string path = dir + "/" + name;
        const std::string other = elsewhere(name);
        ASSERT_FALSE(other.empty());
        ASSERT_EQ(0, vesk_mkdir(dir.c_str(), 0755));
        ASSERT_EQ(0, put(path, "content of " + name));

        EXPECT_TRUE(is_dir(dir));
        int r = 0;
        EXPECT_EQ(Vesk_dirents{name}, list(dir, &r));
        EXPECT_EQ(0, r);
        struct stat st;
        ASSERT_EQ(0, vesk_getattr(nullptr, path.c_str(), &st, 0));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ((off_t)(11 + name.size()), st.st_size);
        EXPECT_EQ("content of " + name, get(path));
        // the directory is no file: it cannot be unlinked with its contents
        EXPECT_NE(0, vesk_unlink(dir.c_str()));
        EXPECT_EQ("content of " + name, get(path));
        EXPECT_EQ(-ENOTEMPTY, vesk_rmdir(dir.c_str()));
        EXPECT_TRUE(is_dir(dir));

        // over to the other backend and back
        EXPECT_EQ(0, vesk_rename(path.c_str(), (dir + "/" + other).c_str()));
        EXPECT_EQ(Vesk_dirents{other}, list(dir));
        EXPECT_EQ("content of " + name, get(dir + "/" + other));
        EXPECT_EQ(0, vesk_rename((dir + "/" + other).c_str(), path.c_str()));
        EXPECT_EQ(Vesk_dirents{name}, list(dir));
        EXPECT_EQ("content of " + name, get(path));

        EXPECT_EQ(0, vesk_unlink(path.c_str()));
        EXPECT_EQ(Vesk_dirents{}, list(dir));
        EXPECT_EQ(-ENOENT, vesk_getattr(nullptr, path.c_str(), &st, 0));
        EXPECT_EQ(0, vesk_rmdir(dir.c_str()));
        EXPECT_EQ(-ENOENT, vesk_getattr(nullptr, dir.c_str(), &st, 0));
    }
    EXPECT_EQ(std::vector<std::string>{}, backend_roots());
}

// Links and directories of each name.
TEST_P(Names, LinksAndDirectoriesOfEveryName) {
    int i = 0;
    for (const std::string &name : names()) {
        SCOPED_TRACE(printable(name));
        const std::string dir = "/vn/l" + std::to_string(i++);
        const std::string path = dir + "/" + name;
        const std::string other = dir + "/" + elsewhere(name);
        ASSERT_EQ(0, vesk_mkdir(dir.c_str(), 0755));

        ASSERT_EQ(0, vesk_symlink("some/target", path.c_str()));
        EXPECT_EQ(Vesk_dirents{name}, list(dir));
        char buf[64] = {0};
        EXPECT_EQ(11, vesk_readlink(path.c_str(), buf, sizeof buf));
        EXPECT_STREQ("some/target", buf);
        EXPECT_EQ(0, vesk_rename(path.c_str(), other.c_str()));
        EXPECT_EQ(Vesk_dirents{elsewhere(name)}, list(dir));
        memset(buf, 0, sizeof buf);
        EXPECT_EQ(11, vesk_readlink(other.c_str(), buf, sizeof buf));
        EXPECT_STREQ("some/target", buf);
        EXPECT_EQ(0, vesk_unlink(other.c_str()));
        EXPECT_EQ(Vesk_dirents{}, list(dir));

        ASSERT_EQ(0, vesk_mkdir(path.c_str(), 0750));
        EXPECT_TRUE(is_dir(path));
        EXPECT_EQ(Vesk_dirents{name}, list(dir));
        EXPECT_EQ(Vesk_dirents{}, list(path));
        // a file in it, held by one backend only: rmdir looks at every
        // backend before it removes any copy, so the directory stays whole
        for (const std::string &inner : {std::string("in0"), std::string("in1")}) {
            SCOPED_TRACE(inner);
            const std::string f = path + "/" + (home(inner) == 0 ? inner : elsewhere(inner));
            ASSERT_EQ(0, put(f, "x"));
            EXPECT_EQ(-ENOTEMPTY, vesk_rmdir(path.c_str()));
            EXPECT_EQ(-ENOTEMPTY, vesk_rmdir(dir.c_str()));
            const std::string g = path + "/" + elsewhere(f.substr(f.rfind('/') + 1));
            EXPECT_EQ(0, put(g, "y")) << "the copy on the other backend was taken away";
            EXPECT_EQ(0, vesk_unlink(g.c_str()));
            EXPECT_EQ(0, vesk_unlink(f.c_str()));
        }
        EXPECT_EQ(0, vesk_rmdir(path.c_str()));
        EXPECT_EQ(Vesk_dirents{}, list(dir));
        EXPECT_EQ(0, vesk_rmdir(dir.c_str()));
    }
    EXPECT_EQ(std::vector<std::string>{}, backend_roots());
}

// Directories move whole, whatever their name, and keep what they hold.
TEST_P(Names, DirectoryRenameOfEveryName) {
    ASSERT_EQ(0, vesk_mkdir("/vn/top", 0755));
    for (const std::string &name : names()) {
        SCOPED_TRACE(printable(name));
        const std::string from = "/vn/top/" + name, to = "/vn/top/" + elsewhere(name);
        ASSERT_EQ(0, vesk_mkdir(from.c_str(), 0755));
        ASSERT_EQ(0, put(from + "/inside", name));
        EXPECT_EQ(0, vesk_rename(from.c_str(), to.c_str()));
        EXPECT_EQ(Vesk_dirents{elsewhere(name)}, list("/vn/top"));
        EXPECT_EQ(name, get(to + "/inside"));
        EXPECT_EQ(0, vesk_unlink((to + "/inside").c_str()));
        EXPECT_EQ(0, vesk_rmdir(to.c_str()));
    }
    EXPECT_EQ(0, vesk_rmdir("/vn/top"));
}

// On a flat mount a regular file may hold anything, the marker's own text
// included: its directory is a directory all the same.
TEST_P(Names, MarkerTextInAUserFile) {
    ASSERT_EQ(0, vesk_mkdir("/vn/d", 0755));
    ASSERT_EQ(0, put("/vn/d/.vesk_container", "vesk-container 1\n"));
    EXPECT_TRUE(is_dir("/vn/d"));
    EXPECT_EQ(Vesk_dirents{".vesk_container"}, list("/vn/d"));
    EXPECT_NE(0, vesk_unlink("/vn/d"));
    EXPECT_EQ("vesk-container 1\n", get("/vn/d/.vesk_container"));
    EXPECT_EQ(-ENOTEMPTY, vesk_rmdir("/vn/d"));
    EXPECT_EQ(0, vesk_unlink("/vn/d/.vesk_container"));
    EXPECT_EQ(0, vesk_rmdir("/vn/d"));
}

// The layer's own temporary names live in a directory at each backend's
// root that no logical path reaches and no listing shows.
TEST_P(Names, StagingIsOutOfReach) {
    // a move between backends and a removal have used it by now
    ASSERT_EQ(0, put("/vn/" + std::string(250, 's'), "s"));
    ASSERT_EQ(0, vesk_rename(("/vn/" + std::string(250, 's')).c_str(),
                             ("/vn/" + elsewhere(std::string(250, 's'))).c_str()));
    ASSERT_EQ(0, vesk_unlink(("/vn/" + elsewhere(std::string(250, 's'))).c_str()));
    EXPECT_EQ(Vesk_dirents{}, list("/vn"));
    EXPECT_EQ(std::vector<std::string>{}, backend_roots());
    for (const char *p : {"/vn/.vesk-staging", "/vn/.vesk-staging/x", "/vn/d/.vesk-staging"}) {
        SCOPED_TRACE(p);
        struct stat st;
        EXPECT_EQ(-EPERM, vesk_getattr(nullptr, p, &st, 0));
        EXPECT_EQ(-EPERM, put(p, "x"));
        EXPECT_EQ(-EPERM, vesk_mkdir(p, 0755));
        EXPECT_EQ(-EPERM, vesk_symlink("t", p));
        Vesk_dirents e;
        EXPECT_EQ(-EPERM, vesk_readdir(p, &e));
    }
    EXPECT_EQ(-EPERM, vesk_rename("/vn/.vesk-staging", "/vn/out"));
    EXPECT_EQ(Vesk_dirents{}, list("/vn"));
}

// A file kept as a container is no directory: no path goes on below it
// (ENOTDIR, as below any file), neither to a new name nor to the logs and
// records the container keeps inside. Directories that happen to bear the
// names a container uses inside are directories like any other.
TEST_P(Names, NoPathGoesBelowAContainer) {
    // (a flat file's backend answers for itself, but only where the name
    // below it is kept on the same backend)
    if (std::string(GetParam()) != "container") GTEST_SKIP() << "containers only";
    const std::string data(1000, 'k');
    ASSERT_EQ(0, put("/vn/ck", data));
    ASSERT_EQ(0, put("/vn/other", "o"));
    char hn[256] = "";
    gethostname(hn, sizeof hn - 1);
    for (char &c : hn)
        if (c == '/' || c == ' ') c = '_';
    const std::string hostdir = std::string("hostdir.") + hn;
    const std::string pid = std::to_string(getpid());
    for (const std::string &below :
         {std::string("x"), std::string(".vesk_container"), std::string("global.index"),
          std::string("meta"), std::string("openwriters"), hostdir, hostdir + "/data." + pid,
          hostdir + "/index." + pid, hostdir + "/new"}) {
        const std::string p = "/vn/ck/" + below;
        SCOPED_TRACE(p);
        struct stat st;
        EXPECT_EQ(-ENOTDIR, vesk_getattr(nullptr, p.c_str(), &st, 0));
        EXPECT_EQ(-ENOTDIR, put(p, "x"));
        Vesk_fd *fd = nullptr;
        EXPECT_EQ(-ENOTDIR, vesk_open(&fd, p.c_str(), O_RDONLY, getpid(), 0));
        EXPECT_EQ(-ENOTDIR, vesk_unlink(p.c_str()));
        EXPECT_EQ(-ENOTDIR, vesk_mkdir(p.c_str(), 0755));
        EXPECT_EQ(-ENOTDIR, vesk_rmdir(p.c_str()));
        EXPECT_EQ(-ENOTDIR, vesk_symlink("t", p.c_str()));
        EXPECT_EQ(-ENOTDIR, vesk_chmod(p.c_str(), 0777));
        EXPECT_EQ(-ENOTDIR, vesk_rename(p.c_str(), "/vn/taken"));
        EXPECT_EQ(-ENOTDIR, vesk_rename("/vn/other", p.c_str()));
        Vesk_dirents e;
        EXPECT_EQ(-ENOTDIR, vesk_readdir(p.c_str(), &e));
    }
    EXPECT_EQ(data, get("/vn/ck"));
    EXPECT_EQ("o", get("/vn/other"));
    EXPECT_EQ((Vesk_dirents{"ck", "other"}), list("/vn"));
    struct stat st;
    EXPECT_EQ(-ENOENT, vesk_getattr(nullptr, "/vn/taken", &st, 0));

    // directories named as a container's own are plain directories
    for (const std::string &d : {std::string("meta"), hostdir, std::string("openwriters")}) {
        SCOPED_TRACE(d);
        ASSERT_EQ(0, vesk_mkdir(("/vn/" + d).c_str(), 0755));
        ASSERT_EQ(0, vesk_mkdir(("/vn/" + d + "/sub").c_str(), 0755));
        ASSERT_EQ(0, put("/vn/" + d + "/sub/f", "inner"));
        EXPECT_EQ("inner", get("/vn/" + d + "/sub/f"));
        EXPECT_EQ(Vesk_dirents{"sub"}, list("/vn/" + d));
    }
}

std::string layout_name(const ::testing::TestParamInfo<const char *> &i) { return i.param; }
INSTANTIATE_TEST_SUITE_P(Layouts, Names, ::testing::Values("container", "flat"), layout_name);

}  // namespace
