/*
 * vesk_run program [args...]: runs the program with the preload library,
 * so its files under the configuration's mount points are vesk files.
 *
 * The library is looked for in $VESK_PRELOAD_LIB, beside this program,
 * then in the library directory of the installation it belongs to; the
 * search path of the dynamic loader is the last resort.
 */
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static const char *kLib = "libvesk_preload.so";
#ifndef VESK_RUN_TO_LIBDIR
#define VESK_RUN_TO_LIBDIR "../lib"
#endif

static bool exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

static std::string find_library() {
    const char *env = getenv("VESK_PRELOAD_LIB");
    if (env && *env) return env;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir = dir.substr(0, dir.rfind('/'));
        for (const std::string &cand : {dir + "/" + kLib, dir + "/" VESK_RUN_TO_LIBDIR "/" + kLib})
            if (exists(cand)) return cand;
    }
    return kLib;
}

int main(int argc, char **argv) {
    int first = 1;
    if (first < argc && strcmp(argv[first], "--") == 0) first++;
    if (first >= argc || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        fprintf(first >= argc ? stderr : stdout,
                "usage: vesk_run [--] program [args...]\n"
                "Runs the program with %s preloaded: its files under the mount points of\n"
                "the vesk configuration ($VESK_CONFIG, ~/.veskrc, /etc/vesk.conf) are served\n"
                "by libvesk, everything else by the kernel as usual.\n",
                kLib);
        return first >= argc ? 2 : 0;
    }
    std::string lib = find_library();
    const char *old = getenv("LD_PRELOAD");
    std::string pre = lib;
    if (old && *old) pre += std::string(":") + old;
    setenv("LD_PRELOAD", pre.c_str(), 1);
    execvp(argv[first], argv + first);
    fprintf(stderr, "vesk_run: %s: %s\n", argv[first], strerror(errno));
    return errno == ENOENT ? 127 : 126;
}
