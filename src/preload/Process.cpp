/*
 * The process around the descriptors: start, fork, exec and exit.
 *
 * At start the mount table is read and vesk descriptors inherited through
 * exec are adopted. A forked child opens handles of its own on first use.
 * Before exec the handles are closed (their writes indexed) and the new
 * image must be one that loads this library again: otherwise the exec fails
 * rather than leave a program writing into descriptors it cannot use.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <spawn.h>
#include <unistd.h>

using namespace vp;

namespace {

constexpr const char *kCwdVar = "VESK_PRELOAD_CWD";

std::string self_path() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&self_path), &info) && info.dli_fname) return info.dli_fname;
    return "";
}

void at_exit() {
    fflush(nullptr);
    close_handles(true);
}

__attribute__((constructor)) void preload_init() {
    paths_init();
    reserve_high_fds();
    adopt_inherited();
    if (const char *c = getenv(kCwdVar)) {
        std::string cwd = normalize(c);
        mode_t m;
        if (under_mount(cwd) && vesk_mode(cwd.c_str(), &m) == 0 && S_ISDIR(m))
            set_vesk_cwd(cwd);
        unsetenv(kCwdVar);
    }
    pthread_atfork(nullptr, nullptr, fork_child);
    atexit(at_exit);
    g_ready.store(true);
}

// Whether the program at `path` is dynamically linked (so LD_PRELOAD
// applies), following one "#!" interpreter line.
bool preloadable(const char *path, int depth = 0) {
    int fd = VP_REAL(open)(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;  // let exec report what is wrong with it
    unsigned char buf[4096];
    ssize_t n = VP_REAL(pread)(fd, buf, sizeof buf, 0);
    VP_REAL(close)(fd);
    if (n < 4) return true;
    if (buf[0] == '#' && buf[1] == '!') {
        if (depth > 2) return false;
        std::string line(reinterpret_cast<char *>(buf) + 2, (size_t)n - 2);
        line = line.substr(0, line.find('\n'));
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos) return false;
        size_t e = line.find_first_of(" \t", b);
        return preloadable(line.substr(b, e == std::string::npos ? e : e - b).c_str(), depth + 1);
    }
    if (memcmp(buf, ELFMAG, SELFMAG) != 0) return true;  // the kernel refuses it itself
    if (buf[EI_CLASS] != ELFCLASS64 || (size_t)n < sizeof(Elf64_Ehdr)) return false;
    const Elf64_Ehdr *eh = reinterpret_cast<const Elf64_Ehdr *>(buf);
    for (unsigned i = 0; i < eh->e_phnum; i++) {
        size_t at = eh->e_phoff + (size_t)i * eh->e_phentsize;
        if (at + sizeof(Elf64_Phdr) > (size_t)n) return false;
        const Elf64_Phdr *ph = reinterpret_cast<const Elf64_Phdr *>(buf + at);
        if (ph->p_type == PT_INTERP) return true;
    }
    return false;
}

// The environment for the new image: LD_PRELOAD still naming this
// library, the configuration, and the working directory inside a mount.
std::vector<std::string> exec_env(char *const envp[], bool need_preload) {
    std::vector<std::string> env;
    bool has_preload = false, has_config = false;
    std::string me = self_path();
    for (char *const *e = envp; e && *e; e++) {
        std::string s = *e;
        if (s.compare(0, strlen(kCwdVar) + 1, std::string(kCwdVar) + "=") == 0) continue;
        if (s.compare(0, 11, "LD_PRELOAD=") == 0) {
            has_preload = true;
            if (need_preload && !me.empty() && s.find(me) == std::string::npos) s += ":" + me;
        }
        if (s.compare(0, 12, "VESK_CONFIG=") == 0) has_config = true;
        env.push_back(s);
    }
    if (need_preload && !has_preload && !me.empty()) env.push_back("LD_PRELOAD=" + me);
    if (need_preload && !has_config && getenv("VESK_CONFIG"))
        env.push_back(std::string("VESK_CONFIG=") + getenv("VESK_CONFIG"));
    std::string cwd = vesk_cwd();
    if (!cwd.empty()) env.push_back(std::string(kCwdVar) + "=" + cwd);
    return env;
}

std::vector<char *> cptrs(std::vector<std::string> &v) {
    std::vector<char *> p;
    for (std::string &s : v) p.push_back(&s[0]);
    p.push_back(nullptr);
    return p;
}

// 0 when the exec may go ahead; -errno otherwise.
int exec_check(const char *path, bool *inherit) {
    *inherit = inherited_on_exec();
    if (*inherit && !preloadable(path)) {
        log_error("preload: exec of %s refused: it cannot load the preload library and "
                      "would inherit vesk descriptors", path);
        return -ENOTSUP;
    }
    return 0;
}

int do_execve(const char *path, char *const argv[], char *const envp[]) {
    bool inherit = false;
    int r = exec_check(path, &inherit);
    if (r < 0) return (int)fail(r);
    std::vector<std::string> env = exec_env(envp, inherit || !vesk_cwd().empty());
    std::vector<char *> ep = cptrs(env);
    close_handles(false);
    return VP_REAL(execve)(path, argv, ep.data());
}

// The path execvp would run; empty when none is found (errno set).
std::string search_path(const char *file) {
    if (strchr(file, '/')) return file;
    const char *p = getenv("PATH");
    std::string path = p ? p : "/bin:/usr/bin";
    int err = ENOENT;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find(':', i);
        if (j == std::string::npos) j = path.size();
        std::string dir = path.substr(i, j - i);
        std::string cand = (dir.empty() ? "." : dir) + "/" + file;
        if (access(cand.c_str(), X_OK) == 0) {
            struct stat st;
            if (stat(cand.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return cand;
        } else if (errno == EACCES) {
            err = EACCES;
        }
        i = j + 1;
    }
    errno = err;
    return "";
}

std::vector<char *> va_args(const char *arg0, va_list ap, char ***envp) {
    std::vector<char *> args{const_cast<char *>(arg0)};
    if (arg0)
        while (char *a = va_arg(ap, char *)) args.push_back(a);
    args.push_back(nullptr);
    if (envp) *envp = va_arg(ap, char **);
    return args;
}

}  // namespace

namespace vp {

void log_error(const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    vesk_log_error(buf);
}

int unserved(const char *call, int err) {
    static std::mutex mu;
    static std::vector<std::string> logged;
    std::lock_guard<std::mutex> g(mu);
    bool seen = false;
    for (const std::string &s : logged) seen |= s == call;
    if (!seen) {
        logged.push_back(call);
        log_error("preload: %s is not served on vesk files (%s)", call, strerror(err));
    }
    return -err;
}

}  // namespace vp

VP_EXPORT int execve(const char *path, char *const argv[], char *const envp[]) {
    return do_execve(path, argv, envp);
}
VP_EXPORT int execv(const char *path, char *const argv[]) { return do_execve(path, argv, environ); }
VP_EXPORT int execvpe(const char *file, char *const argv[], char *const envp[]) {
    std::string p = search_path(file);
    if (p.empty()) return -1;
    return do_execve(p.c_str(), argv, envp);
}
VP_EXPORT int execvp(const char *file, char *const argv[]) { return execvpe(file, argv, environ); }
VP_EXPORT int execl(const char *path, const char *arg, ...) {
    va_list ap;
    va_start(ap, arg);
    std::vector<char *> a = va_args(arg, ap, nullptr);
    va_end(ap);
    return do_execve(path, a.data(), environ);
}
VP_EXPORT int execlp(const char *file, const char *arg, ...) {
    va_list ap;
    va_start(ap, arg);
    std::vector<char *> a = va_args(arg, ap, nullptr);
    va_end(ap);
    return execvp(file, a.data());
}
VP_EXPORT int execle(const char *path, const char *arg, ...) {
    va_list ap;
    va_start(ap, arg);
    char **envp = nullptr;
    std::vector<char *> a = va_args(arg, ap, &envp);
    va_end(ap);
    return do_execve(path, a.data(), envp);
}
VP_EXPORT int fexecve(int fd, char *const argv[], char *const envp[]) {
    if (is_vesk(fd)) return (int)fail(unserved("fexecve", ENOTSUP));
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    bool inherit = false;
    int r = exec_check(proc, &inherit);
    if (r < 0) return (int)fail(r);
    std::vector<std::string> env = exec_env(envp, inherit || !vesk_cwd().empty());
    std::vector<char *> ep = cptrs(env);
    close_handles(false);
    return VP_REAL(fexecve)(fd, argv, ep.data());
}

VP_EXPORT int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *fa,
                          const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
    bool inherit = false;
    int r = exec_check(path, &inherit);
    if (r < 0) return -r;
    std::vector<std::string> env = exec_env(envp, inherit || !vesk_cwd().empty());
    std::vector<char *> ep = cptrs(env);
    return VP_REAL(posix_spawn)(pid, path, fa, attr, argv, ep.data());
}
VP_EXPORT int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *fa,
                           const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
    std::string p = search_path(file);
    if (p.empty()) return errno;
    return posix_spawn(pid, p.c_str(), fa, attr, argv, envp);
}

// A vfork child shares the parent's memory, where the descriptor table
// lives; a fork keeps them apart.
VP_EXPORT pid_t vfork() { return fork(); }

VP_EXPORT void _exit(int status) {
    close_handles(true);
    VP_REAL(_exit)(status);
    __builtin_unreachable();
}
VP_EXPORT void _Exit(int status) { _exit(status); }
