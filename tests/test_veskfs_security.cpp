/*
 * veskfs shared between users: a root-run daemon with allow_other, and
 * an unprivileged user (nobody) trying what a plain directory would
 * refuse. Every operation runs on the mount and on a plain directory of
 * the same machine, and must end the same way. Needs root (it acts as
 * other users); skipped otherwise, or where FUSE cannot be used.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "veskfs_test_util.h"

using vesk_test::TempDir;
using veskfs_test::run;
using veskfs_test::sh;
using veskfs_test::trim;

namespace {

uid_t nobody_uid() {
    struct passwd *p = getpwnam("nobody");
    return p ? p->pw_uid : 65534;
}

gid_t nogroup_gid() {
    struct group *g = getgrnam("nogroup");
    return g ? g->gr_gid : 65534;
}

// A group nobody is not in.
const gid_t kOtherGid = 4321;

// Runs `op` in a child process as uid/gid without supplementary groups;
// the child's result: 0, or the errno of op's -errno.
int as_user(uid_t uid, gid_t gid, const std::function<int()> &op) {
    pid_t p = fork();
    if (p < 0) return -1;
    if (p == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(250);
        int r = op();
        _exit(r < 0 ? (-r > 249 ? 249 : -r) : r == 0 ? 0 : 251);
    }
    int st = 0;
    waitpid(p, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 252;
}

int as_nobody(const std::function<int()> &op) { return as_user(nobody_uid(), nogroup_gid(), op); }

int res(int r) { return r < 0 ? -errno : 0; }

int write_text(const std::string &path, int flags, const std::string &text) {
    int fd = open(path.c_str(), flags, 0644);
    if (fd < 0) return -errno;
    ssize_t n = write(fd, text.data(), text.size());
    int e = errno;
    close(fd);
    return n == (ssize_t)text.size() ? 0 : -(n < 0 ? e : EIO);
}

std::string errname(int e) { return e == 0 ? "success" : strerror(e); }

struct stat stat_of(const std::string &path) {
    struct stat st;
    memset(&st, 0, sizeof st);
    lstat(path.c_str(), &st);
    return st;
}

// Everything below `root` (root included), as lstat sees it.
std::vector<std::pair<std::string, struct stat>> tree(const std::string &root) {
    static std::vector<std::pair<std::string, struct stat>> *out;
    std::vector<std::pair<std::string, struct stat>> items;
    out = &items;
    nftw(root.c_str(),
         [](const char *p, const struct stat *st, int, struct FTW *) {
             out->emplace_back(p, *st);
             return 0;
         },
         16, FTW_PHYS);
    return items;
}

class VeskfsSecurityTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: the daemon acts for other users";
        std::string why = veskfs_test::no_fuse_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(tmp_.ok());
        // Others must reach the mount and the plain directory, never the
        // backends (they sit in a directory of mode 0700).
        ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0755));
        mnt_ = tmp_.sub("mnt");
        plain_ = tmp_.sub("plain");
        ASSERT_EQ(0, mkdir(mnt_.c_str(), 0755));
        ASSERT_EQ(0, mkdir(plain_.c_str(), 0755));
        ASSERT_EQ(0, chmod(plain_.c_str(), 01777));
        ASSERT_EQ(0, mkdir(tmp_.sub("priv").c_str(), 0700));
        backends_ = {tmp_.sub("priv/b0"), tmp_.sub("priv/b1")};
        std::string cfg = tmp_.sub("vesk.conf");
        vesk_test::write_file(cfg, vesk_test::mount_config(mnt_, backends_, GetParam()));
        for (const std::string &b : backends_) ASSERT_EQ(0, chmod(b.c_str(), 01777));
        daemon_.reset(new veskfs_test::Daemon(mnt_, tmp_.sub("veskfs.log"),
                                              {"-o", "allow_other"}, cfg));
        ASSERT_TRUE(daemon_->start(&why)) << why;
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_TRUE(daemon_->stop()) << vesk_test::read_file(daemon_->log());
            daemon_.reset();
        }
    }
    bool flat() const { return std::string(GetParam()) == "flat"; }
    std::vector<std::string> roots() const { return {plain_, mnt_}; }

    // Everything the backends hold for the top-level name `name`.
    std::vector<std::pair<std::string, struct stat>> backend_items(const std::string &name) {
        std::vector<std::pair<std::string, struct stat>> all;
        for (const std::string &b : backends_) {
            struct stat st;
            if (lstat((b + "/" + name).c_str(), &st) != 0) continue;
            auto t = tree(b + "/" + name);
            all.insert(all.end(), t.begin(), t.end());
        }
        return all;
    }

    // Runs `op(root)` as nobody on the plain directory and on the mount:
    // both must end alike; returns the mount's result.
    int same_as_plain(const std::string &what, const std::function<int(const std::string &)> &op) {
        int plain = as_nobody([&] { return op(plain_); });
        int mount = as_nobody([&] { return op(mnt_); });
        EXPECT_EQ(errname(plain), errname(mount)) << what << " (plain directory, then the mount)";
        return mount;
    }

    TempDir tmp_;
    std::string mnt_, plain_;
    std::vector<std::string> backends_;
    std::unique_ptr<veskfs_test::Daemon> daemon_;
};

TEST_P(VeskfsSecurityTest, MountsWithKernelChecksNoSetuidNoDevicesAndNoWarning) {
    std::string line = veskfs_test::mount_line(mnt_);
    for (const char *opt : {"default_permissions", "nosuid", "nodev", "allow_other"})
        EXPECT_NE(std::string::npos, line.find(opt)) << opt << " missing in: " << line;
    // The backends lie in a private directory: nothing to warn about.
    EXPECT_EQ(std::string::npos, vesk_test::read_file(daemon_->log()).find("reached"))
        << vesk_test::read_file(daemon_->log());
}

TEST_P(VeskfsSecurityTest, AnotherUsersFilesAreRefusedAndLeftAlone) {
    for (const std::string &d : roots()) {
        ASSERT_EQ(0, write_text(d + "/victim", O_WRONLY | O_CREAT | O_TRUNC, "secret"));
        ASSERT_EQ(0, chmod((d + "/victim").c_str(), 0600));
        ASSERT_EQ(0, write_text(d + "/pub", O_WRONLY | O_CREAT | O_TRUNC, "public"));
        ASSERT_EQ(0, chmod((d + "/pub").c_str(), 0644));
        ASSERT_EQ(0, mkdir((d + "/rootdir").c_str(), 0755));
        struct timeval tv[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(0, utimes((d + "/victim").c_str(), tv));
    }
    nobody_uid();  // resolved before the children fork
    struct Row {
        const char *what;
        int expect;
        std::function<int(const std::string &)> op;
    };
    std::vector<Row> rows = {
        {"read a 0600 file", EACCES, [](const std::string &d) { return res(open((d + "/victim").c_str(), O_RDONLY)); }},
        {"write a 0600 file", EACCES, [](const std::string &d) { return write_text(d + "/victim", O_WRONLY, "x"); }},
        {"append to a 0644 file", EACCES, [](const std::string &d) { return write_text(d + "/pub", O_WRONLY | O_APPEND, "x"); }},
        {"open O_TRUNC", EACCES, [](const std::string &d) { return res(open((d + "/pub").c_str(), O_WRONLY | O_TRUNC)); }},
        {"truncate", EACCES, [](const std::string &d) { return res(truncate((d + "/pub").c_str(), 0)); }},
        {"rename", EPERM, [](const std::string &d) { return res(rename((d + "/victim").c_str(), (d + "/mine").c_str())); }},
        {"rename over", EPERM, [](const std::string &d) { return res(rename((d + "/pub").c_str(), (d + "/victim").c_str())); }},
        {"unlink", EPERM, [](const std::string &d) { return res(unlink((d + "/victim").c_str())); }},
        {"chmod", EPERM, [](const std::string &d) { return res(chmod((d + "/victim").c_str(), 0666)); }},
        {"chown to self", EPERM, [](const std::string &d) { return res(chown((d + "/pub").c_str(), getuid(), getgid())); }},
        {"chgrp", EPERM, [](const std::string &d) { return res(chown((d + "/pub").c_str(), (uid_t)-1, getgid())); }},
        {"set times", EPERM, [](const std::string &d) {
             struct timeval tv[2] = {{5, 0}, {5, 0}};
             return res(utimes((d + "/victim").c_str(), tv));
         }},
        {"touch (times now)", EACCES, [](const std::string &d) { return res(utimes((d + "/victim").c_str(), nullptr)); }},
        {"create in root's directory", EACCES, [](const std::string &d) { return res(open((d + "/rootdir/f").c_str(), O_WRONLY | O_CREAT, 0644)); }},
        {"mkdir in root's directory", EACCES, [](const std::string &d) { return res(mkdir((d + "/rootdir/x").c_str(), 0755)); }},
        {"symlink in root's directory", EACCES, [](const std::string &d) { return res(symlink("/etc/shadow", (d + "/rootdir/l").c_str())); }},
        {"rmdir root's directory", EPERM, [](const std::string &d) { return res(rmdir((d + "/rootdir").c_str())); }},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(errname(r.expect), errname(same_as_plain(r.what, r.op))) << r.what;
    }
    for (const std::string &d : roots()) {
        SCOPED_TRACE(d);
        EXPECT_EQ("secret", vesk_test::read_file(d + "/victim"));
        EXPECT_EQ("public", vesk_test::read_file(d + "/pub"));
        struct stat st = stat_of(d + "/victim");
        EXPECT_EQ(0100600u, st.st_mode);
        EXPECT_EQ(0u, st.st_uid);
        EXPECT_EQ(1000000000, st.st_mtime);
        EXPECT_EQ(0100644u, stat_of(d + "/pub").st_mode);
        EXPECT_EQ(0u, stat_of(d + "/pub").st_uid);
        EXPECT_NE(0, access((d + "/mine").c_str(), F_OK));
        EXPECT_EQ("", trim(run("ls -A " + d + "/rootdir")));
    }
    // Nothing nobody tried left a trace on the backends either.
    for (const auto &it : backend_items("rootdir")) EXPECT_EQ(0u, it.second.st_uid) << it.first;
    for (const auto &it : backend_items("victim")) EXPECT_EQ(0u, it.second.st_uid) << it.first;
}

TEST_P(VeskfsSecurityTest, OwnFilesWorkAsOnAPlainDirectoryAndBelongToTheirUser) {
    struct Step {
        const char *what;
        std::function<int(const std::string &)> op;
    };
    std::vector<Step> steps = {
        {"create and write", [](const std::string &d) { return write_text(d + "/f", O_WRONLY | O_CREAT | O_EXCL, "hello"); }},
        {"append", [](const std::string &d) { return write_text(d + "/f", O_WRONLY | O_APPEND, " world"); }},
        {"read", [](const std::string &d) { return vesk_test::read_file(d + "/f") == "hello world" ? 0 : -EIO; }},
        {"chmod", [](const std::string &d) { return res(chmod((d + "/f").c_str(), 0640)); }},
        {"chown to self", [](const std::string &d) { return res(chown((d + "/f").c_str(), getuid(), getgid())); }},
        {"set times", [](const std::string &d) {
             struct timeval tv[2] = {{1200000000, 0}, {1300000000, 0}};
             return res(utimes((d + "/f").c_str(), tv));
         }},
        {"mkdir", [](const std::string &d) { return res(mkdir((d + "/dir").c_str(), 0750)); }},
        {"symlink", [](const std::string &d) { return res(symlink("f", (d + "/dir/l").c_str())); }},
        {"copy", [](const std::string &d) { return write_text(d + "/dir/g", O_WRONLY | O_CREAT, "x"); }},
        {"rename", [](const std::string &d) { return res(rename((d + "/dir/g").c_str(), (d + "/dir/h").c_str())); }},
        {"truncate", [](const std::string &d) { return res(truncate((d + "/dir/h").c_str(), 0)); }},
        {"unlink", [](const std::string &d) { return res(unlink((d + "/dir/h").c_str())); }},
        {"remove own 0444 file", [](const std::string &d) {
             int r = write_text(d + "/ro", O_WRONLY | O_CREAT, "r");
             if (r == 0) r = res(chmod((d + "/ro").c_str(), 0444));
             if (r == 0) r = res(unlink((d + "/ro").c_str()));
             return r;
         }},
    };
    for (const Step &s : steps) EXPECT_EQ(0, same_as_plain(s.what, s.op)) << s.what;

    uid_t u = nobody_uid();
    gid_t g = nogroup_gid();
    for (const std::string &d : roots()) {
        SCOPED_TRACE(d);
        struct stat st = stat_of(d + "/f");
        EXPECT_EQ(u, st.st_uid);
        EXPECT_EQ(g, st.st_gid);
        EXPECT_EQ(0100640u, st.st_mode);
        EXPECT_EQ(1300000000, st.st_mtime);
        EXPECT_EQ(u, stat_of(d + "/dir").st_uid);
        EXPECT_EQ(040750u, stat_of(d + "/dir").st_mode);
        EXPECT_EQ(u, stat_of(d + "/dir/l").st_uid);
        EXPECT_TRUE(S_ISLNK(stat_of(d + "/dir/l").st_mode));
    }
    // On the backends, everything made for nobody is nobody's: the flat
    // file itself, or the container with its host directory and logs.
    size_t seen = 0;
    for (const char *name : {"f", "dir"}) {
        for (const auto &it : backend_items(name)) {
            seen++;
            EXPECT_EQ(u, it.second.st_uid) << it.first;
            if (!S_ISDIR(it.second.st_mode) || flat()) {
                EXPECT_EQ(g, it.second.st_gid) << it.first;
            }
        }
    }
    EXPECT_GE(seen, flat() ? 3u : 6u);
}

TEST_P(VeskfsSecurityTest, SetuidCopiesGiveNobodyNoRootRights) {
    if (access("/usr/bin/id", X_OK) != 0) GTEST_SKIP() << "/usr/bin/id missing";
    for (const std::string &d : roots())
        ASSERT_EQ(0, sh("setpriv --reuid=" + std::to_string(nobody_uid()) + " --regid=" +
                        std::to_string(nogroup_gid()) + " --clear-groups sh -c 'cp /usr/bin/id " +
                        d + "/id && chmod 4755 " + d + "/id'"));
    EXPECT_EQ(04755u, stat_of(mnt_ + "/id").st_mode & 07777);
    EXPECT_EQ(nobody_uid(), stat_of(mnt_ + "/id").st_uid);
    // Through the mount the bit does nothing (nosuid): another user runs
    // it as itself ...
    EXPECT_EQ("1234", trim(run("setpriv --reuid=1234 --regid=1234 --clear-groups " + mnt_ +
                               "/id -u")));
    // ... and no backend file is root's and set-user-ID.
    for (const std::string &b : backends_)
        for (const auto &it : tree(b))
            EXPECT_FALSE((it.second.st_mode & S_ISUID) && it.second.st_uid == 0) << it.first;
    if (flat()) {
        // The backend copy is an ordinary set-user-ID file of nobody's:
        // run by root, it runs as nobody, as the plain directory's copy.
        std::string copy;
        for (const std::string &b : backends_)
            if (access((b + "/id").c_str(), F_OK) == 0) copy = b + "/id";
        ASSERT_FALSE(copy.empty());
        EXPECT_EQ(trim(run(plain_ + "/id -u")), trim(run(copy + " -u")));
        EXPECT_EQ(std::to_string(nobody_uid()), trim(run(copy + " -u")));
    }
}

TEST_P(VeskfsSecurityTest, ChmodAndWritesClearSetIdBitsAsOnAPlainDirectory) {
    for (const std::string &d : roots()) {
        ASSERT_EQ(0, as_nobody([&] { return write_text(d + "/own", O_WRONLY | O_CREAT, "x"); }));
        // Root gives it to a group nobody is not in.
        ASSERT_EQ(0, chown((d + "/own").c_str(), (uid_t)-1, kOtherGid));
        ASSERT_EQ(0, write_text(d + "/shared", O_WRONLY | O_CREAT, "y"));
        ASSERT_EQ(0, chmod((d + "/shared").c_str(), 06777));
    }
    same_as_plain("chmod g+s by an owner outside the group",
                  [](const std::string &d) { return res(chmod((d + "/own").c_str(), 02755)); });
    same_as_plain("write by another user",
                  [](const std::string &d) { return write_text(d + "/shared", O_WRONLY | O_APPEND, "z"); });
    EXPECT_EQ(stat_of(plain_ + "/own").st_mode, stat_of(mnt_ + "/own").st_mode);
    EXPECT_EQ(0, (int)(stat_of(mnt_ + "/own").st_mode & S_ISGID));
    EXPECT_EQ(stat_of(plain_ + "/shared").st_mode, stat_of(mnt_ + "/shared").st_mode);
    EXPECT_EQ(0, (int)(stat_of(mnt_ + "/shared").st_mode & (S_ISUID | S_ISGID)));
    EXPECT_EQ("yz", vesk_test::read_file(mnt_ + "/shared"));
    // The owner itself, and root, keep the bits they set.
    ASSERT_EQ(0, chmod((mnt_ + "/shared").c_str(), 04755));
    ASSERT_EQ(0, write_text(mnt_ + "/shared", O_WRONLY | O_APPEND, "r"));
    EXPECT_EQ(04755u, stat_of(mnt_ + "/shared").st_mode & 07777);
}

TEST_P(VeskfsSecurityTest, LinkOperationsNeverReachTheTarget) {
    std::string outside = tmp_.sub("outside");
    vesk_test::write_file(outside, "keep");
    struct timeval tv[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimes(outside.c_str(), tv));
    for (const std::string &d : roots()) {
        SCOPED_TRACE(d);
        ASSERT_EQ(0, symlink(outside.c_str(), (d + "/l").c_str()));
        ASSERT_EQ(0, sh("touch -h -d @1234567890 " + d + "/l"));
        EXPECT_EQ(1234567890, stat_of(d + "/l").st_mtime);
        ASSERT_EQ(0, lchown((d + "/l").c_str(), nobody_uid(), nogroup_gid()));
        EXPECT_EQ(nobody_uid(), stat_of(d + "/l").st_uid);
        EXPECT_EQ(1000000000, stat_of(outside).st_mtime);
        EXPECT_EQ(0u, stat_of(outside).st_uid);
        EXPECT_EQ(0100644u, stat_of(outside).st_mode);
    }
    // The link's owner is nobody now: nobody may retime it, others not.
    same_as_plain("touch -h of an own link", [](const std::string &d) {
        struct timespec ts[2] = {{7, 0}, {7, 0}};
        return res(utimensat(AT_FDCWD, (d + "/l").c_str(), ts, AT_SYMLINK_NOFOLLOW));
    });
    EXPECT_EQ(7, stat_of(mnt_ + "/l").st_mtime);
    EXPECT_EQ(1000000000, stat_of(outside).st_mtime);
}

TEST_P(VeskfsSecurityTest, SetGroupIdDirectoriesGiveTheirGroup) {
    for (const std::string &d : roots()) {
        ASSERT_EQ(0, mkdir((d + "/g").c_str(), 0777));
        ASSERT_EQ(0, chown((d + "/g").c_str(), 0, kOtherGid));
        ASSERT_EQ(0, chmod((d + "/g").c_str(), 02777));
    }
    same_as_plain("create in a set-group-ID directory", [](const std::string &d) {
        return write_text(d + "/g/f", O_WRONLY | O_CREAT, "x");
    });
    same_as_plain("mkdir in a set-group-ID directory",
                  [](const std::string &d) { return res(mkdir((d + "/g/sub").c_str(), 0755)); });
    for (const std::string &d : roots()) {
        SCOPED_TRACE(d);
        EXPECT_EQ(kOtherGid, stat_of(d + "/g/f").st_gid);
        EXPECT_EQ(nobody_uid(), stat_of(d + "/g/f").st_uid);
        EXPECT_EQ(kOtherGid, stat_of(d + "/g/sub").st_gid);
        EXPECT_TRUE(stat_of(d + "/g/sub").st_mode & S_ISGID);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, VeskfsSecurityTest, ::testing::Values("flat", "container"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.param);
                         });

/* A mount whose backends others can reach is warned about. */
TEST(VeskfsExposure, AllowOtherWithReachableBackendsWarns) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for allow_other";
    std::string why = veskfs_test::no_fuse_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir tmp;
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    std::string mnt = tmp.sub("mnt");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    std::string cfg = tmp.sub("vesk.conf");
    vesk_test::write_file(cfg, vesk_test::mount_config(mnt, {tmp.sub("open")}, "flat"));
    veskfs_test::Daemon d(mnt, tmp.sub("log"), {"-o", "allow_other"}, cfg);
    ASSERT_TRUE(d.start(&why)) << why;
    EXPECT_TRUE(d.stop());
    std::string log = vesk_test::read_file(tmp.sub("log"));
    EXPECT_NE(std::string::npos, log.find(tmp.sub("open") + " can be reached by other users"))
        << log;
}

TEST(VeskfsExposure, HelpStatesThePermissionModel) {
    if (access(veskfs_test::veskfs_binary().c_str(), X_OK) != 0) GTEST_SKIP() << "no veskfs";
    std::string help = run(veskfs_test::veskfs_binary() + " --help");
    EXPECT_NE(std::string::npos, help.find("default_permissions"));
    EXPECT_NE(std::string::npos, help.find("nosuid"));
}

}  // namespace
