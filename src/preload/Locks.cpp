/*
 * Record locks on vesk files, between processes of one node. A vesk file
 * has no kernel inode of its own, so each logical path is given a lock
 * file in the lock directory ($VESK_LOCK_DIR, else /dev/shm, else /tmp)
 * named by a hash of the path, and the lock requests are made on it. The
 * kernel then provides the blocking, deadlock detection, the owner rules
 * (per process for POSIX locks, per open file description for OFD locks)
 * and the release when the owner ends.
 *
 * A lock also orders what its holders see. MPI-IO's data sieving reads a
 * range, patches its own bytes into it and writes the whole range back,
 * under a write lock on it; the next holder must read what the last one
 * wrote, or it writes back stale bytes over them. A container handle
 * buffers its index records and keeps the index it merged, so a process
 * publishes what it wrote before it changes a lock, and forgets its merged
 * index once it holds a new one.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sys/file.h>
#include <unistd.h>

namespace vp {

namespace {

std::mutex g_locks_mu;
// Lock file descriptors of this process by logical path (POSIX locks) or
// by description (OFD locks); built on first use.
std::map<std::string, int> &lock_fds() {
    static std::map<std::string, int> m;
    return m;
}

// `kind` keeps apart lock files whose locks must not meet: the program's
// flock locks and the library's append lock are both flock locks.
std::string lock_path(const char *path, const char *kind = "") {
    uint64_t h = 1469598103934665603ull;
    for (const char *p = path; *p; p++) h = (h ^ (unsigned char)*p) * 1099511628211ull;
    const char *dir = getenv("VESK_LOCK_DIR");
    std::string d = dir && *dir ? dir : "";
    if (d.empty()) {
        // looked for once: every lock and unlock asks
        static const bool shm = [] {
            struct stat st;
            return VP_REAL(stat)("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode);
        }();
        d = shm ? "/dev/shm" : "/tmp";
    }
    char name[64];
    snprintf(name, sizeof name, "/vesk-lock-%016llx%s", (unsigned long long)h, kind);
    return d + name;
}

int open_lock_file(const char *path, const char *kind = "") {
    std::string lp = lock_path(path, kind);
    int fd = VP_REAL(open)(lp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        int e = errno;
        log_error("preload: lock file %s for %s: %s", lp.c_str(), path, strerror(e));
        return -e;
    }
    // Kept out of the low numbers a program counts on.
    int high = VP_REAL(fcntl)(fd, F_DUPFD_CLOEXEC, 512);
    if (high >= 0) {
        VP_REAL(close)(fd);
        fd = high;
    }
    return fd;
}

// Runs fn on the process's handle of d when it has one: a description
// with no handle yet merges the index afresh at its first read, and has
// published nothing.
template <class F> int on_open_handle(Desc *d, F fn) {
    std::lock_guard<std::mutex> g(d->mu);
    if (!d->vfd || d->sh->is_dir) return 0;
    int err = 0;
    Inside in;
    Vesk_fd *h = handle(d, &err);
    return h ? fn(h) : 0;
}

}  // namespace

// The description d's descriptor of the lock file of `kind` (see
// lock_path): a dup or a fork shares it, as they share the description.
int description_lock_fd(Desc *d, const char *kind) {
    std::lock_guard<std::mutex> g(g_locks_mu);
    std::string key = std::string("\1desc") + kind + ":" + std::to_string((unsigned long long)d->ino) +
                      d->sh->path;
    auto it = lock_fds().find(key);
    if (it != lock_fds().end()) return it->second;
    int lfd = open_lock_file(d->sh->path, kind);
    if (lfd >= 0) lock_fds()[key] = lfd;
    return lfd;
}

int vlock(Desc *d, int, int cmd, struct flock *fl) {
    if (!fl) return -EFAULT;
    struct flock k = *fl;
    // Relative starts become absolute: the lock file's offset is not ours.
    if (k.l_whence == SEEK_CUR || k.l_whence == SEEK_END) {
        int err = 0;
        int64_t base = k.l_whence == SEEK_CUR ? d->sh->offset : file_size(d, &err);
        if (base < 0) return err ? err : -EIO;
        k.l_start += base;
        k.l_whence = SEEK_SET;
    }
    int acc = d->sh->flags & O_ACCMODE;
    if ((cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW) &&
        ((k.l_type == F_RDLCK && acc == O_WRONLY) || (k.l_type == F_WRLCK && acc == O_RDONLY)))
        return -EBADF;
    bool ofd = cmd == F_OFD_GETLK || cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
    int lfd;
    if (ofd) {
        // An OFD lock belongs to the open file description: one lock file
        // descriptor per Desc would be per process; the description's own
        // identity (its memfd inode) names a lock file descriptor instead.
        lfd = description_lock_fd(d, "");
        if (lfd < 0) return lfd;
    } else {
        std::lock_guard<std::mutex> g(g_locks_mu);
        auto it = lock_fds().find(d->sh->path);
        if (it == lock_fds().end()) {
            lfd = open_lock_file(d->sh->path);
            if (lfd < 0) return lfd;
            lock_fds()[d->sh->path] = lfd;
        } else {
            lfd = it->second;
        }
    }
    bool set = !(cmd == F_GETLK || cmd == F_OFD_GETLK);
    if (set) {
        int r = on_open_handle(d, [](Vesk_fd *h) { return vesk_flush(h, self_pid()); });
        if (r < 0) return r;
    }
    int r = VP_REAL(fcntl)(lfd, cmd, &k);
    if (r < 0) return -errno;
    if (!set) *fl = k;
    else if (k.l_type != F_UNLCK)
        on_open_handle(d, [](Vesk_fd *h) { return vesk_refresh(h); });
    return 0;
}

VP_EXPORT int flock(int fd, int op) {
    Ref d(fd);
    if (!d) return VP_REAL(flock)(fd, op);
    // flock locks belong to the open file description, like OFD locks,
    // and meet only flock locks: a lock file of their own. (HDF5 takes
    // one on every file it opens.)
    int lfd = description_lock_fd(d.d, ".flock");
    if (lfd < 0) return (int)fail(lfd);
    return VP_REAL(flock)(lfd, op);
}

// glibc's lockf reaches fcntl inside libc, past the wrapper: it is made
// of record locks here, from the descriptor's offset.
static int vlockf(Desc *d, int fd, int cmd, off_t len) {
    struct flock fl = {};
    fl.l_whence = SEEK_CUR;
    fl.l_start = 0;
    fl.l_len = len;
    switch (cmd) {
    case F_ULOCK: fl.l_type = F_UNLCK; return vlock(d, fd, F_SETLK, &fl);
    case F_LOCK: fl.l_type = F_WRLCK; return vlock(d, fd, F_SETLKW, &fl);
    case F_TLOCK: {
        fl.l_type = F_WRLCK;
        int r = vlock(d, fd, F_SETLK, &fl);
        return r == -EAGAIN ? -EACCES : r;
    }
    case F_TEST:
        fl.l_type = F_WRLCK;
        if (int r = vlock(d, fd, F_GETLK, &fl)) return r;
        return fl.l_type == F_UNLCK || fl.l_pid == getpid() ? 0 : -EACCES;
    default: return -EINVAL;
    }
}

VP_EXPORT int lockf(int fd, int cmd, off_t len) {
    Ref d(fd);
    if (!d) return VP_REAL(lockf)(fd, cmd, len);
    return (int)fail(vlockf(d.d, fd, cmd, len));
}

VP_EXPORT int lockf64(int fd, int cmd, off64_t len) {
    Ref d(fd);
    if (!d) return VP_REAL(lockf64)(fd, cmd, len);
    return (int)fail(vlockf(d.d, fd, cmd, (off_t)len));
}

int append_lock(const char *path) {
    // flock and record locks on one file do not interact on Linux, so the
    // program's own record locks are untouched.
    std::string lp = lock_path(path);
    int fd = relocate(VP_REAL(open)(lp.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (fd < 0) return -errno;
    while (flock(fd, LOCK_EX) < 0) {
        if (errno != EINTR) {
            int e = errno;
            VP_REAL(close)(fd);
            return -e;
        }
    }
    return fd;
}

void append_unlock(int fd) {
    if (fd >= 0) VP_REAL(close)(fd);
}

void locks_release(const char *path) {
    // Closing any descriptor of a file drops the process's POSIX locks on it.
    std::lock_guard<std::mutex> g(g_locks_mu);
    auto it = lock_fds().find(path);
    if (it == lock_fds().end()) return;
    VP_REAL(close)(it->second);
    lock_fds().erase(it);
}

}  // namespace vp
