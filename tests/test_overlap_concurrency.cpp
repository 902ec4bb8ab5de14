/* 8 processes x 4 threads, every thread a writer of its own, writing
 * overlapping ranges of one container. Every write is stamped with the
 * wall-clock interval of its call (in shared memory) and its bytes say
 * which write they came from, so the checker knows for every byte which
 * writes may have won it: the winner is a write covering the byte that
 * did not end before another covering write began. With the writes
 * serialized by a process-shared lock the intervals are disjoint and the
 * model is exactly "the last write wins"; without it, the writes really
 * race and only the order the calls were seen in is enforced. */
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <random>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vesk.h"
#include "vesk_test_util.h"

using namespace vesk_test;

namespace {

const int kProcs = 8, kThreads = 4;
const int kWritesPerThread = 400;
const size_t kRegion = 96 * 1024;  // where writes start
const size_t kMaxLen = 3000;

struct WriteRec {
    uint32_t off, len;
    int64_t t_start, t_end;  // microseconds, around the library call
    int32_t done;            // 1 once the call returned the full count
};

struct Shared {
    pthread_mutex_t mu;
    std::atomic<uint32_t> next;  // index into recs
    WriteRec recs[kProcs * kThreads * kWritesPerThread];
};

int64_t now_us() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}

// The byte write `seq` puts at absolute offset x; never zero.
inline unsigned char byte_of(uint32_t seq, size_t x) {
    uint32_t h = seq * 2654435761u ^ (uint32_t)x * 40503u;
    h ^= h >> 15;
    h *= 2246822519u;
    h ^= h >> 13;
    return (unsigned char)(1 + h % 255);
}

class OverlapConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.ok());
        auto cfg = use_config(tmp.sub("vesk.conf"),
                              mount_config("/vk", {tmp.sub("b0"), tmp.sub("b1")}, "container"));
        ASSERT_TRUE(cfg->errors.empty());
        void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(MAP_FAILED, m);
        sh = new (m) Shared();
        pthread_mutexattr_t a;
        pthread_mutexattr_init(&a);
        pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
        pthread_mutex_init(&sh->mu, &a);
        pthread_mutexattr_destroy(&a);
        sh->next = 0;
    }
    void TearDown() override {
        if (sh) munmap(sh, sizeof(Shared));
        unsetenv("VESK_CONFIG");
    }

    // A writer id no process has: the container keeps apart every id
    // that writes, as it does for the clients of a mount daemon.
    static pid_t writer_id(int proc, int t) { return 6000000 + proc * kThreads + t; }

    // One thread: writer `id` writing through the process's handle.
    static bool thread_body(Shared *sh, Vesk_fd *fd, int proc, int t, bool locked) {
        pid_t id = writer_id(proc, t);
        std::mt19937 rng(1000u * (unsigned)proc + (unsigned)t + (locked ? 77u : 0u));
        std::vector<char> buf(kMaxLen);
        size_t prev_end = (size_t)-1;
        bool ok = true;
        for (int w = 0; w < kWritesPerThread && ok; w++) {
            size_t off = rng() % kRegion;
            size_t len = 1 + rng() % kMaxLen;
            // A write that continues the writer's previous one joins its
            // record, and the run keeps its first write's time (see
            // docs/container-format.md); keep each write a record of its own.
            if (off == prev_end) off++;
            prev_end = off + len;
            if (locked) pthread_mutex_lock(&sh->mu);
            uint32_t seq = sh->next.fetch_add(1);
            for (size_t k = 0; k < len; k++) buf[k] = (char)byte_of(seq, off + k);
            WriteRec &r = sh->recs[seq];
            r.off = (uint32_t)off;
            r.len = (uint32_t)len;
            r.t_start = now_us();
            ssize_t n = vesk_write(fd, buf.data(), len, (off_t)off, id);
            r.t_end = now_us();
            r.done = n == (ssize_t)len;
            ok = r.done;
            if (!ok) fprintf(stderr, "writer %d: write: %zd\n", (int)id, n);
            if (locked) {
                // the next write must begin on a later clock tick than this
                // one ended, or the two are simultaneous to the container
                while (now_us() <= r.t_end) {
                }
                pthread_mutex_unlock(&sh->mu);
            }
        }
        return ok;
    }

    void run(bool locked) {
        std::string path = locked ? "/vk/serial" : "/vk/racing";
        std::vector<pid_t> kids;
        int go[2];
        ASSERT_EQ(0, pipe(go));
        for (int p = 0; p < kProcs; p++) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(go[1]);
                char c;
                if (read(go[0], &c, 1) != 0) _exit(9);
                // One handle, opened once for every writer id; its threads
                // write through it at once.
                Vesk_fd *fd = nullptr;
                for (int t = 0; t < kThreads; t++) {
                    int r = vesk_open(&fd, path.c_str(), O_WRONLY | O_CREAT, writer_id(p, t), 0644);
                    if (r != 0) {
                        fprintf(stderr, "writer %d: open: %s\n", (int)writer_id(p, t), strerror(-r));
                        _exit(2);
                    }
                }
                std::atomic<int> failed{0};
                std::vector<std::thread> ts;
                for (int t = 0; t < kThreads; t++)
                    ts.emplace_back([&, t] {
                        if (!thread_body(sh, fd, p, t, locked)) failed++;
                    });
                for (auto &th : ts) th.join();
                for (int t = 0; t < kThreads; t++) {
                    int left = vesk_close(fd, writer_id(p, t), getuid(), O_WRONLY | O_CREAT);
                    if (left != kThreads - 1 - t) {
                        fprintf(stderr, "writer %d: close: %d\n", (int)writer_id(p, t), left);
                        _exit(3);
                    }
                }
                _exit(failed.load() ? 1 : 0);
            }
            kids.push_back(child);
        }
        close(go[0]);
        close(go[1]);
        int failed = 0;
        for (pid_t k : kids) {
            int st = 0;
            ASSERT_EQ(k, waitpid(k, &st, 0));
            if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) failed++;
        }
        ASSERT_EQ(0, failed) << "writer processes failed";
        const uint32_t n = sh->next.load();
        ASSERT_EQ((uint32_t)(kProcs * kThreads * kWritesPerThread), n);

        // The model: the size is the furthest end; for every byte, the
        // latest start among the writes covering it.
        size_t size = 0;
        for (uint32_t s = 0; s < n; s++) size = std::max(size, (size_t)sh->recs[s].off + sh->recs[s].len);
        std::vector<int64_t> latest_start(size, -1);
        for (uint32_t s = 0; s < n; s++) {
            const WriteRec &r = sh->recs[s];
            ASSERT_TRUE(r.done);
            for (size_t x = r.off; x < r.off + r.len; x++)
                latest_start[x] = std::max(latest_start[x], r.t_start);
        }
        if (locked) {
            for (uint32_t s = 1; s < n; s++)
                ASSERT_LT(sh->recs[s - 1].t_end, sh->recs[s].t_start) << "lock did not order";
        }

        struct stat st;
        ASSERT_EQ(0, vesk_getattr(nullptr, path.c_str(), &st, 0));
        EXPECT_EQ((off_t)size, st.st_size);
        Vesk_fd *fd = nullptr;
        ASSERT_EQ(0, vesk_open(&fd, path.c_str(), O_RDONLY, getpid(), 0));
        std::string got(size + 1000, '\0');
        ASSERT_EQ((ssize_t)size, vesk_read(fd, &got[0], got.size(), 0));
        ASSERT_EQ(0, vesk_close(fd, getpid(), getuid(), O_RDONLY));

        // A byte is right when some write covering it put that value there
        // and did not end before another covering write began.
        std::vector<char> ok(size, 0);
        for (uint32_t s = 0; s < n; s++) {
            const WriteRec &r = sh->recs[s];
            for (size_t x = r.off; x < r.off + r.len; x++)
                if ((unsigned char)got[x] == byte_of(s, x) && r.t_end >= latest_start[x]) ok[x] = 1;
        }
        size_t bad = 0, holes = 0, first_bad = size;
        for (size_t x = 0; x < size; x++) {
            if (latest_start[x] < 0) {
                holes++;
                if (got[x] != 0) ok[x] = 0, bad++;
                else ok[x] = 1;
                continue;
            }
            if (!ok[x]) {
                if (first_bad == size) first_bad = x;
                bad++;
            }
        }
        EXPECT_EQ(0u, bad) << "bytes not from a winning write; first at " << first_bad;
        printf("[overlap] %s: %u writes, size %zu, %zu hole bytes, %zu wrong\n",
               locked ? "serialized" : "racing", n, size, holes, bad);
    }

    TempDir tmp;
    Shared *sh = nullptr;
};

TEST_F(OverlapConcurrency, SerializedWritesLastOneWins) { run(true); }

TEST_F(OverlapConcurrency, RacingWritesRespectTheOrderTheyWereSeenIn) { run(false); }

// A writer's write that continues its previous one, after another writer
// overwrote the continued range: the continuation is the newer write and
// must win, as it would in a plain file.
TEST_F(OverlapConcurrency, ContinuedRunDoesNotLoseToAnOlderOverwrite) {
    const pid_t x = 6100001, y = 6100002;
    Vesk_fd *fd = nullptr;
    ASSERT_EQ(0, vesk_open(&fd, "/vk/run", O_RDWR | O_CREAT, x, 0644));
    ASSERT_EQ(0, vesk_open(&fd, "/vk/run", O_WRONLY, y, 0644));
    std::string a(100, 'a'), b(100, 'b'), c(100, 'c');
    ASSERT_EQ(100, vesk_write(fd, a.data(), 100, 0, x));
    usleep(2000);
    ASSERT_EQ(100, vesk_write(fd, b.data(), 100, 100, y));
    usleep(2000);
    ASSERT_EQ(100, vesk_write(fd, c.data(), 100, 100, x));  // continues x's run
    std::string got(300, '?');
    ASSERT_EQ(200, vesk_read(fd, &got[0], got.size(), 0));
    got.resize(200);
    EXPECT_EQ(1, vesk_close(fd, y, getuid(), O_WRONLY));
    EXPECT_EQ(0, vesk_close(fd, x, getuid(), O_RDWR));
    EXPECT_EQ(a + c, got);
}

}  // namespace
