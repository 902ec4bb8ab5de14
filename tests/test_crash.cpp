/* Writers killed with SIGKILL at random moments while they interleave
 * blocks into one container (N-1). Each writer syncs at known points and
 * tells the parent through a pipe how far it had synced; after the kill
 * the container must recover, every synced byte must read back, and what
 * else reads back must be either the right bytes for its offset or a hole.
 *
 * Rounds: VESK_CRASH_ROUNDS (default 40); seeds are fixed per round, the
 * moment of the kill is not. */
#include "container_test_util.h"
#include "run_program.h"

#include <poll.h>
#include <random>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>

using namespace vesk_test;

namespace {

struct Report {
    int32_t writer;
    int32_t synced;  // blocks of this writer known to be on stable storage
};

struct RoundPlan {
    int writers;
    size_t block;      // bytes per block
    int pieces;        // each block goes out in this many writes
    int sync_every;    // blocks between syncs
    int max_blocks;    // per writer; a writer that gets there closes
    int kill_after_ms;
    bool precreate;    // the parent makes the container before the writers start
    bool use_tool;     // recover through the vesk_recover program
};

RoundPlan plan_for(int round) {
    std::mt19937 rng(7919u * (unsigned)round + 17u);
    RoundPlan p;
    p.writers = 2 + (int)(rng() % 3);
    p.block = 100 + rng() % 2000;
    p.pieces = 1 + (int)(rng() % 3);
    p.sync_every = 1 + (int)(rng() % 12);
    // every seventh round the writers finish and close before the kill
    p.max_blocks = round % 7 == 3 ? 20 : 2000 + (int)(rng() % 2000);
    // every fifth round kills before or while the writers open
    p.kill_after_ms = round % 5 == 0 ? (int)(rng() % 3) : 5 + (int)(rng() % 300);
    p.precreate = rng() % 2 == 0;
    p.use_tool = round % 2 == 1;
    return p;
}

// Byte k of block b of the file in a round: never zero, so a hole and a
// written byte are told apart.
inline char byte_of(int round, size_t b, size_t k) {
    return (char)(1 + (round * 31 + b * 131 + k * 7 + (k >> 9)) % 255);
}

std::string block_bytes(int round, size_t b, size_t size) {
    std::string s(size, '\0');
    for (size_t k = 0; k < size; k++) s[k] = byte_of(round, b, k);
    return s;
}

int crash_rounds() {
    const char *e = getenv("VESK_CRASH_ROUNDS");
    int n = e ? atoi(e) : 0;
    return n > 0 ? n : 40;
}

class CrashTest : public ContainerMount {
protected:
    // Body of a writer process; never returns.
    [[noreturn]] void writer(int round, const RoundPlan &p, int me, int report_fd,
                             const std::string &path) {
        pid_t pid = getpid();
        Vesk_fd *fd = nullptr;
        if (vesk_open(&fd, path.c_str(), O_WRONLY | O_CREAT, pid, 0644) != 0) _exit(10);
        size_t piece = (p.block + (size_t)p.pieces - 1) / (size_t)p.pieces;
        for (int w = 0; w < p.max_blocks; w++) {
            size_t b = (size_t)w * (size_t)p.writers + (size_t)me;
            std::string data = block_bytes(round, b, p.block);
            for (size_t at = 0; at < p.block; at += piece) {
                size_t n = std::min(piece, p.block - at);
                if (vesk_write(fd, data.data() + at, n, (off_t)(b * p.block + at), pid) !=
                    (ssize_t)n)
                    _exit(11);
            }
            if ((w + 1) % p.sync_every == 0) {
                if (vesk_sync(fd, pid) != 0) _exit(12);
                Report r{me, w + 1};
                if (write(report_fd, &r, sizeof r) != (ssize_t)sizeof r) _exit(13);
            }
        }
        if (vesk_close(fd, pid, getuid(), O_WRONLY | O_CREAT) != 0) _exit(14);
        Report r{me, p.max_blocks};
        if (write(report_fd, &r, sizeof r) != (ssize_t)sizeof r) _exit(13);
        _exit(0);
    }

    // Recovers the file as the round says; returns the library's result
    // (or the result the tool's message stands for).
    int recover(const RoundPlan &p, const std::string &path) {
        if (!p.use_tool) return vesk_recover(path.c_str());
        RunResult r = run_program({tool("vesk_recover"), path});
        if (r.status == 0 && r.out == "Successfully recovered " + path + "\n") return 0;
        if (r.status == 0 && r.out == path + " already exists.\n") return -EEXIST;
        // a failure exits with the library's result, as the shell sees it
        std::string failed = "Couldn't recover " + path + ": ";
        if (r.status > 128 && r.err.compare(0, failed.size(), failed) == 0) return r.status - 256;
        ADD_FAILURE() << "vesk_recover exit " << r.status << ": " << r.out << r.err;
        return -EIO;
    }

    // What the file must read back as, given how far each writer synced.
    // Returns the number of bytes found that were neither synced nor lost.
    void check_round(int round, const RoundPlan &p, const std::vector<int> &synced,
                     const std::string &path, uint64_t *unsynced_found) {
        SCOPED_TRACE("round " + std::to_string(round));
        size_t synced_end = 0;
        for (int me = 0; me < p.writers; me++) {
            if (synced[me] > 0)
                synced_end = std::max(synced_end, ((size_t)(synced[me] - 1) * p.writers + me + 1) *
                                                      p.block);
        }
        size_t max_end = (size_t)p.max_blocks * p.writers * p.block;
        struct stat st;
        int r = vesk_getattr(nullptr, path.c_str(), &st, 0);
        if (r == -ENOENT) {
            // killed before any writer made the file
            EXPECT_EQ(0u, synced_end);
            return;
        }
        ASSERT_EQ(0, r);
        ASSERT_GE((size_t)st.st_size, synced_end);
        ASSERT_LE((size_t)st.st_size, max_end);

        Vesk_fd *fd = nullptr;
        ASSERT_EQ(0, vesk_open(&fd, path.c_str(), O_RDONLY, getpid(), 0));
        std::string got((size_t)st.st_size + 4096, '\x55');
        ssize_t n = vesk_read(fd, &got[0], got.size(), 0);
        ASSERT_EQ(st.st_size, n) << "a read reaches exactly to the size";
        got.resize((size_t)n);
        EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_RDONLY));

        size_t piece = (p.block + (size_t)p.pieces - 1) / (size_t)p.pieces;
        size_t last_present_end = 0;
        size_t bad = 0;
        for (size_t b = 0; b * p.block < got.size(); b++) {
            int me = (int)(b % (size_t)p.writers);
            int w = (int)(b / (size_t)p.writers);
            std::string want = block_bytes(round, b, p.block);
            for (size_t at = 0; at < p.block; at += piece) {
                size_t len = std::min(piece, p.block - at);
                size_t off = b * p.block + at;
                if (off >= got.size()) break;
                size_t have = std::min(len, got.size() - off);
                bool right = got.compare(off, have, want, at, have) == 0;
                bool hole = got.compare(off, have, std::string(have, '\0')) == 0;
                // one write is one record: all of it or none of it
                if (w < synced[me]) {
                    if (!right && bad++ < 5) {
                        ADD_FAILURE() << "synced block " << b << " of writer " << me
                                      << " piece at " << at << " lost";
                    }
                } else if (!right && !hole) {
                    if (bad++ < 5) {
                        ADD_FAILURE() << "block " << b << " piece at " << at
                                      << " holds neither its bytes nor a hole";
                    }
                }
                if (right && !hole) {
                    last_present_end = off + have;
                    if (w >= synced[me]) *unsynced_found += have;
                }
            }
        }
        EXPECT_EQ(0u, bad);
        // no record points past the data it describes, so the size is the
        // end of the last piece that made it
        EXPECT_EQ(last_present_end, got.size());

        // The recovered file takes further writes and keeps the old bytes.
        std::string extra = block_bytes(round, 999999, 333);
        fd = nullptr;
        ASSERT_EQ(0, vesk_open(&fd, path.c_str(), O_WRONLY, getpid(), 0));
        ASSERT_EQ(333, vesk_write(fd, extra.data(), extra.size(), (off_t)got.size() + 100,
                                  getpid()));
        ASSERT_EQ(0, vesk_close(fd, getpid(), getuid(), O_WRONLY));
        ASSERT_EQ(0, vesk_getattr(nullptr, path.c_str(), &st, 0));
        EXPECT_EQ((off_t)(got.size() + 100 + 333), st.st_size);
        std::string again = read_all(path.substr(4), got.size() + 1000);
        EXPECT_EQ(got + std::string(100, '\0') + extra, again);
    }
};

TEST_F(CrashTest, KilledWritersLoseNothingTheySynced) {
    const int rounds = crash_rounds();
    uint64_t unsynced_found = 0, synced_blocks = 0;
    int recovered = 0, sound = 0, closed_writers = 0;
    for (int round = 0; round < rounds; round++) {
        RoundPlan p = plan_for(round);
        std::string rel = "crash" + std::to_string(round);
        std::string path = L(rel);
        if (p.precreate) {
            ASSERT_EQ(0, vesk_create(path.c_str(), 0644, O_CREAT, getpid()));
        }
        int pipefd[2];
        ASSERT_EQ(0, pipe(pipefd));
        std::vector<pid_t> kids;
        for (int me = 0; me < p.writers; me++) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(pipefd[0]);
                writer(round, p, me, pipefd[1], path);
            }
            kids.push_back(child);
        }
        close(pipefd[1]);
        struct timespec ts = {0, (long)p.kill_after_ms * 1000000L};
        nanosleep(&ts, nullptr);
        for (pid_t k : kids) kill(k, SIGKILL);
        for (pid_t k : kids) {
            int status = 0;
            ASSERT_EQ(k, waitpid(k, &status, 0));
            // a writer that finished before the kill must have done so cleanly
            if (WIFEXITED(status)) {
                EXPECT_EQ(0, WEXITSTATUS(status)) << "writer failed in round " << round;
                closed_writers++;
            } else {
                EXPECT_EQ(SIGKILL, WTERMSIG(status));
            }
        }
        std::vector<int> synced((size_t)p.writers, 0);
        Report rep;
        while (read(pipefd[0], &rep, sizeof rep) == (ssize_t)sizeof rep) {
            ASSERT_GE(rep.writer, 0);
            ASSERT_LT(rep.writer, p.writers);
            synced[(size_t)rep.writer] = std::max(synced[(size_t)rep.writer], rep.synced);
        }
        close(pipefd[0]);
        for (int s : synced) synced_blocks += (uint64_t)s;

        int rr = recover(p, path);
        bool exists = vesk_access(path.c_str(), F_OK) == 0;
        if (exists) {
            EXPECT_TRUE(rr == 0 || rr == -EEXIST) << "round " << round << ": " << rr;
            if (rr == 0) recovered++;
            else if (rr == -EEXIST) sound++;
            // once repaired, it is sound
            EXPECT_EQ(-EEXIST, vesk_recover(path.c_str())) << "round " << round;
        } else {
            EXPECT_EQ(-ENOENT, rr) << "round " << round;
        }
        check_round(round, p, synced, path, &unsynced_found);
        if (HasFatalFailure() || HasFailure()) {
            ADD_FAILURE() << "stopping after round " << round << " (writers " << p.writers
                          << ", block " << p.block << ", pieces " << p.pieces << ", sync every "
                          << p.sync_every << ", kill after " << p.kill_after_ms << " ms)";
            return;
        }
        // Nothing of the round's work shows in the listing but the file.
        Vesk_dirents names;
        ASSERT_EQ(0, vesk_readdir("/vk", &names));
        for (const std::string &n : names)
            EXPECT_TRUE(n == rel || n == "." || n == "..") << "stray name " << n;
        ASSERT_EQ(exists ? 0 : -ENOENT, vesk_unlink(path.c_str())) << "round " << round;
    }
    // The runs must have exercised both kinds of outcome to mean anything.
    EXPECT_GT(synced_blocks, 0u);
    EXPECT_GT(recovered, 0);
    RecordProperty("rounds", rounds);
    RecordProperty("recovered", recovered);
    RecordProperty("sound", sound);
    RecordProperty("writers_closed_before_kill", closed_writers);
    RecordProperty("synced_blocks", (int)synced_blocks);
    RecordProperty("unsynced_bytes_found", (int)unsynced_found);
    printf("[crash] %d rounds: %d recovered, %d sound, %d writers finished first, "
           "%llu synced blocks, %llu unsynced bytes also present\n",
           rounds, recovered, sound, closed_writers, (unsigned long long)synced_blocks,
           (unsigned long long)unsynced_found);
}

}  // namespace
