/* The flat-file file system and its handle, against real backends. */
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FlatFileFD.h"
#include "FlatFileFS.h"
#include "Util.h"
#include "config/Expand.h"
#include "mlog.h"
#include "vesk_test_util.h"

using vesk_test::TempDir;

namespace {

std::string expand(const std::string &logical) {
    char *p = nullptr;
    vesk_expand_path(logical.c_str(), &p);
    std::string s = p ? p : "";
    free(p);
    return s;
}

int count_open_fds() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (struct dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

class FlatFS : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        b0 = dir.sub("b0");
        b1 = dir.sub("b1");
        vesk_test::use_config(dir.sub("vesk.conf"),
                              vesk_test::mount_config("/vflat", {b0, b1}, "flat"));
    }
    void TearDown() override { mlog_close(); }

    // A name below /vflat whose backend is `want`.
    std::string name_on(size_t want, const std::string &stem) {
        for (int i = 0; i < 1000; i++) {
            std::string rel = stem + std::to_string(i);
            if (vesk::backend_for(rel, 2) == want) return "/vflat/" + rel;
        }
        return "";
    }

    // Routes INFO messages of every facility to a file; returns its path.
    std::string capture_log() {
        std::string f = dir.sub("log.txt");
        mlog_options o{};
        o.default_mask = MLOG_MASK_INFO;
        o.logfile = f.c_str();
        o.msgbuf_size = -1;
        EXPECT_EQ(0, mlog_open("test", &o));
        return f;
    }

    TempDir dir;
    std::string b0, b1;
};

TEST_F(FlatFS, OpenWriteReadThroughSharedDescriptor) {
    Vesk_fd *fd = nullptr;
    ASSERT_EQ(0, flatfs.open(&fd, "/vflat/f", O_CREAT | O_RDWR, getpid(), 0644, nullptr));
    ASSERT_NE(nullptr, fd);
    EXPECT_STREQ("/vflat/f", fd->getPath());
    EXPECT_EQ(5, fd->write("hello", 5, 0, getpid()));
    EXPECT_EQ(3, fd->write("XYZ", 3, 10, getpid()));

    // A second open of the same handle shares the descriptor.
    Vesk_fd *same = fd;
    ASSERT_EQ(0, flatfs.open(&same, "/vflat/f", O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(fd, same);

    char buf[32] = {};
    EXPECT_EQ(13, fd->read(buf, sizeof buf, 0));
    EXPECT_EQ(0, memcmp(buf, "hello\0\0\0\0\0XYZ", 13));
    EXPECT_EQ(0, fd->read(buf, sizeof buf, 100));
    EXPECT_EQ(0, fd->sync());
    EXPECT_EQ(0, fd->sync(getpid()));
    EXPECT_EQ(0, fd->trunc(nullptr, 4));
    struct stat st;
    EXPECT_EQ(0, fd->getattr(nullptr, &st, 0));
    EXPECT_EQ(4, st.st_size);

    // The data is one ordinary file on the backend the name hashes to.
    std::string backend = expand("/vflat/f");
    EXPECT_EQ("hell", vesk_test::read_file(backend));

    EXPECT_EQ(1, fd->close(getpid(), getuid(), 0, nullptr));
    EXPECT_TRUE(fd->is_good());
    EXPECT_EQ(0, fd->close(getpid(), getuid(), 0, nullptr));
    EXPECT_FALSE(fd->is_good());
    delete fd;
}

// A handle outlives its name and its directory: every operation goes to
// the backend file it opened, none to whatever takes the name later.
TEST_F(FlatFS, HandleOfAnUnlinkedFileNeverLooksUpItsName) {
    ASSERT_EQ(0, flatfs.mkdir("/vflat/d", 0755));
    Vesk_fd *fd = nullptr;
    ASSERT_EQ(0, flatfs.open(&fd, "/vflat/d/t", O_CREAT | O_RDWR, getpid(), 0644, nullptr));
    ASSERT_EQ(4, fd->write("temp", 4, 0, getpid()));
    ASSERT_EQ(0, flatfs.unlink("/vflat/d/t"));
    ASSERT_EQ(0, flatfs.rmdir("/vflat/d"));
    EXPECT_EQ(5, fd->write("-file", 5, 4, getpid()));
    EXPECT_EQ(0, fd->sync()) << "no entry left to sync";
    ASSERT_EQ(0, flatfs.mkdir("/vflat/d", 0755));
    vesk_test::write_file(expand("/vflat/d/t"), "impostor");
    EXPECT_EQ(0, fd->trunc("/vflat/d/t", 6));
    EXPECT_EQ(0, fd->allocate(0, 8));
    struct stat st;
    ASSERT_EQ(0, fd->getattr("/vflat/d/t", &st, 0));
    EXPECT_EQ(8, st.st_size);
    EXPECT_EQ(0u, st.st_nlink);
    char buf[16] = {};
    EXPECT_EQ(8, fd->read(buf, sizeof buf, 0));
    EXPECT_EQ(0, memcmp(buf, "temp-f\0\0", 8));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ("impostor", vesk_test::read_file(expand("/vflat/d/t")));
}

TEST_F(FlatFS, SecondOpenIgnoresItsArguments) {
    vesk_test::write_file(expand("/vflat/a"), "aaaa");
    Vesk_fd *fd = nullptr;
    ASSERT_EQ(0, flatfs.open(&fd, "/vflat/a", O_RDONLY, 1, 0, nullptr));
    // Another path, other flags: still the first descriptor, read-only.
    ASSERT_EQ(0, fd->open("/nonexistent/elsewhere", O_RDWR, 1, 0, nullptr));
    EXPECT_EQ(-EBADF, fd->write("x", 1, 0, 1));
    char c;
    EXPECT_EQ(1, fd->read(&c, 1, 0));
    EXPECT_EQ(1, fd->close(1, 0, 0, nullptr));
    EXPECT_EQ(0, fd->close(1, 0, 0, nullptr));
    delete fd;
}

TEST_F(FlatFS, FailedOpenLeavesNoHandleOrTheCallersHandle) {
    Vesk_fd *fd = nullptr;
    EXPECT_EQ(-ENOENT, flatfs.open(&fd, "/vflat/missing", O_RDONLY, 1, 0, nullptr));
    EXPECT_EQ(nullptr, fd);

    Vesk_fd *mine = new Flat_fd();
    Vesk_fd *p = mine;
    EXPECT_EQ(-ENOENT, flatfs.open(&p, "/vflat/missing", O_RDONLY, 1, 0, nullptr));
    EXPECT_EQ(mine, p);
    delete mine;

    // A path under no mount point never reaches a backend.
    EXPECT_EQ(-ENOENT, flatfs.open(&fd, "/elsewhere/x", O_CREAT | O_RDWR, 1, 0644, nullptr));
    EXPECT_EQ(nullptr, fd);
}

TEST_F(FlatFS, HandleCountsAndDescriptorRules) {
    Flat_fd h;
    // Closing a fresh handle closes nothing and leaves the count at -1;
    // the next open sets it to 1, not 0.
    EXPECT_EQ(0, h.close(1, 0, 0, nullptr));
    char c;
    EXPECT_EQ(-EBADF, h.read(&c, 1, 0));
    vesk_test::write_file(expand("/vflat/r"), "r");
    ASSERT_EQ(0, h.open(expand("/vflat/r").c_str(), O_RDONLY, 1, 0, nullptr));
    EXPECT_TRUE(h.is_good());
    EXPECT_EQ(1, h.incrementOpens(5));
    EXPECT_EQ(0, h.close(1, 0, 0, nullptr));

    size_t w = 77, r = 88, b = 99;
    bool re = true;
    EXPECT_EQ(0, h.query(&w, &r, &b, &re));
    EXPECT_EQ(77u, w);
    EXPECT_EQ(88u, r);
    EXPECT_EQ(1u, b);
    EXPECT_FALSE(re);
    EXPECT_EQ(0, h.query(nullptr, nullptr, nullptr, nullptr));

    EXPECT_EQ(0, h.rename("/vflat/renamed"));
    EXPECT_STREQ("/vflat/renamed", h.getPath());
    EXPECT_EQ("r", vesk_test::read_file(expand("/vflat/r")));
}

TEST_F(FlatFS, DescriptorZeroCountsAsHeld) {
    vesk_test::write_file(expand("/vflat/z"), "z");
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    Vesk_fd *fd = nullptr;
    int ret = flatfs.open(&fd, "/vflat/z", O_RDONLY, 1, 0, nullptr);
    bool good = fd && fd->is_good();
    if (fd) {
        fd->close(1, 0, 0, nullptr);
        delete fd;
    }
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(0, ret);
    EXPECT_TRUE(good);
}

TEST_F(FlatFS, DestroyingAnOpenHandleReportsAndCloses) {
    vesk_test::write_file(expand("/vflat/d"), "d");
    int before = count_open_fds();
    Vesk_fd *fd = nullptr;
    ASSERT_EQ(0, flatfs.open(&fd, "/vflat/d", O_RDONLY, 1, 0, nullptr));
    EXPECT_EQ(before + 1, count_open_fds());
    setenv("VESK_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    delete fd;
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("VESK_DEBUG");
    EXPECT_EQ("File " + expand("/vflat/d") + " is not closed!\n", err);
    EXPECT_EQ(before, count_open_fds());
}

TEST_F(FlatFS, PathOperations) {
    // create adds the owner-write bit; flags and pid do nothing.
    mode_t old = umask(022);
    EXPECT_EQ(0, flatfs.create("/vflat/ro", 0444, O_EXCL, 12345));
    umask(old);
    struct stat st;
    ASSERT_EQ(0, flatfs.getattr("/vflat/ro", &st, 0));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // An existing file is left as it is.
    vesk_test::write_file(expand("/vflat/ro"), "keep");
    EXPECT_EQ(0, flatfs.create("/vflat/ro", 0600, 0, 1));
    EXPECT_EQ("keep", vesk_test::read_file(expand("/vflat/ro")));

    EXPECT_EQ(0, flatfs.chmod("/vflat/ro", 0600));
    mode_t mode = 0;
    EXPECT_EQ(0, flatfs.getmode("/vflat/ro", &mode));
    EXPECT_EQ((mode_t)(S_IFREG | 0600), mode);
    mode = 01234;
    EXPECT_EQ(-ENOENT, flatfs.getmode("/vflat/none", &mode));
    EXPECT_EQ(01234u, mode);

    EXPECT_EQ(0, flatfs.access("/vflat/ro", R_OK | W_OK));
    EXPECT_EQ(-ENOENT, flatfs.access("/vflat/none", F_OK));
    struct utimbuf ut = {1000000, 2000000};
    EXPECT_EQ(0, flatfs.utime("/vflat/ro", &ut));
    ASSERT_EQ(0, flatfs.getattr("/vflat/ro", &st, 0));
    EXPECT_EQ(2000000, st.st_mtime);
    EXPECT_EQ(0, flatfs.trunc("/vflat/ro", 2, 0));
    EXPECT_EQ("ke", vesk_test::read_file(expand("/vflat/ro")));
    if (getuid() == 0) {
        EXPECT_EQ(0, flatfs.chown("/vflat/ro", 65534, 65534));
        ASSERT_EQ(0, flatfs.getattr("/vflat/ro", &st, 0));
        EXPECT_EQ(65534u, st.st_uid);
    }
    struct statvfs sv;
    EXPECT_EQ(0, flatfs.statvfs("/vflat/ro", &sv));
    EXPECT_GT(sv.f_bsize, 0u);
    EXPECT_EQ(0, flatfs.unlink("/vflat/ro"));
    EXPECT_EQ(-ENOENT, flatfs.unlink("/vflat/ro"));
    EXPECT_EQ(-ENOSYS, flatfs.link("/vflat/none", "/vflat/none2"));
    EXPECT_EQ(-ENOSYS, flatfs.link(nullptr, nullptr));
}

TEST_F(FlatFS, SymlinkKeepsContentAndReadlinkTerminatesOnlyWhenRoom) {
    ASSERT_EQ(0, flatfs.symlink("target-name", "/vflat/lnk"));
    char raw[64] = {};
    ssize_t n = readlink(expand("/vflat/lnk").c_str(), raw, sizeof raw);
    EXPECT_EQ("target-name", std::string(raw, n > 0 ? n : 0));

    struct stat st;
    ASSERT_EQ(0, flatfs.getattr("/vflat/lnk", &st, 0));
    EXPECT_TRUE(S_ISLNK(st.st_mode));  // described, not followed

    const int len = 11;
    char exact[len + 1];
    memset(exact, '#', sizeof exact);
    EXPECT_EQ(len, flatfs.readlink("/vflat/lnk", exact, len));
    EXPECT_EQ('#', exact[len]);
    EXPECT_EQ(0, memcmp(exact, "target-name", len));

    char roomy[32];
    memset(roomy, '#', sizeof roomy);
    EXPECT_EQ(len, flatfs.readlink("/vflat/lnk", roomy, sizeof roomy));
    EXPECT_STREQ("target-name", roomy);
    EXPECT_EQ(-ENOENT, flatfs.readlink("/vflat/nolink", roomy, sizeof roomy));
}

TEST_F(FlatFS, RenameOfFilesAndSpecialFiles) {
    std::string from = name_on(0, "src"), to = name_on(1, "dst");
    ASSERT_EQ(0, flatfs.create(from.c_str(), 0600, 0, 1));
    vesk_test::write_file(expand(from), "payload");
    EXPECT_EQ(0, flatfs.rename(from.c_str(), to.c_str()));
    EXPECT_EQ("payload", vesk_test::read_file(expand(to)));
    EXPECT_NE(0, access(expand(from).c_str(), F_OK));
    EXPECT_EQ(-ENOENT, flatfs.rename(from.c_str(), to.c_str()));

    ASSERT_EQ(0, mkfifo(expand("/vflat/fifo").c_str(), 0600));
    EXPECT_EQ(-ENOSYS, flatfs.rename("/vflat/fifo", "/vflat/fifo2"));
    struct stat st;
    EXPECT_EQ(0, lstat(expand("/vflat/fifo").c_str(), &st));
    EXPECT_EQ(-ENOENT, flatfs.getattr("/vflat/fifo2", &st, 0));
}

TEST_F(FlatFS, DirectoriesSpanEveryBackend) {
    ASSERT_EQ(0, flatfs.mkdir("/vflat/d", 0755));
    EXPECT_TRUE(Util::isDirectory((b0 + "/d").c_str()));
    EXPECT_TRUE(Util::isDirectory((b1 + "/d").c_str()));
    EXPECT_EQ(-EEXIST, flatfs.mkdir("/vflat/d", 0755));

    // Files of one directory spread over the backends; listing merges.
    std::vector<std::string> names;
    for (int i = 0; i < 8; i++) {
        std::string p = "/vflat/d/f" + std::to_string(i);
        ASSERT_EQ(0, flatfs.create(p.c_str(), 0644, 0, 1));
        names.push_back("f" + std::to_string(i));
    }
    Vesk_dirents seen;
    EXPECT_EQ(0, flatfs.readdir("/vflat/d", &seen));
    EXPECT_EQ(Vesk_dirents(names.begin(), names.end()), seen);
    int on0 = 0;
    for (const std::string &n : names) on0 += Util::exists((b0 + "/d/" + n).c_str());
    EXPECT_GT(on0, 0);
    EXPECT_LT(on0, 8);

    // A directory that is not empty on one backend is removed nowhere.
    EXPECT_EQ(-ENOTEMPTY, flatfs.rmdir("/vflat/d"));
    EXPECT_TRUE(Util::isDirectory((b0 + "/d").c_str()));
    EXPECT_TRUE(Util::isDirectory((b1 + "/d").c_str()));
    for (const std::string &n : names) ASSERT_EQ(0, flatfs.unlink(("/vflat/d/" + n).c_str()));
    EXPECT_EQ(0, flatfs.rmdir("/vflat/d"));
    EXPECT_FALSE(Util::exists((b0 + "/d").c_str()));
    EXPECT_FALSE(Util::exists((b1 + "/d").c_str()));
    EXPECT_EQ(-ENOENT, flatfs.rmdir("/vflat/d"));
    Vesk_dirents none;
    EXPECT_EQ(-ENOENT, flatfs.readdir("/vflat/d", &none));

    // mkdir over a file name is refused.
    ASSERT_EQ(0, flatfs.create("/vflat/plain", 0644, 0, 1));
    EXPECT_EQ(-EEXIST, flatfs.mkdir("/vflat/plain", 0755));
    Vesk_dirents x;
    EXPECT_EQ(-ENOTDIR, flatfs.readdir("/vflat/plain", &x));
}

// A path that runs through a file is ENOTDIR, as on one file system,
// whichever backend its own name picks (where the file is not, its
// directory is simply missing); a path through a missing directory stays
// ENOENT.
TEST_F(FlatFS, APathThroughAFileIsNotADirectoryOnEveryBackend) {
    for (size_t where : {0, 1}) {
        std::string file = name_on(where, "f");
        ASSERT_EQ(0, flatfs.create(file.c_str(), 0644, 0, 1));
        for (const std::string &below : {file + "/x", file + "/x/y"}) {
            const char *p = below.c_str();
            struct stat st;
            mode_t mode;
            char buf[16];
            Vesk_dirents names;
            EXPECT_EQ(-ENOTDIR, flatfs.getattr(p, &st, 0)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.getmode(p, &mode)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.access(p, F_OK)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.readlink(p, buf, sizeof buf)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.unlink(p)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.chmod(p, 0600)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.create(p, 0644, 0, 1)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.mkdir(p, 0755)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.rmdir(p)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.readdir(p, &names)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.symlink("/vflat/t", p)) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.rename(p, "/vflat/moved")) << p;
            EXPECT_EQ(-ENOTDIR, flatfs.rename(file.c_str(), p)) << p;
            for (int flags : {O_RDONLY, O_WRONLY | O_CREAT}) {
                Vesk_fd *fd = nullptr;
                EXPECT_EQ(-ENOTDIR, flatfs.open(&fd, p, flags, 1, 0644, nullptr)) << p;
                EXPECT_EQ(nullptr, fd);
            }
        }
    }
    struct stat st;
    EXPECT_EQ(-ENOENT, flatfs.getattr("/vflat/nodir/x", &st, 0));
    EXPECT_EQ(-ENOENT, flatfs.mkdir("/vflat/nodir/x", 0755));
    Vesk_fd *fd = nullptr;
    EXPECT_EQ(-ENOENT, flatfs.open(&fd, "/vflat/nodir/x", O_WRONLY | O_CREAT, 1, 0644, nullptr));
}

TEST_F(FlatFS, DirectoryRenameToleratesMissingBackendCopies) {
    std::string log = capture_log();
    ASSERT_EQ(0, flatfs.mkdir("/vflat/old", 0755));
    ASSERT_EQ(0, rmdir((b1 + "/old").c_str()));  // only b0 holds it now
    EXPECT_EQ(0, flatfs.rename("/vflat/old", "/vflat/new"));
    EXPECT_TRUE(Util::isDirectory((b0 + "/new").c_str()));
    EXPECT_FALSE(Util::exists((b0 + "/old").c_str()));
    mlog_close();
    std::string text = vesk_test::read_file(log);
    EXPECT_NE(std::string::npos, text.find("rename " + b0 + "/old to " + b0 + "/new: 0"));
    EXPECT_NE(std::string::npos, text.find("rename " + b1 + "/old to " + b1 + "/new: 0"));
}

TEST_F(FlatFS, FilesFollowTheirDirectoryRename) {
    ASSERT_EQ(0, flatfs.mkdir("/vflat/a", 0755));
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(0, flatfs.create(("/vflat/a/g" + std::to_string(i)).c_str(), 0644, 0, 1));
    ASSERT_EQ(0, flatfs.rename("/vflat/a", "/vflat/z"));
    struct stat st;
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(0, flatfs.getattr(("/vflat/z/g" + std::to_string(i)).c_str(), &st, 0)) << i;
}

TEST_F(FlatFS, DirectoryRenameFailureIsReported) {
    ASSERT_EQ(0, flatfs.mkdir("/vflat/s", 0755));
    ASSERT_EQ(0, flatfs.mkdir("/vflat/t", 0755));
    std::string f = "/vflat/t/x";
    ASSERT_EQ(0, flatfs.create(f.c_str(), 0644, 0, 1));
    // The destination is not empty on one backend: that rename fails.
    EXPECT_EQ(-ENOTEMPTY, flatfs.rename("/vflat/s", "/vflat/t"));
}

TEST_F(FlatFS, DotDotNeverLeavesTheMount) {
    struct stat st;
    EXPECT_EQ(-EINVAL, flatfs.getattr("/vflat/../etc/passwd", &st, 0));
    EXPECT_EQ(-EINVAL, flatfs.create("/vflat/a/../../escape", 0644, 0, 1));
    EXPECT_FALSE(Util::exists(dir.sub("escape").c_str()));
    EXPECT_EQ(-EINVAL, flatfs.mkdir("/vflat/..", 0755));
    EXPECT_EQ(-EINVAL, flatfs.symlink("x", "/vflat/../l"));
    EXPECT_EQ(-EINVAL, flatfs.rename("/vflat/../a", "/vflat/b"));
    // Inside the mount ".." is fine.
    ASSERT_EQ(0, flatfs.mkdir("/vflat/sub", 0755));
    EXPECT_EQ(0, flatfs.create("/vflat/sub/../top", 0644, 0, 1));
    EXPECT_EQ(0, flatfs.getattr("/vflat/top", &st, 0));
    std::string longname(300, 'n');
    EXPECT_EQ(-ENAMETOOLONG, flatfs.create(("/vflat/" + longname).c_str(), 0644, 0, 1));
}

TEST_F(FlatFS, DirectoryRenameAcrossUnlikeMountsIsRefused) {
    vesk_test::use_config(dir.sub("two.conf"),
                          vesk_test::mount_config("/m2", {b0, b1}, "flat") +
                              vesk_test::mount_config("/m1", {dir.sub("c0")}, "flat"));
    ASSERT_EQ(0, flatfs.mkdir("/m2/d", 0755));
    EXPECT_EQ(-EXDEV, flatfs.rename("/m2/d", "/m1/d"));
    EXPECT_TRUE(Util::isDirectory((b0 + "/d").c_str()));
    EXPECT_TRUE(Util::isDirectory((b1 + "/d").c_str()));
}

/* Backends on two file systems: /dev/shm and the disk. */
class FlatFSCrossDevice : public FlatFS {
protected:
    void SetUp() override {
        struct stat a, b;
        if (stat("/dev/shm", &a) != 0 || stat(dir.path().c_str(), &b) != 0 ||
            a.st_dev == b.st_dev)
            GTEST_SKIP() << "needs /dev/shm and the temporary directory on two file systems";
        shm = std::make_unique<TempDir>("/dev/shm");
        ASSERT_TRUE(shm->ok());
        b0 = shm->sub("b0");
        b1 = dir.sub("b1");
        vesk_test::use_config(dir.sub("x.conf"),
                              vesk_test::mount_config("/vflat", {b0, b1}, "flat"));
    }
    std::unique_ptr<TempDir> shm;
};

TEST_F(FlatFSCrossDevice, FileIsCopiedThenUnlinkedAndLogged) {
    std::string log = capture_log();
    std::string from = name_on(0, "a"), to = name_on(1, "b");
    ASSERT_EQ(0, flatfs.create(from.c_str(), 0640, 0, 1));
    std::string data(3 << 20, 'q');
    data[12345] = 'Z';
    vesk_test::write_file(expand(from), data);
    ASSERT_EQ(0, chmod(expand(from).c_str(), 0604));
    EXPECT_EQ(0, flatfs.rename(from.c_str(), to.c_str()));
    EXPECT_EQ(data, vesk_test::read_file(expand(to)));
    EXPECT_FALSE(Util::exists(expand(from).c_str()));
    struct stat st;
    ASSERT_EQ(0, stat(expand(to).c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 0777);
    mlog_close();
    EXPECT_NE(std::string::npos,
              vesk_test::read_file(log).find("Cross-device rename, do CopyFile+Unlink, ret: 0."));
}

TEST_F(FlatFSCrossDevice, LinkIsMovedNotItsTarget) {
    std::string from = name_on(0, "l"), to = name_on(1, "m");
    ASSERT_EQ(0, flatfs.symlink("/some/where/else", from.c_str()));
    EXPECT_EQ(0, flatfs.rename(from.c_str(), to.c_str()));
    char buf[64];
    EXPECT_EQ(16, flatfs.readlink(to.c_str(), buf, sizeof buf));
    EXPECT_STREQ("/some/where/else", buf);
    struct stat st;
    EXPECT_EQ(-ENOENT, flatfs.getattr(from.c_str(), &st, 0));
}

// A move keeps what mv keeps: owner and group (where the caller may give
// them away), access and modification times; a link keeps its own.
TEST_F(FlatFSCrossDevice, MoveKeepsOwnerGroupAndTimesBothWays) {
    const bool root = geteuid() == 0;
    const uid_t uid = root ? 65534 : geteuid();
    const gid_t gid = root ? 65534 : getegid();
    const struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
    struct Case {
        bool link;
        size_t from, to;  // backend 0 lies in /dev/shm, backend 1 on the disk
    } cases[] = {{false, 0, 1}, {false, 1, 0}, {true, 0, 1}, {true, 1, 0}};
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.link ? "link" : "file") + " from backend " +
                     std::to_string(c.from));
        std::string stem = std::to_string(n++);
        std::string from = name_on(c.from, "o" + stem + "_"), to = name_on(c.to, "p" + stem + "_");
        if (c.link) {
            ASSERT_EQ(0, flatfs.symlink("target/elsewhere", from.c_str()));
        } else {
            ASSERT_EQ(0, flatfs.create(from.c_str(), 0640, 0, 1));
            vesk_test::write_file(expand(from), "payload");
            ASSERT_EQ(0, chmod(expand(from).c_str(), 0751));
        }
        ASSERT_EQ(0, lchown(expand(from).c_str(), uid, gid));
        ASSERT_EQ(0, utimensat(AT_FDCWD, expand(from).c_str(), times, AT_SYMLINK_NOFOLLOW));

        ASSERT_EQ(0, flatfs.rename(from.c_str(), to.c_str()));
        struct stat st;
        ASSERT_EQ(0, flatfs.getattr(to.c_str(), &st, 0));
        EXPECT_EQ(c.link, S_ISLNK(st.st_mode));
        if (!c.link) {
            EXPECT_EQ(0751u, st.st_mode & 07777);
        }
        EXPECT_EQ(uid, st.st_uid);
        EXPECT_EQ(gid, st.st_gid);
        EXPECT_EQ(times[0].tv_sec, st.st_atim.tv_sec);
        EXPECT_EQ(times[0].tv_nsec, st.st_atim.tv_nsec);
        EXPECT_EQ(times[1].tv_sec, st.st_mtim.tv_sec);
        EXPECT_EQ(times[1].tv_nsec, st.st_mtim.tv_nsec);
        EXPECT_EQ(-ENOENT, flatfs.getattr(from.c_str(), &st, 0));
    }
}

ssize_t failing_pwrite(int, const void *, size_t, off_t) {
    errno = ENOSPC;
    return -1;
}

TEST_F(FlatFSCrossDevice, FailedCopyLeavesSourceAndNoPartialDestination) {
    std::string from = name_on(0, "s"), to = name_on(1, "t");
    ASSERT_EQ(0, flatfs.create(from.c_str(), 0644, 0, 1));
    vesk_test::write_file(expand(from), "data");
    Util::syscalls().pwrite = failing_pwrite;  // the backend fills up
    int ret = flatfs.rename(from.c_str(), to.c_str());
    Util::resetSyscalls();
    EXPECT_EQ(-ENOSPC, ret);
    EXPECT_EQ("data", vesk_test::read_file(expand(from)));
    EXPECT_FALSE(Util::exists(expand(to).c_str()));
    Vesk_dirents left;
    ASSERT_EQ(0, flatfs.readdir("/vflat", &left));
    EXPECT_EQ(Vesk_dirents{from.substr(7)}, left);  // no temporary copy either
}

}  // namespace
