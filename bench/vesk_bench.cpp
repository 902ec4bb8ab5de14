/*
 * vesk_bench: checkpoint patterns through a container mount, a flat mount
 * and plain files on the backend directory itself.
 *
 * P writer processes (fork) each write B blocks of T bytes in one of three
 * patterns:
 *   n1i  N-1 interleaved: block k of writer r at offset (k*P + r)*T
 *   n1s  N-1 segmented:   writer r owns bytes [r*B*T, (r+1)*B*T)
 *   nn   N-N:             one file per writer, its blocks in order
 * then (optionally) every writer syncs, and a different number of reader
 * processes reads the whole data set back and checks every byte.
 *
 * Every byte is a function of (writer, block, offset in block): a block is
 * its writer's template (random bytes, fixed per writer) with a stamp of
 * (writer, block, sector) in the first 8 bytes of every 512-byte sector.
 * Making a block costs T/512 stores, so the generator does not dilute the
 * ratios, yet a block read from the wrong place, a stale or a torn block
 * all fail the check.
 *
 * Ratios are taken within one run, against the raw target of the same run.
 *
 * The preload target runs the raw target's plain open/pwrite/pread/fsync
 * code on a container mount through libvesk_preload.so: with it among the
 * targets the program runs itself again with the library preloaded (the
 * raw target's calls then pass through the library to the kernel).
 *
 * With --mpi (built with MPI) the program runs under an MPI launcher and
 * its ranks are the writers, the first R of them the readers: nothing is
 * forked, phases start and end at barriers, and rank 0 measures and prints.
 * With the preload target every rank runs itself again with the library
 * before MPI starts, in a directory named by the launcher's job id.
 */
#include "vesk.h"
#include "bench_mpi.h"
#include "vesk_bench_stop.h"

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <malloc.h>
#include <map>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

enum Pattern { N1_INTERLEAVED, N1_SEGMENTED, N_N };
enum Target { T_RAW, T_CONTAINER, T_FLAT, T_PRELOAD };

const char *pattern_name(Pattern p) {
    switch (p) {
    case N1_INTERLEAVED: return "n1i";
    case N1_SEGMENTED: return "n1s";
    default: return "nn";
    }
}
const char *target_name(Target t) {
    switch (t) {
    case T_RAW: return "raw";
    case T_CONTAINER: return "container";
    case T_PRELOAD: return "preload";
    default: return "flat";
    }
}

struct Options {
    int writers = 4;
    int readers = -1;  // -1: writers - 1, or 2 for one writer
    uint64_t blocks = 4096;
    uint64_t block = 64 * 1024;
    bool block_given = false;
    std::vector<Pattern> patterns{N1_INTERLEAVED, N1_SEGMENTED, N_N};
    std::vector<Target> targets{T_RAW, T_CONTAINER, T_FLAT};
    bool fsync = false;
    bool csv = false;
    bool keep = false;
    bool quiet = false;
    bool drop_caches = false;
    bool damage = false;
    bool mpi = false;
    bool writers_given = false;
    int repeat = 1;
    std::string dir;
    uint64_t index_test = 0;  // entries; 0: no index test
};

const char *g_prog = "vesk_bench";

void usage(FILE *out) {
    fprintf(out,
            "Usage: %s [options]\n"
            "Checkpoint benchmark: P writer processes each write B blocks of T bytes\n"
            "through a container mount, a flat mount and plain files (raw), then a\n"
            "different number of readers reads everything back and checks every byte.\n"
            "\n"
            "Options:\n"
            "  -P, --writers N       writer processes (default 4)\n"
            "  -B, --blocks N        blocks per writer (default 4096)\n"
            "  -T, --block-size N    bytes per block, at least 8; suffixes K, M\n"
            "                        (default 64K; 64 with --index-test)\n"
            "  -R, --readers N       reader processes (default P-1, or 2 when P is 1)\n"
            "  -p, --patterns LIST   comma-separated from n1i (N-1 interleaved),\n"
            "                        n1s (N-1 segmented), nn (N-N); default all\n"
            "  -t, --targets LIST    comma-separated from raw (plain files on the\n"
            "                        backend directory), container, flat (the two\n"
            "                        mounts through the library), preload (a\n"
            "                        container mount written with plain calls by\n"
            "                        processes running with libvesk_preload.so);\n"
            "                        default raw,container,flat. The ratio columns\n"
            "                        need raw.\n"
            "  -s, --fsync           every writer syncs after writing: a phase of its own\n"
            "  -d, --dir DIR         where the backends go (default $TMPDIR or /tmp);\n"
            "                        a fresh directory is made inside and removed after\n"
            "  -r, --repeat N        run the whole set N times (default 1)\n"
            "      --drop-caches     drop the page cache before each read phase (root)\n"
            "      --csv             print CSV instead of the table\n"
            "      --keep            keep the files (the directory is printed)\n"
            "      --damage          flip one byte of the raw target's data before reading\n"
            "                        it back, to see the check fail (exit status 2)\n"
            "  -q, --quiet           no progress line on stderr\n"
            "      --mpi             run under an MPI launcher (mpirun -np N): the N ranks\n"
            "                        are the writers and the first R the readers, nothing\n"
            "                        is forked, rank 0 prints; -P may be left out. With\n"
            "                        the preload target the launcher must be one whose\n"
            "                        ranks share a job id (Open MPI, PMIx)%s\n"
            "      --index-test N    instead of the patterns: P writers write N\n"
            "                        interleaved blocks in all into one container, then\n"
            "                        report the open time and the memory per index\n"
            "                        entry, before and after flattening the index\n"
            "  -h, --help            this text\n"
            "\n"
            "Phases: write (P writers; with --fsync without the close), fsync (sync and\n"
            "close), read (R readers, verifying). MiB/s counts the whole data set over\n"
            "the phase's time, from releasing the processes until the last is done.\n"
            "'x raw' is this row's MiB/s over the raw target's for the same pattern and\n"
            "phase, 'x raw nn' over the raw N-N figure of the same phase. The exit\n"
            "status is 1 for bad options, 2 when a check of the data failed, 3 when a\n"
            "call failed.\n",
            g_prog,
            bench_mpi::available() ? "" : "\n                        (not in this build: MPI was not found)");
}

[[noreturn]] void bad_option(const char *fmt, const char *arg) {
    fprintf(stderr, "%s: ", g_prog);
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\nTry '%s --help'.\n", g_prog);
    exit(1);
}

uint64_t parse_size(const char *what, const char *arg, uint64_t min) {
    char *end = nullptr;
    errno = 0;
    if (!arg || !*arg || *arg == '-') bad_option("bad number for %s", what);
    unsigned long long v = strtoull(arg, &end, 10);
    if (errno != 0 || end == arg) bad_option("bad number for %s", what);
    uint64_t mul = 1;
    if (*end == 'k' || *end == 'K') mul = 1024, end++;
    else if (*end == 'm' || *end == 'M') mul = 1024 * 1024, end++;
    else if (*end == 'g' || *end == 'G') mul = 1024ull * 1024 * 1024, end++;
    if (*end != '\0') bad_option("bad number for %s", what);
    if (v > UINT64_MAX / mul) bad_option("number too large for %s", what);
    v *= mul;
    if (v < min) {
        char m[64];
        snprintf(m, sizeof m, "%s must be at least %llu", "%s", (unsigned long long)min);
        bad_option(m, what);
    }
    return v;
}

template <class T>
std::vector<T> parse_list(const char *arg, const char *what,
                          const std::vector<std::pair<const char *, T>> &names) {
    std::vector<T> out;
    std::string s(arg);
    size_t at = 0;
    while (at <= s.size()) {
        size_t comma = s.find(',', at);
        std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        bool found = false;
        for (auto &n : names) {
            if (item == n.first) {
                if (std::find(out.begin(), out.end(), n.second) == out.end())
                    out.push_back(n.second);
                found = true;
            }
        }
        if (!found) {
            std::string m = std::string("unknown ") + what + " '%s'";
            bad_option(m.c_str(), item.c_str());
        }
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return out;
}

Options parse_options(int argc, char **argv) {
    Options o;
    enum { O_CSV = 256, O_KEEP, O_INDEX, O_DROP, O_DAMAGE, O_MPI };
    static const struct option longs[] = {
        {"writers", required_argument, nullptr, 'P'},
        {"blocks", required_argument, nullptr, 'B'},
        {"block-size", required_argument, nullptr, 'T'},
        {"readers", required_argument, nullptr, 'R'},
        {"patterns", required_argument, nullptr, 'p'},
        {"targets", required_argument, nullptr, 't'},
        {"fsync", no_argument, nullptr, 's'},
        {"dir", required_argument, nullptr, 'd'},
        {"repeat", required_argument, nullptr, 'r'},
        {"csv", no_argument, nullptr, O_CSV},
        {"keep", no_argument, nullptr, O_KEEP},
        {"quiet", no_argument, nullptr, 'q'},
        {"drop-caches", no_argument, nullptr, O_DROP},
        {"damage", no_argument, nullptr, O_DAMAGE},
        {"mpi", no_argument, nullptr, O_MPI},
        {"index-test", required_argument, nullptr, O_INDEX},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":P:B:T:R:p:t:sd:r:qh", longs, nullptr)) != -1) {
        switch (c) {
        case 'P': {
            uint64_t v = parse_size("--writers", optarg, 1);
            if (v > 1024) bad_option("%s: at most 1024 writers", "--writers");
            o.writers = (int)v;
            o.writers_given = true;
            break;
        }
        case 'B': o.blocks = parse_size("--blocks", optarg, 1); break;
        case 'T':
            o.block = parse_size("--block-size", optarg, 8);
            if (o.block > (1ull << 30)) bad_option("%s: at most 1G", "--block-size");
            o.block_given = true;
            break;
        case 'R': {
            uint64_t v = parse_size("--readers", optarg, 1);
            if (v > 1024) bad_option("%s: at most 1024 readers", "--readers");
            o.readers = (int)v;
            break;
        }
        case 'p':
            o.patterns = parse_list<Pattern>(
                optarg, "pattern",
                {{"n1i", N1_INTERLEAVED}, {"n1s", N1_SEGMENTED}, {"nn", N_N}});
            break;
        case 't':
            o.targets = parse_list<Target>(
                optarg, "target", {{"raw", T_RAW}, {"container", T_CONTAINER}, {"flat", T_FLAT}, {"preload", T_PRELOAD}});
            break;
        case 's': o.fsync = true; break;
        case 'd': o.dir = optarg; break;
        case 'r': {
            uint64_t v = parse_size("--repeat", optarg, 1);
            if (v > 1000) bad_option("%s: at most 1000", "--repeat");
            o.repeat = (int)v;
            break;
        }
        case 'q': o.quiet = true; break;
        case O_CSV: o.csv = true; break;
        case O_KEEP: o.keep = true; break;
        case O_DROP: o.drop_caches = true; break;
        case O_DAMAGE: o.damage = true; break;
        case O_MPI: o.mpi = true; break;
        case O_INDEX: o.index_test = parse_size("--index-test", optarg, 1); break;
        case 'h': usage(stdout); exit(0);
        case ':': bad_option("option '%s' needs an argument", argv[optind - 1]);
        default: bad_option("unknown option '%s'", argv[optind - 1]);
        }
    }
    if (optind < argc) bad_option("unexpected argument '%s'", argv[optind]);
    if (o.mpi) {
        if (!bench_mpi::available()) bad_option("%s: this build has no MPI", "--mpi");
        if (o.index_test) bad_option("%s: not with --index-test", "--mpi");
    }
    if (o.readers < 0 && !o.mpi) o.readers = o.writers > 1 ? o.writers - 1 : 2;
    if (o.index_test && !o.block_given) o.block = 64;
    if (o.dir.empty()) {
        const char *t = getenv("TMPDIR");
        o.dir = t && *t ? t : "/tmp";
    }
    // The whole data set must be addressable and the per-writer range too.
    long double total = (long double)o.writers * o.blocks * o.block;
    if (total > (long double)(1ull << 50)) bad_option("%s: data set too large", "-P*-B*-T");
    if (o.index_test && o.index_test < (uint64_t)o.writers)
        bad_option("%s: fewer entries than writers", "--index-test");
    return o;
}

/* With --mpi, once MPI runs: the ranks are the writers, and at most one
 * reader per rank. */
void mpi_options(Options &o) {
    int n = bench_mpi::size();
    if (o.writers_given && o.writers != n)
        bad_option("%s: with --mpi the writers are the ranks", "--writers");
    o.writers = n;
    if (o.readers > n) bad_option("%s: with --mpi at most one reader per rank", "--readers");
    if (o.readers < 0) o.readers = n > 1 ? n - 1 : 1;
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

/* --- content ------------------------------------------------------------- */

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

const uint64_t kSector = 512;

std::vector<unsigned char> make_template(int writer, uint64_t size) {
    std::vector<unsigned char> t(size);
    uint64_t s = mix(0x5eed0000ull + (uint64_t)writer);
    for (uint64_t i = 0; i < size; i += 8) {
        s = mix(s);
        uint64_t n = std::min<uint64_t>(8, size - i);
        memcpy(t.data() + i, &s, n);
    }
    return t;
}

uint64_t stamp(int writer, uint64_t block, uint64_t sector) {
    return mix(((uint64_t)writer << 48) ^ (block << 12) ^ sector);
}

/* Turns a copy of the writer's template into block `block`. */
void stamp_block(unsigned char *buf, uint64_t size, int writer, uint64_t block) {
    for (uint64_t s = 0; s * kSector + 8 <= size; s++) {
        uint64_t v = stamp(writer, block, s);
        memcpy(buf + s * kSector, &v, 8);
    }
}

/* Offset in the block of the first wrong byte of a whole block, or -1. */
int64_t check_block(const unsigned char *got, const unsigned char *tmpl, uint64_t size,
                    int writer, uint64_t block) {
    for (uint64_t at = 0; at < size; at += kSector) {
        uint64_t end = std::min(at + kSector, size);
        uint64_t body = at;
        if (at + 8 <= size) {
            uint64_t v = stamp(writer, block, at / kSector);
            if (memcmp(got + at, &v, 8) != 0) return (int64_t)at;
            body = at + 8;
        }
        if (memcmp(got + body, tmpl + body, end - body) != 0) {
            for (uint64_t j = body; j < end; j++)
                if (got[j] != tmpl[j]) return (int64_t)j;
        }
    }
    return -1;
}

/* --- the places a run writes to ------------------------------------------ */

const char *kContainerMount = "/vesk_bench/container";
const char *kFlatMount = "/vesk_bench/flat";
const char *kPreloadMount = "/vesk_bench/preload";
// Set in the run of the program with the preload library: the directory
// the first run made.
const char *kPreloadedVar = "VESK_BENCH_PRELOADED";

struct Env {
    std::string root;  // made by this run
    std::string raw_dir, container_backend, flat_backend, preload_backend;
};

std::string base_of(const Env &env, Target t) {
    switch (t) {
    case T_RAW: return env.raw_dir;
    case T_CONTAINER: return kContainerMount;
    case T_PRELOAD: return kPreloadMount;
    default: return kFlatMount;
    }
}

std::string file_path(const Env &env, Target t, Pattern p, int writer) {
    std::string b = base_of(env, t) + "/ckpt." + pattern_name(p);
    if (p == N_N) b += "." + std::to_string(writer);
    return b;
}

/* This process's id: glibc makes getpid() a system call each time, which
 * the raw target would not pay. Set after every fork. */
pid_t g_pid = 0;

/* The raw and preload targets use the plain calls; the others the library. */
bool plain_calls(Target t) { return t == T_RAW || t == T_PRELOAD; }

/* One open file of any target. */
struct File {
    Target target = T_RAW;
    int fd = -1;
    Vesk_fd *vfd = nullptr;
    int flags = 0;
};

int file_open(File &f, Target t, const std::string &path, int flags) {
    f.target = t;
    f.flags = flags;
    if (plain_calls(t)) {
        f.fd = open(path.c_str(), flags, 0644);
        return f.fd < 0 ? -errno : 0;
    }
    f.vfd = nullptr;
    return vesk_open(&f.vfd, path.c_str(), flags, g_pid, 0644);
}

ssize_t file_pwrite(File &f, const void *buf, size_t n, off_t off) {
    if (plain_calls(f.target)) {
        ssize_t r = pwrite(f.fd, buf, n, off);
        return r < 0 ? -errno : r;
    }
    return vesk_write(f.vfd, static_cast<const char *>(buf), n, off, g_pid);
}

ssize_t file_pread(File &f, void *buf, size_t n, off_t off) {
    if (plain_calls(f.target)) {
        ssize_t r = pread(f.fd, buf, n, off);
        return r < 0 ? -errno : r;
    }
    return vesk_read(f.vfd, static_cast<char *>(buf), n, off);
}

int file_sync(File &f) {
    if (plain_calls(f.target)) return fsync(f.fd) < 0 ? -errno : 0;
    return vesk_sync(f.vfd, g_pid);
}

int file_close(File &f) {
    int r = 0;
    if (plain_calls(f.target)) {
        if (f.fd >= 0 && close(f.fd) < 0) r = -errno;
        f.fd = -1;
    } else if (f.vfd) {
        r = vesk_close(f.vfd, g_pid, getuid(), f.flags);
        if (r > 0) r = 0;
        f.vfd = nullptr;
    }
    return r;
}

int path_size(Target t, const std::string &path, off_t *size) {
    struct stat st;
    int r;
    if (plain_calls(t)) r = stat(path.c_str(), &st) < 0 ? -errno : 0;
    else r = vesk_getattr(nullptr, path.c_str(), &st, 0);
    if (r == 0) *size = st.st_size;
    return r;
}

int path_remove(Target t, const std::string &path) {
    if (plain_calls(t)) return unlink(path.c_str()) < 0 ? -errno : 0;
    return vesk_unlink(path.c_str());
}

/* --- processes ------------------------------------------------------------ */

const int kMaxProcs = 1024;

/* Shared with the children: bytes each has done, for the progress line. */
struct Shared {
    std::atomic<uint64_t> done[kMaxProcs];
};
Shared *g_shared = nullptr;


/* Exit statuses of a child. */
const int kExitOk = 0, kExitVerify = 2, kExitCall = 3;

struct Gate {
    int fds[2] = {-1, -1};
    void make() {
        if (pipe(fds) != 0) {
            perror("pipe");
            exit(kExitCall);
        }
    }
    void close_both() {
        for (int &f : fds) {
            if (f >= 0) close(f);
            f = -1;
        }
    }
};

/* The barriers of one phase group: children say they are ready and done
 * on `up`; the parent opens gate `go[i]` by closing its write end. */
struct Barriers {
    Gate up;
    Gate go[2];
};

void child_wait(Gate &g) {
    char c;
    while (read(g.fds[0], &c, 1) < 0 && errno == EINTR) {
    }
}

void child_say(Barriers &b, char c) {
    while (write(b.up.fds[1], &c, 1) < 0 && errno == EINTR) {
    }
}

/* The points where a writer or reader meets the others: a forked child
 * tells the parent and waits for a gate; a rank (--mpi) passes a barrier
 * of every rank, and rank 0's times of passing them time the phases. */
struct Steps {
    Barriers *b = nullptr;
    std::vector<double> passed;

    /* Ready (`c` to the parent), then wait for gate `gate`. */
    void wait(char c, int gate) {
        if (b) {
            child_say(*b, c);
            child_wait(b->go[gate]);
        } else {
            passed.push_back(bench_mpi::barrier());
        }
    }
    /* Done with the phase. */
    void say(char c) {
        if (b) child_say(*b, c);
        else passed.push_back(bench_mpi::barrier());
    }
};

/* Set with --mpi: the ranks are the writers and readers. */
bool g_mpi = false;

struct Phase;

class Group {
public:
    Group(int n, const Options &o, const char *label) : n_(n), opt_(o), label_(label) {
        b_.up.make();
        b_.go[0].make();
        b_.go[1].make();
        for (int i = 0; i < n; i++) g_shared->done[i].store(0);
    }
    ~Group() {
        for (pid_t p : pids_) {
            if (p > 0) kill(p, SIGKILL);
        }
        for (pid_t p : pids_) {
            if (p > 0) {
                waitpid(p, nullptr, 0);
                bench_stop::forget(p);
            }
        }
        b_.up.close_both();
        b_.go[0].close_both();
        b_.go[1].close_both();
    }

    template <class F>
    void start(F body) {
        for (int i = 0; i < n_; i++) {
            fflush(nullptr);
            bench_stop::Hold hold;
            pid_t p = fork();
            if (p < 0) {
                perror("fork");
                exit(kExitCall);
            }
            if (p == 0) {
                bench_stop::in_child();
                g_pid = getpid();
                close(b_.up.fds[0]);
                close(b_.go[0].fds[1]);
                close(b_.go[1].fds[1]);
                Steps steps;
                steps.b = &b_;
                int st = body(i, steps);
                fflush(nullptr);
                _exit(st);
            }
            bench_stop::add(p);
            pids_.push_back(p);
        }
        close(b_.up.fds[1]);
        b_.up.fds[1] = -1;
    }

    /* Waits for one message from every child; false when a child died
     * first. `total`: bytes the phase moves, for the progress line. */
    bool collect(double since, uint64_t total, const char *phase) {
        int got = 0;
        double last_note = 0;
        bool noted = false;
        while (got < n_) {
            struct pollfd pf = {b_.up.fds[0], POLLIN, 0};
            int r = poll(&pf, 1, 250);
            if (r > 0) {
                char buf[kMaxProcs];
                ssize_t m = read(b_.up.fds[0], buf, (size_t)(n_ - got));
                if (m > 0) got += (int)m;
                else if (m == 0) break;  // every child is gone
                continue;
            }
            if (reap_failed()) break;
            double t = now();
            if (!opt_.quiet && since > 0 && t - since > 2 && t - last_note >= 1) {
                uint64_t done = 0;
                for (int i = 0; i < n_; i++) done += g_shared->done[i].load(std::memory_order_relaxed);
                fprintf(stderr, "%s%s %s: %.0f%% (%.1f s)%s", isatty(2) ? "\r" : "", label_, phase,
                        total ? 100.0 * (double)done / (double)total : 0.0, t - since,
                        isatty(2) ? "" : "\n");
                last_note = t;
                noted = true;
            }
        }
        if (noted && isatty(2)) fprintf(stderr, "\r%*s\r", 60, "");
        return got == n_;
    }

    bool ready() { return collect(0, 0, "start"); }

    double release(int gate, uint64_t total, const char *phase, bool *ok) {
        double t0 = now();
        b_.go[gate].close_both();
        *ok = collect(t0, total, phase);
        return now() - t0;
    }

    /* Waits for every child; the worst exit status (a signal counts as a
     * failed call). */
    int finish() {
        int worst = kExitOk;
        for (pid_t &p : pids_) {
            int st = 0;
            if (waitpid(p, &st, 0) < 0) continue;
            bench_stop::forget(p);
            int code = WIFEXITED(st) ? WEXITSTATUS(st) : kExitCall;
            if (code == kExitCall || (code == kExitVerify && worst == kExitOk)) worst = code;
            else if (code != kExitOk && worst == kExitOk) worst = kExitCall;
            p = -1;
        }
        return worst;
    }

private:
    bool reap_failed() {
        for (pid_t &p : pids_) {
            if (p <= 0) continue;
            int st = 0;
            pid_t w = waitpid(p, &st, WNOHANG);
            if (w == p) {
                bench_stop::forget(p);
                p = -1;
                if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
                    failed_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : kExitCall;
                    return true;
                }
            }
        }
        return false;
    }

    int n_;
    const Options &opt_;
    const char *label_;
    Barriers b_;
    std::vector<pid_t> pids_;
    int failed_status_ = 0;
};

void *aligned_buffer(uint64_t size) {
    void *p = nullptr;
    if (posix_memalign(&p, 4096, size ? size : 1) != 0) {
        fprintf(stderr, "%s: out of memory\n", g_prog);
        _exit(kExitCall);
    }
    return p;
}

int call_failed(const char *what, const std::string &path, long long r) {
    fprintf(stderr, "%s: %s %s: %s\n", g_prog, what, path.c_str(),
            r < 0 ? strerror((int)-r) : "short transfer");
    // The other ranks wait at the next barrier for this one.
    if (g_mpi) bench_mpi::abort(kExitCall);
    return kExitCall;
}

/* Logical offset and file of block k of writer r. */
void place(const Options &o, Pattern p, int r, uint64_t k, int *file, off_t *off) {
    uint64_t T = o.block, P = (uint64_t)o.writers, B = o.blocks;
    switch (p) {
    case N1_INTERLEAVED: *file = 0, *off = (off_t)((k * P + (uint64_t)r) * T); break;
    case N1_SEGMENTED: *file = 0, *off = (off_t)(((uint64_t)r * B + k) * T); break;
    default: *file = r, *off = (off_t)(k * T); break;
    }
}

/* Who wrote global block g of the data set as the readers walk it: file
 * order, so each reader reads one contiguous stretch. */
void owner(const Options &o, Pattern p, uint64_t g, int *writer, uint64_t *block) {
    uint64_t P = (uint64_t)o.writers, B = o.blocks;
    if (p == N1_INTERLEAVED) *writer = (int)(g % P), *block = g / P;
    else *writer = (int)(g / B), *block = g % B;
}

int writer_body(const Options &o, const Env &env, Pattern p, Target t, int r, Steps &b) {
    std::vector<unsigned char> tmpl = make_template(r, o.block);
    unsigned char *buf = static_cast<unsigned char *>(aligned_buffer(o.block));
    memcpy(buf, tmpl.data(), o.block);
    b.wait('r', 0);
    int fi;
    off_t off;
    place(o, p, r, 0, &fi, &off);
    std::string path = file_path(env, t, p, fi);
    File f;
    int rc = file_open(f, t, path, O_WRONLY | O_CREAT);
    if (rc != 0) return call_failed("open", path, rc);
    for (uint64_t k = 0; k < o.blocks; k++) {
        place(o, p, r, k, &fi, &off);
        stamp_block(buf, o.block, r, k);
        ssize_t n = file_pwrite(f, buf, o.block, off);
        if (n != (ssize_t)o.block) return call_failed("write", path, n);
        g_shared->done[r].store((k + 1) * o.block, std::memory_order_relaxed);
    }
    if (!o.fsync) {
        rc = file_close(f);
        if (rc != 0) return call_failed("close", path, rc);
        b.say('w');
        return kExitOk;
    }
    b.wait('w', 1);
    rc = file_sync(f);
    if (rc != 0) return call_failed("sync", path, rc);
    rc = file_close(f);
    if (rc != 0) return call_failed("close", path, rc);
    b.say('s');
    return kExitOk;
}

int reader_body(const Options &o, const Env &env, Pattern p, Target t, int j, int readers,
                Steps &b) {
    uint64_t G = (uint64_t)o.writers * o.blocks;
    uint64_t first = G * (uint64_t)j / (uint64_t)readers;
    uint64_t last = G * (uint64_t)(j + 1) / (uint64_t)readers;
    std::vector<std::vector<unsigned char>> tmpl(o.writers);
    for (int w = 0; w < o.writers; w++) tmpl[w] = make_template(w, o.block);
    unsigned char *buf = static_cast<unsigned char *>(aligned_buffer(o.block));
    std::vector<File> files(p == N_N ? o.writers : 1);
    std::vector<bool> opened(files.size(), false);
    b.wait('r', 0);
    uint64_t bad = 0;
    for (uint64_t g = first; g < last; g++) {
        int w;
        uint64_t k;
        owner(o, p, g, &w, &k);
        int fi;
        off_t off;
        place(o, p, w, k, &fi, &off);
        std::string path = file_path(env, t, p, fi);
        if (!opened[fi]) {
            int rc = file_open(files[fi], t, path, O_RDONLY);
            if (rc != 0) return call_failed("open", path, rc);
            opened[fi] = true;
        }
        ssize_t n = file_pread(files[fi], buf, o.block, off);
        if (n < 0) return call_failed("read", path, n);
        int64_t at = (size_t)n == o.block ? check_block(buf, tmpl[w].data(), o.block, w, k)
                                           : (int64_t)n;
        if (at >= 0) {
            if (bad++ < 3)
                fprintf(stderr,
                        "%s: %s: byte %lld of writer %d's block %llu (offset %lld) is wrong%s\n",
                        g_prog, path.c_str(), (long long)at, w, (unsigned long long)k,
                        (long long)off, (size_t)n == o.block ? "" : " (short read)");
        }
        g_shared->done[j].store((g - first + 1) * o.block, std::memory_order_relaxed);
    }
    for (size_t i = 0; i < files.size(); i++) {
        if (!opened[i]) continue;
        int rc = file_close(files[i]);
        if (rc != 0) return call_failed("close", file_path(env, t, p, (int)i), rc);
    }
    b.say('d');
    if (bad) {
        fprintf(stderr, "%s: reader %d: %llu of %llu blocks wrong\n", g_prog, j,
                (unsigned long long)bad, (unsigned long long)(last - first));
        return kExitVerify;
    }
    return kExitOk;
}

/* --- results ----------------------------------------------------------------- */

struct Result {
    int rep;
    Pattern pattern;
    Target target;
    const char *phase;
    int procs;
    double seconds;
    uint64_t bytes;
    double mibs() const { return seconds > 0 ? (double)bytes / 1048576.0 / seconds : 0; }
};

void drop_caches(bool *warned) {
    sync();
    FILE *f = fopen("/proc/sys/vm/drop_caches", "w");
    if (f && fputs("3\n", f) >= 0 && fclose(f) == 0) return;
    if (f) fclose(f);
    if (!*warned) fprintf(stderr, "%s: cannot drop the page cache (not root?)\n", g_prog);
    *warned = true;
}

/* Between writing and reading: the sizes must be what was written before a
 * byte is read; --damage, the page cache. 0 or an exit code. */
int prepare_read(const Options &o, const Env &env, Pattern p, Target t, bool *drop_warned) {
    uint64_t total = (uint64_t)o.writers * o.blocks * o.block;
    int nfiles = p == N_N ? o.writers : 1;
    off_t want = p == N_N ? (off_t)(o.blocks * o.block) : (off_t)total;
    for (int i = 0; i < nfiles; i++) {
        std::string path = file_path(env, t, p, i);
        off_t size = -1;
        int r = path_size(t, path, &size);
        if (r != 0) {
            fprintf(stderr, "%s: stat %s: %s\n", g_prog, path.c_str(), strerror(-r));
            return kExitCall;
        }
        if (size != want) {
            fprintf(stderr, "%s: %s is %lld bytes, %lld were written\n", g_prog, path.c_str(),
                    (long long)size, (long long)want);
            return kExitVerify;
        }
    }

    if (o.damage && t == T_RAW) {
        // one byte in the middle of the last file, where some reader looks
        std::string path = file_path(env, t, p, nfiles - 1);
        int fd = open(path.c_str(), O_RDWR);
        unsigned char c = 0;
        off_t at = want / 2 + 11;
        if (fd < 0 || pread(fd, &c, 1, at) != 1 || (c ^= 0x40, pwrite(fd, &c, 1, at) != 1)) {
            fprintf(stderr, "%s: damage %s: %s\n", g_prog, path.c_str(), strerror(errno));
            if (fd >= 0) close(fd);
            return kExitCall;
        }
        close(fd);
    }
    if (o.drop_caches) drop_caches(drop_warned);
    else sync();
    return kExitOk;
}

void remove_files(const Options &o, const Env &env, Pattern p, Target t) {
    if (o.keep) return;
    int nfiles = p == N_N ? o.writers : 1;
    for (int i = 0; i < nfiles; i++) path_remove(t, file_path(env, t, p, i));
}

/* One pattern on one target: write, fsync, read back. 0 or an exit code. */
int run_one(const Options &o, const Env &env, int rep, Pattern p, Target t,
            std::vector<Result> &out, bool *drop_warned) {
    uint64_t total = (uint64_t)o.writers * o.blocks * o.block;
    char label[64];
    snprintf(label, sizeof label, "%s %s", pattern_name(p), target_name(t));
    sync();  // write-back of earlier runs is nobody's cost here
    int status;
    {
        Group g(o.writers, o, label);
        g.start([&](int r, Steps &b) { return writer_body(o, env, p, t, r, b); });
        if (!g.ready()) return g.finish() ? g.finish() : kExitCall;
        bool ok;
        double s = g.release(0, total, "write", &ok);
        if (ok) out.push_back(Result{rep, p, t, "write", o.writers, s, total});
        if (ok && o.fsync) {
            s = g.release(1, total, "fsync", &ok);
            if (ok) out.push_back(Result{rep, p, t, "fsync", o.writers, s, total});
        }
        status = g.finish();
        if (status == kExitOk && !ok) status = kExitCall;
    }
    if (status != kExitOk) return status;
    status = prepare_read(o, env, p, t, drop_warned);
    if (status != kExitOk) return status;
    {
        Group g(o.readers, o, label);
        g.start([&](int j, Steps &b) { return reader_body(o, env, p, t, j, o.readers, b); });
        if (!g.ready()) return g.finish() ? g.finish() : kExitCall;
        bool ok;
        double s = g.release(0, total, "read", &ok);
        status = g.finish();
        if (status == kExitOk && !ok) status = kExitCall;
        if (ok && status == kExitOk) out.push_back(Result{rep, p, t, "read", o.readers, s, total});
    }
    remove_files(o, env, p, t);
    return status;
}

/* run_one with the ranks as writers and readers (--mpi): every rank runs
 * this; the phases are timed on rank 0 from the barrier that starts them
 * to the one every rank passes when done, and only rank 0 fills `out`. */
int run_one_mpi(const Options &o, const Env &env, int rep, Pattern p, Target t,
                std::vector<Result> &out, bool *drop_warned) {
    uint64_t total = (uint64_t)o.writers * o.blocks * o.block;
    int me = bench_mpi::rank();
    if (me == 0) sync();
    Steps w;
    int status = bench_mpi::max_all(writer_body(o, env, p, t, me, w));
    if (status != kExitOk) return status;
    if (me == 0) {
        out.push_back(Result{rep, p, t, "write", o.writers, w.passed[1] - w.passed[0], total});
        if (o.fsync)
            out.push_back(Result{rep, p, t, "fsync", o.writers, w.passed[2] - w.passed[1], total});
    }
    status = bench_mpi::max_all(me == 0 ? prepare_read(o, env, p, t, drop_warned) : kExitOk);
    if (status != kExitOk) return status;
    Steps r;
    int mine = kExitOk;
    if (me < o.readers) {
        mine = reader_body(o, env, p, t, me, o.readers, r);
    } else {
        r.wait('r', 0);
        r.say('d');
    }
    status = bench_mpi::max_all(mine);
    if (me == 0 && status == kExitOk)
        out.push_back(Result{rep, p, t, "read", o.readers, r.passed[1] - r.passed[0], total});
    if (me == 0) remove_files(o, env, p, t);
    bench_mpi::barrier();
    return status;
}

double ratio(const std::vector<Result> &all, const Result &r, Pattern against) {
    for (const Result &b : all) {
        if (b.rep == r.rep && b.pattern == against && b.target == T_RAW &&
            strcmp(b.phase, r.phase) == 0 && b.mibs() > 0)
            return r.mibs() / b.mibs();
    }
    return NAN;
}

void print_results(const Options &o, const std::vector<Result> &all, bool header) {
    if (o.csv) {
        if (header)
            printf("rep,pattern,target,phase,procs,block_bytes,blocks_per_writer,bytes,seconds,"
                   "mib_per_s,x_raw,x_raw_nn\n");
        for (const Result &r : all) {
            printf("%d,%s,%s,%s,%d,%llu,%llu,%llu,%.6f,%.2f,%.4f,%.4f\n", r.rep,
                   pattern_name(r.pattern), target_name(r.target), r.phase, r.procs,
                   (unsigned long long)o.block, (unsigned long long)o.blocks,
                   (unsigned long long)r.bytes, r.seconds, r.mibs(), ratio(all, r, r.pattern),
                   ratio(all, r, N_N));
        }
        return;
    }
    if (header) {
        printf("%-4s %-7s %-10s %-6s %5s %9s %10s %7s %9s\n", "rep", "pattern", "target", "phase",
               "procs", "seconds", "MiB/s", "x raw", "x raw nn");
    }
    for (const Result &r : all) {
        double a = ratio(all, r, r.pattern), n = ratio(all, r, N_N);
        char as[16] = "-", ns[16] = "-";
        if (!std::isnan(a)) snprintf(as, sizeof as, "%.2f", a);
        if (!std::isnan(n)) snprintf(ns, sizeof ns, "%.2f", n);
        printf("%-4d %-7s %-10s %-6s %5d %9.3f %10.1f %7s %9s\n", r.rep, pattern_name(r.pattern),
               target_name(r.target), r.phase, r.procs, r.seconds, r.mibs(), as, ns);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* Over the repetitions: the median MiB/s and the range of each ratio. */
void print_summary(const Options &o, const std::vector<Result> &all) {
    printf("\nover %d repetitions: median MiB/s, ratios as median (min-max)\n", o.repeat);
    printf("%-7s %-10s %-6s %10s %18s %18s\n", "pattern", "target", "phase", "MiB/s", "x raw",
           "x raw nn");
    std::vector<std::string> seen;
    for (const Result &r : all) {
        std::string key = std::string(pattern_name(r.pattern)) + target_name(r.target) + r.phase;
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        std::vector<double> mib, a, n;
        for (const Result &x : all) {
            if (x.pattern != r.pattern || x.target != r.target || strcmp(x.phase, r.phase) != 0)
                continue;
            mib.push_back(x.mibs());
            double ra = ratio(all, x, x.pattern), rn = ratio(all, x, N_N);
            if (!std::isnan(ra)) a.push_back(ra);
            if (!std::isnan(rn)) n.push_back(rn);
        }
        char as[32] = "-", ns[32] = "-";
        if (!a.empty())
            snprintf(as, sizeof as, "%.2f (%.2f-%.2f)", median(a),
                     *std::min_element(a.begin(), a.end()), *std::max_element(a.begin(), a.end()));
        if (!n.empty())
            snprintf(ns, sizeof ns, "%.2f (%.2f-%.2f)", median(n),
                     *std::min_element(n.begin(), n.end()), *std::max_element(n.begin(), n.end()));
        printf("%-7s %-10s %-6s %10.1f %18s %18s\n", pattern_name(r.pattern), target_name(r.target),
               r.phase, median(mib), as, ns);
    }
}

/* --- the index test ---------------------------------------------------------- */

struct OpenReport {
    double open_s;
    double heap_bytes;
    double verify_s;
    int status;
};

size_t heap_in_use() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

/* In a fresh process: opens the container for reading, measuring time and
 * heap growth, then reads every block back and checks it. */
OpenReport measure_open(const Options &o, const std::string &path, uint64_t entries) {
    int fds[2];
    OpenReport rep{0, 0, 0, kExitCall};
    if (pipe(fds) != 0) return rep;
    fflush(nullptr);
    pid_t pid;
    {
        bench_stop::Hold hold;
        pid = fork();
        if (pid == 0) bench_stop::in_child();
        else if (pid > 0) bench_stop::add(pid);
    }
    if (pid == 0) {
        g_pid = getpid();
        close(fds[0]);
        OpenReport me{0, 0, 0, kExitOk};
        std::vector<std::vector<unsigned char>> tmpl(o.writers);
        for (int w = 0; w < o.writers; w++) tmpl[w] = make_template(w, o.block);
        unsigned char *buf = static_cast<unsigned char *>(aligned_buffer(o.block));
        malloc_trim(0);
        size_t h0 = heap_in_use();
        double t0 = now();
        Vesk_fd *fd = nullptr;
        int r = vesk_open(&fd, path.c_str(), O_RDONLY, g_pid, 0);
        me.open_s = now() - t0;
        me.heap_bytes = (double)heap_in_use() - (double)h0;
        if (r != 0) {
            call_failed("open", path, r);
            me.status = kExitCall;
        } else {
            t0 = now();
            uint64_t bad = 0;
            for (uint64_t g = 0; g < entries; g++) {
                int w = (int)(g % (uint64_t)o.writers);
                uint64_t k = g / (uint64_t)o.writers;
                ssize_t n = vesk_read(fd, reinterpret_cast<char *>(buf), o.block,
                                      (off_t)(g * o.block));
                if (n != (ssize_t)o.block || check_block(buf, tmpl[w].data(), o.block, w, k) >= 0)
                    bad++;
            }
            me.verify_s = now() - t0;
            if (bad) {
                fprintf(stderr, "%s: %s: %llu of %llu blocks wrong\n", g_prog, path.c_str(),
                        (unsigned long long)bad, (unsigned long long)entries);
                me.status = kExitVerify;
            }
            vesk_close(fd, g_pid, getuid(), O_RDONLY);
        }
        if (write(fds[1], &me, sizeof me) != (ssize_t)sizeof me) _exit(kExitCall);
        _exit(0);
    }
    close(fds[1]);
    if (pid > 0 && read(fds[0], &rep, sizeof rep) != (ssize_t)sizeof rep) rep.status = kExitCall;
    close(fds[0]);
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
        bench_stop::forget(pid);
    }
    return rep;
}

int index_test(const Options &o, const Env &env) {
    if (o.writers < 2) {
        fprintf(stderr, "%s: --index-test needs at least 2 writers, so that no two writes of "
                        "one writer continue each other\n", g_prog);
        return 1;
    }
    uint64_t entries = o.index_test;
    std::string path = std::string(kContainerMount) + "/index_test";
    char label[] = "index-test";
    uint64_t total = entries * o.block;
    Group g(o.writers, o, label);
    g.start([&](int r, Steps &b) {
        std::vector<unsigned char> tmpl = make_template(r, o.block);
        unsigned char *buf = static_cast<unsigned char *>(aligned_buffer(o.block));
        memcpy(buf, tmpl.data(), o.block);
        b.wait('r', 0);
        File f;
        int rc = file_open(f, T_CONTAINER, path, O_WRONLY | O_CREAT);
        if (rc != 0) return call_failed("open", path, rc);
        uint64_t n = 0;
        for (uint64_t k = 0; k * (uint64_t)o.writers + (uint64_t)r < entries; k++, n++) {
            stamp_block(buf, o.block, r, k);
            off_t off = (off_t)((k * (uint64_t)o.writers + (uint64_t)r) * o.block);
            ssize_t w = file_pwrite(f, buf, o.block, off);
            if (w != (ssize_t)o.block) return call_failed("write", path, w);
            g_shared->done[r].store((n + 1) * o.block, std::memory_order_relaxed);
        }
        rc = file_close(f);
        if (rc != 0) return call_failed("close", path, rc);
        b.say('w');
        return kExitOk;
    });
    if (!g.ready()) return kExitCall;
    bool ok;
    double ws = g.release(0, total, "write", &ok);
    int st = g.finish();
    if (!ok || st != kExitOk) return st ? st : kExitCall;

    // The last writer's close flattened the index: set aside, so that this
    // open merges the logs as its column says.
    std::string flat_file = env.container_backend + "/index_test/global.index";
    if (unlink(flat_file.c_str()) != 0 && errno != ENOENT) {
        fprintf(stderr, "%s: %s: %s\n", g_prog, flat_file.c_str(), strerror(errno));
        return kExitCall;
    }
    OpenReport merged = measure_open(o, path, entries);
    if (merged.status != kExitOk) return merged.status;
    double t0 = now();
    int r = vesk_flatten_index(nullptr, path.c_str());
    double flat_s = now() - t0;
    if (r != 0) return call_failed("flatten", path, r);
    OpenReport flat = measure_open(o, path, entries);
    if (flat.status != kExitOk) return flat.status;

    if (o.csv) {
        printf("entries,writers,block_bytes,write_s,writes_per_s,open_merge_s,bytes_per_entry_merge,"
               "flatten_s,open_flat_s,bytes_per_entry_flat\n");
        printf("%llu,%d,%llu,%.6f,%.0f,%.6f,%.1f,%.6f,%.6f,%.1f\n", (unsigned long long)entries,
               o.writers, (unsigned long long)o.block, ws, (double)entries / ws, merged.open_s,
               merged.heap_bytes / (double)entries, flat_s, flat.open_s,
               flat.heap_bytes / (double)entries);
    } else {
        printf("index test: %llu entries from %d writers of %llu-byte blocks\n",
               (unsigned long long)entries, o.writers, (unsigned long long)o.block);
        printf("  write            %9.3f s  %10.0f writes/s\n", ws, (double)entries / ws);
        printf("  open (merge)     %9.3f s  %10.1f bytes of heap per entry\n", merged.open_s,
               merged.heap_bytes / (double)entries);
        printf("  read and check   %9.3f s\n", merged.verify_s);
        printf("  flatten          %9.3f s\n", flat_s);
        printf("  open (flattened) %9.3f s  %10.1f bytes of heap per entry\n", flat.open_s,
               flat.heap_bytes / (double)entries);
        printf("  read and check   %9.3f s\n", flat.verify_s);
    }
    if (!o.keep) vesk_unlink(path.c_str());
    return kExitOk;
}

/* --- setup ------------------------------------------------------------------- */

void fill_env(const std::string &root, Env &env) {
    env.root = root;
    env.raw_dir = env.root + "/raw";
    env.container_backend = env.root + "/container";
    env.flat_backend = env.root + "/flat";
    env.preload_backend = env.root + "/preload";
}

/* Makes the directories and the configuration under env.root. `shared`:
 * every rank of a job does so at once, with the same result. */
int write_env(const Env &env, bool shared) {
    for (const std::string &d :
         {env.root, env.raw_dir, env.container_backend, env.flat_backend, env.preload_backend}) {
        if (mkdir(d.c_str(), 0755) != 0 && !(errno == EEXIST && (shared || d == env.root))) {
            fprintf(stderr, "%s: mkdir %s: %s\n", g_prog, d.c_str(), strerror(errno));
            return kExitCall;
        }
    }
    std::string conf = env.root + "/vesk.conf";
    std::string tmp = conf + "." + std::to_string(getpid());
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) {
        fprintf(stderr, "%s: %s: %s\n", g_prog, tmp.c_str(), strerror(errno));
        return kExitCall;
    }
    fprintf(f,
            "[mount %s]\nbackends = %s\nlayout = container\n\n"
            "[mount %s]\nbackends = %s\nlayout = flat\n\n"
            "[mount %s]\nbackends = %s\nlayout = container\n",
            kContainerMount, env.container_backend.c_str(), kFlatMount, env.flat_backend.c_str(),
            kPreloadMount, env.preload_backend.c_str());
    // whole or not at all, for ranks reading it while another writes it
    if (fclose(f) != 0 || rename(tmp.c_str(), conf.c_str()) != 0) {
        fprintf(stderr, "%s: %s: %s\n", g_prog, conf.c_str(), strerror(errno));
        return kExitCall;
    }
    // before the library first reads its configuration
    setenv("VESK_CONFIG", conf.c_str(), 1);
    return 0;
}

int make_env(const Options &o, Env &env) {
    if (const char *pre = getenv(kPreloadedVar)) {
        // The first run made everything; this one runs with the preload.
        fill_env(pre, env);
        return 0;
    }
    struct stat st;
    if (stat(o.dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "%s: --dir %s: %s\n", g_prog, o.dir.c_str(),
                errno ? strerror(errno) : "not a directory");
        return 1;
    }
    std::string tmpl = o.dir + "/vesk_bench-XXXXXX";
    std::vector<char> b(tmpl.begin(), tmpl.end());
    b.push_back('\0');
    if (!mkdtemp(b.data())) {
        fprintf(stderr, "%s: cannot make a directory in %s: %s\n", g_prog, o.dir.c_str(),
                strerror(errno));
        return kExitCall;
    }
    fill_env(b.data(), env);
    bench_stop::install(env.root.c_str());
    int r = write_env(env, false);
    if (r != 0) return r;
    struct stat probe;
    std::string cm = kContainerMount;
    r = vesk_getattr(nullptr, (cm + "/no-such-file").c_str(), &probe, 0);
    if (r != -ENOENT) {
        fprintf(stderr, "%s: the library does not serve %s from %s: %s\n", g_prog, kContainerMount,
                getenv("VESK_CONFIG"), strerror(r < 0 ? -r : EINVAL));
        return kExitCall;
    }
    return 0;
}

/* --mpi: rank 0 makes the directory, the others learn its name. */
int make_env_mpi(const Options &o, Env &env) {
    if (getenv(kPreloadedVar)) return make_env(o, env);
    int r = 0;
    std::string root;
    if (bench_mpi::rank() == 0) {
        r = make_env(o, env);
        if (r == 0) root = env.root;
    }
    root = bench_mpi::bcast(root);
    if (root.empty()) return r ? r : kExitCall;
    if (bench_mpi::rank() != 0) {
        fill_env(root, env);
        setenv("VESK_CONFIG", (root + "/vesk.conf").c_str(), 1);
    }
    return 0;
}

/* Where libvesk_preload.so is: $VESK_PRELOAD_LIB, else beside the build
 * tree's bench/ directory or in the installed lib/ directory. */
std::string preload_library() {
    const char *e = getenv("VESK_PRELOAD_LIB");
    if (e && *e) return e;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/'));
        for (const std::string &c : {dir + "/../src/preload/libvesk_preload.so",
                                      dir + "/../lib/libvesk_preload.so"}) {
            struct stat st;
            if (stat(c.c_str(), &st) == 0) return c;
        }
    }
    return "libvesk_preload.so";
}

/* Becomes this program again with the preload library, in the directory
 * of env; returns only on failure. */
int exec_preloaded(char **argv, const Env &env) {
    std::string lib = preload_library();
    const char *old = getenv("LD_PRELOAD");
    std::string pre = old && *old ? lib + ":" + old : lib;
    setenv("LD_PRELOAD", pre.c_str(), 1);
    setenv(kPreloadedVar, env.root.c_str(), 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "%s: exec with the preload library: %s\n", g_prog, strerror(errno));
    return kExitCall;
}

/* --mpi with the preload target, before MPI starts: every rank makes the
 * job's directory (named by the launcher's job id, the same in every rank)
 * and runs itself again with the library. Returns only on failure. */
int mpi_exec_preloaded(const Options &o, char **argv) {
    std::string job = bench_mpi::job_id();
    if (job.empty()) {
        fprintf(stderr, "%s: --mpi with the preload target: the launcher gives no job id "
                        "(PMIX_NAMESPACE)\n", g_prog);
        return 1;
    }
    for (char &c : job)
        if (!isalnum((unsigned char)c) && c != '-' && c != '_') c = '_';
    Env env;
    fill_env(o.dir + "/vesk_bench-mpi-" + job, env);
    int r = write_env(env, true);
    return r ? r : exec_preloaded(argv, env);
}

/* Runs this program again with the preload library, in the directory
 * made here (removed by the caller); returns its exit status. */
int run_preloaded(char **argv, const Env &env) {
    fflush(nullptr);
    pid_t p = fork();
    if (p < 0) {
        perror("fork");
        return kExitCall;
    }
    if (p == 0) _exit(exec_preloaded(argv, env));
    int st = 0;
    waitpid(p, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : kExitCall;
}

void remove_env(const Env &env) {
    bench_stop::uninstall();
    if (env.root.empty()) return;
    std::string cmd = "rm -rf '" + env.root + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "%s: could not remove %s\n", g_prog, env.root.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse_options(argc, argv);
    bool wants_preload = !o.index_test &&
        std::find(o.targets.begin(), o.targets.end(), T_PRELOAD) != o.targets.end();
    if (o.mpi && wants_preload && !getenv(kPreloadedVar)) return mpi_exec_preloaded(o, argv);
    if (o.mpi) {
        bench_mpi::init(&argc, &argv);
        g_mpi = true;
        mpi_options(o);
    }
    // Only rank 0 of an MPI run prints and removes.
    bool lead = !o.mpi || bench_mpi::rank() == 0;
    void *sh = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                    -1, 0);
    if (sh == MAP_FAILED) {
        perror("mmap");
        return kExitCall;
    }
    g_shared = new (sh) Shared();
    g_pid = getpid();
    signal(SIGPIPE, SIG_IGN);
    Env env;
    int status = o.mpi ? make_env_mpi(o, env) : make_env(o, env);
    if (status != 0) {
        if (lead) remove_env(env);
        if (o.mpi) bench_mpi::abort(status);
        return status;
    }
    if (!o.mpi && !getenv(kPreloadedVar) && wants_preload) {
        status = run_preloaded(argv, env);
        if (!o.keep) remove_env(env);
        return status;
    }
    if (o.index_test) {
        status = index_test(o, env);
    } else {
        if (!o.csv && lead)
            printf("# %d %s x %llu blocks x %llu bytes = %.1f MiB per run, %d readers%s, in %s\n",
                   o.writers, o.mpi ? "MPI ranks" : "writers", (unsigned long long)o.blocks,
                   (unsigned long long)o.block,
                   (double)o.writers * o.blocks * o.block / 1048576.0, o.readers,
                   o.fsync ? ", fsync" : "", o.dir.c_str());
        bool drop_warned = false;
        std::vector<Result> every;
        for (int rep = 1; rep <= o.repeat && status == 0; rep++) {
            std::vector<Result> results;
            // Each repetition starts with another target, so that none is
            // always first after a pattern's files were removed.
            size_t nt = o.targets.size();
            for (Pattern p : o.patterns) {
                for (size_t i = 0; i < nt; i++) {
                    Target t = o.targets[(i + (size_t)(rep - 1)) % nt];
                    status = o.mpi ? run_one_mpi(o, env, rep, p, t, results, &drop_warned)
                                   : run_one(o, env, rep, p, t, results, &drop_warned);
                    if (status != 0) break;
                }
                if (status != 0) break;
            }
            if (lead) print_results(o, results, rep == 1);
            fflush(stdout);
            every.insert(every.end(), results.begin(), results.end());
        }
        if (status == 0 && o.repeat > 1 && !o.csv && lead) print_summary(o, every);
        if (status == kExitVerify && lead) fprintf(stderr, "%s: verification FAILED\n", g_prog);
    }
    if (o.keep && lead) printf("# files kept in %s\n", env.root.c_str());
    else if (lead && (o.mpi || !getenv(kPreloadedVar))) remove_env(env);
    if (o.mpi) bench_mpi::finalize();
    return status;
}
