/*
 * Ordinary programs on a veskfs mount of each layout, and the same on a
 * plain directory: whatever holds there must hold on the mounts. The loops
 * of programs that create and remove files, temporary files that live on
 * unlinked, times set around a close, processes rewriting one shared file,
 * and real clients (rsync, tar, git, sqlite3, dbench, bonnie++, stress-ng).
 * A client that is not installed skips its test and says so.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "veskfs_test_util.h"
#include "vesk_test_util.h"

using veskfs_test::random_bytes;
using veskfs_test::run;
using veskfs_test::sh;
using veskfs_test::trim;
using vesk_test::TempDir;

namespace {

bool have(const std::string &tool) { return sh("command -v " + tool + " >/dev/null 2>&1") == 0; }

// VESK_CLIENTS_FULL=1 runs the loads at full size (thousands of rounds,
// half-minute loads, bonnie++ on 512 MiB): a quarter of an hour, too long
// for every test run, which takes the small sizes.
bool full_run() {
    const char *v = getenv("VESK_CLIENTS_FULL");
    return v && *v && strcmp(v, "0") != 0;
}

// Every path below `dir` (not following links), relative to it.
void walk(const std::string &dir, const std::string &rel, std::vector<std::string> *out) {
    DIR *d = opendir((dir + "/" + rel).c_str());
    if (!d) return;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string r = rel.empty() ? n : rel + "/" + n;
        out->push_back(r);
        struct stat st;
        if (lstat((dir + "/" + r).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) walk(dir, r, out);
    }
    closedir(d);
}

// What `find -printf` says of every entry of a tree: type, mode, size and
// modification time to the nanosecond (`link_times`: of links too).
std::string tree_listing(const std::string &dir, bool link_times = true) {
    std::string links = link_times ? "" : " \\( -type l -printf '%P %y %m %s -\\n' \\) -o";
    return run("cd '" + dir + "' && find . -mindepth 1" + links +
               " \\( -type d -printf '%P %y %m - %T@\\n' \\) -o -printf '%P %y %m %s %T@\\n'");
}

// The lines of `got` that `want` lacks, and the other way round (a few).
std::string listing_diff(const std::string &want, const std::string &got) {
    std::string out;
    auto lines = [](const std::string &s) {
        std::vector<std::string> v;
        std::istringstream in(s);
        for (std::string l; std::getline(in, l);) v.push_back(l);
        std::sort(v.begin(), v.end());
        return v;
    };
    std::vector<std::string> a = lines(want), b = lines(got), only;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(only));
    for (size_t i = 0; i < only.size() && i < 10; i++) out += "- " + only[i] + "\n";
    only.clear();
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(only));
    for (size_t i = 0; i < only.size() && i < 10; i++) out += "+ " + only[i] + "\n";
    return out;
}

constexpr const char *kLayerStaging = ".vesk-staging";

/* The file system under test: a plain directory or a veskfs mount of one
 * layout over two backends. */
class ClientsTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        layout_ = GetParam();
        if (layout_ == "plain") {
            root_ = tmp_.sub("plain");
            ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
            return;
        }
        std::string why = veskfs_test::no_fuse_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        root_ = tmp_.sub("mnt");
        ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
        backends_ = {tmp_.sub("b0"), tmp_.sub("b1")};
        std::string cfg = tmp_.sub("vesk.conf");
        // "writeback": the container layout with the kernel keeping writes
        bool writeback = layout_ == "writeback";
        vesk_test::write_file(
            cfg, vesk_test::mount_config(root_, backends_, writeback ? "container" : layout_));
        std::vector<std::string> args;
        if (writeback) args.push_back("--writeback");
        daemon_.reset(new veskfs_test::Daemon(root_, tmp_.sub("veskfs.log"), args, cfg));
        ASSERT_TRUE(daemon_->start(&why)) << why;
    }

    void TearDown() override {
        if (!daemon_) return;
        // Releases reach the daemon after close(2) returns: give the last
        // ones a moment before looking for what they should have removed.
        std::vector<std::string> left;
        veskfs_test::wait_for([&] { return (left = leftovers()).empty(); }, 3000);
        for (const std::string &l : left) ADD_FAILURE() << "left on a backend: " << l;
        EXPECT_TRUE(daemon_->stop()) << "unclean end; log:\n"
                                     << vesk_test::read_file(daemon_->log());
        daemon_.reset();
    }

    bool mounted() const { return daemon_ != nullptr; }
    std::string d(const std::string &rel) const { return root_ + "/" + rel; }
    std::string t(const std::string &rel) const { return tmp_.sub(rel); }

    // Names an unlink leaves on the backends, and anything still staged
    // after every file was closed.
    std::vector<std::string> leftovers() {
        std::vector<std::string> found;
        for (const std::string &b : backends_) {
            std::vector<std::string> all;
            walk(b, "", &all);
            for (const std::string &p : all) {
                bool hidden = p.find(".vesk-unlink.") != std::string::npos ||
                              p.find(".fuse_hidden") != std::string::npos;
                if (hidden) found.push_back(b + "/" + p);
            }
            // the layer's staging directory empties as its operations end
            for (const std::string &n : vesk_test::staged_entries(b))
                found.push_back(b + "/" + kLayerStaging + "/" + n);
        }
        return found;
    }

    // A tree of real files (documentation, with its links) plus files of
    // our own: odd modes, an empty file, nested directories, a dangling
    // link and one to a directory.
    std::string source_tree() {
        std::string src = t("src");
        EXPECT_EQ(0, sh("mkdir -p " + src + "/own/a/b/c"));
        // a hundred-odd files with links in them: enough shapes, little time
        sh("cp -a /usr/share/doc/git/contrib " + src + "/doc 2>/dev/null");
        vesk_test::write_file(src + "/own/random", random_bytes(3 << 20, 11));
        vesk_test::write_file(src + "/own/a/b/c/small", "small\n");
        vesk_test::write_file(src + "/own/empty", "");
        chmod((src + "/own/random").c_str(), 0640);
        chmod((src + "/own/empty").c_str(), 0600);
        symlink("nowhere/at/all", (src + "/own/dangling").c_str());
        symlink("a/b", (src + "/own/to_dir").c_str());
        EXPECT_EQ(0, sh("touch -h -d '2011-03-13 10:00:00.123456789' " + src + "/own/dangling " +
                        src + "/own/random"));
        // Directories made in the same second as their copies would look
        // unchanged to rsync, which then leaves the copies' times alone.
        EXPECT_EQ(0, sh("find " + src + " -type d -exec touch -d @1400000000.25 {} +"));
        return src;
    }

    TempDir tmp_;
    std::string layout_;
    std::string root_;
    std::vector<std::string> backends_;
    std::unique_ptr<veskfs_test::Daemon> daemon_;
};

TEST_P(ClientsTest, UnlinkAfterCloseNeverFailsAndLeavesNothing) {
    // Containers make and remove a directory tree per file: fewer rounds
    // (the failures this catches came within a few hundred).
    const int kRounds = full_run() ? 3000 : layout_ == "container" || layout_ == "writeback" ? 250 : 600;
    ASSERT_EQ(0, mkdir(d("loop").c_str(), 0755));
    std::string p = d("loop/file");
    std::string data = random_bytes(8192, 3);
    for (int i = 0; i < kRounds; i++) {
        int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << "round " << i << ": " << strerror(errno);
        ASSERT_EQ(1000 + i % 4096, write(fd, data.data(), 1000 + i % 4096));
        ASSERT_EQ(0, fsync(fd));
        ASSERT_EQ(0, close(fd));
        ASSERT_EQ(0, unlink(p.c_str())) << "round " << i << ": " << strerror(errno);
    }
    for (int i = 0; i < kRounds; i++) {
        int fd = open(p.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << "empty round " << i << ": " << strerror(errno);
        ASSERT_EQ(0, close(fd));
        ASSERT_EQ(0, unlink(p.c_str())) << "empty round " << i << ": " << strerror(errno);
    }
    // The name works again, and the directory empties and goes.
    vesk_test::write_file(p, "again");
    EXPECT_EQ("again", vesk_test::read_file(p));
    EXPECT_EQ("file", trim(run("ls -A " + d("loop"))));
    ASSERT_EQ(0, unlink(p.c_str()));
    EXPECT_EQ("", trim(run("ls -A " + d("loop"))));
    EXPECT_EQ(0, rmdir(d("loop").c_str())) << strerror(errno);
}

TEST_P(ClientsTest, AnUnlinkedOpenFileLivesUntilItsLastClose) {
    ASSERT_EQ(0, mkdir(d("tmp").c_str(), 0755));
    std::string p = d("tmp/scratch");
    int fd = open(p.c_str(), O_CREAT | O_RDWR | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(0, unlink(p.c_str()));
    EXPECT_NE(0, access(p.c_str(), F_OK));
    EXPECT_EQ("", trim(run("ls -A " + d("tmp"))));

    std::string data = random_bytes(300000, 5);
    ASSERT_EQ((ssize_t)data.size(), pwrite(fd, data.data(), data.size(), 0));
    std::string back(data.size(), '\0');
    ASSERT_EQ((ssize_t)data.size(), pread(fd, &back[0], back.size(), 0));
    EXPECT_TRUE(back == data);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st)) << strerror(errno);
    EXPECT_EQ((off_t)data.size(), st.st_size);
    ASSERT_EQ(0, ftruncate(fd, 100000));
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(100000, st.st_size);

    // Its mode, owner and times change as a named file's do, and a write
    // moves the time again.
    ASSERT_EQ(0, fchmod(fd, 0640)) << strerror(errno);
    struct timespec ts[2] = {{1000000000, 123}, {1100000000, 456}};
    ASSERT_EQ(0, futimens(fd, ts)) << strerror(errno);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, fchown(fd, 4242, 4343)) << strerror(errno);
    }
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(1000000000, st.st_atim.tv_sec);
    EXPECT_EQ(123, st.st_atim.tv_nsec);
    EXPECT_EQ(1100000000, st.st_mtim.tv_sec);
    EXPECT_EQ(456, st.st_mtim.tv_nsec);
    if (root) {
        EXPECT_EQ(4242u, st.st_uid);
        EXPECT_EQ(4343u, st.st_gid);
    }
    EXPECT_EQ(100000, st.st_size);
    ASSERT_EQ(1, pwrite(fd, "w", 1, 99999));
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_GT(st.st_mtim.tv_sec, 1100000000) << "a write after futimens keeps the set time";
    EXPECT_EQ(0640u, st.st_mode & 07777);

    // A child writes through the descriptor it inherited.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(pwrite(fd, "child", 5, 0) == 5 && fsync(fd) == 0 ? 0 : 1);
    int status;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char head[5];
    ASSERT_EQ(5, pread(fd, head, 5, 0));
    EXPECT_EQ("child", std::string(head, 5));

    // The same name holds a new file meanwhile, and the directory can go
    // while the old file is still open.
    vesk_test::write_file(p, "new");
    EXPECT_EQ("new", vesk_test::read_file(p));
    ASSERT_EQ(0, unlink(p.c_str()));
    EXPECT_EQ(0, rmdir(d("tmp").c_str())) << strerror(errno);
    ASSERT_EQ(5, pread(fd, head, 5, 0));
    EXPECT_EQ("child", std::string(head, 5));
    EXPECT_EQ(0, close(fd));

    // A file renamed over while open keeps what it held for its reader.
    vesk_test::write_file(d("old"), "old contents");
    vesk_test::write_file(d("new"), "new contents");
    int rfd = open(d("old").c_str(), O_RDONLY);
    ASSERT_GE(rfd, 0);
    ASSERT_EQ(0, rename(d("new").c_str(), d("old").c_str()));
    char buf[32] = {0};
    EXPECT_EQ(12, pread(rfd, buf, sizeof buf, 0));
    EXPECT_STREQ("old contents", buf);
    ASSERT_EQ(0, fstat(rfd, &st)) << strerror(errno);
    EXPECT_EQ(12, st.st_size);
    EXPECT_EQ(0, close(rfd));
    EXPECT_EQ("new contents", vesk_test::read_file(d("old")));

    // What tmpfile(3)-style programs do.
    if (have("python3")) {
        EXPECT_EQ(0, sh("python3 -c \"import tempfile\n"
                        "with tempfile.TemporaryFile(dir='" + root_ + "') as f:\n"
                        "    f.write(b'x' * 200000); f.flush(); f.seek(0)\n"
                        "    assert f.read() == b'x' * 200000\n"
                        "    f.truncate(10); f.seek(0, 2); assert f.tell() == 10\""));
    }
}

TEST_P(ClientsTest, TimesSetAroundACloseAreKeptToTheNanosecond) {
    const int kFiles = 50;
    std::string data = random_bytes(20000, 9);
    // futimens on the open file, then close (cp -p, tar x).
    for (int i = 0; i < kFiles; i++) {
        std::string p = d("f" + std::to_string(i));
        int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ((ssize_t)data.size(), write(fd, data.data(), data.size()));
        struct timespec ts[2] = {{1000000000 + i, 123456789}, {1100000000 + i, 987654321}};
        ASSERT_EQ(0, futimens(fd, ts));
        ASSERT_EQ(0, close(fd));
    }
    // utime by path right after the close (rsync, make).
    for (int i = 0; i < kFiles; i++) {
        std::string p = d("g" + std::to_string(i));
        vesk_test::write_file(p, data);
        struct timespec ts[2] = {{1200000000 + i, 1}, {1300000000 + i, 2}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, p.c_str(), ts, 0));
    }
    usleep(300000);  // any release still on its way has arrived
    for (int i = 0; i < kFiles; i++) {
        struct stat st;
        ASSERT_EQ(0, stat(d("f" + std::to_string(i)).c_str(), &st));
        EXPECT_EQ(1000000000 + i, st.st_atim.tv_sec);
        EXPECT_EQ(123456789, st.st_atim.tv_nsec);
        EXPECT_EQ(1100000000 + i, st.st_mtim.tv_sec) << "futimens lost, file " << i;
        EXPECT_EQ(987654321, st.st_mtim.tv_nsec);
        EXPECT_EQ((off_t)data.size(), st.st_size);
        ASSERT_EQ(0, stat(d("g" + std::to_string(i)).c_str(), &st));
        EXPECT_EQ(1300000000 + i, st.st_mtim.tv_sec) << "utime after close lost, file " << i;
        EXPECT_EQ(2, st.st_mtim.tv_nsec);
    }

    // A write after the times were set moves the modification time on.
    int fd = open(d("f0").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    time_t before = time(nullptr);
    ASSERT_EQ(1, write(fd, "z", 1));
    ASSERT_EQ(0, close(fd));
    usleep(300000);
    struct stat st;
    ASSERT_EQ(0, stat(d("f0").c_str(), &st));
    EXPECT_GE(st.st_mtim.tv_sec, before - 1);

    // An open for writing that writes nothing leaves the times alone.
    fd = open(d("f1").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, close(fd));
    usleep(300000);
    ASSERT_EQ(0, stat(d("f1").c_str(), &st));
    EXPECT_EQ(1100000001, st.st_mtim.tv_sec);

    // touch -h: a link's own times; its target's stay.
    ASSERT_EQ(0, symlink("f2", d("link").c_str()));
    ASSERT_EQ(0, symlink("nowhere", d("dangling").c_str()));
    struct timespec lt[2] = {{1400000000, 5}, {1400000001, 6}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, d("link").c_str(), lt, AT_SYMLINK_NOFOLLOW))
        << strerror(errno);
    ASSERT_EQ(0, utimensat(AT_FDCWD, d("dangling").c_str(), lt, AT_SYMLINK_NOFOLLOW))
        << strerror(errno);
    for (const char *l : {"link", "dangling"}) {
        ASSERT_EQ(0, lstat(d(l).c_str(), &st));
        EXPECT_EQ(1400000001, st.st_mtim.tv_sec) << l;
        EXPECT_EQ(6, st.st_mtim.tv_nsec) << l;
    }
    ASSERT_EQ(0, stat(d("f2").c_str(), &st));
    EXPECT_EQ(1100000002, st.st_mtim.tv_sec);
    EXPECT_EQ(0, sh("touch -h -d @1500000000 " + d("link")));
    EXPECT_EQ("1500000000", trim(run("stat -c %Y " + d("link"))));
}

TEST_P(ClientsTest, ProcessesRewriteBlocksOfOneSharedFile) {
    const int kProcs = 4, kBlocks = 48, kRounds = full_run() ? 40 : 10;
    const size_t kBlock = 12000;  // not page-aligned: neighbours share pages
    std::string p = d("shared");
    vesk_test::write_file(p, std::string(kBlocks * kBlock, '\0'));
    // The last process writes through a descriptor it inherits.
    int inherited = open(p.c_str(), O_RDWR);
    ASSERT_GE(inherited, 0);
    std::vector<pid_t> kids;
    for (int k = 0; k < kProcs; k++) {
        pid_t c = fork();
        ASSERT_GE(c, 0);
        if (c != 0) {
            kids.push_back(c);
            continue;
        }
        int fd = k == kProcs - 1 ? inherited : open(p.c_str(), O_RDWR);
        if (fd < 0) _exit(2);
        std::string buf(kBlock, '\0');
        for (int r = 0; r < kRounds; r++) {
            for (int b = k; b < kBlocks; b += kProcs) {
                // read, seek back, rewrite: what editors, databases and
                // bonnie++ do; each read must see this process's last write
                off_t at = (off_t)b * kBlock;
                if (lseek(fd, at, SEEK_SET) != at) _exit(3);
                if (read(fd, &buf[0], kBlock) != (ssize_t)kBlock) _exit(4);
                char expect = r == 0 ? '\0' : (char)('a' + k * 8 + r - 1);
                if (buf.find_first_not_of(expect) != std::string::npos) _exit(5);
                std::fill(buf.begin(), buf.end(), (char)('a' + k * 8 + r));
                if (lseek(fd, at, SEEK_SET) != at) _exit(6);
                if (write(fd, buf.data(), kBlock) != (ssize_t)kBlock) _exit(7);
            }
        }
        _exit(close(fd) == 0 ? 0 : 8);
    }
    close(inherited);
    std::string failed;
    for (int k = 0; k < kProcs; k++) {
        int status;
        ASSERT_EQ(kids[k], waitpid(kids[k], &status, 0));
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failed += " writer " + std::to_string(k) + " at step " +
                      std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    EXPECT_EQ("", failed);
    std::string all = vesk_test::read_file(p);
    ASSERT_EQ(kBlocks * kBlock, all.size());
    for (int b = 0; b < kBlocks; b++) {
        char want = (char)('a' + (b % kProcs) * 8 + kRounds - 1);
        EXPECT_EQ(std::string::npos, all.substr(b * kBlock, kBlock).find_first_not_of(want))
            << "block " << b;
    }
}

TEST_P(ClientsTest, FallocateExtendsAndKeepsData) {
    std::string p = d("alloc");
    int fd = open(p.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(3, write(fd, "abc", 3));
    ASSERT_EQ(0, fallocate(fd, 0, 0, 1 << 20)) << strerror(errno);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(1 << 20, st.st_size);
    // inside the file: nothing changes
    ASSERT_EQ(0, fallocate(fd, 0, 100, 10));
    ASSERT_EQ(0, posix_fallocate(fd, 4096, 8192));
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(1 << 20, st.st_size);
    char buf[4] = {0};
    ASSERT_EQ(3, pread(fd, buf, 3, 0));
    EXPECT_STREQ("abc", buf);
    ASSERT_EQ(1, pread(fd, buf, 1, 500000));
    EXPECT_EQ('\0', buf[0]);
    ASSERT_EQ(0, close(fd));
    ASSERT_EQ(0, stat(p.c_str(), &st));
    EXPECT_EQ(1 << 20, st.st_size);
    std::string all = vesk_test::read_file(p);
    ASSERT_EQ((size_t)1 << 20, all.size());
    EXPECT_EQ(std::string::npos, all.find_first_not_of('\0', 3));
}

TEST_P(ClientsTest, RsyncTwiceFindsNothingToDo) {
    if (!have("rsync")) GTEST_SKIP() << "rsync is not installed";
    std::string src = source_tree();
    std::string dst = d("copy");
    ASSERT_EQ(0, sh("rsync -a " + src + "/ " + dst + "/"));
    std::string again = run("rsync -a --stats " + src + "/ " + dst + "/");
    EXPECT_NE(std::string::npos, again.find("Number of regular files transferred: 0")) << again;
    EXPECT_EQ("", run("rsync -a -c -n -i " + src + "/ " + dst + "/"));
    EXPECT_EQ(0, sh("diff -r --no-dereference " + src + " " + dst));
    // rsync leaves the times of links to whatever making them gave
    EXPECT_EQ("", listing_diff(tree_listing(src, false), tree_listing(dst, false)));
}

TEST_P(ClientsTest, TarOfARealTreeComesBackTheSame) {
    std::string src = source_tree();
    std::string dst = d("untar");
    ASSERT_EQ(0, mkdir(dst.c_str(), 0755));
    // pax headers carry the times to the nanosecond
    ASSERT_EQ(0, sh("tar --format=posix -C " + src + " -cf - . | tar -C " + dst + " -xf -"));
    EXPECT_EQ(0, sh("diff -r --no-dereference " + src + " " + dst));
    EXPECT_EQ("", listing_diff(tree_listing(src), tree_listing(dst)));
    // and back out of it
    ASSERT_EQ(0, sh("tar -C " + dst + " -cf " + t("again.tar") + " ."));
    ASSERT_EQ(0, sh("mkdir " + t("out") + " && tar -C " + t("out") + " -xf " + t("again.tar")));
    EXPECT_EQ(0, sh("diff -r --no-dereference " + src + " " + t("out")));
    EXPECT_EQ(0, sh("rm -rf " + dst));
    EXPECT_NE(0, access(dst.c_str(), F_OK));
}

TEST_P(ClientsTest, GitRepositoryLivesAndClones) {
    if (!have("git")) GTEST_SKIP() << "git is not installed";
    std::string src = source_tree();
    std::string repo = d("repo"), clone = d("clone");
    std::string git = "HOME=" + tmp_.path() +
                      " GIT_CONFIG_NOSYSTEM=1 git -c user.name=t -c user.email=t@t -c "
                      "init.defaultBranch=main -c gc.auto=0 ";
    ASSERT_EQ(0, sh(git + "init -q " + repo));
    ASSERT_EQ(0, sh("cp -a " + src + "/. " + repo + "/"));
    ASSERT_EQ(0, sh("cd " + repo + " && " + git + "add -A && " + git + "commit -q -m one"));
    vesk_test::write_file(repo + "/own/a/b/c/small", "changed\n");
    ASSERT_EQ(0, sh("cd " + repo + " && " + git + "commit -q -a -m two"));
    EXPECT_EQ(0, sh("cd " + repo + " && " + git + "gc -q"));
    EXPECT_EQ(0, sh("cd " + repo + " && " + git + "fsck --full --no-progress 2>&1"));
    EXPECT_EQ("", run("cd " + repo + " && " + git + "status --porcelain"));
    ASSERT_EQ(0, sh(git + "clone -q " + repo + " " + clone));
    EXPECT_EQ("2", trim(run("cd " + clone + " && " + git + "rev-list --count HEAD")));
    EXPECT_EQ(0, sh("diff -r --no-dereference -x .git " + repo + " " + clone));
    EXPECT_EQ(0, sh("cd " + clone + " && " + git + "fsck --full --no-progress 2>&1"));
    EXPECT_EQ(0, sh("rm -rf " + repo + " " + clone));
    EXPECT_EQ("", trim(run("ls -A " + root_)));
}

TEST_P(ClientsTest, Sqlite3InBothJournalModes) {
    if (!have("sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
    const int kTx = 100, kPerTx = 100;
    for (const char *mode : {"delete", "wal"}) {
        std::string sql = std::string("PRAGMA journal_mode=") + mode +
                          ";\nCREATE TABLE t(i INTEGER PRIMARY KEY, v TEXT);\n";
        for (int tx = 0; tx < kTx; tx++) {
            sql += "BEGIN;\n";
            for (int k = 0; k < kPerTx; k++)
                sql += "INSERT INTO t(v) VALUES(hex(randomblob(" + std::to_string(20 + k) +
                       ")));\n";
            sql += "COMMIT;\n";
        }
        sql += "BEGIN; DELETE FROM t; ROLLBACK;\n";
        vesk_test::write_file(t(std::string(mode) + ".sql"), sql);
        std::string db = d(std::string(mode) + ".db");
        int rc = -1;
        std::string out = run("sqlite3 -bail " + db + " < " + t(std::string(mode) + ".sql") +
                              " 2>&1", &rc);
        EXPECT_EQ(0, rc) << mode << ": " << out;
        EXPECT_EQ(std::string(mode) + "\n10000\nok",
                  trim(run("sqlite3 " + db + " 'PRAGMA journal_mode; SELECT count(*) FROM t;"
                           " PRAGMA integrity_check;' 2>&1")))
            << mode;
    }
}

TEST_P(ClientsTest, DbenchRunsItsLoadToTheEnd) {
    if (!have("dbench")) GTEST_SKIP() << "dbench is not installed";
    std::string load = "/usr/share/dbench/client.txt";
    if (access(load.c_str(), R_OK) != 0) GTEST_SKIP() << load << " is missing";
    // The plain directory only shows that the load runs here at all.
    std::string secs = full_run() ? "30" : mounted() ? "10" : "3";
    int rc = -1;
    std::string out = run("dbench -c " + load + " -D " + root_ + " -t " + secs + " 4 2>&1", &rc);
    EXPECT_EQ(0, rc) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
    EXPECT_NE(std::string::npos, out.find("Throughput")) << out.substr(0, 3000);
    // (a missing SysV semaphore is only reported: "failed to create barrier")
    EXPECT_EQ(std::string::npos, out.find("ERROR")) << out.substr(0, 3000);
}

TEST_P(ClientsTest, BonnieRunsToTheEnd) {
    if (!have("bonnie++")) GTEST_SKIP() << "bonnie++ is not installed";
    // Twice a stated memory size of file (512 MiB in a full run), block
    // phases only (-f: the per-character ones measure stdio); 1024 small
    // files.
    std::string mib = full_run() ? "512" : "64";
    int rc = -1;
    std::string out = run("bonnie++ -q -f -d " + root_ + " -s " + mib + " -r " +
                              std::to_string(std::stoi(mib) / 2) + " -n 1 -u root 2>&1",
                          &rc);
    EXPECT_EQ(0, rc) << out;
    // The last line is the CSV record of the finished run.
    std::vector<std::string> fields;
    std::string line = trim(out.substr(trim(out).rfind('\n') + 1));
    size_t start = 0;
    while (true) {
        size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    ASSERT_GT(fields.size(), 20u) << out;
    EXPECT_EQ(mib + "M", fields[5]) << line;
    printf("bonnie++ on %s: %s\n", layout_.c_str(), line.c_str());
}

TEST_P(ClientsTest, StressNgFileSystemStressorsVerify) {
    if (!have("stress-ng")) GTEST_SKIP() << "stress-ng is not installed";
    std::string secs = full_run() ? "30" : mounted() ? "10" : "3";
    int rc = -1;
    std::string out = run("cd " + root_ + " && stress-ng --temp-path " + root_ +
                              " --hdd 1 --hdd-bytes 16M --seek 1 --seek-size 16M --fallocate 1"
                              " --fallocate-bytes 8M --dentry 1 --rename 1 --dir 1"
                              " --verify -t " + secs + " --metrics-brief 2>&1",
                          &rc);
    EXPECT_EQ(0, rc) << out;
    EXPECT_EQ(std::string::npos, out.find("fail:")) << out;
    EXPECT_NE(std::string::npos, out.find("successful run completed")) << out;
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ClientsTest,
                         ::testing::Values("plain", "container", "flat", "writeback"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.param);
                         });

}  // namespace
