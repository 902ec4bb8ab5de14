/*
 * preload_calls: what the preload library costs calls that are not vesk's.
 * Times stat() of a plain path, pread() of one byte from a plain file,
 * open()+close() of it, and fstat() of its descriptor, N times each, then
 * runs itself again with libvesk_preload.so preloaded (and a configuration
 * with one mount elsewhere) and prints both, in ns per call.
 *
 *     preload_calls [N]        (default 2000000)
 */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

template <class F> double ns_per_call(long n, F f) {
    double best = 1e30;
    for (int rep = 0; rep < 3; rep++) {
        double t0 = now();
        for (long i = 0; i < n; i++) f();
        best = std::min(best, (now() - t0) * 1e9 / (double)n);
    }
    return best;
}

std::string library() {
    const char *e = getenv("VESK_PRELOAD_LIB");
    if (e && *e) return e;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "libvesk_preload.so";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../src/preload/libvesk_preload.so";
}

}  // namespace

int main(int argc, char **argv) {
    long n = argc > 1 ? atol(argv[1]) : 2000000;
    if (n <= 0) {
        fprintf(stderr, "usage: preload_calls [N]\n");
        return 1;
    }
    const char *dir = getenv("TMPDIR");
    bool child = getenv("PRELOAD_CALLS_CHILD") != nullptr;
    std::string file = child ? getenv("PRELOAD_CALLS_CHILD")
                             : std::string(dir && *dir ? dir : "/tmp") + "/preload_calls." +
                                   std::to_string(getpid());
    if (!child) {
        printf("%-10s %10s %10s %10s %14s   (ns per call, best of 3)\n", "run", "stat", "pread",
               "fstat", "open+close");
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, "x", 1) != 1) {
            perror(file.c_str());
            return 1;
        }
        close(fd);
    }
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0) {
        perror(file.c_str());
        return 1;
    }
    struct stat st;
    char c;
    volatile long sink = 0;
    double s = ns_per_call(n, [&] { sink += stat(file.c_str(), &st); });
    double p = ns_per_call(n, [&] { sink += pread(fd, &c, 1, 0); });
    double f = ns_per_call(n, [&] { sink += fstat(fd, &st); });
    double o = ns_per_call(n / 4, [&] {
        int k = open(file.c_str(), O_RDONLY);
        sink += close(k);
    });
    close(fd);
    printf("%-10s %10.1f %10.1f %10.1f %14.1f\n", child ? "preload" : "plain", s, p, f, o);
    fflush(stdout);
    if (child) return 0;

    std::string conf = file + ".conf";
    FILE *cf = fopen(conf.c_str(), "w");
    if (!cf) {
        perror(conf.c_str());
        return 1;
    }
    fprintf(cf, "[mount /preload_calls/mnt]\nbackends = %s.backend\nlayout = container\n", file.c_str());
    fclose(cf);
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LD_PRELOAD", library().c_str(), 1);
        setenv("VESK_CONFIG", conf.c_str(), 1);
        setenv("PRELOAD_CALLS_CHILD", file.c_str(), 1);
        execv("/proc/self/exe", argv);
        perror("exec");
        _exit(127);
    }
    int stt = 0;
    waitpid(pid, &stt, 0);
    unlink(conf.c_str());
    unlink(file.c_str());
    return WIFEXITED(stt) ? WEXITSTATUS(stt) : 1;
}
