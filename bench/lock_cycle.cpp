/*
 * lock_cycle: P processes at once each make a file of its own, close it
 * and remove it, over and over: what an MPI
 * library's lock test does at every MPI_File_open (OMPIO makes, locks and
 * removes NAME.locktest.RANK in every rank). Two ways, in one run:
 *
 *   vesk    through the library's public calls, on a container mount
 *           (vesk_open with O_CREAT, vesk_close, vesk_unlink; the lock is
 *           the preload's business and left out)
 *   plain   open(2), a lock (fcntl(2) F_SETLK), close(2), unlink(2) in
 *           a plain directory of the same file system
 *
 * Each process times its own cycles; the table gives their mean per
 * cycle. With --cold each process writes through 64 MiB of its memory
 * before every cycle (outside the time), as a rank does between two opens
 * with its writes or reads, so that the cycle finds no cache warm.
 *
 *     lock_cycle [--procs P] [--cycles N] [--dir DIR] [--cold]
 */
#include "bench_scratch.h"
#include "vesk.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    int procs = 4;
    int cycles = 500;
    std::string dir;
    bool cold = false;
};

double now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

// Touches every cache line of `mem`: the caches hold none of what a cycle
// uses afterwards.
void chill(std::vector<char> &mem) {
    for (size_t i = 0; i < mem.size(); i += 64) mem[i]++;
}

int cycle_vesk(const std::string &logical) {
    pid_t me = getpid();
    Vesk_fd *fd = nullptr;
    if (vesk_open(&fd, logical.c_str(), O_RDWR | O_CREAT, me, 0644) != 0) return 10;
    if (vesk_close(fd, me, getuid(), O_RDWR) < 0) return 11;
    return vesk_unlink(logical.c_str()) == 0 ? 0 : 12;
}

int cycle_plain(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return 20;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_len = 100;
    if (fcntl(fd, F_SETLK, &fl) != 0) return 21;
    close(fd);
    return unlink(path.c_str()) == 0 ? 0 : 22;
}

// The processes' mean of their seconds per cycle, or -1.
double run(const Options &o, bool vesk, const std::string &where) {
    int go[2];
    if (pipe(go) != 0) return -1;
    void *m = mmap(nullptr, sizeof(double) * (size_t)o.procs, PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return -1;
    double *spent = static_cast<double *>(m);
    std::vector<pid_t> kids;
    for (int p = 0; p < o.procs; p++) {
        pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            std::vector<char> mem(o.cold ? 64u << 20 : 0, 1);
            std::string name = where + "/f.locktest." + std::to_string(p);
            char c;
            if (read(go[0], &c, 1) != 0) _exit(30);
            double total = 0;
            for (int i = 0; i < o.cycles; i++) {
                if (o.cold) chill(mem);
                double t0 = now();
                int r = vesk ? cycle_vesk(name) : cycle_plain(name);
                total += now() - t0;
                if (r != 0) _exit(r);
            }
            spent[p] = total / o.cycles;
            _exit(0);
        }
        kids.push_back(pid);
    }
    close(go[0]);
    // Each child makes its memory before it waits: the release comes after.
    usleep(o.cold ? 300000 : 50000);
    close(go[1]);
    bool ok = true;
    for (pid_t k : kids) {
        int st = 0;
        waitpid(k, &st, 0);
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
            fprintf(stderr, "lock_cycle: a %s process failed (%d)\n", vesk ? "vesk" : "plain",
                    WIFEXITED(st) ? WEXITSTATUS(st) : -1);
            ok = false;
        }
    }
    double mean = 0;
    for (int p = 0; p < o.procs; p++) mean += spent[p] / o.procs;
    munmap(m, sizeof(double) * (size_t)o.procs);
    return ok ? mean : -1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    const char *t = getenv("TMPDIR");
    o.dir = t && *t ? t : "/tmp";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--procs" && i + 1 < argc) o.procs = atoi(argv[++i]);
        else if (a == "--cycles" && i + 1 < argc) o.cycles = atoi(argv[++i]);
        else if (a == "--dir" && i + 1 < argc) o.dir = argv[++i];
        else if (a == "--cold") o.cold = true;
        else {
            fprintf(stderr, "usage: lock_cycle [--procs P] [--cycles N] [--dir DIR] [--cold]\n");
            return 1;
        }
    }
    if (o.procs < 1 || o.cycles < 1) return 1;

    double cycle[2] = {-1, -1};  // seconds per cycle: vesk, plain
    {
        bench_scratch::Scratch scratch(o.dir, "lock_cycle");
        if (!scratch.ok()) return 1;
        cycle[0] = run(o, true, scratch.mount);
        cycle[1] = run(o, false, scratch.plain);
    }
    if (cycle[0] < 0 || cycle[1] < 0) return 2;
    printf("%d processes x %d cycles (make, close, remove)%s, in %s\n", o.procs, o.cycles,
           o.cold ? ", caches cold" : "", o.dir.c_str());
    printf("| %-6s | %15s | %11s |\n", "target", "us per cycle", "vesk/plain");
    printf("|--------|-----------------|-------------|\n");
    printf("| %-6s | %15.1f | %10.2fx |\n", "vesk", cycle[0] * 1e6, cycle[0] / cycle[1]);
    printf("| %-6s | %15.1f | %10.2fx |\n", "plain", cycle[1] * 1e6, 1.0);
    return 0;
}
