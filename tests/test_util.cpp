/*
 * The system-call wrappers' own rules: paths below a held directory
 * ("/proc/self/fd/N/...") reach what descriptor N holds, wherever its name
 * went, and fail as procfs would once N is closed; which held paths name
 * the directory itself; listings; the file system kinds
 * whose listings are trusted.
 */
#include <gtest/gtest.h>

#include "Util.h"
#include "container/Layout.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class HeldPaths : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vesk-util-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        root_ = tmpl;
        ASSERT_EQ(0, ::mkdir((root_ + "/d").c_str(), 0755));
        dfd_ = ::open((root_ + "/d").c_str(), O_PATH | O_DIRECTORY);
        ASSERT_GE(dfd_, 0);
        held_ = "/proc/self/fd/" + std::to_string(dfd_) + "/.";
    }
    void TearDown() override {
        if (dfd_ >= 0) ::close(dfd_);
        std::string cmd = "rm -rf '" + root_ + "'";
        (void)system(cmd.c_str());
    }
    std::string in(const std::string &name) const { return held_ + "/" + name; }
    static int open_descriptors() {
        std::vector<std::string> fds;
        return Util::ListDir("/proc/self/fd", &fds) == 0 ? (int)fds.size() - 1 : -1;
    }

    std::string root_, held_;
    int dfd_ = -1;
};

TEST_F(HeldPaths, EveryCallReachesTheHeldDirectoryAfterItsNameWent) {
    ASSERT_EQ(0, ::rename((root_ + "/d").c_str(), (root_ + "/moved").c_str()));
    const std::string real = root_ + "/moved";

    int fd = Util::Open(in("f").c_str(), O_WRONLY | O_CREAT, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(5, Util::WriteAll(fd, "bytes", 5, 0));
    Util::Close(fd);
    struct stat st, want;
    ASSERT_EQ(0, Util::Lstat(in("f").c_str(), &st));
    ASSERT_EQ(0, ::lstat((real + "/f").c_str(), &want));
    EXPECT_EQ(want.st_ino, st.st_ino);
    EXPECT_EQ(5, st.st_size);
    EXPECT_EQ(0, Util::Access(in("f").c_str(), R_OK));

    ASSERT_EQ(0, Util::Chmod(in("f").c_str(), 0600));
    ASSERT_EQ(0, ::lstat((real + "/f").c_str(), &want));
    EXPECT_EQ(0600u, want.st_mode & 07777);

    ASSERT_EQ(0, Util::Mkdir(in("sub").c_str(), 0700));
    ASSERT_EQ(0, Util::Rename(in("sub").c_str(), in("sub2").c_str()));
    ASSERT_EQ(0, Util::Rename2(in("f").c_str(), in("sub2/f").c_str(), RENAME_NOREPLACE));
    EXPECT_EQ(0, ::access((real + "/sub2/f").c_str(), F_OK));

    ASSERT_EQ(0, Util::Symlink("target", in("link").c_str()));
    char buf[16] = {};
    ASSERT_EQ(6, Util::Readlink(in("link").c_str(), buf, sizeof buf));
    EXPECT_EQ("target", std::string(buf, 6));

    ASSERT_EQ(0, Util::Unlink(in("sub2/f").c_str()));
    ASSERT_EQ(0, Util::Rmdir(in("sub2").c_str()));
    ASSERT_EQ(0, Util::Unlink(in("link").c_str()));
    std::vector<std::string> names;
    ASSERT_EQ(0, Util::ListDir(held_.c_str(), &names));
    EXPECT_TRUE(names.empty());  // "." and ".." left out
}

TEST_F(HeldPaths, AClosedDescriptorFailsWithENOENTAsProcfsWould) {
    ASSERT_EQ(0, ::close(::open((root_ + "/d/f").c_str(), O_WRONLY | O_CREAT, 0644)));
    ASSERT_EQ(0, ::close(dfd_));
    const std::string gone = in("f");
    dfd_ = -1;
    struct stat st;
    errno = 0;
    EXPECT_EQ(-1, Util::Lstat(gone.c_str(), &st));
    EXPECT_EQ(ENOENT, errno);
    errno = 0;
    EXPECT_EQ(-1, Util::Open(gone.c_str(), O_RDONLY, 0));
    EXPECT_EQ(ENOENT, errno);
    errno = 0;
    EXPECT_EQ(-1, Util::Unlink(gone.c_str()));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(HeldPaths, TheDescriptorsOwnEntryIsLeftToProcfs) {
    // "/proc/self/fd/N" itself is procfs's link to the directory
    struct stat st;
    ASSERT_EQ(0, Util::Lstat(("/proc/self/fd/" + std::to_string(dfd_)).c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(0, Util::Lstat(held_.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(HeldPaths, OnlyTheHeldPathOfADirectoryIsTheDirectoryItself) {
    // The container layer looks at a held directory once, through its
    // descriptor: a path below it, or anything else, is looked up by name.
    EXPECT_EQ(held_, vesk_cont::held_path(dfd_));
    EXPECT_TRUE(vesk_cont::is_held_dir(held_));
    EXPECT_TRUE(vesk_cont::is_held_dir("/proc/self/fd/7/."));
    for (const char *p : {"/proc/self/fd/7/./x", "/proc/self/fd/7/./.", "/proc/self/fd/7",
                          "/proc/self/fd/7/", "/proc/self/fd//.", "/proc/self/fd/7x/.",
                          "/proc/self/fd/7/..", "/proc/self/fd/./.", "/tmp/d/."})
        EXPECT_FALSE(vesk_cont::is_held_dir(p)) << p;
    EXPECT_TRUE(vesk_cont::is_held_path(held_ + "/x"));
}

// A member is opened non-blocking (a FIFO planted there must not hang the
// open); what the caller gets has the status flags it asked for, no more.
TEST_F(HeldPaths, AMemberOpenLeavesTheStatusFlagsAskedFor) {
    ASSERT_EQ(0, ::mkdir((root_ + "/d/sub").c_str(), 0755));
    struct Case {
        int flags;
        int want;
    } cases[] = {{O_WRONLY | O_CREAT, 0},
                 {O_WRONLY | O_APPEND, O_APPEND},
                 {O_RDWR | O_NONBLOCK, O_NONBLOCK},
                 {O_RDONLY | O_APPEND | O_NONBLOCK, O_APPEND | O_NONBLOCK}};
    for (const std::string &path : {in("sub/m"), root_ + "/d/sub/m"}) {
        for (const Case &c : cases) {
            int fd = Util::Open(path.c_str(), c.flags, 0640);
            ASSERT_GE(fd, 0) << path << " " << c.flags;
            int fl = ::fcntl(fd, F_GETFL);
            EXPECT_EQ(c.want, fl & (O_APPEND | O_NONBLOCK)) << path << " " << c.flags;
            EXPECT_EQ(c.flags & O_ACCMODE, fl & O_ACCMODE) << path;
            EXPECT_NE(0, ::fcntl(fd, F_GETFD) & FD_CLOEXEC) << path;
            Util::Close(fd);
        }
    }
}

// Below a held directory only the directory itself is taken on trust: a
// link in its place of a member, or of the directory holding one, is
// refused as anywhere else.
TEST_F(HeldPaths, LinksBelowTheHeldDirectoryAreRefused) {
    ASSERT_EQ(0, ::mkdir((root_ + "/d/sub").c_str(), 0755));
    ASSERT_EQ(0, ::symlink("sub", (root_ + "/d/ln").c_str()));
    ASSERT_EQ(0, ::symlink("sub/m", (root_ + "/d/lnf").c_str()));
    int fd = Util::Open(in("m").c_str(), O_WRONLY | O_CREAT, 0640);
    ASSERT_GE(fd, 0);
    Util::Close(fd);
    for (const char *bad : {"ln/m", "lnf"}) {
        errno = 0;
        EXPECT_EQ(-1, Util::Open(in(bad).c_str(), O_WRONLY | O_CREAT, 0640)) << bad;
        EXPECT_EQ(EIO, errno) << bad;
    }
    struct stat st;
    EXPECT_EQ(-1, ::lstat((root_ + "/d/sub/m").c_str(), &st)) << "made through a link";
}

// A directory where a member belongs is damage (EIO); where a flat file is
// opened, it is the user's directory, and the answer is the kernel's.
TEST_F(HeldPaths, ADirectoryOpenedAsAFileIsAMembersDamageAndAFlatFilesEISDIR) {
    ASSERT_EQ(0, ::mkdir((root_ + "/d/sub").c_str(), 0755));
    for (const std::string &p : {root_ + "/d/sub", in("sub")}) {
        errno = 0;
        EXPECT_EQ(-1, Util::Open(p.c_str(), O_RDONLY, 0)) << p;
        EXPECT_EQ(EIO, errno) << p;
        errno = 0;
        EXPECT_EQ(-1, Util::OpenFile(p.c_str(), O_RDONLY, 0)) << p;
        EXPECT_EQ(EISDIR, errno) << p;
        int fd = Util::OpenFile(p.c_str(), O_RDONLY | O_DIRECTORY, 0);
        EXPECT_GE(fd, 0) << p;
        if (fd >= 0) Util::Close(fd);
    }
}

// A listing is every name, however many reads of the directory it takes,
// and nothing where a directory is not: a link is damage (EIO), a file
// ENOTDIR's damage too, a missing directory ENOENT. Nothing is left open.
TEST_F(HeldPaths, AListingHoldsEveryNameAndRefusesWhatIsNoDirectory) {
    std::set<std::string> made;
    for (int i = 0; i < 600; i++) {  // some 30 KB of entries: several reads
        std::string name = "entry-with-a-longish-name-" + std::to_string(i);
        ASSERT_EQ(0, ::close(::open((root_ + "/d/" + name).c_str(), O_WRONLY | O_CREAT, 0644)));
        made.insert(name);
    }
    ASSERT_EQ(0, ::mkdir((root_ + "/d/sub").c_str(), 0755));
    made.insert("sub");
    int before = open_descriptors();
    for (const std::string &p : {root_ + "/d", held_}) {
        std::vector<std::string> names;
        ASSERT_EQ(0, Util::ListDir(p.c_str(), &names)) << p;
        EXPECT_EQ(made.size(), names.size()) << p << ": a name twice or missing";
        EXPECT_EQ(made, std::set<std::string>(names.begin(), names.end())) << p;
    }
    ASSERT_EQ(0, ::symlink("sub", (root_ + "/d/ln").c_str()));
    struct Case { std::string path; int err; };
    for (const Case &c : {Case{in("ln"), EIO}, Case{root_ + "/d/ln", EIO},
                          Case{in("entry-with-a-longish-name-0"), EIO}, Case{in("gone"), ENOENT}}) {
        std::vector<std::string> names;
        errno = 0;
        EXPECT_EQ(-1, Util::ListDir(c.path.c_str(), &names)) << c.path;
        EXPECT_EQ(c.err, errno) << c.path;
        EXPECT_TRUE(names.empty()) << c.path;
    }
    EXPECT_EQ(before, open_descriptors());
}

// chmod of a name never follows a link, by name or below a held
// directory: the link itself cannot take a mode, and its target keeps its.
TEST_F(HeldPaths, ChmodSetsTheModeOfTheNameNeverOfALinksTarget) {
    const std::string f = root_ + "/d/f";
    int fd = ::open(f.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(0, ::symlink("f", (root_ + "/d/ln").c_str()));
    struct stat st;
    for (const std::string &dir : {root_ + "/d", held_}) {
        ASSERT_EQ(0, Util::Chmod((dir + "/f").c_str(), 0640)) << dir;
        ASSERT_EQ(0, ::stat(f.c_str(), &st));
        EXPECT_EQ(0640u, st.st_mode & 07777) << dir;
        errno = 0;
        EXPECT_EQ(-1, Util::Chmod((dir + "/ln").c_str(), 0777)) << dir;
        EXPECT_EQ(EOPNOTSUPP, errno) << dir;
        ASSERT_EQ(0, ::stat(f.c_str(), &st));
        EXPECT_EQ(0640u, st.st_mode & 07777) << dir;
        EXPECT_EQ(-1, Util::Chmod((dir + "/missing").c_str(), 0600)) << dir;
        EXPECT_EQ(ENOENT, errno) << dir;
        ASSERT_EQ(0, Util::Chmod((dir + "/f").c_str(), 0600)) << dir;
    }
}

TEST(AttributesMayBeCached, OnlyKnownLocalFileSystemsAreTrusted) {
    EXPECT_FALSE(Util::AttributesMayBeCached("/dev/shm"));  // tmpfs
    EXPECT_TRUE(Util::AttributesMayBeCached("/proc"));      // not a disk's
    EXPECT_TRUE(Util::AttributesMayBeCached("/no/such/path/at/all"));
}

}  // namespace
