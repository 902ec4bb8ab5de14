/*
 * preload_calls: what the preload library costs calls that are not vesk's.
 * Runs itself with libvesk_preload.so preloaded (and a configuration with
 * one mount elsewhere) and times stat() of a plain path, pread() of one
 * byte from a plain file, fstat() of its descriptor and open()+close() of
 * it, each both through the preload (the program's own call) and straight
 * into libc (the same function looked up in libc.so.6), N calls of each.
 * The two are timed in alternating slices of the N calls, and each is the
 * fastest slice: on a machine busy with other work, two separate runs
 * differ by more than the few nanoseconds being measured, while slices a
 * few milliseconds apart see the same load.
 *
 *     preload_calls [N]        (default 2000000)
 */
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
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

constexpr int kSlices = 40;

// ns per call of `a` and of `b`, each the fastest of kSlices slices of n
// calls, the slices of the two alternating.
template <class A, class B> void ns_per_call(long n, A a, B b, double *ta, double *tb) {
    long per = std::max(1L, n / kSlices);
    *ta = *tb = 1e30;
    for (int rep = 0; rep < kSlices; rep++) {
        double t0 = now();
        for (long i = 0; i < per; i++) a();
        double t1 = now();
        for (long i = 0; i < per; i++) b();
        double t2 = now();
        *ta = std::min(*ta, (t1 - t0) * 1e9 / (double)per);
        *tb = std::min(*tb, (t2 - t1) * 1e9 / (double)per);
    }
}

// The libc function itself, past any preloaded one of the same name.
template <class F> F libc_fn(const char *name) {
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    void *f = libc ? dlsym(libc, name) : nullptr;
    if (!f) {
        fprintf(stderr, "preload_calls: no %s in libc.so.6\n", name);
        exit(1);
    }
    return reinterpret_cast<F>(f);
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
    const char *child = getenv("PRELOAD_CALLS_CHILD");
    if (!child) {
        const char *dir = getenv("TMPDIR");
        std::string file = std::string(dir && *dir ? dir : "/tmp") + "/preload_calls." +
                           std::to_string(getpid());
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || write(fd, "x", 1) != 1) {
            perror(file.c_str());
            return 1;
        }
        close(fd);
        std::string conf = file + ".conf";
        FILE *cf = fopen(conf.c_str(), "w");
        if (!cf) {
            perror(conf.c_str());
            return 1;
        }
        fprintf(cf, "[mount /preload_calls/mnt]\nbackends = %s.backend\nlayout = container\n",
                file.c_str());
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

    std::string file = child;
    auto c_stat = libc_fn<int (*)(const char *, struct stat *)>("stat");
    auto c_pread = libc_fn<ssize_t (*)(int, void *, size_t, off_t)>("pread");
    auto c_fstat = libc_fn<int (*)(int, struct stat *)>("fstat");
    auto c_open = libc_fn<int (*)(const char *, int, ...)>("open");
    auto c_close = libc_fn<int (*)(int)>("close");
    int fd = open(file.c_str(), O_RDONLY);
    if (fd < 0) {
        perror(file.c_str());
        return 1;
    }
    struct stat st;
    char c;
    volatile long sink = 0;
    double t[4][2];
    ns_per_call(
        n, [&] { sink += stat(file.c_str(), &st); }, [&] { sink += c_stat(file.c_str(), &st); },
        &t[0][0], &t[0][1]);
    ns_per_call(
        n, [&] { sink += pread(fd, &c, 1, 0); }, [&] { sink += c_pread(fd, &c, 1, 0); },
        &t[1][0], &t[1][1]);
    ns_per_call(
        n, [&] { sink += fstat(fd, &st); }, [&] { sink += c_fstat(fd, &st); }, &t[2][0], &t[2][1]);
    ns_per_call(
        n / 4,
        [&] {
            int k = open(file.c_str(), O_RDONLY);
            sink += close(k);
        },
        [&] {
            int k = c_open(file.c_str(), O_RDONLY);
            sink += c_close(k);
        },
        &t[3][0], &t[3][1]);
    close(fd);
    printf("%-14s %10s %10s %10s %14s   (ns per call, fastest of %d slices)\n", "call", "stat",
           "pread", "fstat", "open+close", kSlices);
    printf("%-14s %10.1f %10.1f %10.1f %14.1f\n", "via preload", t[0][0], t[1][0], t[2][0],
           t[3][0]);
    printf("%-14s %10.1f %10.1f %10.1f %14.1f\n", "libc direct", t[0][1], t[1][1], t[2][1],
           t[3][1]);
    printf("%-14s %10.1f %10.1f %10.1f %14.1f\n", "difference", t[0][0] - t[0][1],
           t[1][0] - t[1][1], t[2][0] - t[2][1], t[3][0] - t[3][1]);
    return 0;
}
