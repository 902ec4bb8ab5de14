/* Renames racing everything else on a container mount: a file replaced
 * under readers, processes renaming files among names, holders that keep
 * writing while their file moves, and holders whose file loses its name. Seeds are fixed; the number of
 * rounds is small enough for a ThreadSanitizer run. */
#include "container_test_util.h"

#include "Util.h"
#include "container/Container.h"
#include "container/Staging.h"

#include <atomic>
#include <dirent.h>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>

using namespace vesk_test;

namespace {

class RenameConcurrency : public ContainerMount {
protected:
    // Waits for every child; each exit status must be 0.
    static void reap(const std::vector<pid_t> &kids) {
        for (pid_t k : kids) {
            int status = 0;
            ASSERT_EQ(k, waitpid(k, &status, 0));
            ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << WTERMSIG(status);
            EXPECT_EQ(0, WEXITSTATUS(status)) << "child " << k;
        }
    }
    // Counters children add to, in memory shared across fork.
    template <typename T> static T *shared(size_t n = 1) {
        void *p = mmap(nullptr, sizeof(T) * n, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                       -1, 0);
        return p == MAP_FAILED ? nullptr : new (p) T[n]();
    }
    // Writes `data` to `rel` from scratch in pieces of `piece` bytes.
    int write_whole(const std::string &rel, const std::string &data, size_t piece) {
        Vesk_fd *fd = nullptr;
        pid_t me = getpid();
        int r = containerfs.open(&fd, L(rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC, me, 0644,
                                 nullptr);
        if (r != 0) return r;
        for (size_t at = 0; at < data.size() && r == 0; at += piece) {
            size_t n = std::min(piece, data.size() - at);
            if (fd->write(data.data() + at, n, (off_t)at, me) != (ssize_t)n) r = -EIO;
        }
        int c = fd->close(me, getuid(), O_WRONLY | O_CREAT | O_TRUNC, nullptr);
        delete fd;
        return r != 0 ? r : c;
    }
    // Reads all of `rel` through one open; minus errno when open or read fail.
    static int read_whole(const std::string &rel, std::string *out) {
        Vesk_fd *fd = nullptr;
        int r = containerfs.open(&fd, L(rel).c_str(), O_RDONLY, getpid(), 0, nullptr);
        if (r != 0) return r;
        out->assign(64 * 1024, '\0');
        ssize_t n = fd->read(&(*out)[0], out->size(), 0);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        if (n < 0) return (int)n;
        out->resize((size_t)n);
        return 0;
    }
};

// Version v of the replaced file: its length and every byte depend on v,
// and it starts with v in digits, so a reader can tell which version it
// holds and whether it holds all of it.
std::string version(unsigned v) {
    char head[16];
    snprintf(head, sizeof head, "v%07u\n", v);
    std::string s = head;
    size_t len = 3000 + (v * 977) % 9000;
    while (s.size() < len) s += (char)('a' + (v * 31 + s.size() * 7) % 26);
    return s;
}

// Whether `got` is one whole version; *which is the version it claims.
bool whole_version(const std::string &got, unsigned *which) {
    if (got.size() < 9 || got[0] != 'v') return false;
    *which = (unsigned)strtoul(got.c_str() + 1, nullptr, 10);
    return got == version(*which);
}

// A writer replaces a file again and again by writing a temporary file and
// renaming it over; readers in other processes open and read it in a loop.
// Every read sees one whole version, never an error, and versions never go
// back in time within one reader.
TEST_F(RenameConcurrency, ReplacedFileReadsWholeOldOrNew) {
    const unsigned kVersions = 120;
    const int kReaders = 2;
    ASSERT_EQ(0, write_whole("target", version(0), 4096));
    std::set<size_t> sizes;
    for (unsigned v = 0; v <= kVersions; v++) sizes.insert(version(v).size());
    auto *done = shared<std::atomic<int>>();
    auto *reads = shared<std::atomic<long>>(kReaders);
    ASSERT_NE(nullptr, done);
    ASSERT_NE(nullptr, reads);
    std::vector<pid_t> kids;
    for (int r = 0; r < kReaders; r++) {
        pid_t k = fork();
        ASSERT_GE(k, 0);
        if (k == 0) {
            unsigned last = 0;
            std::string got;
            while (!done->load()) {
                int rr = read_whole("target", &got);
                if (rr != 0) {
                    fprintf(stderr, "reader %d: read %d\n", r, rr);
                    _exit(1);
                }
                unsigned v;
                if (!whole_version(got, &v)) {
                    fprintf(stderr, "reader %d: %zu bytes, not a whole version (%.8s)\n", r,
                            got.size(), got.c_str());
                    _exit(2);
                }
                if (v < last) {
                    fprintf(stderr, "reader %d: version %u after %u\n", r, v, last);
                    _exit(3);
                }
                last = v;
                reads[r]++;
                // the size alone, by name: some version's whole size
                struct stat st;
                rr = containerfs.getattr(L("target").c_str(), &st, 0);
                if (rr != 0 || sizes.count((size_t)st.st_size) == 0) {
                    fprintf(stderr, "reader %d: getattr %d, size %lld\n", r, rr,
                            (long long)st.st_size);
                    _exit(4);
                }
            }
            _exit(0);
        }
        kids.push_back(k);
    }
    for (unsigned v = 1; v <= kVersions; v++) {
        std::string tmp = "tmp" + std::to_string(v % 3);
        ASSERT_EQ(0, write_whole(tmp, version(v), 1000 + v % 4000));
        ASSERT_EQ(0, containerfs.rename(L(tmp).c_str(), L("target").c_str())) << "version " << v;
    }
    // the readers keep going a little while after the last version
    usleep(100 * 1000);
    done->store(1);
    reap(kids);
    long total = 0;
    for (int r = 0; r < kReaders; r++) {
        EXPECT_GT(reads[r].load(), 0) << "reader " << r << " never read";
        total += reads[r];
    }
    std::string got;
    ASSERT_EQ(0, read_whole("target", &got));
    EXPECT_TRUE(got == version(kVersions));
    RecordProperty("reads", (int)total);
    printf("%u replacements, %ld whole reads\n", kVersions, total);
}

// Processes move files among names: file i lives at one of its own names
// a<i>, b<i>, c<i>, and every process renames between them at random. A
// rename finds its source or fails with ENOENT; afterwards every file is at
// exactly one of its names, whole. Then one file shared by all names: the
// renames among them may overwrite nothing but the file itself, so exactly
// one name holds it at the end.
TEST_F(RenameConcurrency, RenamesAmongNamesLoseNoFile) {
    const int kProcs = 3, kFiles = 3, kRenames = 150;
    const char kStem[] = "abc";
    auto content = [](int f) { return pattern(5000 + 300 * f, 40 + f); };
    for (int f = 0; f < kFiles; f++) ASSERT_EQ(0, write_whole("a" + std::to_string(f), content(f), 2000));
    ASSERT_EQ(0, write_whole("solo0", content(9), 2000));
    auto *moved = shared<std::atomic<long>>();
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; p++) {
        pid_t k = fork();
        ASSERT_GE(k, 0);
        if (k == 0) {
            std::mt19937 rng(1000 + p);
            for (int i = 0; i < kRenames; i++) {
                std::string from, to;
                if (i % 4 == 3) {
                    from = "solo" + std::to_string(rng() % 3);
                    to = "solo" + std::to_string(rng() % 3);
                } else {
                    int f = (int)(rng() % kFiles);
                    from = kStem[rng() % 3] + std::to_string(f);
                    to = kStem[rng() % 3] + std::to_string(f);
                }
                int r = containerfs.rename(L(from).c_str(), L(to).c_str());
                if (r == 0) (*moved)++;
                else if (r != -ENOENT) {
                    fprintf(stderr, "rename %s %s: %d\n", from.c_str(), to.c_str(), r);
                    _exit(1);
                }
            }
            _exit(0);
        }
        kids.push_back(k);
    }
    reap(kids);
    struct stat st;
    for (int f = 0; f < kFiles; f++) {
        int found = 0;
        for (int n = 0; n < 3; n++) {
            std::string name = kStem[n] + std::to_string(f);
            if (containerfs.getattr(L(name).c_str(), &st, 0) != 0) continue;
            found++;
            EXPECT_TRUE(read_all(name) == content(f)) << name;
        }
        EXPECT_EQ(1, found) << "file " << f;
    }
    int solos = 0;
    for (int n = 0; n < 3; n++) {
        std::string name = "solo" + std::to_string(n);
        if (containerfs.getattr(L(name).c_str(), &st, 0) != 0) continue;
        solos++;
        EXPECT_TRUE(read_all(name) == content(9)) << name;
    }
    EXPECT_EQ(1, solos);
    // nothing left behind in either backend's staging directory
    for (const std::string &b : {b0, b1})
        for (const std::string &n : vesk_test::staged_entries(b)) ADD_FAILURE() << "left staged: " << n;
    EXPECT_GT(moved->load(), kProcs * kRenames / 4) << "too few renames found their source";
    printf("%d renames attempted, %ld done\n", kProcs * kRenames, moved->load());
}

// Holders across renames: 3 processes x 3 threads, each thread owning one
// region of one file, writing it, reading it back, syncing, closing and
// reopening; one more thread per process renames the file back and forth
// between two names meanwhile. Each thread checks its region after every
// write; at the end the file holds every thread's last round.
TEST_F(RenameConcurrency, HoldersKeepWorkingAcrossRenames) {
    const int kProcs = 3, kThreads = 3, kRounds = 25;
    const size_t kRegion = 3000;
    auto region = [&](int p, int t, int round) {
        return pattern(kRegion, (unsigned)(p * 100 + t * 10 + round));
    };
    ASSERT_EQ(0, write_whole("ping", std::string(kProcs * kThreads * kRegion, '.'), 8192));
    auto *renames = shared<std::atomic<long>>();
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; p++) {
        pid_t k = fork();
        ASSERT_GE(k, 0);
        if (k == 0) {
            const pid_t me = getpid();
            std::atomic<int> failures{0}, running{kThreads};
            auto fail = [&](const char *what, int t, int round, long r) {
                fprintf(stderr, "proc %d thread %d round %d: %s (%ld)\n", p, t, round, what, r);
                failures++;
            };
            // Opens the file under whichever name it has now.
            auto open_any = [&](Vesk_fd **fd) {
                for (int tries = 0; tries < 1000; tries++) {
                    for (const char *n : {"ping", "pong"}) {
                        *fd = nullptr;
                        int r = containerfs.open(fd, L(n).c_str(), O_RDWR, me, 0, nullptr);
                        if (r == 0) return 0;
                        if (r != -ENOENT) return r;
                    }
                }
                return -ENOENT;
            };
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; t++) {
                threads.emplace_back([&, t] {
                    off_t at = (off_t)((p * kThreads + t) * kRegion);
                    std::string back(kRegion, '\0');
                    for (int round = 0; round < kRounds && !failures; round++) {
                        Vesk_fd *fd = nullptr;
                        int r = open_any(&fd);
                        if (r != 0) {
                            fail("open", t, round, r);
                            break;
                        }
                        std::string mine = region(p, t, round);
                        // two writes, so a rename can fall between them
                        ssize_t n1 = fd->write(mine.data(), kRegion / 2, at, me);
                        ssize_t n2 = fd->write(mine.data() + kRegion / 2, kRegion - kRegion / 2,
                                               at + (off_t)(kRegion / 2), me);
                        if (n1 != (ssize_t)(kRegion / 2) || n2 != (ssize_t)(kRegion - kRegion / 2))
                            fail("write", t, round, n1 < 0 ? n1 : n2);
                        ssize_t got = fd->read(&back[0], kRegion, at);
                        if (got != (ssize_t)kRegion || back != mine)
                            fail("read back", t, round, got);
                        if (round % 3 == 0 && (r = fd->sync(me)) != 0) fail("sync", t, round, r);
                        r = fd->close(me, getuid(), O_RDWR, nullptr);
                        if (r < 0) fail("close", t, round, r);
                        if (r == 0) delete fd;
                    }
                    running--;
                });
            }
            std::thread mover([&] {
                int turn = 0;
                while (running.load() > 0) {
                    const char *from = turn % 2 ? "pong" : "ping";
                    const char *to = turn % 2 ? "ping" : "pong";
                    int r = containerfs.rename(L(from).c_str(), L(to).c_str());
                    if (r == 0) (*renames)++;
                    else if (r != -ENOENT) fail("rename", -1, turn, r);
                    turn++;
                    usleep(500);
                }
            });
            for (auto &th : threads) th.join();
            mover.join();
            _exit(failures.load() ? 1 : 0);
        }
        kids.push_back(k);
    }
    reap(kids);
    struct stat st;
    bool at_ping = containerfs.getattr(L("ping").c_str(), &st, 0) == 0;
    bool at_pong = containerfs.getattr(L("pong").c_str(), &st, 0) == 0;
    ASSERT_NE(at_ping, at_pong) << "the file must be under exactly one name";
    std::string want;
    for (int p = 0; p < kProcs; p++)
        for (int t = 0; t < kThreads; t++) want += region(p, t, kRounds - 1);
    std::string got = read_all(at_ping ? "ping" : "pong");
    ASSERT_EQ(want.size(), got.size());
    for (size_t r = 0; r < (size_t)(kProcs * kThreads); r++)
        EXPECT_TRUE(got.compare(r * kRegion, kRegion, want, r * kRegion, kRegion) == 0)
            << "region " << r;
    EXPECT_GT(renames->load(), 10) << "the file hardly moved";
    printf("%d writes checked, %ld renames\n", kProcs * kThreads * kRounds * 2, renames->load());
}

// Where another process's renames take a file away and bring it back
// while an open looks inside it: each look at its marker in turn is the
// moment, made to happen by a hook on that lookup. The file is the same
// container throughout, and the open must find it so.
std::string g_away_from, g_away_to;
int g_moves = 0, g_lookups = 0, g_move_at = 0;
int lstat_moving_away(const char *path, struct stat *st) {
    if (!g_away_from.empty() && strstr(path, VESK_CONTAINER_MARKER) &&
        ++g_lookups == g_move_at) {
        bool moved = ::rename(g_away_from.c_str(), g_away_to.c_str()) == 0;
        int r = ::lstat(path, st);
        int e = errno;
        if (moved && ::rename(g_away_to.c_str(), g_away_from.c_str()) == 0) g_moves++;
        errno = e;
        return r;
    }
    return ::lstat(path, st);
}

TEST_F(RenameConcurrency, AFileMovedAwayAndBackDuringAnOpenIsStillAFile) {
    ASSERT_EQ(0, write_whole("aba", "contents", 4));
    g_away_from = backend("aba");
    g_away_to = g_away_from + ".away";
    for (int at = 1; at <= 4; at++) {
        for (int flags : {O_RDONLY, O_RDWR}) {
            g_moves = g_lookups = 0;
            g_move_at = at;
            Util::syscalls().lstat = lstat_moving_away;
            Vesk_fd *fd = nullptr;
            int r = containerfs.open(&fd, L("aba").c_str(), flags, getpid(), 0, nullptr);
            Util::resetSyscalls();
            if (at == 1) {
                EXPECT_EQ(1, g_moves) << "the hook never moved the file";
            }
            ASSERT_EQ(0, r) << "moved at marker lookup " << at << ": " << strerror(-r);
            char buf[16] = {0};
            EXPECT_EQ(8, fd->read(buf, sizeof buf, 0));
            EXPECT_STREQ("contents", buf);
            EXPECT_EQ(0, fd->close(getpid(), getuid(), flags, nullptr));
            delete fd;
        }
        g_moves = g_lookups = 0;
        Util::syscalls().lstat = lstat_moving_away;
        struct stat st;
        int g = containerfs.getattr(L("aba").c_str(), &st, 0);
        Util::resetSyscalls();
        EXPECT_EQ(0, g) << "moved at marker lookup " << at << ": " << strerror(-g);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
    g_away_from.clear();
}

// An open that fails once it holds the file (its index cannot be read)
// looks at the name again, to tell a file replaced meanwhile (try again)
// from a failure of the file itself. The directory must still be held at
// that look: let go, its inode number may go to a file made and renamed to
// the name meanwhile, which the look would take for the one that failed.
std::string g_failing_name;
bool g_held_at_look = false;
int g_looks = 0;
bool holds_directory(const std::string &dir) {
    DIR *d = opendir("/proc/self/fd");
    if (!d) return false;
    bool found = false;
    while (struct dirent *e = readdir(d)) {
        char link[PATH_MAX + 1];
        std::string fd = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(fd.c_str(), link, PATH_MAX);
        if (n > 0 && std::string(link, (size_t)n) == dir) found = true;
    }
    closedir(d);
    return found;
}
int unreadable_index_open(const char *path, int flags, mode_t mode) {
    if (strstr(path, "/index.") || strstr(path, "global.index")) {
        errno = EIO;
        return -1;
    }
    return ::open(path, flags, mode);
}
int lstat_noting_held(const char *path, struct stat *st) {
    if (g_failing_name == path) {
        g_looks++;
        g_held_at_look = holds_directory(g_failing_name);
    }
    return ::lstat(path, st);
}

TEST_F(RenameConcurrency, AFailedOpenHoldsItsFileWhileItLooksAtTheName) {
    ASSERT_EQ(0, write_whole("failing", "contents", 4));
    g_failing_name = backend("failing");
    g_looks = 0;
    g_held_at_look = false;
    Util::syscalls().open = unreadable_index_open;
    Util::syscalls().lstat = lstat_noting_held;
    Vesk_fd *fd = nullptr;
    int r = containerfs.open(&fd, L("failing").c_str(), O_RDONLY, getpid(), 0, nullptr);
    Util::resetSyscalls();
    g_failing_name.clear();
    EXPECT_EQ(-EIO, r);
    EXPECT_EQ(nullptr, fd);
    EXPECT_GT(g_looks, 0);
    EXPECT_TRUE(g_held_at_look) << "the directory was let go before the name was looked at";
    EXPECT_FALSE(holds_directory(backend("failing"))) << "the failed open kept its directory";
}

// Threads of one process hold a file while another thread unlinks it or
// renames a file over it, and close it around that moment: every holder
// keeps its own bytes to its close, the last close (whichever thread's,
// before or after the name went) takes the file away, and nothing stays
// staged.
TEST_F(RenameConcurrency, HoldersOfAFileLosingItsNameKeepItToTheirLastClose) {
    const int kHolders = 3, kRounds = 30;
    const size_t kRegion = 5000;
    const pid_t me = getpid();
    std::atomic<int> failures{0};
    auto fail = [&](const char *what, int round, long r) {
        fprintf(stderr, "round %d: %s (%ld)\n", round, what, r);
        failures++;
    };
    for (int round = 0; round < kRounds && !failures; round++) {
        const std::string name = "t" + std::to_string(round);
        const std::string base(kHolders * kRegion, '.');
        ASSERT_EQ(0, write_whole(name, base, 4096));
        const bool by_rename = round % 2;
        if (by_rename) {
            ASSERT_EQ(0, write_whole("n" + std::to_string(round), "newer", 4096));
        }
        std::atomic<int> opened{0};
        std::vector<std::thread> holders;
        for (int h = 0; h < kHolders; h++) {
            holders.emplace_back([&, h] {
                Vesk_fd *fd = nullptr;
                int r = containerfs.open(&fd, L(name).c_str(), O_RDWR, me, 0, nullptr);
                opened++;
                if (r != 0) {
                    fail("open", round, r);
                    return;
                }
                while (opened.load() < kHolders + 1) std::this_thread::yield();
                const off_t at = (off_t)(h * kRegion);
                const std::string mine = pattern(kRegion, (unsigned)(round * 10 + h));
                // the later holders work a while longer, past the unlink
                for (int pass = 0; pass <= h; pass++) {
                    if (fd->write(mine.data(), kRegion, at, me) != (ssize_t)kRegion)
                        fail("write", round, h);
                    if (pass == 1 && fd->sync(me) != 0) fail("sync", round, h);
                    std::string back(kRegion, '\0');
                    if (fd->read(&back[0], kRegion, at) != (ssize_t)kRegion || back != mine)
                        fail("read back", round, h);
                    struct stat st;
                    if (fd->getattr(nullptr, &st, 0) != 0 || st.st_size != (off_t)base.size())
                        fail("fstat", round, h);
                }
                r = fd->close(me, getuid(), O_RDWR, nullptr);
                if (r != 0) fail("close", round, r);
                else delete fd;
            });
        }
        while (opened.load() < kHolders) std::this_thread::yield();
        opened++;
        int r = by_rename ? containerfs.rename(L("n" + std::to_string(round)).c_str(), L(name).c_str())
                          : containerfs.unlink(L(name).c_str());
        EXPECT_EQ(0, r) << "round " << round;
        for (auto &t : holders) t.join();
        std::string now;
        EXPECT_EQ(by_rename ? 0 : -ENOENT, read_whole(name, &now)) << "round " << round;
        if (by_rename) {
            EXPECT_EQ("newer", now) << "round " << round;
        }
        for (const std::string &b : {b0, b1}) {
            std::vector<std::string> left = vesk_test::staged_entries(b);
            EXPECT_TRUE(left.empty()) << "round " << round << ": " << left[0] << " stays";
        }
    }
    EXPECT_EQ(0, failures.load());
}

}  // namespace
