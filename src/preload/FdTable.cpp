/*
 * The descriptor table. Each vesk open gets a kernel descriptor of its own:
 * an O_PATH descriptor of a small memfd that holds the open file
 * description's shared state (offset, status flags, path). The kernel thus
 * numbers it, counts its dups, hands it to a forked child and keeps it
 * across exec, while any read or write that reaches the kernel directly
 * fails with EBADF instead of landing in some other file.
 *
 * The library handle (Vesk_fd) is per process: a forked child or an
 * exec'ed image opens its own on first use, so it writes as a writer of
 * its own.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vp {

std::atomic<Desc *> g_table[kMaxFd];
thread_local int t_inside = 0;

int relocate(int fd) {
    static int base = [] {
        struct rlimit rl;
        if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 512;
        return (int)std::min<rlim_t>(rl.rlim_cur / 2, 512);
    }();
    if (fd < 0 || fd >= base) return fd;
    int high = VP_REAL(fcntl)(fd, F_DUPFD_CLOEXEC, base);
    if (high < 0) return fd;  // no room up there: keep it where it is
    VP_REAL(close)(fd);
    return high;
}

void reserve_high_fds() {
    // The first descriptor moved up grows the process's descriptor table,
    // and the kernel makes a process with several threads wait out an RCU
    // grace period for that: 6 to 14 ms measured in the first open of an
    // MPI rank, whose progress threads run by then. Grown now, while the
    // process has one thread, it costs a few microseconds.
    int fd = VP_REAL(open)("/", O_PATH | O_CLOEXEC);
    if (fd >= 0) VP_REAL(close)(relocate(fd));
}

namespace {

constexpr uint64_t kMagic = 0x76657366642d3032ull;  // "vesfd-02"
constexpr const char *kMemfdName = "vesk-fd";

std::mutex g_table_mu;
std::atomic<uint64_t> g_gen{1};
std::atomic<bool> g_exiting{false};
pid_t g_pid = 0;

void destroy(Desc *d) {
    if (d->vfd && d->gen == g_gen.load()) {
        Inside in;
        vesk_close(d->vfd, self_pid(), getuid(), d->vfd_flags);
    }
    if (d->sh) munmap(d->sh, sizeof(Shared));
    delete d;
}

// Maps the memfd behind an O_PATH descriptor; null when it is not ours.
Shared *map_shared(int pathfd, ino_t *ino) {
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", pathfd);
    int fd = VP_REAL(open)(proc, O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    Shared *sh = nullptr;
    if (VP_REAL(fstat)(fd, &st) == 0 && st.st_size >= (off_t)sizeof(Shared)) {
        void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED) {
            sh = static_cast<Shared *>(m);
            if (sh->magic != kMagic) {
                munmap(m, sizeof(Shared));
                sh = nullptr;
            }
            *ino = st.st_ino;
        }
    }
    VP_REAL(close)(fd);
    return sh;
}

}  // namespace

pid_t self_pid() {
    if (g_pid == 0) g_pid = getpid();
    return g_pid;
}

void lock_shared(Shared *sh) {
    int r = pthread_mutex_lock(&sh->mu);
    // A process died holding it: the offset it guards is still sound.
    if (r == EOWNERDEAD) pthread_mutex_consistent(&sh->mu);
}

Desc *acquire_slow(int fd) {
    std::lock_guard<std::mutex> g(g_table_mu);
    Desc *d = g_table[fd].load(std::memory_order_relaxed);
    if (d) d->refs.fetch_add(1);
    return d;
}

void release(Desc *d) {
    if (d->refs.fetch_sub(1) == 1) destroy(d);
}

void install(int newfd, Desc *d) {
    if (newfd < 0 || newfd >= kMaxFd) return;
    Desc *old;
    {
        std::lock_guard<std::mutex> g(g_table_mu);
        d->refs.fetch_add(1);
        old = g_table[newfd].exchange(d);
    }
    if (old) release(old);
    std_stream_check(newfd);
}

void uninstall(int fd) {
    if (fd < 0 || fd >= kMaxFd) return;
    Desc *old;
    {
        std::lock_guard<std::mutex> g(g_table_mu);
        old = g_table[fd].exchange(nullptr);
    }
    if (old) {
        locks_release(old->sh->path);
        release(old);
    }
}

// Opens the file `path` names when it is one (or is made by the open) and
// no link: 0, or -errno when the name must be looked at first.
static int open_file_at_once(const std::string &path, int flags, int lib_flags, mode_t mode,
                             Vesk_fd **vfd) {
    if ((flags & (O_DIRECTORY | O_NOFOLLOW | O_PATH)) || path.size() >= PATH_MAX) return -EINVAL;
    Inside in;
    // Without O_NOFOLLOW the library would follow a link itself, and the
    // descriptor must know its file by the name the link leads to.
    return vesk_open(vfd, path.c_str(), lib_flags | O_NOFOLLOW, self_pid(), mode & ~0u);
}

int vopen(const std::string &abs, int flags, mode_t mode) {
    std::string path = abs;
    int lib_flags = flags & (O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC);
    Vesk_fd *vfd = nullptr;
    bool is_dir = false;
    // Most opens name a file: it is opened at once. Only when the library
    // refuses that (the name is a directory, a link, nothing, or the open
    // fails) is the name looked at first, and the open answers as the
    // kernel's would.
    if (open_file_at_once(path, flags, lib_flags, mode, &vfd) != 0) {
        // What the name is, by its type alone: measuring a container costs
        // a listing of it, and the open reads what it needs itself.
        int found;
        mode_t type = 0;
        if (!(flags & O_NOFOLLOW)) {
            int r = follow_links(&path, &found, &type);
            if (r < 0) return r;
            if (r == 1) {
                // A link out of every mount: the kernel's file is opened.
                int fd = VP_REAL(open)(path.c_str(), flags, mode);
                return fd < 0 ? -errno : fd;
            }
        } else {
            found = vesk_mode(path.c_str(), &type);
        }
        if (path.size() >= PATH_MAX) return -ENAMETOOLONG;
        bool exists = found == 0;
        is_dir = exists && S_ISDIR(type);
        int acc = flags & O_ACCMODE;
        if (exists && (flags & O_CREAT) && (flags & O_EXCL)) return -EEXIST;
        if (exists && S_ISLNK(type) && (flags & O_NOFOLLOW) && !(flags & O_PATH)) return -ELOOP;
        if (is_dir && acc != O_RDONLY) return -EISDIR;
        if (!is_dir && (flags & O_DIRECTORY)) return exists ? -ENOTDIR : found;
        if (!exists && !(flags & O_CREAT)) return found;
        if (!is_dir) {
            Inside in;
            int r = vesk_open(&vfd, path.c_str(), lib_flags, self_pid(), mode & ~0u);
            if (r < 0) return r;
        }
    }

    // The identity (device, inode) a forked child checks its handle by:
    // a file's from its open handle, a directory's by its name.
    struct stat st;
    int sr;
    {
        Inside in;
        sr = vesk_getattr(vfd, path.c_str(), &st, VESK_GETATTR_NO_SIZE);
    }

    // The memfd carries the shared state; the program gets an O_PATH
    // descriptor of it.
    // Moved up out of the way, so that the program's descriptor is the
    // lowest free number, as the kernel would have given.
    int mfd = relocate(memfd_create(kMemfdName, MFD_CLOEXEC));
    int err = 0;
    Shared *sh = nullptr;
    int pfd = -1;
    if (mfd < 0 || ftruncate(mfd, sizeof(Shared)) < 0) {
        err = -errno;
    } else {
        void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, mfd, 0);
        if (m == MAP_FAILED) {
            err = -errno;
        } else {
            sh = static_cast<Shared *>(m);
            pthread_mutexattr_t a;
            pthread_mutexattr_init(&a);
            pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
            pthread_mutex_init(&sh->mu, &a);
            pthread_mutexattr_destroy(&a);
            sh->offset = 0;
            sh->flags = flags & ~(O_CREAT | O_EXCL | O_TRUNC | O_NOCTTY | O_CLOEXEC);
            sh->is_dir = is_dir;
            sh->dir_pos = 0;
            sh->file_dev = sr == 0 ? (uint64_t)st.st_dev : 0;
            sh->file_ino = sr == 0 ? (uint64_t)st.st_ino : 0;
            memcpy(sh->path, path.c_str(), path.size() + 1);
            sh->magic = kMagic;
            char proc[64];
            snprintf(proc, sizeof proc, "/proc/self/fd/%d", mfd);
            pfd = VP_REAL(open)(proc, O_PATH | (flags & O_CLOEXEC));
            if (pfd < 0) err = -errno;
        }
    }
    struct stat mst;
    if (mfd >= 0 && err == 0 && VP_REAL(fstat)(mfd, &mst) < 0) err = -errno;
    if (mfd >= 0) VP_REAL(close)(mfd);
    if (err == 0 && pfd >= kMaxFd) err = -EMFILE;
    if (err != 0) {
        if (pfd >= 0) VP_REAL(close)(pfd);
        if (sh) munmap(sh, sizeof(Shared));
        Inside in;
        if (vfd) vesk_close(vfd, self_pid(), getuid(), lib_flags);
        log_error("preload: no descriptor for %s: %s", path.c_str(), strerror(-err));
        return err;
    }
    Desc *d = new Desc;
    d->sh = sh;
    d->ino = mst.st_ino;
    d->vfd = vfd;
    d->vfd_flags = lib_flags & O_ACCMODE;
    d->gen = g_gen.load();
    d->refs.store(0);
    install(pfd, d);
    return pfd;
}

Vesk_fd *handle(Desc *d, int *err) {
    if (d->sh->is_dir) {
        *err = -EISDIR;
        return nullptr;
    }
    uint64_t gen = g_gen.load();
    if (d->vfd && d->gen == gen) return d->vfd;
    // Inherited through fork (the parent's handle is the parent's) or
    // reopened after close_handles().
    d->vfd = nullptr;
    int acc = d->sh->flags & O_ACCMODE;
    Inside in;
    int r = vesk_open(&d->vfd, d->sh->path, acc, self_pid(), 0);
    if (r == 0 && d->sh->file_ino != 0) {
        // The name may lead to another file now (the one opened was
        // unlinked or replaced): this process cannot reach that one.
        struct stat st;
        r = vesk_getattr(d->vfd, d->sh->path, &st, 1);
        if (r == 0 && ((uint64_t)st.st_ino != d->sh->file_ino ||
                       (uint64_t)st.st_dev != d->sh->file_dev))
            r = -ESTALE;
        if (r < 0) vesk_close(d->vfd, self_pid(), getuid(), acc);
    }
    if (r < 0) {
        d->vfd = nullptr;
        // a file no name leads to any more
        if (r == -ENOENT) r = -ESTALE;
        *err = r;
        log_error("preload: cannot reopen %s: %s", d->sh->path, strerror(-r));
        return nullptr;
    }
    d->vfd_flags = acc;
    d->gen = gen;
    return d->vfd;
}

void drop_handle(Desc *d) {
    Inside in;
    if (d->vfd && d->gen == g_gen.load()) vesk_close(d->vfd, self_pid(), getuid(), d->vfd_flags);
    d->vfd = nullptr;
}

void close_handles(bool exiting) {
    std::vector<Desc *> all;
    {
        std::lock_guard<std::mutex> g(g_table_mu);
        for (int fd = 0; fd < kMaxFd; fd++) {
            Desc *d = g_table[fd].load(std::memory_order_relaxed);
            if (d) {
                d->refs.fetch_add(1);
                all.push_back(d);
            }
        }
    }
    uint64_t gen = g_gen.load();
    for (Desc *d : all) {
        {
            std::lock_guard<std::mutex> g(d->mu);
            Inside in;
            if (d->vfd && d->gen == gen) vesk_close(d->vfd, self_pid(), getuid(), d->vfd_flags);
            d->vfd = nullptr;
        }
        release(d);
    }
    if (exiting) g_exiting.store(true);
}

bool exiting() { return g_exiting.load(); }

bool inherited_on_exec() {
    for (int fd = 0; fd < kMaxFd; fd++) {
        if (!g_table[fd].load(std::memory_order_relaxed)) continue;
        int fl = VP_REAL(fcntl)(fd, F_GETFD);
        if (fl >= 0 && !(fl & FD_CLOEXEC)) return true;
    }
    return false;
}

void adopt_inherited() {
    DIR *dir = VP_REAL(opendir)("/proc/self/fd");
    if (!dir) return;
    std::vector<int> fds;
    int own = dirfd(dir);
    while (struct dirent *e = VP_REAL(readdir)(dir)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] < '0' || e->d_name[0] > '9' || fd == own || fd >= kMaxFd) continue;
        char proc[64], link[PATH_MAX];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        ssize_t n = VP_REAL(readlink)(proc, link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        if (strncmp(link, "/memfd:vesk-fd", 14) == 0) fds.push_back(fd);
    }
    VP_REAL(closedir)(dir);
    std::vector<Desc *> made;
    for (int fd : fds) {
        ino_t ino = 0;
        Shared *sh = map_shared(fd, &ino);
        if (!sh) continue;
        Desc *d = nullptr;
        for (Desc *m : made)
            if (m->ino == ino) d = m;
        if (d) {
            munmap(sh, sizeof(Shared));
        } else {
            d = new Desc;
            d->sh = sh;
            d->ino = ino;
            d->refs.store(0);
            made.push_back(d);
        }
        install(fd, d);
    }
}

void fork_child() {
    // Only this thread exists now: locks held by others at fork are reset.
    new (&g_table_mu) std::mutex;
    g_pid = getpid();
    g_gen.fetch_add(1);
    for (int fd = 0; fd < kMaxFd; fd++) {
        Desc *d = g_table[fd].load(std::memory_order_relaxed);
        if (d) new (&d->mu) std::mutex;
    }
}

int64_t file_size(Desc *d, int *err) {
    struct stat st;
    int r;
    if (exiting()) {
        r = vesk_getattr(nullptr, d->sh->path, &st, 1);
    } else {
        std::lock_guard<std::mutex> g(d->mu);
        Vesk_fd *h = d->sh->is_dir ? nullptr : handle(d, err);
        r = h ? vesk_getattr(h, d->sh->path, &st, 1) : vesk_getattr(nullptr, d->sh->path, &st, 1);
    }
    if (r < 0) {
        *err = r;
        return -1;
    }
    return st.st_size;
}

}  // namespace vp
