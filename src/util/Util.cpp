/*
 * The system-call wrappers. Each calls through the VeskSyscalls table so
 * that tests can make any call fail, and traces itself at MLOG_DBG3.
 */
#include "Util.h"
#include "container/Staging.h"
#include "mlog.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

int open_member(const char *path, int flags, mode_t mode, bool parent_too);

// A path below a held directory ("/proc/self/fd/N/...") is looked up from
// descriptor N by the *at calls: the kernel would walk procfs to N first,
// three times the cost of the lookup itself, for the same object. A
// descriptor not open fails as procfs would, with ENOENT.
struct At {
    int fd;
    const char *rel;
};

At at(const char *path) {
    static const char kFd[] = "/proc/self/fd/";
    if (strncmp(path, kFd, sizeof kFd - 1) != 0) return {AT_FDCWD, path};
    const char *p = path + sizeof kFd - 1;
    long fd = 0;
    const char *digits = p;
    while (*p >= '0' && *p <= '9' && fd < INT_MAX / 10) fd = fd * 10 + (*p++ - '0');
    // "/proc/self/fd/N" alone is the descriptor's magic link: left to procfs
    if (p == digits || *p != '/') return {AT_FDCWD, path};
    p++;
    return {(int)fd, *p ? p : "."};
}

template <class F>
auto held(const char *path, F call) -> decltype(call(AT_FDCWD, path)) {
    At a = at(path);
    auto r = call(a.fd, a.rel);
    if (r < 0 && a.fd != AT_FDCWD && errno == EBADF) errno = ENOENT;
    return r;
}

// How the table's open treats links (set around each call, so that a
// table replaced by a test still sees every open): plainly, as a file
// whose own name must not be a link, or as a container member whose
// directory must not be one either.
enum OpenKind { kOpenPlain, kOpenFile, kOpenMember };
thread_local OpenKind t_open_kind = kOpenPlain;

int sys_open(const char *p, int f, mode_t m) {
    if (t_open_kind == kOpenPlain)
        return held(p, [&](int d, const char *rel) { return ::openat(d, rel, f, m); });
    return open_member(p, f, m, t_open_kind == kOpenMember);
}

// The library works on backend objects, never through a link planted
// among them: links keep logical paths, which mean nothing on the backend.
// fchmodat2(2) (Linux 6.6) takes AT_SYMLINK_NOFOLLOW itself; the C
// library's fchmodat emulates it with an O_PATH open, a stat, a chmod
// through /proc and a close. Where the kernel lacks it (ENOSYS), or a
// seccomp filter refuses it (EPERM, which a refused chmod also gives),
// the emulation answers.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif
std::atomic<bool> g_no_fchmodat2{false};

int chmod_nofollow(int d, const char *rel, mode_t m) {
    if (!g_no_fchmodat2.load(std::memory_order_relaxed)) {
        long r = syscall(SYS_fchmodat2, d, rel, m, AT_SYMLINK_NOFOLLOW);
        if (r == 0 || (errno != ENOSYS && errno != EPERM)) return (int)r;
        if (errno == ENOSYS) g_no_fchmodat2.store(true, std::memory_order_relaxed);
    }
    return ::fchmodat(d, rel, m, AT_SYMLINK_NOFOLLOW);
}

int sys_chmod(const char *p, mode_t m) {
    return held(p, [&](int d, const char *rel) { return chmod_nofollow(d, rel, m); });
}

// truncate(2) follows a final link; a flat file's name must not.
int sys_truncate(const char *p, off_t len) {
    int fd = held(p, [](int d, const char *rel) {
        return ::openat(d, rel, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    });
    if (fd < 0) return -1;
    struct stat st;
    int r = ::fstat(fd, &st);
    if (r == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        r = -1;
    }
    if (r == 0) r = ::ftruncate(fd, len);
    int e = errno;
    ::close(fd);
    errno = e;
    return r;
}

int sys_utime(const char *p, const struct utimbuf *u) {
    struct timespec ts[2];
    if (u) {
        ts[0].tv_sec = u->actime;
        ts[1].tv_sec = u->modtime;
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
    } else {
        ts[0].tv_nsec = ts[1].tv_nsec = UTIME_NOW;
        ts[0].tv_sec = ts[1].tv_sec = 0;
    }
    return held(p, [&](int d, const char *rel) { return ::utimensat(d, rel, ts, AT_SYMLINK_NOFOLLOW); });
}

int sys_rename2(const char *from, const char *to, unsigned flags) {
    At a = at(to);
    return held(from, [&](int d, const char *rel) { return ::renameat2(d, rel, a.fd, a.rel, flags); });
}

int sys_rename(const char *from, const char *to) { return sys_rename2(from, to, 0); }

// A link among backend objects is never followed: its own times change.
int sys_utimensat(int dirfd, const char *p, const struct timespec ts[2], int flags) {
    if (dirfd != AT_FDCWD) return ::utimensat(dirfd, p, ts, flags | AT_SYMLINK_NOFOLLOW);
    return held(p, [&](int d, const char *rel) {
        return ::utimensat(d, rel, ts, flags | AT_SYMLINK_NOFOLLOW);
    });
}

int sys_statfs(const char *p, struct statfs *st) {
    At a = at(p);
    if (a.fd == AT_FDCWD) return ::statfs(p, st);
    int r = ::fstatfs(a.fd, st);  // the held directory's file system is its members'
    if (r < 0 && errno == EBADF) errno = ENOENT;
    return r;
}

int sys_lstat(const char *p, struct stat *st) {
    return held(p, [&](int d, const char *rel) { return ::fstatat(d, rel, st, AT_SYMLINK_NOFOLLOW); });
}
int sys_lchown(const char *p, uid_t u, gid_t g) {
    return held(p, [&](int d, const char *rel) { return ::fchownat(d, rel, u, g, AT_SYMLINK_NOFOLLOW); });
}
int sys_access(const char *p, int mask) {
    return held(p, [&](int d, const char *rel) { return ::faccessat(d, rel, mask, 0); });
}
int sys_unlink(const char *p) {
    return held(p, [](int d, const char *rel) { return ::unlinkat(d, rel, 0); });
}
int sys_rmdir(const char *p) {
    return held(p, [](int d, const char *rel) { return ::unlinkat(d, rel, AT_REMOVEDIR); });
}
int sys_mkdir(const char *p, mode_t m) {
    return held(p, [&](int d, const char *rel) { return ::mkdirat(d, rel, m); });
}
int sys_symlink(const char *content, const char *p) {
    return held(p, [&](int d, const char *rel) { return ::symlinkat(content, d, rel); });
}
ssize_t sys_readlink(const char *p, char *buf, size_t size) {
    return held(p, [&](int d, const char *rel) { return ::readlinkat(d, rel, buf, size); });
}

int sys_fallocate(int fd, int mode, off_t off, off_t len) {
    return ::fallocate(fd, mode, off, len);
}

const VeskSyscalls kDefaultSyscalls = {
    sys_open,    ::close,       ::pread,   ::pwrite,     ::fsync,
    ::ftruncate, ::fstat,       sys_lstat, sys_truncate, sys_lchown,
    sys_chmod,   sys_access,    sys_utime, sys_unlink,   ::statvfs,
    sys_symlink, sys_readlink,  sys_rename, sys_mkdir,   sys_rmdir,
    sys_rename2, sys_utimensat, sys_fallocate, sys_statfs,
};

VeskSyscalls g_sys = kDefaultSyscalls;

struct Creator {
    uid_t uid = (uid_t)-1;
    gid_t gid = (gid_t)-1;
};
thread_local Creator t_creator;

const int kTrace = MLOG_DBG3 | VESK_FAC_UTIL;

// Traces a path call with its result; errno survives the logging.
long trace(const char *what, const char *path, long ret) {
    if (mlog_filter(kTrace)) {
        int e = errno;
        mlog(kTrace, "%s %s: %ld%s%s", what, path ? path : "-", ret,
             ret < 0 ? " " : "", ret < 0 ? strerror(e) : "");
        errno = e;
    }
    return ret;
}

long trace_fd(const char *what, int fd, long ret) {
    if (mlog_filter(kTrace)) {
        int e = errno;
        mlog(kTrace, "%s fd %d: %ld%s%s", what, fd, ret, ret < 0 ? " " : "",
             ret < 0 ? strerror(e) : "");
        errno = e;
    }
    return ret;
}

// Gives a copy (the open `fd`, or the link `path`) the owner and group of
// the original, as far as the caller may: without the right to give files
// away, the group alone is still kept when the caller belongs to it, and
// otherwise the copy stays the caller's, as with mv.
void keep_owner(int fd, const char *path, const struct stat &st) {
    auto own = [&](uid_t u, gid_t g) {
        return path ? ::lchown(path, u, g) : ::fchown(fd, u, g);
    };
    int e = errno;
    if (own(st.st_uid, st.st_gid) < 0) own((uid_t)-1, st.st_gid);
    errno = e;
}

// Hands what this thread just made to its creator (see setCreator). The
// name is already visible: callers make it private first (a directory
// 0700 until chmod, a file opened O_EXCL) or accept that root owned it a
// moment. A file keeps its mode: chown by root clears set-ID bits.
void give_to_creator(const char *path, int fd) {
    if (t_creator.uid == (uid_t)-1 || geteuid() != 0) return;
    int e = errno;
    gid_t gid = t_creator.gid;
    std::string parent(path);
    size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
    struct stat pst;
    if (::stat(parent.c_str(), &pst) == 0 && (pst.st_mode & S_ISGID)) gid = (gid_t)-1;
    struct stat st;
    int r = fd >= 0 ? ::fstat(fd, &st) : ::lstat(path, &st);
    if (r == 0) {
        r = fd >= 0 ? ::fchown(fd, t_creator.uid, gid) : ::lchown(path, t_creator.uid, gid);
        if (r == 0 && (st.st_mode & (S_ISUID | S_ISGID)) && !S_ISDIR(st.st_mode))
            r = fd >= 0 ? ::fchmod(fd, st.st_mode & 07777) : 0;
    }
    if (r != 0 && mlog_filter(MLOG_ERR | VESK_FAC_UTIL))
        mlog(MLOG_ERR | VESK_FAC_UTIL, "giving %s to uid %u: %s", path,
             (unsigned)t_creator.uid, strerror(errno));
    errno = e;
}

void refuse(const char *path, const char *why) {
    if (mlog_filter(MLOG_ERR | VESK_FAC_UTIL))
        mlog(MLOG_ERR | VESK_FAC_UTIL, "refusing %s: %s", path, why);
}

// open(2) that never follows a final link, never waits on a FIFO or
// device and opens nothing but a regular file (or a directory when
// O_DIRECTORY asks for one). With `parent_too` the directory holding the
// file must not be a link either.
int open_member(const char *path, int flags, mode_t mode, bool parent_too) {
    const bool member = parent_too;
    int dfd = AT_FDCWD;
    const char *base = path;
    const char *slash = strrchr(path, '/');
    std::string parent;
    if (parent_too && slash && slash[1]) {
        parent.assign(path, slash == path ? 1 : (size_t)(slash - path));
        // A held directory itself ("/proc/self/fd/N/.") is no link: its
        // descriptor holds the directory, whatever becomes of its name.
        At pa = at(parent.c_str());
        if (pa.fd != AT_FDCWD && strcmp(pa.rel, ".") == 0) parent_too = false;
    }
    if (parent_too && slash && slash[1]) {
        dfd = held(parent.c_str(), [](int d, const char *rel) {
            return ::openat(d, rel, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        });
        if (dfd < 0) {
            struct stat st;
            if ((errno == ENOTDIR || errno == ELOOP) && ::lstat(parent.c_str(), &st) == 0 &&
                S_ISLNK(st.st_mode)) {
                refuse(path, "its directory is a symbolic link");
                errno = EIO;
            }
            return -1;
        }
        base = slash + 1;
    }
    At a = dfd == AT_FDCWD ? at(path) : At{dfd, base};
    int fd = ::openat(a.fd, a.rel, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    int e = errno;
    if (fd < 0 && a.fd != AT_FDCWD && dfd == AT_FDCWD && e == EBADF) e = ENOENT;
    if (dfd != AT_FDCWD) ::close(dfd);
    if (fd < 0) {
        if (e == ELOOP && !(flags & O_NOFOLLOW)) {
            refuse(path, "a symbolic link");
            e = EIO;
        }
        errno = e;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) < 0) {
        e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !(S_ISDIR(st.st_mode) && (flags & O_DIRECTORY))) {
        ::close(fd);
        if (!member && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return -1;
        }
        refuse(path, "not a regular file");
        errno = EIO;
        return -1;
    }
    // F_SETFL sets only the status flags (append, direct, no-atime, async,
    // non-blocking), and those are the caller's: no F_GETFL to learn them.
    if (!(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int open_as(OpenKind kind, const char *path, int flags, mode_t mode) {
    OpenKind old = t_open_kind;
    t_open_kind = kind;
    int fd = g_sys.open(path, flags | O_CLOEXEC, mode);
    int e = errno;
    t_open_kind = old;
    errno = e;
    return fd;
}

}  // namespace

void Util::setCreator(uid_t uid, gid_t gid) {
    t_creator.uid = uid;
    t_creator.gid = gid;
}

Util::CreatorPause::CreatorPause() : uid_(t_creator.uid), gid_(t_creator.gid) {
    t_creator = Creator();
}

Util::CreatorPause::~CreatorPause() {
    t_creator.uid = uid_;
    t_creator.gid = gid_;
}

VeskSyscalls &Util::syscalls() { return g_sys; }
void Util::resetSyscalls() { g_sys = kDefaultSyscalls; }

int Util::Open(const char *path, int flags, mode_t mode) {
    if (!(flags & O_CREAT) || (flags & O_EXCL) || t_creator.uid == (uid_t)-1)
        return (int)trace("open", path, open_as(kOpenMember, path, flags, mode));
    // Whoever makes the file owns it: only a file this call made is given
    // away, so try to make it first.
    for (int tries = 0; tries < 4; tries++) {
        int fd = open_as(kOpenMember, path, flags | O_EXCL, mode);
        if (fd >= 0) {
            give_to_creator(path, fd);
            return (int)trace("open", path, fd);
        }
        if (errno != EEXIST) break;
        fd = open_as(kOpenMember, path, flags & ~O_CREAT, mode);
        if (fd >= 0 || errno != ENOENT) return (int)trace("open", path, fd);
    }
    return (int)trace("open", path, -1);
}
int Util::OpenFile(const char *path, int flags, mode_t mode) {
    return (int)trace("open", path, open_as(kOpenFile, path, flags, mode));
}
int Util::OpenAt(const char *path, int flags) {
    return held(path, [&](int d, const char *rel) { return ::openat(d, rel, flags); });
}
int Util::ListDir(const char *path, std::vector<std::string> *names) {
    // Listings are the commonest look the library takes (a size, an open,
    // a merge list several): opendir(3) would add a check of the status
    // flags, a close-on-exec set again, a stat and a heap buffer, and the
    // preload two calls to move the descriptor, to the four calls here.
    int fd = held(path, [](int d, const char *rel) {
        return (int)::syscall(SYS_openat, d, rel, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    });
    if (fd < 0) {
        if (errno == ENOTDIR || errno == ELOOP) {
            refuse(path, "no directory where a directory belongs");
            errno = EIO;
        }
        return (int)trace("listdir", path, -1);
    }
    alignas(struct dirent64) char buf[8192];
    long n;
    while ((n = ::syscall(SYS_getdents64, fd, buf, sizeof buf)) > 0) {
        for (long off = 0; off < n;) {
            const struct dirent64 *e = reinterpret_cast<const struct dirent64 *>(buf + off);
            off += e->d_reclen;
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            names->push_back(name);
        }
    }
    int e = errno;
    ::syscall(SYS_close, fd);
    errno = e;
    return (int)trace("listdir", path, n < 0 ? -1 : 0);
}
int Util::Close(int fd) { return (int)trace_fd("close", fd, g_sys.close(fd)); }
ssize_t Util::Pread(int fd, void *buf, size_t size, off_t off) {
    return trace_fd("pread", fd, g_sys.pread(fd, buf, size, off));
}
ssize_t Util::Pwrite(int fd, const void *buf, size_t size, off_t off) {
    return trace_fd("pwrite", fd, g_sys.pwrite(fd, buf, size, off));
}
int Util::Fsync(int fd) { return (int)trace_fd("fsync", fd, g_sys.fsync(fd)); }
int Util::Ftruncate(int fd, off_t len) {
    return (int)trace_fd("ftruncate", fd, g_sys.ftruncate(fd, len));
}
int Util::Fstat(int fd, struct stat *st) {
    return (int)trace_fd("fstat", fd, g_sys.fstat(fd, st));
}
int Util::Lstat(const char *path, struct stat *st) {
    return (int)trace("lstat", path, g_sys.lstat(path, st));
}
int Util::Truncate(const char *path, off_t len) {
    return (int)trace("truncate", path, g_sys.truncate(path, len));
}
int Util::Lchown(const char *path, uid_t u, gid_t g) {
    return (int)trace("lchown", path, g_sys.lchown(path, u, g));
}
int Util::Chmod(const char *path, int mode) {
    return (int)trace("chmod", path, g_sys.chmod(path, (mode_t)mode));
}
int Util::Access(const char *path, int mask) {
    return (int)trace("access", path, g_sys.access(path, mask));
}
int Util::Utime(const char *path, const struct utimbuf *ut) {
    return (int)trace("utime", path, g_sys.utime(path, ut));
}
int Util::Utimens(const char *path, const struct timespec ts[2], int flags) {
    return (int)trace("utimens", path, g_sys.utimensat(AT_FDCWD, path, ts, flags));
}
int Util::Fallocate(int fd, int mode, off_t off, off_t len) {
    return (int)trace_fd("fallocate", fd, g_sys.fallocate(fd, mode, off, len));
}
int Util::Unlink(const char *path) {
    return (int)trace("unlink", path, g_sys.unlink(path));
}
int Util::Statvfs(const char *path, struct statvfs *st) {
    return (int)trace("statvfs", path, g_sys.statvfs(path, st));
}
bool Util::AttributesMayBeCached(const char *path) {
    struct statfs fs;
    if (g_sys.statfs(path, &fs) < 0) return true;
    switch ((unsigned long)fs.f_type) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case 0x2fc12fc1:  // ZFS
        return false;
    default:
        return true;
    }
}
int Util::Symlink(const char *content, const char *path) {
    return (int)trace("symlink", path, g_sys.symlink(content, path));
}
int Util::Rename(const char *from, const char *to) {
    return (int)trace("rename", from, g_sys.rename(from, to));
}
int Util::Rename2(const char *from, const char *to, unsigned flags) {
    return (int)trace("rename2", from, g_sys.rename2(from, to, flags));
}
int Util::Mkdir(const char *path, mode_t mode) {
    int r = g_sys.mkdir(path, mode);
    if (r == 0) give_to_creator(path, -1);
    return (int)trace("mkdir", path, r);
}
int Util::Rmdir(const char *path) {
    return (int)trace("rmdir", path, g_sys.rmdir(path));
}
ssize_t Util::Readlink(const char *path, char *buf, size_t size) {
    return trace("readlink", path, g_sys.readlink(path, buf, size));
}

int Util::Creat(const char *path, mode_t mode) {
    int fd = open_as(kOpenFile, path, O_WRONLY | O_CREAT, mode);
    trace("creat", path, fd);
    if (fd < 0) return -1;
    g_sys.close(fd);
    return 0;
}

ssize_t Util::WriteAll(int fd, const void *buf, size_t size, off_t off) {
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < size) {
        ssize_t n = g_sys.pwrite(fd, p + done, size - done, off + (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return trace_fd("pwrite", fd, -1);
        if (n == 0) {
            errno = EIO;
            return trace_fd("pwrite", fd, -1);
        }
        done += (size_t)n;
    }
    return (ssize_t)done;
}

ssize_t Util::ReadAll(int fd, void *buf, size_t size, off_t off) {
    char *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < size) {
        ssize_t n = g_sys.pread(fd, p + done, size - done, off + (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return trace_fd("pread", fd, -1);
        if (n == 0) break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

int Util::CopyFile(const char *from, const char *to) {
    struct stat st;
    int in = g_sys.open(from, O_RDONLY | O_CLOEXEC, 0);
    if (in < 0) return (int)trace("copy", from, -1);
    if (g_sys.fstat(in, &st) < 0) {
        int e = errno;
        g_sys.close(in);
        errno = e;
        return (int)trace("copy", from, -1);
    }
    // Written under a short temporary name in the staging directory of the
    // destination's backend and renamed into place, so a failure never
    // leaves a partial copy under `to`, and no name the user could see or
    // make is used, however long the user's own.
    std::string tmp;
    int sr = vesk_stage::staging_path_for(to, "copy", &tmp);
    if (sr < 0) {
        g_sys.close(in);
        errno = -sr;
        return (int)trace("copy", to, -1);
    }
    int out = g_sys.open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                         st.st_mode & 07777);
    if (out < 0) {
        int e = errno;
        g_sys.close(in);
        errno = e;
        return (int)trace("copy", to, -1);
    }
    int ret = 0;
    static const size_t kChunk = 1 << 20;
    char *buf = static_cast<char *>(malloc(kChunk));
    if (!buf) {
        errno = ENOMEM;
        ret = -1;
    }
    off_t off = 0;
    while (ret == 0) {
        ssize_t n = g_sys.pread(in, buf, kChunk, off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ret = -1;
            break;
        }
        if (n == 0) break;
        if (WriteAll(out, buf, (size_t)n, off) < 0) {
            ret = -1;
            break;
        }
        off += n;
    }
    free(buf);
    if (ret == 0) {
        // Owner first: a change of owner clears the set-id bits, which the
        // mode restores. umask may have cut bits the source had, too.
        keep_owner(out, nullptr, st);
        if (fchmod(out, st.st_mode & 07777) < 0) ret = -1;
    }
    if (ret == 0) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (futimens(out, times) < 0) ret = -1;
    }
    if (ret == 0 && g_sys.fsync(out) < 0) ret = -1;
    int e = errno;
    if (g_sys.close(out) < 0 && ret == 0) {
        ret = -1;
        e = errno;
    }
    g_sys.close(in);
    if (ret == 0 && g_sys.rename(tmp.c_str(), to) < 0) {
        ret = -1;
        e = errno;
    }
    if (ret < 0) g_sys.unlink(tmp.c_str());
    errno = e;
    return (int)trace("copy", from, ret);
}

int Util::FsyncDir(const char *path) {
    int fd = g_sys.open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return (int)trace("fsyncdir", path, -1);
    int ret = g_sys.fsync(fd);
    int e = errno;
    g_sys.close(fd);
    errno = e;
    return (int)trace("fsyncdir", path, ret < 0 ? -1 : 0);
}

std::string Util::dirName(const std::string &path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') end--;  // "a/b/" names b
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) return ".";
    while (slash > 0 && path[slash - 1] == '/') slash--;
    return slash == 0 ? "/" : path.substr(0, slash);
}

int Util::FsyncParent(const char *path) { return FsyncDir(dirName(path).c_str()); }

int Util::CopyLink(const char *from, const char *to) {
    char content[PATH_MAX + 1];
    struct stat st;
    if (Lstat(from, &st) < 0) return -1;
    ssize_t n = Readlink(from, content, PATH_MAX);
    if (n < 0) return -1;
    content[n] = '\0';
    std::string tmp;
    int sr = vesk_stage::staging_path_for(to, "link", &tmp);
    if (sr < 0) {
        errno = -sr;
        return -1;
    }
    if (Symlink(content, tmp.c_str()) < 0) return -1;
    keep_owner(-1, tmp.c_str(), st);
    // A link's times are its own; the kernel refuses nothing here that
    // matters, so a failure only leaves the link with fresh times.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, tmp.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (Rename(tmp.c_str(), to) < 0) {
        int e = errno;
        g_sys.unlink(tmp.c_str());
        errno = e;
        return -1;
    }
    return 0;
}

int Util::retValue(int res) { return res < 0 ? -errno : 0; }

int Util::MutexLock(pthread_mutex_t *mux, const char *where) {
    int r = pthread_mutex_lock(mux);
    if (r != 0 && mlog_filter(MLOG_ERR | VESK_FAC_UTIL))
        mlog(MLOG_ERR | VESK_FAC_UTIL, "%s: mutex lock: %s", where, strerror(r));
    return r == 0 ? 0 : -r;
}

int Util::MutexUnlock(pthread_mutex_t *mux, const char *where) {
    int r = pthread_mutex_unlock(mux);
    if (r != 0 && mlog_filter(MLOG_ERR | VESK_FAC_UTIL))
        mlog(MLOG_ERR | VESK_FAC_UTIL, "%s: mutex unlock: %s", where, strerror(r));
    return r == 0 ? 0 : -r;
}

void Util::tokenize(const std::string &text, const std::string &delims,
                    std::vector<std::string> &tokens) {
    size_t pos = text.find_first_not_of(delims, 0);
    while (pos != std::string::npos) {
        size_t end = text.find_first_of(delims, pos);
        if (end == std::string::npos) {
            tokens.push_back(text.substr(pos));
            break;
        }
        tokens.push_back(text.substr(pos, end - pos));
        pos = text.find_first_not_of(delims, end);
    }
}

bool Util::isDirectory(const char *path) {
    struct stat st;
    return g_sys.lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool Util::exists(const char *path) {
    struct stat st;
    return g_sys.lstat(path, &st) == 0;
}

std::string Util::hostname() {
    char buf[HOST_NAME_MAX + 1];
    if (gethostname(buf, sizeof buf) != 0) return "localhost";
    buf[HOST_NAME_MAX] = '\0';
    return buf;
}

double Util::getTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

static bool debug_enabled() {
    const char *e = getenv("VESK_DEBUG");
    return e && *e && strcmp(e, "0") != 0;
}

extern "C" int vesk_debug(const char *fmt, ...) {
    int saved = errno;
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) {
        errno = saved;
        return n;
    }
    if (mlog_filter(MLOG_DBG1 | VESK_FAC_DEFAULT))
        mlog(MLOG_DBG1 | VESK_FAC_DEFAULT, "%s", buf);
    int printed = 0;
    if (debug_enabled()) printed = fprintf(stderr, "%s", buf);
    errno = saved;
    return printed;
}
