/*
 * veskfs, from the outside: a real FUSE mount in a temporary directory,
 * driven by ordinary shell commands (cp, dd, mv, ln, ...), as unmodified
 * programs would use it. Skipped where FUSE cannot be used.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vesk.h"
#include "vesk_test_util.h"
#include "veskfs_test_util.h"

using vesk_test::TempDir;
using veskfs_test::Daemon;
using veskfs_test::mount_line;
using veskfs_test::no_fuse_reason;
using veskfs_test::random_bytes;
using veskfs_test::run;
using veskfs_test::sh;
using veskfs_test::trim;
using veskfs_test::wait_for;

namespace {

std::vector<std::string> lines_with(const std::string &text, const std::string &word) {
    std::vector<std::string> out;
    std::istringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        if (line.find(word) != std::string::npos) out.push_back(line);
    return out;
}

/* A mount of one layout over two backends, configured through a file. */
class VeskfsTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        std::string why = no_fuse_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(tmp_.ok());
        mnt_ = tmp_.sub("mnt");
        ASSERT_EQ(0, mkdir(mnt_.c_str(), 0755));
        backends_ = {tmp_.sub("b0"), tmp_.sub("b1")};
        std::string cfg = tmp_.sub("vesk.conf");
        vesk_test::write_file(cfg, vesk_test::mount_config(mnt_, backends_, GetParam()));
        daemon_.reset(new Daemon(mnt_, tmp_.sub("veskfs.log"), {}, cfg));
        ASSERT_TRUE(daemon_->start(&why)) << why;
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_TRUE(daemon_->stop()) << "unclean end; log:\n"
                                         << vesk_test::read_file(daemon_->log());
            daemon_.reset();
        }
    }
    bool flat() const { return std::string(GetParam()) == "flat"; }
    std::string m(const std::string &rel) const { return mnt_ + "/" + rel; }
    std::string t(const std::string &rel) const { return tmp_.sub(rel); }

    // What the backends hold under a name in their top directory.
    void backend_kinds(const std::string &name, int *files, int *dirs, off_t *size) {
        *files = *dirs = 0;
        *size = 0;
        for (const std::string &b : backends_) {
            struct stat st;
            if (lstat((b + "/" + name).c_str(), &st) != 0) continue;
            if (S_ISREG(st.st_mode)) {
                ++*files;
                *size += st.st_size;
            }
            if (S_ISDIR(st.st_mode)) ++*dirs;
        }
    }

    TempDir tmp_;
    std::string mnt_;
    std::vector<std::string> backends_;
    std::unique_ptr<Daemon> daemon_;
};

TEST_P(VeskfsTest, CopiesA64MiBFileAndKeepsItAcrossRemount) {
    ASSERT_EQ(0, sh("dd if=/dev/urandom of=" + t("src") + " bs=1M count=64 status=none"));
    ASSERT_EQ(0, sh("cp " + t("src") + " " + m("big")));
    EXPECT_EQ(0, sh("cmp " + t("src") + " " + m("big")));
    EXPECT_EQ("67108864", trim(run("stat -c %s " + m("big"))));

    int files, dirs;
    off_t size;
    backend_kinds("big", &files, &dirs, &size);
    if (flat()) {
        EXPECT_EQ(1, files) << "a flat file is one backend file";
        EXPECT_EQ(67108864, size);
    } else {
        EXPECT_EQ(0, files) << "a container is a directory, not a file";
        EXPECT_GE(dirs, 1);
    }

    std::string why;
    ASSERT_TRUE(daemon_->stop()) << vesk_test::read_file(daemon_->log());
    ASSERT_TRUE(daemon_->start(&why)) << why;
    EXPECT_EQ(0, sh("cmp " + t("src") + " " + m("big")));
}

TEST_P(VeskfsTest, FourProcessesWriteInterleavedBlocksOfOneFile) {
    // 100000-byte blocks: neighbours share pages, so the writers meet
    // inside pages as well as between them.
    const int kWriters = 4, kRounds = 16, kBlock = 100000;
    vesk_test::write_file(t("src"), random_bytes((size_t)kWriters * kRounds * kBlock, 7));
    std::string script = "pids=''; for i in 0 1 2 3; do ( k=0; while [ $k -lt " +
                         std::to_string(kRounds) + " ]; do b=$((k*4+i)); dd if=" + t("src") +
                         " of=" + m("shared") + " bs=" + std::to_string(kBlock) +
                         " skip=$b seek=$b count=1 conv=notrunc status=none || exit 1;"
                         " k=$((k+1)); done ) & pids=\"$pids $!\"; done; rc=0;"
                         " for p in $pids; do wait $p || rc=1; done; exit $rc";
    ASSERT_EQ(0, sh("sh -c '" + script + "'"));
    EXPECT_EQ(0, sh("cmp " + t("src") + " " + m("shared")));
    EXPECT_EQ(std::to_string(kWriters * kRounds * kBlock), trim(run("stat -c %s " + m("shared"))));
}

TEST_P(VeskfsTest, DirectoriesRenamesLinksAndAttributes) {
    // Directories.
    ASSERT_EQ(0, sh("mkdir -p " + m("a/b/c")));
    EXPECT_EQ("b", trim(run("ls " + m("a"))));
    EXPECT_EQ(0, sh("rmdir " + m("a/b/c")));
    EXPECT_NE(0, sh("test -e " + m("a/b/c")));
    ASSERT_EQ(0, sh("echo hello > " + m("a/b/f")));
    EXPECT_NE(0, sh("rmdir " + m("a/b") + " 2>/dev/null")) << "rmdir of a non-empty directory";

    // mv of a file, then of the directory holding it.
    ASSERT_EQ(0, sh("mv " + m("a/b/f") + " " + m("a/g")));
    EXPECT_NE(0, sh("test -e " + m("a/b/f")));
    ASSERT_EQ(0, sh("mv " + m("a") + " " + m("z")));
    EXPECT_NE(0, sh("test -e " + m("a")));
    EXPECT_EQ("hello", trim(run("cat " + m("z/g"))));
    EXPECT_EQ(0, sh("test -d " + m("z/b")));
    EXPECT_EQ("b\ng", trim(run("ls " + m("z"))));

    // mv -n leaves an existing target alone.
    ASSERT_EQ(0, sh("echo one > " + m("p") + " && echo two > " + m("q")));
    sh("mv -n " + m("p") + " " + m("q") + " 2>/dev/null");
    EXPECT_EQ("two", trim(run("cat " + m("q"))));
    EXPECT_EQ("one", trim(run("cat " + m("p"))));

    // Symbolic links keep their text; hard links are not offered.
    ASSERT_EQ(0, sh("ln -s some/where " + m("z/link")));
    EXPECT_EQ("some/where", trim(run("readlink " + m("z/link"))));
    EXPECT_EQ("l", trim(run("stat -c %A " + m("z/link"))).substr(0, 1));
    EXPECT_NE(0, sh("ln " + m("q") + " " + m("hard") + " 2>/dev/null"));
    EXPECT_NE(0, sh("test -e " + m("hard")));

    // Attributes.
    ASSERT_EQ(0, sh("chmod 640 " + m("z/g")));
    EXPECT_EQ("640", trim(run("stat -c %a " + m("z/g"))));
    ASSERT_EQ(0, sh("truncate -s 100000 " + m("z/g")));
    EXPECT_EQ("100000", trim(run("stat -c %s " + m("z/g"))));
    EXPECT_EQ("hello", run("head -c 5 " + m("z/g")));
    ASSERT_EQ(0, sh("truncate -s 2 " + m("z/g")));
    EXPECT_EQ("he", run("cat " + m("z/g")));
    // Each touch changes one time and must leave the other as it was.
    ASSERT_EQ(0, sh("touch -a -d @2000000000 " + m("z/g")));
    ASSERT_EQ(0, sh("touch -m -d @1500000000 " + m("z/g")));
    EXPECT_EQ("2000000000 1500000000", trim(run("stat -c '%X %Y' " + m("z/g"))));

    EXPECT_EQ(0, sh("rm " + m("q")));
    EXPECT_NE(0, sh("test -e " + m("q")));

    // The file system as a whole.
    int rc = -1;
    std::string df = run("df " + mnt_, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_NE(std::string::npos, df.find("veskfs")) << df;
    std::string line = mount_line(mnt_);
    EXPECT_EQ(0u, line.find("veskfs ")) << line;
    EXPECT_NE(std::string::npos, line.find(" fuse.veskfs ")) << line;
}

// FNV-1a 64 of a file, as the mount is to report for its library.
std::string fnv1a64_hex(const std::string &path) {
    std::string bytes = vesk_test::read_file(path);
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%016" PRIx64, h);
    return buf;
}

TEST_P(VeskfsTest, DebugFileTellsVersionChecksumAndLiveFigures) {
    std::string dbg = m(".veskdebug");
    EXPECT_EQ("", trim(run("ls -A " + mnt_))) << "the pseudo-file is not listed";
    EXPECT_EQ("-r--r--r--", trim(run("stat -c %A " + dbg)));
    EXPECT_NE(0, sh("sh -c 'echo x > " + dbg + "' 2>/dev/null"));
    EXPECT_NE(0, sh("rm -f " + dbg + " 2>/dev/null"));

    int fd = open(m("held").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    std::string data(12345, 'w');
    ASSERT_EQ((ssize_t)data.size(), write(fd, data.data(), data.size()));

    std::string text = run("cat " + dbg);
    std::vector<std::string> v = lines_with(text, "Version");
    ASSERT_EQ(1u, v.size()) << text;
    EXPECT_NE(std::string::npos, v[0].find(vesk_tag())) << v[0];
    EXPECT_NE(std::string::npos, v[0].find(vesk_version())) << v[0];
    std::vector<std::string> b = lines_with(text, "Build");
    ASSERT_EQ(1u, b.size()) << text;
    EXPECT_NE(std::string::npos, b[0].find(vesk_buildtime())) << b[0];

    // The daemon's library is the build's shared one (the tests link the
    // objects themselves).
    std::string lib = VESK_BINARY_DIR "/src/libvesk.so.0";
    std::vector<std::string> c = lines_with(text, "checksum");
    ASSERT_EQ(1u, c.size()) << text;
    EXPECT_NE(std::string::npos, c[0].find(fnv1a64_hex(lib))) << c[0];
    EXPECT_NE(std::string::npos, c[0].find("libvesk.so.0")) << c[0];

    EXPECT_EQ(1u, lines_with(text, "open files: 1").size()) << text;
    EXPECT_EQ(1u, lines_with(text, mnt_).size()) << text;
    std::vector<std::string> w = lines_with(text, "bytes written: ");
    ASSERT_EQ(1u, w.size()) << text;
    EXPECT_GE(std::stoull(w[0].substr(w[0].find(": ") + 2)), data.size()) << text;

    close(fd);
    // Release reaches the daemon after close(2) has returned.
    EXPECT_TRUE(wait_for([&] { return !lines_with(run("cat " + dbg), "open files: 0").empty(); },
                         5000))
        << run("cat " + dbg);
}

TEST_P(VeskfsTest, VersionReporterListsTheMount) {
    std::string tool = VESK_BINARY_DIR "/tools/vesk_version";
    if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " not built yet";
    int rc = -1;
    std::string out = run(tool, &rc);
    EXPECT_EQ(0, rc);
    size_t at = out.find("mount: " + mnt_ + "\n");
    ASSERT_NE(std::string::npos, at) << out;
    std::string after = out.substr(at);
    EXPECT_NE(std::string::npos, after.find("\tVersion")) << out;
    EXPECT_NE(std::string::npos, after.find("\tBuild")) << out;
    EXPECT_NE(std::string::npos, after.find("checksum")) << out;
    EXPECT_EQ(std::string::npos, after.find("open files")) << "only the version lines: " << out;
}

TEST_P(VeskfsTest, RenameOfAnOpenFileKeepsItsStream) {
    std::string tool = VESK_BINARY_DIR "/diagnostics/rename";
    if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " not built yet";
    int rc = -1;
    std::string out = run(tool + " -t " + m("before") + " -n " + m("after") + " 2>&1", &rc);
    EXPECT_EQ(0, rc) << out;
    EXPECT_EQ("Hello world!\nGoodbye world!\n", vesk_test::read_file(m("after")));
    EXPECT_NE(0, sh("test -e " + m("before")));
}

// Writes `data` through a descriptor that stays open; returns it.
int write_and_keep(const std::string &path, const std::string &data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    for (size_t off = 0; off < data.size(); off += 65536) {
        size_t n = std::min<size_t>(65536, data.size() - off);
        if (pwrite(fd, data.data() + off, n, (off_t)off) != (ssize_t)n) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

TEST_P(VeskfsTest, LazyUnmountWithAFileOpenLosesNothing) {
    std::string data = random_bytes(3 << 20, 11);
    int fd = write_and_keep(m("kept"), data);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(0, sh("fusermount3 -u -z " + mnt_));
    EXPECT_TRUE(mount_line(mnt_).empty());
    EXPECT_EQ(0, close(fd));
    EXPECT_TRUE(daemon_->wait_exit(20000)) << "the daemon outlived its last file";

    std::string why;
    ASSERT_TRUE(daemon_->start(&why)) << why;
    EXPECT_TRUE(vesk_test::read_file(m("kept")) == data) << "data lost at lazy unmount";
}

TEST_P(VeskfsTest, TerminatedDaemonClosesOpenFilesFirst) {
    std::string data = random_bytes(3 << 20, 13);
    int fd = write_and_keep(m("kept"), data);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(0, kill(daemon_->pid(), SIGTERM));
    EXPECT_TRUE(daemon_->wait_exit(20000));
    close(fd);
    sh("fusermount3 -u -z " + mnt_ + " 2>/dev/null");

    std::string why;
    ASSERT_TRUE(daemon_->start(&why)) << why;
    EXPECT_TRUE(vesk_test::read_file(m("kept")) == data) << "acknowledged writes lost";
}

std::string pread_all(int fd, size_t max) {
    std::string out(max, '\0');
    ssize_t n = pread(fd, &out[0], max, 0);
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
}

off_t fsize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -errno;
}

// Two descriptors (two opens, so two handles of the daemon) on a file that
// is then unlinked: each sees what the other writes, fstat and ftruncate
// work through either, the file outlives the first close, and the name
// is free for a new, separate file all along.
TEST_P(VeskfsTest, TwoDescriptorsOnAnUnlinkedFile) {
    std::string p = m("scratch");
    int a = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(a, 0) << strerror(errno);
    int b = open(p.c_str(), O_RDWR);
    ASSERT_GE(b, 0) << strerror(errno);
    ASSERT_EQ(0, unlink(p.c_str()));
    EXPECT_NE(0, access(p.c_str(), F_OK));

    std::string data = random_bytes(200000, 3);
    ASSERT_EQ((ssize_t)data.size(), pwrite(a, data.data(), data.size(), 0)) << strerror(errno);
    EXPECT_EQ((off_t)data.size(), fsize(a));
    EXPECT_EQ((off_t)data.size(), fsize(b));
    EXPECT_TRUE(pread_all(b, data.size() + 10) == data) << "b does not see a's writes";
    struct stat st;
    ASSERT_EQ(0, fstat(b, &st)) << strerror(errno);
    EXPECT_EQ(0u, st.st_nlink) << "no name leads to it";

    // A new file under the old name is another file.
    vesk_test::write_file(p, "new file");
    EXPECT_EQ("new file", vesk_test::read_file(p));
    EXPECT_EQ((off_t)data.size(), fsize(a));

    ASSERT_EQ(0, ftruncate(b, 50000)) << strerror(errno);
    EXPECT_EQ(50000, fsize(a));
    EXPECT_TRUE(pread_all(a, data.size()) == data.substr(0, 50000));
    EXPECT_EQ(0, close(a));

    // The last descriptor still has it all, and may grow it.
    ASSERT_EQ(4, pwrite(b, "tail", 4, 60000));
    EXPECT_EQ(60004, fsize(b));
    std::string back = pread_all(b, 70000);
    ASSERT_EQ(60004u, back.size());
    EXPECT_TRUE(back.substr(0, 50000) == data.substr(0, 50000));
    EXPECT_EQ(std::string(10000, '\0'), back.substr(50000, 10000));
    EXPECT_EQ("tail", back.substr(60000));
    EXPECT_EQ(0, fsync(b)) << strerror(errno);
    EXPECT_EQ(0, close(b)) << strerror(errno);
    EXPECT_EQ("new file", vesk_test::read_file(p));
    EXPECT_EQ("scratch", trim(run("ls -A " + mnt_)));
}

// A directory renamed while files below it are open: a writer keeps
// writing into the same file under its new path, a reader keeps reading
// it, and paths below the new name lead to them; the old name is gone.
TEST_P(VeskfsTest, DirectoryRenameWithFilesOpenBelowIt) {
    ASSERT_EQ(0, sh("mkdir -p " + m("a/b")));
    std::string first = random_bytes(100000, 21), second = random_bytes(70000, 22);
    vesk_test::write_file(m("a/b/read"), first);
    int w = open(m("a/b/written").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(w, 0) << strerror(errno);
    ASSERT_EQ((ssize_t)first.size(), pwrite(w, first.data(), first.size(), 0));
    int r = open(m("a/b/read").c_str(), O_RDONLY);
    ASSERT_GE(r, 0) << strerror(errno);

    ASSERT_EQ(0, rename(m("a").c_str(), m("z").c_str())) << strerror(errno);
    EXPECT_NE(0, access(m("a/b/read").c_str(), F_OK));
    ASSERT_EQ((ssize_t)second.size(),
              pwrite(w, second.data(), second.size(), (off_t)first.size()));
    EXPECT_EQ((off_t)(first.size() + second.size()), fsize(w));
    EXPECT_EQ((off_t)(first.size() + second.size()),
              (off_t)std::stoll(trim(run("stat -c %s " + m("z/b/written")))));
    EXPECT_TRUE(pread_all(r, 200000) == first);
    EXPECT_EQ(0, close(w)) << strerror(errno);
    EXPECT_EQ(0, close(r));
    EXPECT_TRUE(vesk_test::read_file(m("z/b/written")) == first + second);

    // And back, with the writer open again: the kernel keeps the nodes,
    // the daemon must move their paths both times.
    w = open(m("z/b/written").c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(w, 0) << strerror(errno);
    ASSERT_EQ(0, rename(m("z/b").c_str(), m("c").c_str()));
    ASSERT_EQ(3, write(w, "end", 3));
    EXPECT_EQ(0, close(w));
    EXPECT_TRUE(vesk_test::read_file(m("c/written")) == first + second + "end");
    EXPECT_EQ("c\nz", trim(run("ls " + mnt_)));
    EXPECT_EQ("", trim(run("ls " + m("z"))));
}

// A name unlinked and made again (by this mount, or on the backends as
// another node would) leads to the new file at once, while a holder of
// the old one keeps it.
TEST_P(VeskfsTest, ANameMadeAgainLeadsToTheNewFile) {
    std::string p = m("again");
    vesk_test::write_file(p, "first version");
    struct stat before;
    ASSERT_EQ(0, stat(p.c_str(), &before));
    int old = open(p.c_str(), O_RDONLY);
    ASSERT_GE(old, 0);
    ASSERT_EQ(0, unlink(p.c_str()));
    struct stat st;
    EXPECT_NE(0, stat(p.c_str(), &st));
    ASSERT_EQ(0, mkdir(p.c_str(), 0755)) << "the name, now a directory";
    ASSERT_EQ(0, stat(p.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(0, rmdir(p.c_str()));
    vesk_test::write_file(p, "second, longer version");
    ASSERT_EQ(0, stat(p.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(22, st.st_size);
    EXPECT_NE(before.st_ino, st.st_ino) << "the new file has the old one's inode number";
    EXPECT_EQ("second, longer version", vesk_test::read_file(p));
    EXPECT_EQ("first version", pread_all(old, 100));
    EXPECT_EQ(0, close(old));
    ASSERT_EQ(0, stat(p.c_str(), &st));
    EXPECT_EQ(22, st.st_size);
}

// A second mount of the same backends stands for another node. The pages
// this mount keeps of a file never hide what the other wrote and closed
// from a later open here, even when the size stayed the same; and what
// a write-back mount writes reaches the backends by its close.
TEST_P(VeskfsTest, WritesThroughAnotherMountShowAtTheNextOpen) {
    std::string why;
    std::string mnt2 = t("mnt2");
    ASSERT_EQ(0, mkdir(mnt2.c_str(), 0755));
    std::vector<std::string> args = {"--backend", backends_[0], "--backend", backends_[1],
                                     "--layout", GetParam()};
    for (int writeback = 0; writeback < 2; writeback++) {
        std::vector<std::string> a = args;
        if (writeback) a.push_back("--writeback");
        Daemon other(mnt2, t("veskfs2.log"), a, "");
        ASSERT_TRUE(other.start(&why)) << why;
        std::string name = writeback ? "/wb" : "/plain";
        std::string one = random_bytes(200000, 1 + writeback), two = random_bytes(200000, 3);
        vesk_test::write_file(m(name), one);
        int fd = open(m(name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(one, vesk_test::read_file(m(name))) << "cached here now";
        vesk_test::write_file(mnt2 + name, two);
        EXPECT_EQ(two, vesk_test::read_file(m(name))) << "an open after the other's close";
        close(fd);
        EXPECT_EQ(two, vesk_test::read_file(mnt2 + name));
        // the other way round: written there while read here
        std::string three = random_bytes(200000, 5 + writeback);
        int wfd = open((mnt2 + name).c_str(), O_WRONLY);
        ASSERT_GE(wfd, 0);
        ASSERT_EQ((ssize_t)three.size(), pwrite(wfd, three.data(), three.size(), 0));
        ASSERT_EQ(0, close(wfd));
        EXPECT_EQ(three, vesk_test::read_file(m(name))) << (writeback ? "write-back" : "");
        EXPECT_TRUE(other.stop()) << vesk_test::read_file(t("veskfs2.log"));
    }
}

// Every file a program holds open costs the daemon several descriptors of
// its own: started under the usual soft limit of 1024, it must still serve
// as many open files as a program may hold there, each written and read.
TEST_P(VeskfsTest, ServesHundredsOfOpenFilesUnderTheUsualDescriptorLimit) {
    const int kFiles = 600;
    struct rlimit was;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &was));
    if (was.rlim_max < 4096) GTEST_SKIP() << "hard descriptor limit below 4096";
    ASSERT_TRUE(daemon_->stop());
    struct rlimit low = {1024, was.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::string why;
    bool up = daemon_->start(&why);  // inherits the soft limit
    struct rlimit high = {4096, was.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &high));
    ASSERT_TRUE(up) << why;

    std::vector<int> fds;
    std::string fail;
    for (int i = 0; i < kFiles && fail.empty(); i++) {
        std::string name = m("many." + std::to_string(i)), data = "file " + std::to_string(i);
        int fd = open(name.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0) {
            fail = "open " + std::to_string(i) + ": " + strerror(errno);
            break;
        }
        fds.push_back(fd);
        char back[32] = {};
        if (pwrite(fd, data.data(), data.size(), 0) != (ssize_t)data.size())
            fail = "write " + std::to_string(i) + ": " + strerror(errno);
        else if (pread(fd, back, sizeof back, 0) != (ssize_t)data.size() || data != back)
            fail = "read " + std::to_string(i) + ": " + strerror(errno);
    }
    for (int fd : fds) EXPECT_EQ(0, close(fd));
    EXPECT_EQ("", fail);
    EXPECT_EQ(kFiles, (int)fds.size());
    EXPECT_EQ("file 599", vesk_test::read_file(m("many.599")));
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &was));
}

std::string layout_name(const ::testing::TestParamInfo<const char *> &i) { return i.param; }
INSTANTIATE_TEST_SUITE_P(Layouts, VeskfsTest, ::testing::Values("container", "flat"),
                         layout_name);

// Without any configuration file, the daemon serves the mount point its
// command line describes.
TEST(VeskfsCommandLine, ServesABuiltInMountFromItsOptions) {
    std::string why = no_fuse_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    if (access("/etc/vesk.conf", F_OK) == 0) GTEST_SKIP() << "/etc/vesk.conf exists";
    TempDir tmp;
    ASSERT_TRUE(tmp.ok());
    int rc = -1;
    std::string out = run(veskfs_test::veskfs_binary() + " --version", &rc);
    EXPECT_EQ(0, rc);
    EXPECT_NE(std::string::npos, out.find(vesk_tag())) << out;
    EXPECT_NE(0, sh(veskfs_test::veskfs_binary() + " 2>/dev/null")) << "no mount point is a usage error";
    EXPECT_NE(0, sh(veskfs_test::veskfs_binary() + " --layout striped " + tmp.sub("x") + " 2>/dev/null"));

    std::string mnt = tmp.sub("mnt"), back = tmp.sub("only");
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    Daemon d(mnt, tmp.sub("log"), {"--backend", back, "--layout", "flat"}, "");
    ASSERT_TRUE(d.start(&why)) << why;
    ASSERT_EQ(0, sh("echo built-in > " + mnt + "/f"));
    EXPECT_EQ("built-in\n", vesk_test::read_file(back + "/f")) << "a flat file in the backend";
    std::string dbg = vesk_test::read_file(mnt + "/.veskdebug");
    EXPECT_NE(std::string::npos, dbg.find("layout: flat")) << dbg;
    EXPECT_NE(std::string::npos, dbg.find(back)) << dbg;
    EXPECT_TRUE(d.stop()) << vesk_test::read_file(tmp.sub("log"));
}

}  // namespace
