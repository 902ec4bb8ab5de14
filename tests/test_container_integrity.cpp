/* What the container layer promises when things go wrong or overlap: each
 * handle counts its own opens and keeps its access mode, a rename replaces
 * its target in one step (also when the process dies half way), a file
 * whose name goes while this process holds it lives until its last close
 * here, and a write the disk could not take is reported, kept and written
 * by a retry. */
#include "container_test_util.h"

#include "Util.h"
#include "container/Layout.h"
#include "container/Staging.h"
#include "vesk.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <set>

using namespace vesk_test;

namespace {

class ContainerIntegrity : public ContainerMount {
protected:
    // Entries of both staging directories (of the processes' slots too).
    std::vector<std::string> staged() const {
        std::vector<std::string> out;
        for (const std::string &b : {b0, b1})
            for (const std::string &n : vesk_test::staged_entries(b))
                out.push_back(n.substr(n.find('/') + 1));  // wherever a process staged it
        return out;
    }
    void close_ok(Vesk_fd *fd, int flags) {
        EXPECT_EQ(0, fd->close(getpid(), getuid(), flags, nullptr));
        delete fd;
    }
};

TEST_F(ContainerIntegrity, HandlesOfOneFileKeepTheirOwnCountsAndModes) {
    Vesk_fd *w = open("h", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, w);
    Vesk_fd *r = open("h", O_RDONLY);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(4, w->write("abcd", 4, 0, getpid()));
    // the reader's sibling writes; the reader itself may not
    EXPECT_EQ(-EBADF, r->write("x", 1, 0, getpid()));
    // opened twice, closed once: one open left, and the sibling untouched
    ASSERT_EQ(0, containerfs.open(&r, L("h").c_str(), O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(1, r->close(getpid(), getuid(), O_RDONLY, nullptr));
    EXPECT_EQ(0, w->close(getpid(), getuid(), O_RDWR, nullptr));
    delete w;
    char buf[8] = {0};
    EXPECT_EQ(4, r->read(buf, sizeof buf, 0)) << "the reader outlives its sibling";
    EXPECT_STREQ("abcd", buf);
    close_ok(r, O_RDONLY);
    EXPECT_EQ("abcd", read_all("h"));

    // The same through the public entry points: no handle is freed early.
    Vesk_fd *a = nullptr, *b = nullptr;
    ASSERT_EQ(0, vesk_open(&a, L("h").c_str(), O_RDWR, getpid(), 0));
    ASSERT_EQ(0, vesk_open(&b, L("h").c_str(), O_RDWR, getpid(), 0));
    EXPECT_EQ(0, vesk_close(a, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(2, vesk_write(b, "ef", 2, 4, getpid()));
    EXPECT_EQ(0, vesk_close(b, getpid(), getuid(), O_RDWR));
    EXPECT_EQ("abcdef", read_all("h"));
}

// Every pair of kinds a name of a container mount can hold: the target
// holds the source's content afterwards, the source name is free, holders
// of either keep what they had, and nothing stays staged.
TEST_F(ContainerIntegrity, RenameOverReplacesEveryKindInOneStep) {
    enum K { Cont, Link, None };
    struct Case {
        K from, to;
    };
    const Case cases[] = {{Cont, Cont}, {Cont, Link}, {Link, Cont}, {Cont, None}, {Link, Link}};
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE("case " + std::to_string(n));
        std::string a = "ka" + std::to_string(n), t = "kt" + std::to_string(n);
        n++;
        auto make = [&](const std::string &name, K k, const std::string &content) {
            if (k == Cont) {
                write_file_at(name, content, 0);
            } else if (k == Link) {
                ASSERT_EQ(0, containerfs.symlink(content.c_str(), L(name).c_str()));
            }
        };
        make(a, c.from, "new-" + a);
        make(t, c.to, "old-" + t);
        Vesk_fd *src_holder = c.from == Cont ? open(a, O_RDWR) : nullptr;
        Vesk_fd *dst_holder = c.to == Cont ? open(t, O_RDONLY) : nullptr;
        ASSERT_EQ(0, containerfs.rename(L(a).c_str(), L(t).c_str()));
        struct stat st;
        EXPECT_EQ(-ENOENT, containerfs.getattr(L(a).c_str(), &st, 0));
        if (c.from == Cont) {
            EXPECT_EQ("new-" + a, read_all(t));
        } else {
            char buf[64] = {0};
            ASSERT_GT(containerfs.readlink(L(t).c_str(), buf, sizeof buf - 1), 0);
            EXPECT_EQ("new-" + a, std::string(buf));
        }
        if (src_holder) {
            // writes of a holder land in the file under its new name
            ASSERT_EQ(1, src_holder->write("!", 1, 0, getpid()));
            close_ok(src_holder, O_RDWR);
            EXPECT_EQ("!ew-" + a, read_all(t));
        }
        if (dst_holder) {
            // the replaced file stays readable to whoever holds it
            char buf[64] = {0};
            EXPECT_EQ((ssize_t)("old-" + t).size(), dst_holder->read(buf, sizeof buf, 0));
            EXPECT_EQ("old-" + t, std::string(buf));
            close_ok(dst_holder, O_RDONLY);
        }
        EXPECT_TRUE(staged().empty());
    }
    // The staging directory is the layer's own: no name reaches it.
    Vesk_dirents names;
    ASSERT_EQ(0, containerfs.readdir("/vk", &names));
    EXPECT_EQ(0u, names.count(vesk_stage::kStagingName));
    int r = 0;
    EXPECT_EQ(nullptr, open(vesk_stage::kStagingName, O_RDONLY, getpid(), 0644, &r));
    EXPECT_EQ(-EPERM, r);
    std::string inside = std::string(vesk_stage::kStagingName) + "/x";
    EXPECT_EQ(nullptr, open(inside, O_WRONLY | O_CREAT, getpid(), 0644, &r));
    EXPECT_EQ(-EPERM, r);
    EXPECT_EQ(-EPERM, containerfs.mkdir(L(vesk_stage::kStagingName).c_str(), 0755));
    EXPECT_EQ(-EPERM, containerfs.rename(L("kt0").c_str(), L(vesk_stage::kStagingName).c_str()));
}

// Unlinked while this process holds it twice: the logs wait in the staging
// directory for the last close, a merge after the first close still finds
// every byte, and the last close leaves nothing.
TEST_F(ContainerIntegrity, UnlinkedFileLivesUntilItsLastCloseHere) {
    const std::string big = pattern(70000, 3);
    Vesk_fd *w = open("u", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ((ssize_t)big.size(), w->write(big.data(), big.size(), 0, getpid()));
    Vesk_fd *r = open("u", O_RDONLY);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(0, containerfs.unlink(L("u").c_str()));
    struct stat st;
    EXPECT_EQ(-ENOENT, containerfs.getattr(L("u").c_str(), &st, 0));
    std::vector<std::string> in = staged();
    ASSERT_EQ(1u, in.size());
    EXPECT_EQ(0u, in[0].compare(0, 7, "unlink.")) << in[0];
    // the name is free for a file of its own
    write_file_at("u", "newcomer", 0);
    ASSERT_EQ(5, w->write("LATE!", 5, 100000, getpid()));
    close_ok(w, O_RDWR);
    EXPECT_EQ(1u, staged().size()) << "gone before its last close";
    // a merge of the logs, as another reader of them would make
    ASSERT_EQ(0, static_cast<Container_fd *>(r)->refresh());
    ASSERT_EQ(0, r->getattr(nullptr, &st, 0));
    EXPECT_EQ(100005, st.st_size);
    EXPECT_EQ(0u, st.st_nlink);
    std::string got(100005, '\0');
    ASSERT_EQ(100005, r->read(&got[0], got.size(), 0));
    EXPECT_EQ(big, got.substr(0, big.size()));
    EXPECT_EQ(std::string(100000 - big.size(), '\0'), got.substr(big.size(), 100000 - big.size()));
    EXPECT_EQ("LATE!", got.substr(100000));
    close_ok(r, O_RDONLY);
    EXPECT_TRUE(staged().empty());
    EXPECT_EQ("newcomer", read_all("u"));
}

// Replaced by a rename while held here: the holder keeps the old file
// (kept apart from the staged entries of renames, which recovery finishes
// or removes), the name leads to the new one.
TEST_F(ContainerIntegrity, ReplacedFileLivesUntilItsLastCloseHere) {
    write_file_at("r", "old-old-old", 0);
    write_file_at("n", "new", 0);
    Vesk_fd *h = open("r", O_RDWR);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(0, containerfs.rename(L("n").c_str(), L("r").c_str()));
    std::vector<std::string> in = staged();
    ASSERT_EQ(1u, in.size());
    EXPECT_EQ(0u, in[0].compare(0, 7, "unlink.")) << in[0];
    vesk_recover(L("r").c_str());  // finishes or removes what renames staged
    ASSERT_EQ(1u, staged().size()) << "recovery took a file still open";
    ASSERT_EQ(3, h->write("OLD", 3, 0, getpid()));
    ASSERT_EQ(0, h->sync(getpid()));
    ASSERT_EQ(0, static_cast<Container_fd *>(h)->refresh());
    char buf[32] = {0};
    EXPECT_EQ(11, h->read(buf, sizeof buf, 0));
    EXPECT_STREQ("OLD-old-old", buf);
    EXPECT_EQ("new", read_all("r"));
    close_ok(h, O_RDWR);
    EXPECT_TRUE(staged().empty());
    EXPECT_EQ("new", read_all("r"));
}

// A process that dies holding a file it unlinked (or replaced) leaves the
// file staged, since its last close never comes: recovery removes what a
// process of this host that no longer runs left in its slot, and leaves
// what a running one holds.
TEST_F(ContainerIntegrity, RecoveryRemovesWhatAProcessThatDiedLeftStaged) {
    write_file_at("mine", "kept while open here", 0);
    write_file_at("theirs", "held by a process that dies", 0);
    Vesk_fd *h = open("mine", O_RDONLY);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(0, containerfs.unlink(L("mine").c_str()));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Vesk_fd *fd = nullptr;
        int r = containerfs.open(&fd, L("theirs").c_str(), O_RDONLY, getpid(), 0, nullptr);
        if (r == 0) r = containerfs.unlink(L("theirs").c_str());
        _exit(r == 0 ? 0 : 1);  // dies holding it
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> before = staged();
    ASSERT_EQ(2u, before.size()) << "one file each held past its unlink";
    std::set<pid_t> by;
    for (const std::string &n : before) by.insert(vesk_stage::staged_by(n));
    EXPECT_EQ((std::set<pid_t>{getpid(), child}), by);

    // Tidied on the way: no repair of the file asked for, which is not there.
    EXPECT_EQ(-ENOENT, vesk_recover(L("anything").c_str()));
    std::vector<std::string> after = staged();
    ASSERT_EQ(1u, after.size()) << "recovery took a file still open, or left the dead one's";
    EXPECT_EQ(getpid(), vesk_stage::staged_by(after[0]));
    char buf[32] = {0};
    EXPECT_EQ(20, h->read(buf, sizeof buf, 0));
    EXPECT_STREQ("kept while open here", buf);
    close_ok(h, O_RDONLY);
    EXPECT_TRUE(staged().empty());
    EXPECT_EQ(-ENOENT, vesk_recover(L("anything").c_str()));
}

// A forked child inherits the parent's open files in memory, but they are
// not its own: its unlink of a file the parent holds removes the logs at
// once, as any other process's does, rather than wait for closes that
// only the parent will make. Nothing stays staged.
TEST_F(ContainerIntegrity, UnlinkByAForkedChildLeavesNothingBehind) {
    Vesk_fd *h = open("f", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(4, h->write("kept", 4, 0, getpid()));
    ASSERT_EQ(0, h->sync(getpid()));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(containerfs.unlink(L("f").c_str()) == 0 ? 0 : 1);
    int status;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(staged().empty());
    close_ok(h, O_RDWR);
    EXPECT_TRUE(staged().empty());
}

// A process killed while it holds an unlinked file leaves its logs in the
// staging directory only: no listing shows them, the name stays free.
TEST_F(ContainerIntegrity, UnlinkedFileOfAKilledHolderStaysStaged) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Vesk_fd *fd = nullptr;
        if (containerfs.open(&fd, L("k").c_str(), O_RDWR | O_CREAT, getpid(), 0644, nullptr) != 0 ||
            fd->write("doomed", 6, 0, getpid()) != 6 || fd->sync(getpid()) != 0 ||
            containerfs.unlink(L("k").c_str()) != 0)
            _exit(1);
        if (write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    std::vector<std::string> in = staged();
    ASSERT_EQ(1u, in.size());
    EXPECT_EQ(0u, in[0].compare(0, 7, "unlink.")) << in[0];
    Vesk_dirents names;
    ASSERT_EQ(0, containerfs.readdir("/vk", &names));
    EXPECT_EQ(0u, names.count("k"));
    EXPECT_EQ(0u, names.size()) << *names.begin();
    write_file_at("k", "fresh", 0);
    EXPECT_EQ("fresh", read_all("k"));
    EXPECT_EQ(5, size_of("k"));
}

// Kills the process at the n-th namespace call (rename, exchange, unlink,
// rmdir) the library makes; 0 turns it off.
int g_kill_at = 0;
int g_calls = 0;
void step() {
    if (g_kill_at && ++g_calls == g_kill_at) raise(SIGKILL);
}
int k_rename(const char *a, const char *b) {
    step();
    return ::rename(a, b);
}
int k_rename2(const char *a, const char *b, unsigned f) {
    step();
    return ::renameat2(AT_FDCWD, a, AT_FDCWD, b, f);
}
int k_unlink(const char *a) {
    step();
    return ::unlink(a);
}
int k_rmdir(const char *a) {
    step();
    return ::rmdir(a);
}

// A crash at every step of a rename over a file: after recovery the
// target opens to one whole file, the new one exactly when the source
// name is gone, and nothing is left staged.
TEST_F(ContainerIntegrity, CrashAtEveryStepOfARenameOverLeavesOneWholeFile) {
    const std::string oldc = pattern(30000, 1), newc = pattern(20000, 2);
    bool finished = false;
    int killed = 0;
    for (int at = 1; !finished && at < 40; at++) {
        SCOPED_TRACE("killed at call " + std::to_string(at));
        std::string src = "cs" + std::to_string(at), dst = "cd" + std::to_string(at);
        write_file_at(src, newc.substr(0, 10000), 0);
        write_file_at(src, newc.substr(10000), 10000, O_WRONLY, getpid() + 100000);
        write_file_at(dst, oldc, 0);
        pid_t kid = fork();
        ASSERT_GE(kid, 0);
        if (kid == 0) {
            g_kill_at = at;
            Util::syscalls().rename = k_rename;
            Util::syscalls().rename2 = k_rename2;
            Util::syscalls().unlink = k_unlink;
            Util::syscalls().rmdir = k_rmdir;
            _exit(containerfs.rename(L(src).c_str(), L(dst).c_str()) == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(kid, waitpid(kid, &status, 0));
        if (WIFEXITED(status)) {
            ASSERT_EQ(0, WEXITSTATUS(status));
            finished = true;
        } else {
            ASSERT_TRUE(WIFSIGNALED(status));
            killed++;
        }
        int rec = container_recover(L(dst).c_str());
        EXPECT_TRUE(rec == 0 || rec == -EEXIST) << rec;
        std::string got = read_all(dst);
        struct stat st;
        bool src_gone = containerfs.getattr(L(src).c_str(), &st, 0) == -ENOENT;
        if (src_gone) {
            EXPECT_EQ(newc.size(), got.size());
            EXPECT_TRUE(got == newc) << "target is not the new file";
        } else {
            EXPECT_TRUE(got == oldc) << "target is not the old file";
            EXPECT_TRUE(read_all(src) == newc);
        }
        EXPECT_TRUE(staged().empty());
    }
    EXPECT_TRUE(finished);
    EXPECT_GE(killed, 4) << "the rename has fewer steps than expected";
}

// Fails writes to index logs with `g_err` while it is set.
int g_err = 0;
ssize_t failing_pwrite(int fd, const void *buf, size_t n, off_t off) {
    if (g_err) {
        char link[64], target[4096];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t len = readlink(link, target, sizeof target - 1);
        if (len > 0) {
            target[len] = '\0';
            if (strstr(target, "/index.")) {
                errno = g_err;
                return -1;
            }
        }
    }
    return ::pwrite(fd, buf, n, off);
}

TEST_F(ContainerIntegrity, IndexFlushFailuresAreReportedAndRetried) {
    for (int err : {ENOSPC, EIO}) {
        SCOPED_TRACE(strerror(err));
        std::string f = "e" + std::to_string(err);
        std::string data = pattern(4000, (unsigned)err);
        Vesk_fd *fd = open(f, O_WRONLY | O_CREAT);
        ASSERT_NE(nullptr, fd);
        // the first write makes the logs (the index log's header included)
        ASSERT_EQ(20, fd->write(data.data(), 20, 0, getpid()));
        Util::syscalls().pwrite = failing_pwrite;
        g_err = err;
        // the writes land in the data log; their records wait in memory
        for (size_t i = 1; i < 200; i++)
            ASSERT_EQ(20, fd->write(data.data() + i * 20, 20, (off_t)(i * 20), getpid()));
        EXPECT_EQ(-err, fd->sync(getpid()));
        EXPECT_EQ(-err, fd->sync(getpid())) << "a retry that cannot write still fails";
        EXPECT_EQ(-err, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
        g_err = 0;
        Util::resetSyscalls();
        // space is back: the retried close writes everything acknowledged
        EXPECT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
        delete fd;
        EXPECT_EQ(data, read_all(f));
    }
    // A sync that failed is retried by the next sync.
    Vesk_fd *fd = open("es", O_WRONLY | O_CREAT);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(3, fd->write("abc", 3, 0, getpid()));
    Util::syscalls().pwrite = failing_pwrite;
    g_err = ENOSPC;
    EXPECT_EQ(-ENOSPC, fd->sync(getpid()));
    g_err = 0;
    Util::resetSyscalls();
    EXPECT_EQ(0, fd->sync(getpid()));
    EXPECT_EQ("abc", read_all("es")) << "published by the sync, before the close";
    close_ok(fd, O_WRONLY);
}

}  // namespace
