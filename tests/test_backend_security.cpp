/*
 * What the library makes and opens on the backends, against someone who
 * can reach them: container modes derived from the file's, links and
 * other kinds planted among a container's members, the owner given to
 * what a server makes for its callers, and the administrator's warning
 * about backends open to all.
 */
#include "container_test_util.h"

#include "Util.h"
#include "container/Layout.h"
#include "container/Staging.h"
#include "vesk.h"

#include <cerrno>
#include <ftw.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>

using vesk_test::ContainerMount;

namespace {

struct stat lstat_of(const std::string &path) {
    struct stat st;
    memset(&st, 0, sizeof st);
    lstat(path.c_str(), &st);
    return st;
}

// Every name below `dir`, `dir` included.
std::vector<std::string> names_below(const std::string &dir) {
    static std::vector<std::string> *out;
    std::vector<std::string> all;
    out = &all;
    nftw(dir.c_str(), [](const char *p, const struct stat *, int, struct FTW *) {
        out->push_back(p);
        return 0;
    }, 16, FTW_PHYS);
    return all;
}

class UmaskZero {
public:
    UmaskZero() : old_(umask(0)) {}
    ~UmaskZero() { umask(old_); }

private:
    mode_t old_;
};

class BackendSecurityTest : public ContainerMount {
protected:
    // Writes `data` as one writer and closes; the container's backend path.
    std::string make(const std::string &rel, const std::string &data, mode_t mode,
                     pid_t pid = getpid()) {
        int r = 0;
        Vesk_fd *fd = open(rel, O_WRONLY | O_CREAT, pid, mode, &r);
        EXPECT_EQ(0, r);
        if (!fd) return "";
        EXPECT_EQ((ssize_t)data.size(), fd->write(data.data(), data.size(), 0, pid));
        EXPECT_EQ(0, fd->close(pid, getuid(), O_WRONLY, nullptr));
        delete fd;
        return backend(rel);
    }
    std::string hostdir(const std::string &c) const { return vesk_cont::hostdir(c, vesk_cont::host()); }
    // The first error opening and reading the whole file gives, or 0.
    int read_error(const std::string &rel) {
        int r = 0;
        Vesk_fd *fd = open(rel, O_RDONLY, getpid(), 0, &r);
        if (!fd) return r;
        char buf[256];
        ssize_t n = fd->read(buf, sizeof buf, 0);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        return n < 0 ? (int)n : 0;
    }
};

TEST_F(BackendSecurityTest, ContainerDirectoriesAreWritableOnlyWhereTheFileIsAndSticky) {
    UmaskZero no_umask;
    struct Case {
        mode_t file;
        mode_t dir;
    } cases[] = {{0600, 0711}, {0644, 0755}, {0640, 0751}, {0664, 01775}, {0666, 01777},
                 {0620, 01731}};
    for (const Case &c : cases) {
        char rel_c[16];
        snprintf(rel_c, sizeof rel_c, "m%o", (unsigned)c.file);
        std::string rel = rel_c;
        std::string cont = make(rel, "data", c.file);
        SCOPED_TRACE(rel);
        EXPECT_EQ(c.dir, lstat_of(cont).st_mode & 07777);
        EXPECT_EQ(c.dir, lstat_of(hostdir(cont)).st_mode & 07777);
        EXPECT_EQ(c.dir, lstat_of(cont + "/meta").st_mode & 07777);
        EXPECT_EQ(c.file, lstat_of(vesk_cont::marker(cont)).st_mode & 07777);
        // Others read the logs as they may read the file; only their
        // writer writes them.
        mode_t log = (c.file & 0444) | 0600;
        EXPECT_EQ(log, lstat_of(vesk_cont::data_log(cont, vesk_cont::host(), getpid())).st_mode & 07777);
        EXPECT_EQ(log, lstat_of(vesk_cont::index_log(cont, vesk_cont::host(), getpid())).st_mode & 07777);
        EXPECT_EQ(c.dir, vesk_cont::dir_mode(c.file));
    }
    // The umask cuts the file's bits, and the directory follows them.
    umask(022);
    std::string cut = make("cut", "x", 0666);
    EXPECT_EQ(0644u, lstat_of(vesk_cont::marker(cut)).st_mode & 07777);
    EXPECT_EQ(0755u, lstat_of(cut).st_mode & 07777);
    EXPECT_EQ(0755u, lstat_of(hostdir(cut)).st_mode & 07777);
    umask(0);
    // chmod moves the container with the file.
    ASSERT_EQ(0, containerfs.chmod(L("m600").c_str(), 0666));
    EXPECT_EQ(01777u, lstat_of(backend("m600")).st_mode & 07777);
    ASSERT_EQ(0, containerfs.chmod(L("m600").c_str(), 0644));
    EXPECT_EQ(0755u, lstat_of(backend("m600")).st_mode & 07777);
}

TEST_F(BackendSecurityTest, PlantedLinksAndOtherKindsAreDamageAndNeverFollowed) {
    std::string outside = tmp.sub("outside");
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    vesk_test::write_file(outside + "/evil", "EVIL EVIL EVIL");

    // A data log swapped for a link to a file elsewhere.
    std::string c1 = make("data_link", "good data here", 0644);
    std::string dl = vesk_cont::data_log(c1, vesk_cont::host(), getpid());
    ASSERT_EQ(0, unlink(dl.c_str()));
    ASSERT_EQ(0, symlink((outside + "/evil").c_str(), dl.c_str()));
    EXPECT_EQ(-EIO, read_error("data_link"));

    // An index log swapped for a link.
    std::string c2 = make("index_link", "good data here", 0644);
    std::string il = vesk_cont::index_log(c2, vesk_cont::host(), getpid());
    ASSERT_EQ(0, rename(il.c_str(), (outside + "/index.copy").c_str()));
    ASSERT_EQ(0, symlink((outside + "/index.copy").c_str(), il.c_str()));
    EXPECT_EQ(-EIO, read_error("index_link"));

    // A new writer makes its logs at its first write, which is refused
    // where they would go through a planted link; nothing is made there.
    auto write_refused = [&](const char *rel, pid_t pid) {
        int r = 0;
        Vesk_fd *fd = open(rel, O_WRONLY, pid, 0, &r);
        ASSERT_EQ(0, r);
        ASSERT_NE(nullptr, fd);
        EXPECT_EQ(-EIO, fd->write("x", 1, 0, pid));
        EXPECT_EQ(0, fd->close(pid, getuid(), O_WRONLY, nullptr));
        delete fd;
    };

    // A host directory swapped for a link to a copy elsewhere: reads fail,
    // and a new writer creates nothing there.
    std::string c3 = make("host_link", "good data here", 0644);
    std::string hd = hostdir(c3);
    ASSERT_EQ(0, rename(hd.c_str(), (outside + "/hostdir").c_str()));
    ASSERT_EQ(0, symlink((outside + "/hostdir").c_str(), hd.c_str()));
    std::vector<std::string> before = names_below(outside);
    EXPECT_EQ(-EIO, read_error("host_link"));
    write_refused("host_link", getpid() + 1);
    EXPECT_EQ(before, names_below(outside));

    // A dangling link where a new writer's log goes: nothing is created
    // at its target.
    std::string c4 = make("dangling", "x", 0644);
    pid_t other = getpid() + 7;
    ASSERT_EQ(0, symlink((outside + "/made").c_str(),
                         vesk_cont::data_log(c4, vesk_cont::host(), other).c_str()));
    write_refused("dangling", other);
    EXPECT_NE(0, access((outside + "/made").c_str(), F_OK));

    // A FIFO as a data log: refused at once, never waited on.
    std::string c5 = make("fifo", "good data here", 0644);
    std::string fl = vesk_cont::data_log(c5, vesk_cont::host(), getpid());
    ASSERT_EQ(0, unlink(fl.c_str()));
    ASSERT_EQ(0, mkfifo(fl.c_str(), 0644));
    EXPECT_EQ(-EIO, read_error("fifo"));

    // A plain file where the host directory belongs.
    std::string c7 = make("host_file", "good data here", 0644);
    ASSERT_EQ(0, system(("rm -rf '" + hostdir(c7) + "'").c_str()));
    vesk_test::write_file(hostdir(c7), "not a directory");
    EXPECT_EQ(-EIO, read_error("host_file"));

    // The marker a link: no container any more, and the link's target is
    // neither reported nor changed.
    std::string c6 = make("marker_link", "x", 0644);
    std::string mk = vesk_cont::marker(c6);
    ASSERT_EQ(0, rename(mk.c_str(), (outside + "/marker").c_str()));
    ASSERT_EQ(0, symlink((outside + "/marker").c_str(), mk.c_str()));
    struct stat st;
    ASSERT_EQ(0, containerfs.getattr(L("marker_link").c_str(), &st, 0));
    EXPECT_FALSE(S_ISREG(st.st_mode));
    containerfs.chmod(L("marker_link").c_str(), 0777);
    EXPECT_EQ(0100644u, lstat_of(outside + "/marker").st_mode);

    EXPECT_EQ("EVIL EVIL EVIL", vesk_test::read_file(outside + "/evil"));
    EXPECT_EQ(0100644u, lstat_of(outside + "/evil").st_mode);
}

TEST_F(BackendSecurityTest, PathCallsActOnALinkItselfNeverItsTarget) {
    std::string target = tmp.sub("target");
    vesk_test::write_file(target, "keep me");
    ASSERT_EQ(0, chmod(target.c_str(), 0600));
    struct utimbuf old = {1000000000, 1000000000};
    ASSERT_EQ(0, utime(target.c_str(), &old));
    std::string link = tmp.sub("link");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));

    errno = 0;
    EXPECT_EQ(-1, Util::Chmod(link.c_str(), 0777));
    EXPECT_EQ(EOPNOTSUPP, errno);
    EXPECT_EQ(-1, Util::Truncate(link.c_str(), 0));
    struct utimbuf t = {1500000000, 1500000000};
    EXPECT_EQ(0, Util::Utime(link.c_str(), &t));
    EXPECT_EQ(1500000000, lstat_of(link).st_mtime);
    EXPECT_EQ(-1, Util::OpenFile(link.c_str(), O_WRONLY | O_TRUNC, 0));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(-1, Util::OpenFile(link.c_str(), O_WRONLY | O_NOFOLLOW, 0));
    EXPECT_EQ(ELOOP, errno) << "a caller's own O_NOFOLLOW keeps its error";

    EXPECT_EQ("keep me", vesk_test::read_file(target));
    EXPECT_EQ(0100600u, lstat_of(target).st_mode);
    EXPECT_EQ(1000000000, lstat_of(target).st_mtime);

    // Plain files still work through the same calls.
    EXPECT_EQ(0, Util::Chmod(target.c_str(), 0640));
    EXPECT_EQ(0100640u, lstat_of(target).st_mode);
    EXPECT_EQ(0, Util::Truncate(target.c_str(), 4));
    EXPECT_EQ("keep", vesk_test::read_file(target));
}

TEST_F(BackendSecurityTest, WhatAServerMakesForACallerIsTheCallers) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give files away";
    struct passwd *pw = getpwnam("nobody");
    uid_t u = pw ? pw->pw_uid : 65534;
    gid_t g = pw ? pw->pw_gid : 65534;
    vesk_set_creator(u, g);
    std::string c = make("given", "some bytes", 04755);
    // A second writer adds its own logs to the same host directory.
    vesk_set_creator(4321, 4321);
    make("given", "more", 04755, getpid() + 1);
    vesk_set_creator((uid_t)-1, (gid_t)-1);
    ASSERT_FALSE(c.empty());

    struct stat m = lstat_of(vesk_cont::marker(c));
    EXPECT_EQ(u, m.st_uid);
    EXPECT_EQ(g, m.st_gid);
    EXPECT_EQ(04755u, m.st_mode & 07777) << "giving the file away kept its set-user-ID bit";
    EXPECT_EQ(u, lstat_of(c).st_uid);
    EXPECT_EQ(u, lstat_of(hostdir(c)).st_uid);
    EXPECT_EQ(u, lstat_of(vesk_cont::data_log(c, vesk_cont::host(), getpid())).st_uid);
    EXPECT_EQ(4321u, lstat_of(vesk_cont::data_log(c, vesk_cont::host(), getpid() + 1)).st_uid);
    EXPECT_EQ(4321u, lstat_of(vesk_cont::index_log(c, vesk_cont::host(), getpid() + 1)).st_uid);
    for (const std::string &n : names_below(c))
        EXPECT_NE(0u, lstat_of(n).st_uid) << n << " left to root";
    // The staging directory every user shares stays root's.
    for (const std::string &b : {b0, b1}) {
        struct stat st;
        if (lstat((b + "/.vesk-staging").c_str(), &st) == 0) {
            EXPECT_EQ(0u, st.st_uid) << b;
        }
    }

    // Without a creator, root keeps what it makes.
    std::string plain = make("root_made", "x", 0644);
    EXPECT_EQ(0u, lstat_of(plain).st_uid);
    EXPECT_EQ(0u, lstat_of(vesk_cont::marker(plain)).st_uid);
}

TEST_F(BackendSecurityTest, OthersCannotSwapOrPlantLogsInAnotherUsersContainer) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    UmaskZero no_umask;
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    for (const std::string &b : {b0, b1}) ASSERT_EQ(0, chmod(b.c_str(), 01777));
    std::string readable = make("readable", "owner's data", 0644);
    std::string shared = make("shared", "owner's data", 0666);
    auto as_nobody = [](const std::function<int()> &op) {
        pid_t p = fork();
        if (p == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(250);
            _exit(op() < 0 ? errno : 0);
        }
        int st = 0;
        waitpid(p, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : 252;
    };
    for (const std::string &c : {readable, shared}) {
        SCOPED_TRACE(c);
        std::string hd = hostdir(c);
        std::string log = vesk_cont::data_log(c, vesk_cont::host(), getpid());
        int e = as_nobody([&] { return rename(hd.c_str(), (c + "/moved").c_str()); });
        EXPECT_TRUE(e == EACCES || e == EPERM) << strerror(e);
        e = as_nobody([&] { return unlink(log.c_str()); });
        EXPECT_TRUE(e == EACCES || e == EPERM) << strerror(e);
        e = as_nobody([&] { return rename(log.c_str(), (hd + "/data.1").c_str()); });
        EXPECT_TRUE(e == EACCES || e == EPERM) << strerror(e);
        e = as_nobody([&] { return ::open(log.c_str(), O_WRONLY | O_APPEND); });
        EXPECT_EQ(EACCES, e);
    }
    // Only where the file grants writing may others add logs of their own.
    EXPECT_EQ(EACCES, as_nobody([&] {
        return ::open((hostdir(readable) + "/data.99").c_str(), O_WRONLY | O_CREAT, 0644);
    }));
    EXPECT_EQ(0, as_nobody([&] {
        return ::open((hostdir(shared) + "/data.99").c_str(), O_WRONLY | O_CREAT, 0644);
    }));
    EXPECT_EQ("owner's data", read_all("readable"));
    EXPECT_EQ("owner's data", read_all("shared"));
}

// A process stages in a slot of its own user in the staging directory,
// which every user may write in: a name another user made there in its
// place (a directory, a link to one elsewhere) is passed over, and nothing
// is staged through it.
TEST_F(BackendSecurityTest, AStagingSlotTakenByAnotherUserIsPassedOver) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    std::string c = make("first", "x", 0644);
    std::string root = c.compare(0, b0.size() + 1, b0 + "/") == 0 ? b0 : b1;
    std::string staging = root + "/" + vesk_stage::kStagingName;
    std::string slot = staging + "/" + vesk_stage::slot_name();
    struct stat st = lstat_of(slot);
    ASSERT_TRUE(S_ISDIR(st.st_mode)) << slot << " was not made";
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{}, vesk_test::dir_entries(slot));

    std::string elsewhere = tmp.sub("elsewhere");
    ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
    for (const char *plant : {"directory", "link"}) {
        SCOPED_TRACE(plant);
        ASSERT_EQ(0, system(("rm -rf '" + slot + "'").c_str()));
        if (std::string(plant) == "directory") {
            ASSERT_EQ(0, mkdir(slot.c_str(), 0777));
            ASSERT_EQ(0, chmod(slot.c_str(), 0777));
            ASSERT_EQ(0, lchown(slot.c_str(), 65534, 65534));
        } else {
            ASSERT_EQ(0, symlink(elsewhere.c_str(), slot.c_str()));
        }
        // a name on the same backend as the slot's, unlinked while open:
        // it stays staged until its close
        std::string rel;
        for (int i = 0; rel.empty(); i++) {
            std::string r = std::string("victim_") + plant + std::to_string(i);
            if (backend(r).compare(0, root.size() + 1, root + "/") == 0) rel = r;
        }
        int r = 0;
        Vesk_fd *fd = open(rel, O_RDWR | O_CREAT, getpid(), 0600, &r);
        ASSERT_NE(nullptr, fd) << strerror(-r);
        EXPECT_EQ(6, fd->write("secret", 6, 0, getpid()));
        EXPECT_EQ(0, containerfs.unlink(L(rel).c_str()));
        std::vector<std::string> staged = vesk_test::staged_entries(root);
        ASSERT_EQ(1u, staged.size());
        EXPECT_EQ(0u, staged[0].compare(0, 7, "unlink.")) << staged[0] << " is not in the staging directory itself";
        EXPECT_EQ(std::vector<std::string>{}, vesk_test::dir_entries(elsewhere));
        if (std::string(plant) == "directory") {
            EXPECT_EQ(std::vector<std::string>{}, vesk_test::dir_entries(slot));
            EXPECT_EQ(65534u, lstat_of(slot).st_uid);
        }
        EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDWR, nullptr));
        delete fd;
        EXPECT_EQ(std::vector<std::string>{}, vesk_test::staged_entries(root));
    }
}

TEST(BackendCheck, BackendsOpenToAllWithoutStickyBitAreWarnedAbout) {
    vesk_test::TempDir tmp;
    std::string open_dir = tmp.sub("open"), sticky = tmp.sub("sticky"), mine = tmp.sub("mine");
    for (const std::string &d : {open_dir, sticky, mine}) ASSERT_EQ(0, mkdir(d.c_str(), 0700));
    ASSERT_EQ(0, chmod(open_dir.c_str(), 0777));
    ASSERT_EQ(0, chmod(sticky.c_str(), 01777));
    vesk_test::use_config(tmp.sub("vesk.conf"),
                          vesk_test::mount_config("/vk", {open_dir, sticky, mine}, "flat"));
    std::string out_file = tmp.sub("out");
    fflush(stdout);
    int saved = dup(1);
    int fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, 1);
    int r = vesk_dump_config(1, 0);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    unsetenv("VESK_CONFIG");
    EXPECT_EQ(0, r) << "a warning is no error";
    std::string out = vesk_test::read_file(out_file);
    EXPECT_NE(std::string::npos, out.find(open_dir + ": ok, but writable by others without the sticky bit"))
        << out;
    EXPECT_NE(std::string::npos, out.find(sticky + ": ok\n")) << out;
    EXPECT_NE(std::string::npos, out.find(mine + ": ok\n")) << out;
}

}  // namespace
