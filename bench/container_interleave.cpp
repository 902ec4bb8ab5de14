/*
 * container_interleave: N writer processes write interleaved fixed-size
 * blocks (writer p writes blocks p, p+N, p+2N, ...) of one logical file,
 * three ways, in one run:
 *
 *   container        through containerfs (each writer its own logs)
 *   shared file      pwrite at the interleaved offsets of one plain file
 *   file per writer  each writer pwrites its blocks one after another
 *                    into a plain file of its own
 *
 * The time runs from the moment all writers are released until the last
 * has closed its file (open, writes and close of every writer). With
 * --sync each writer also syncs before it closes.
 *
 *     container_interleave [--writers N] [--count WRITES] [--block BYTES]
 *                          [--dir DIR] [--sync]
 */
#include "ContainerFD.h"
#include "ContainerFS.h"
#include "bench_scratch.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    int writers = 4;
    long count = 100000;
    size_t block = 4096;
    std::string dir;
    bool sync = false;
};

enum Mode { kContainer, kShared, kPerWriter };
const char *const kModeNames[] = {"container", "shared file", "file per writer"};

double now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

int write_container(const Options &o, int p, const std::string &logical, const char *buf) {
    pid_t me = getpid();
    Vesk_fd *fd = nullptr;
    int flags = O_WRONLY | O_CREAT;
    if (containerfs.open(&fd, logical.c_str(), flags, me, 0644, nullptr) != 0) return 10;
    for (long w = 0; w < o.count; w++) {
        off_t off = (off_t)(w * o.writers + p) * (off_t)o.block;
        if (fd->write(buf, o.block, off, me) != (ssize_t)o.block) return 11;
    }
    if (o.sync && fd->sync(me) != 0) return 12;
    if (fd->close(me, getuid(), flags, nullptr) != 0) return 13;
    delete fd;
    return 0;
}

int write_plain(const Options &o, int p, const std::string &path, bool shared, const char *buf) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return 20;
    for (long w = 0; w < o.count; w++) {
        off_t blk = shared ? (off_t)(w * o.writers + p) : (off_t)w;
        if (pwrite(fd, buf, o.block, blk * (off_t)o.block) != (ssize_t)o.block) return 21;
    }
    if (o.sync && fsync(fd) != 0) return 22;
    if (close(fd) != 0) return 23;
    return 0;
}

// Seconds for one mode, or a negative value when a writer failed.
double run(const Options &o, Mode mode, const std::string &root) {
    int go[2];
    if (pipe(go) != 0) return -1;
    std::vector<pid_t> kids;
    for (int p = 0; p < o.writers; p++) {
        pid_t child = fork();
        if (child < 0) return -1;
        if (child == 0) {
            close(go[1]);
            std::vector<char> buf(o.block);
            for (size_t i = 0; i < o.block; i++) buf[i] = (char)('a' + (p + i) % 26);
            char c;
            if (read(go[0], &c, 1) != 0) _exit(1);
            int r = 0;
            if (mode == kContainer) r = write_container(o, p, "/bench/interleaved", buf.data());
            else if (mode == kShared) r = write_plain(o, p, root + "/shared", true, buf.data());
            else r = write_plain(o, p, root + "/writer." + std::to_string(p), false, buf.data());
            _exit(r);
        }
        kids.push_back(child);
    }
    close(go[0]);
    usleep(100000);  // let every writer reach its read
    double start = now();
    close(go[1]);
    bool ok = true;
    for (pid_t k : kids) {
        int status = 0;
        if (waitpid(k, &status, 0) != k || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "%s: writer failed (status %d)\n", kModeNames[mode],
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            ok = false;
        }
    }
    double secs = now() - start;
    return ok ? secs : -1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    const char *t = getenv("TMPDIR");
    o.dir = t && *t ? t : "/tmp";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--writers" && i + 1 < argc) o.writers = atoi(argv[++i]);
        else if (a == "--count" && i + 1 < argc) o.count = atol(argv[++i]);
        else if (a == "--block" && i + 1 < argc) o.block = (size_t)atol(argv[++i]);
        else if (a == "--dir" && i + 1 < argc) o.dir = argv[++i];
        else if (a == "--sync") o.sync = true;
        else {
            fprintf(stderr,
                    "usage: container_interleave [--writers N] [--count WRITES] "
                    "[--block BYTES] [--dir DIR] [--sync]\n");
            return 1;
        }
    }
    if (o.writers < 1 || o.count < 1 || o.block < 1) return 1;

    bench_scratch::Scratch scratch(o.dir, "container_interleave");
    if (!scratch.ok()) return 1;

    double mib = (double)o.writers * (double)o.count * (double)o.block / (1024.0 * 1024.0);
    printf("%d writers x %ld writes of %zu bytes, interleaved, %.0f MiB per run%s, in %s\n",
           o.writers, o.count, o.block, mib, o.sync ? ", synced" : "", o.dir.c_str());
    double secs[3];
    for (int m = 0; m < 3; m++) {
        secs[m] = run(o, (Mode)m, scratch.plain);
        scratch.empty();
        if (secs[m] < 0) return 2;
    }
    double rate[3];
    for (int m = 0; m < 3; m++) rate[m] = mib / secs[m];
    printf("| %-16s | %9s | %9s | %15s |\n", "mode", "seconds", "MiB/s", "container/this");
    printf("|------------------|-----------|-----------|-----------------|\n");
    for (int m = 0; m < 3; m++)
        printf("| %-16s | %9.3f | %9.1f | %14.2fx |\n", kModeNames[m], secs[m], rate[m],
               rate[kContainer] / rate[m]);
    return 0;
}
