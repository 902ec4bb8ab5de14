/*
 * Calls that name a path (or a descriptor standing for one): stat and its
 * relatives, names, modes, owners, times, links, the working directory.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

using namespace vp;

namespace {

// A descriptor's path for the *at calls given AT_EMPTY_PATH or an fchmod.
bool fd_path(int fd, std::string *abs) {
    Ref d(fd);
    if (!d) return false;
    *abs = d->sh->path;
    return true;
}

bool empty_path(const char *p) { return p && p[0] == '\0'; }

// What a name is, from its mode alone: measuring a container takes
// listings (or a merge), and even its other attributes a look at its
// marker, that these questions do not need.
bool exists(const std::string &abs) {
    mode_t m;
    return vesk_mode(abs.c_str(), &m) == 0;
}
bool is_dir(const std::string &abs) {
    mode_t m;
    return vesk_mode(abs.c_str(), &m) == 0 && S_ISDIR(m);
}

// unlink(2) of a vesk name. The library refuses a directory itself
// (EISDIR); asked first, it would be looked up twice in every unlink (MPI-IO
// makes and removes a file at each open). A directory that the name's own
// backend lacks reads as missing there, so a miss is checked against every
// backend before it is reported.
int unlink_file(const std::string &abs) {
    int r = vesk_unlink(abs.c_str());
    if (r == -ENOENT && is_dir(abs)) r = -EISDIR;
    return r;
}

int do_fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    std::string abs;
    if (empty_path(path) && (flags & AT_EMPTY_PATH)) {
        Ref d(dirfd);
        if (!d) return VP_REAL(fstatat)(dirfd, path, st, flags);
        return (int)fail(vfstat(d.d, st));
    }
    if (!classify(dirfd, path, &abs)) return VP_REAL(fstatat)(dirfd, path, st, flags);
    return (int)fail(vstat(abs, st, !(flags & AT_SYMLINK_NOFOLLOW)));
}

// Times to the nanosecond, UTIME_NOW and UTIME_OMIT as utimensat(2) takes
// them; not following, a link's own times.
int set_times(const std::string &abs, const struct timespec ts[2], bool follow) {
    std::string p = abs;
    if (follow) {
        int r = follow_links(&p);
        if (r < 0) return r;
        if (r == 1) return -EXDEV;
    }
    static const struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    if (!ts) ts = now;
    for (int i = 0; i < 2; i++)
        if (ts[i].tv_nsec != UTIME_NOW && ts[i].tv_nsec != UTIME_OMIT &&
            (ts[i].tv_nsec < 0 || ts[i].tv_nsec >= 1000000000))
            return -EINVAL;
    // The links on the way were followed above, in logical space.
    return vesk_utimens(p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

int follow_for(std::string *abs) {
    int r = follow_links(abs);
    return r == 1 ? -EXDEV : r;
}

int vmkdir(const std::string &abs, mode_t mode) {
    if (exists(abs)) return -EEXIST;
    return vesk_mkdir(abs.c_str(), mode);
}

int vrename(const std::string &from, const std::string &to, unsigned flags) {
    if (flags & ~RENAME_NOREPLACE) return unserved("renameat2 flags", EINVAL);
    if ((flags & RENAME_NOREPLACE) && exists(to)) return -EEXIST;
    return vesk_rename(from.c_str(), to.c_str());
}

int do_renameat2(int d1, const char *from, int d2, const char *to, unsigned flags) {
    std::string a, b;
    bool va = classify(d1, from, &a), vb = classify(d2, to, &b);
    if (!va && !vb) {
        if (flags) return VP_REAL(renameat2)(d1, from, d2, to, flags);
        return VP_REAL(renameat)(d1, from, d2, to);
    }
    if (va != vb) return (int)fail(-EXDEV);
    return (int)fail(vrename(a, b, flags));
}

void fill_statx(const struct stat &st, struct statx *sx) {
    memset(sx, 0, sizeof *sx);
    sx->stx_mask = STATX_BASIC_STATS;
    sx->stx_blksize = (uint32_t)st.st_blksize;
    sx->stx_nlink = (uint32_t)st.st_nlink;
    sx->stx_uid = st.st_uid;
    sx->stx_gid = st.st_gid;
    sx->stx_mode = (uint16_t)st.st_mode;
    sx->stx_ino = st.st_ino;
    sx->stx_size = (uint64_t)st.st_size;
    sx->stx_blocks = (uint64_t)st.st_blocks;
    sx->stx_atime.tv_sec = st.st_atim.tv_sec;
    sx->stx_atime.tv_nsec = (uint32_t)st.st_atim.tv_nsec;
    sx->stx_mtime.tv_sec = st.st_mtim.tv_sec;
    sx->stx_mtime.tv_nsec = (uint32_t)st.st_mtim.tv_nsec;
    sx->stx_ctime.tv_sec = st.st_ctim.tv_sec;
    sx->stx_ctime.tv_nsec = (uint32_t)st.st_ctim.tv_nsec;
    sx->stx_rdev_major = major(st.st_rdev);
    sx->stx_rdev_minor = minor(st.st_rdev);
    sx->stx_dev_major = major(st.st_dev);
    sx->stx_dev_minor = minor(st.st_dev);
}

}  // namespace

/* --- stat ------------------------------------------------------------- */

VP_EXPORT int stat(const char *path, struct stat *st) {
    std::string abs;
    if (__builtin_expect(!classify(path, &abs), 1)) return VP_REAL(stat)(path, st);
    return (int)fail(vstat(abs, st, true));
}
VP_EXPORT int lstat(const char *path, struct stat *st) {
    std::string abs;
    if (__builtin_expect(!classify(path, &abs), 1)) return VP_REAL(lstat)(path, st);
    return (int)fail(vstat(abs, st, false));
}
VP_EXPORT int fstat(int fd, struct stat *st) {
    Ref d(fd);
    if (!d) return VP_REAL(fstat)(fd, st);
    return (int)fail(vfstat(d.d, st));
}
VP_EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
    return do_fstatat(dirfd, path, st, flags);
}
VP_EXPORT int stat64(const char *path, struct stat64 *st) {
    return stat(path, reinterpret_cast<struct stat *>(st));
}
VP_EXPORT int lstat64(const char *path, struct stat64 *st) {
    return lstat(path, reinterpret_cast<struct stat *>(st));
}
VP_EXPORT int fstat64(int fd, struct stat64 *st) { return fstat(fd, reinterpret_cast<struct stat *>(st)); }
VP_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
    return do_fstatat(dirfd, path, reinterpret_cast<struct stat *>(st), flags);
}

// Programs built against older C libraries call these instead.
extern "C" {
int __xstat(int, const char *, struct stat *);
int __lxstat(int, const char *, struct stat *);
int __fxstat(int, int, struct stat *);
int __fxstatat(int, int, const char *, struct stat *, int);
int __xstat64(int, const char *, struct stat64 *);
int __lxstat64(int, const char *, struct stat64 *);
int __fxstat64(int, int, struct stat64 *);
int __fxstatat64(int, int, const char *, struct stat64 *, int);
}
VP_EXPORT int __xstat(int, const char *path, struct stat *st) { return stat(path, st); }
VP_EXPORT int __lxstat(int, const char *path, struct stat *st) { return lstat(path, st); }
VP_EXPORT int __fxstat(int, int fd, struct stat *st) { return fstat(fd, st); }
VP_EXPORT int __fxstatat(int, int dirfd, const char *path, struct stat *st, int flags) {
    return do_fstatat(dirfd, path, st, flags);
}
VP_EXPORT int __xstat64(int, const char *path, struct stat64 *st) { return stat64(path, st); }
VP_EXPORT int __lxstat64(int, const char *path, struct stat64 *st) { return lstat64(path, st); }
VP_EXPORT int __fxstat64(int, int fd, struct stat64 *st) { return fstat64(fd, st); }
VP_EXPORT int __fxstatat64(int, int dirfd, const char *path, struct stat64 *st, int flags) {
    return fstatat64(dirfd, path, st, flags);
}

VP_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *sx) {
    struct stat st;
    std::string abs;
    int r;
    if (empty_path(path) && (flags & AT_EMPTY_PATH)) {
        Ref d(dirfd);
        if (!d) return VP_REAL(statx)(dirfd, path, flags, mask, sx);
        r = vfstat(d.d, &st);
    } else {
        if (!classify(dirfd, path, &abs)) return VP_REAL(statx)(dirfd, path, flags, mask, sx);
        r = vstat(abs, &st, !(flags & AT_SYMLINK_NOFOLLOW));
    }
    if (r < 0) return (int)fail(r);
    fill_statx(st, sx);
    return 0;
}

/* --- names ------------------------------------------------------------ */

VP_EXPORT int access(const char *path, int mode) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(access)(path, mode);
    int r = follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_access(abs.c_str(), mode));
}
VP_EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) {
    std::string abs;
    if (!classify(dirfd, path, &abs)) return VP_REAL(faccessat)(dirfd, path, mode, flags);
    int r = (flags & AT_SYMLINK_NOFOLLOW) ? 0 : follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_access(abs.c_str(), mode));
}
VP_EXPORT int euidaccess(const char *path, int mode) { return faccessat(AT_FDCWD, path, mode, AT_EACCESS); }
VP_EXPORT int eaccess(const char *path, int mode) { return euidaccess(path, mode); }

VP_EXPORT int unlink(const char *path) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(unlink)(path);
    return (int)fail(unlink_file(abs));
}
VP_EXPORT int rmdir(const char *path) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(rmdir)(path);
    return (int)fail(vesk_rmdir(abs.c_str()));
}
VP_EXPORT int unlinkat(int dirfd, const char *path, int flags) {
    std::string abs;
    if (!classify(dirfd, path, &abs)) return VP_REAL(unlinkat)(dirfd, path, flags);
    if (flags & AT_REMOVEDIR) return (int)fail(vesk_rmdir(abs.c_str()));
    return (int)fail(unlink_file(abs));
}

VP_EXPORT int rename(const char *from, const char *to) {
    return do_renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
}
VP_EXPORT int renameat(int d1, const char *from, int d2, const char *to) {
    return do_renameat2(d1, from, d2, to, 0);
}
VP_EXPORT int renameat2(int d1, const char *from, int d2, const char *to, unsigned flags) {
    return do_renameat2(d1, from, d2, to, flags);
}

VP_EXPORT int link(const char *from, const char *to) {
    std::string a, b;
    bool va = classify(from, &a), vb = classify(to, &b);
    if (!va && !vb) return VP_REAL(link)(from, to);
    if (va != vb) return (int)fail(-EXDEV);
    return (int)fail(vesk_link(a.c_str(), b.c_str()));
}
VP_EXPORT int linkat(int d1, const char *from, int d2, const char *to, int flags) {
    std::string a, b;
    bool va = classify(d1, from, &a), vb = classify(d2, to, &b);
    if (!va && !vb) return VP_REAL(linkat)(d1, from, d2, to, flags);
    if (va != vb) return (int)fail(-EXDEV);
    if (flags & AT_SYMLINK_FOLLOW) {
        int r = follow_for(&a);
        if (r < 0) return (int)fail(r);
    }
    return (int)fail(vesk_link(a.c_str(), b.c_str()));
}

VP_EXPORT int mkdir(const char *path, mode_t mode) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(mkdir)(path, mode);
    return (int)fail(vmkdir(abs, mode));
}
VP_EXPORT int mkdirat(int dirfd, const char *path, mode_t mode) {
    std::string abs;
    if (!classify(dirfd, path, &abs)) return VP_REAL(mkdirat)(dirfd, path, mode);
    return (int)fail(vmkdir(abs, mode));
}

VP_EXPORT int truncate(const char *path, off_t len) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(truncate)(path, len);
    if (len < 0) return (int)fail(-EINVAL);
    int r = follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_truncate(abs.c_str(), len));
}
VP_EXPORT int truncate64(const char *path, off64_t len) { return truncate(path, len); }

/* --- modes, owners, times ---------------------------------------------- */

VP_EXPORT int chmod(const char *path, mode_t mode) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(chmod)(path, mode);
    int r = follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_chmod(abs.c_str(), mode));
}
VP_EXPORT int fchmod(int fd, mode_t mode) {
    std::string abs;
    if (!fd_path(fd, &abs)) return VP_REAL(fchmod)(fd, mode);
    return (int)fail(vesk_chmod(abs.c_str(), mode));
}
VP_EXPORT int fchmodat(int dirfd, const char *path, mode_t mode, int flags) {
    std::string abs;
    if (!classify(dirfd, path, &abs)) return VP_REAL(fchmodat)(dirfd, path, mode, flags);
    mode_t m;
    // As Linux: a symbolic link has no mode to change.
    if ((flags & AT_SYMLINK_NOFOLLOW) && vesk_mode(abs.c_str(), &m) == 0 && S_ISLNK(m))
        return (int)fail(-EOPNOTSUPP);
    int r = (flags & AT_SYMLINK_NOFOLLOW) ? 0 : follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_chmod(abs.c_str(), mode));
}

VP_EXPORT int chown(const char *path, uid_t u, gid_t g) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(chown)(path, u, g);
    int r = follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_chown(abs.c_str(), u, g));
}
VP_EXPORT int lchown(const char *path, uid_t u, gid_t g) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(lchown)(path, u, g);
    return (int)fail(vesk_chown(abs.c_str(), u, g));
}
VP_EXPORT int fchown(int fd, uid_t u, gid_t g) {
    std::string abs;
    if (!fd_path(fd, &abs)) return VP_REAL(fchown)(fd, u, g);
    return (int)fail(vesk_chown(abs.c_str(), u, g));
}
VP_EXPORT int fchownat(int dirfd, const char *path, uid_t u, gid_t g, int flags) {
    std::string abs;
    if (empty_path(path) && (flags & AT_EMPTY_PATH)) return fchown(dirfd, u, g);
    if (!classify(dirfd, path, &abs)) return VP_REAL(fchownat)(dirfd, path, u, g, flags);
    int r = (flags & AT_SYMLINK_NOFOLLOW) ? 0 : follow_for(&abs);
    return (int)fail(r < 0 ? r : vesk_chown(abs.c_str(), u, g));
}

VP_EXPORT int utime(const char *path, const struct utimbuf *ub) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(utime)(path, ub);
    if (!ub) return (int)fail(set_times(abs, nullptr, true));
    struct timespec ts[2] = {{ub->actime, 0}, {ub->modtime, 0}};
    return (int)fail(set_times(abs, ts, true));
}
VP_EXPORT int utimes(const char *path, const struct timeval tv[2]) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(utimes)(path, tv);
    if (!tv) return (int)fail(set_times(abs, nullptr, true));
    struct timespec ts[2] = {{tv[0].tv_sec, tv[0].tv_usec * 1000}, {tv[1].tv_sec, tv[1].tv_usec * 1000}};
    return (int)fail(set_times(abs, ts, true));
}
VP_EXPORT int utimensat(int dirfd, const char *path, const struct timespec ts[2], int flags) {
    std::string abs;
    if (empty_path(path) && (flags & AT_EMPTY_PATH)) {
        if (!fd_path(dirfd, &abs)) return VP_REAL(utimensat)(dirfd, path, ts, flags);
        return (int)fail(set_times(abs, ts, false));
    }
    if (!classify(dirfd, path, &abs)) return VP_REAL(utimensat)(dirfd, path, ts, flags);
    return (int)fail(set_times(abs, ts, !(flags & AT_SYMLINK_NOFOLLOW)));
}
VP_EXPORT int futimens(int fd, const struct timespec ts[2]) {
    std::string abs;
    if (!fd_path(fd, &abs)) return VP_REAL(futimens)(fd, ts);
    return (int)fail(set_times(abs, ts, false));
}
VP_EXPORT int futimes(int fd, const struct timeval tv[2]) {
    std::string abs;
    if (!fd_path(fd, &abs)) return VP_REAL(futimes)(fd, tv);
    if (!tv) return (int)fail(set_times(abs, nullptr, false));
    struct timespec ts[2] = {{tv[0].tv_sec, tv[0].tv_usec * 1000}, {tv[1].tv_sec, tv[1].tv_usec * 1000}};
    return (int)fail(set_times(abs, ts, false));
}
VP_EXPORT int lutimes(const char *path, const struct timeval tv[2]) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(lutimes)(path, tv);
    if (!tv) return (int)fail(set_times(abs, nullptr, false));
    struct timespec ts[2] = {{tv[0].tv_sec, tv[0].tv_usec * 1000}, {tv[1].tv_sec, tv[1].tv_usec * 1000}};
    return (int)fail(set_times(abs, ts, false));
}

/* --- links ------------------------------------------------------------ */

VP_EXPORT ssize_t readlink(const char *path, char *buf, size_t size) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(readlink)(path, buf, size);
    mode_t m;
    int r = vesk_mode(abs.c_str(), &m);
    if (r < 0) return fail(r);
    if (!S_ISLNK(m)) return fail(-EINVAL);
    std::vector<char> tmp(PATH_MAX + 1);
    r = vesk_readlink(abs.c_str(), tmp.data(), tmp.size());
    if (r < 0) return fail(r);
    size_t n = strnlen(tmp.data(), (size_t)r);
    n = std::min(n, size);
    memcpy(buf, tmp.data(), n);
    return (ssize_t)n;
}
VP_EXPORT ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t size) {
    std::string abs;
    if (!classify(dirfd, path, &abs)) return VP_REAL(readlinkat)(dirfd, path, buf, size);
    return readlink(abs.c_str(), buf, size);
}
VP_EXPORT int symlink(const char *target, const char *path) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(symlink)(target, path);
    if (exists(abs)) return (int)fail(-EEXIST);
    return (int)fail(vesk_symlink(target, abs.c_str()));
}
VP_EXPORT int symlinkat(const char *target, int dirfd, const char *path) {
    std::string abs;
    if (!classify(dirfd, path, &abs)) return VP_REAL(symlinkat)(target, dirfd, path);
    return symlink(target, abs.c_str());
}

/* --- file system figures --------------------------------------------- */

namespace {

int vstatvfs(const std::string &abs, struct statvfs *sv) { return vesk_statvfs(abs.c_str(), sv); }

void to_statfs(const struct statvfs &sv, struct statfs *sf) {
    memset(sf, 0, sizeof *sf);
    sf->f_type = 0x7665736b;  // "vesk"
    sf->f_bsize = (long)sv.f_bsize;
    sf->f_frsize = (long)sv.f_frsize;
    sf->f_blocks = sv.f_blocks;
    sf->f_bfree = sv.f_bfree;
    sf->f_bavail = sv.f_bavail;
    sf->f_files = sv.f_files;
    sf->f_ffree = sv.f_ffree;
    sf->f_namelen = (long)sv.f_namemax;
    sf->f_flags = (long)sv.f_flag;
}

}  // namespace

VP_EXPORT int statvfs(const char *path, struct statvfs *sv) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(statvfs)(path, sv);
    return (int)fail(vstatvfs(abs, sv));
}
VP_EXPORT int fstatvfs(int fd, struct statvfs *sv) {
    std::string abs;
    if (!fd_path(fd, &abs)) return VP_REAL(fstatvfs)(fd, sv);
    return (int)fail(vstatvfs(abs, sv));
}
VP_EXPORT int statfs(const char *path, struct statfs *sf) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(statfs)(path, sf);
    struct statvfs sv;
    int r = vstatvfs(abs, &sv);
    if (r < 0) return (int)fail(r);
    to_statfs(sv, sf);
    return 0;
}
VP_EXPORT int fstatfs(int fd, struct statfs *sf) {
    std::string abs;
    if (!fd_path(fd, &abs)) return VP_REAL(fstatfs)(fd, sf);
    return statfs(abs.c_str(), sf);
}
VP_EXPORT int statvfs64(const char *path, struct statvfs64 *sv) {
    return statvfs(path, reinterpret_cast<struct statvfs *>(sv));
}
VP_EXPORT int fstatvfs64(int fd, struct statvfs64 *sv) {
    return fstatvfs(fd, reinterpret_cast<struct statvfs *>(sv));
}
VP_EXPORT int statfs64(const char *path, struct statfs64 *sf) {
    return statfs(path, reinterpret_cast<struct statfs *>(sf));
}
VP_EXPORT int fstatfs64(int fd, struct statfs64 *sf) {
    return fstatfs(fd, reinterpret_cast<struct statfs *>(sf));
}

/* --- extended attributes: not kept by vesk ----------------------------- */

#include <sys/xattr.h>

#define VP_NO_XATTR_PATH(call, path, ...)                       \
    std::string abs;                                             \
    if (!classify(path, &abs)) return VP_REAL(call)(path, __VA_ARGS__); \
    return fail(-ENOTSUP)
#define VP_NO_XATTR_FD(call, fd, ...)                            \
    if (!is_vesk(fd)) return VP_REAL(call)(fd, __VA_ARGS__);     \
    return fail(-ENOTSUP)

VP_EXPORT ssize_t getxattr(const char *path, const char *name, void *v, size_t n) {
    VP_NO_XATTR_PATH(getxattr, path, name, v, n);
}
VP_EXPORT ssize_t lgetxattr(const char *path, const char *name, void *v, size_t n) {
    VP_NO_XATTR_PATH(lgetxattr, path, name, v, n);
}
VP_EXPORT ssize_t fgetxattr(int fd, const char *name, void *v, size_t n) {
    VP_NO_XATTR_FD(fgetxattr, fd, name, v, n);
}
VP_EXPORT ssize_t listxattr(const char *path, char *l, size_t n) { VP_NO_XATTR_PATH(listxattr, path, l, n); }
VP_EXPORT ssize_t llistxattr(const char *path, char *l, size_t n) { VP_NO_XATTR_PATH(llistxattr, path, l, n); }
VP_EXPORT ssize_t flistxattr(int fd, char *l, size_t n) { VP_NO_XATTR_FD(flistxattr, fd, l, n); }
VP_EXPORT int setxattr(const char *path, const char *name, const void *v, size_t n, int f) {
    VP_NO_XATTR_PATH(setxattr, path, name, v, n, f);
}
VP_EXPORT int lsetxattr(const char *path, const char *name, const void *v, size_t n, int f) {
    VP_NO_XATTR_PATH(lsetxattr, path, name, v, n, f);
}
VP_EXPORT int fsetxattr(int fd, const char *name, const void *v, size_t n, int f) {
    VP_NO_XATTR_FD(fsetxattr, fd, name, v, n, f);
}

/* --- working directory ------------------------------------------------- */

namespace {

int vchdir(const std::string &abs) {
    std::string p = abs;
    int r = follow_for(&p);
    if (r < 0) return r;
    mode_t m;
    r = vesk_mode(p.c_str(), &m);
    if (r < 0) return r;
    if (!S_ISDIR(m)) return -ENOTDIR;
    set_vesk_cwd(p);
    return 0;
}

}  // namespace

VP_EXPORT int chdir(const char *path) {
    std::string abs;
    if (!classify(path, &abs)) {
        int r = VP_REAL(chdir)(path);
        if (r == 0) real_cwd_changed();
        return r;
    }
    return (int)fail(vchdir(abs));
}
VP_EXPORT int fchdir(int fd) {
    std::string abs;
    if (!fd_path(fd, &abs)) {
        int r = VP_REAL(fchdir)(fd);
        if (r == 0) real_cwd_changed();
        return r;
    }
    return (int)fail(vchdir(abs));
}
VP_EXPORT char *getcwd(char *buf, size_t size) {
    std::string c = vesk_cwd();
    if (c.empty()) return VP_REAL(getcwd)(buf, size);
    if (!buf) {
        if (size == 0) return strdup(c.c_str());
        if (size < c.size() + 1) {
            errno = ERANGE;
            return nullptr;
        }
        buf = static_cast<char *>(malloc(size));
        if (!buf) return nullptr;
    } else if (size < c.size() + 1) {
        errno = ERANGE;
        return nullptr;
    }
    memcpy(buf, c.c_str(), c.size() + 1);
    return buf;
}
VP_EXPORT char *get_current_dir_name() { return getcwd(nullptr, 0); }

VP_EXPORT char *realpath(const char *path, char *resolved) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(realpath)(path, resolved);
    int r = follow_links(&abs);
    mode_t m;
    if (r == 0) r = vesk_mode(abs.c_str(), &m);
    if (r < 0 || abs.size() >= PATH_MAX) {
        errno = r < 0 ? -r : ENAMETOOLONG;
        return nullptr;
    }
    if (!resolved) return strdup(abs.c_str());
    memcpy(resolved, abs.c_str(), abs.size() + 1);
    return resolved;
}
VP_EXPORT char *canonicalize_file_name(const char *path) { return realpath(path, nullptr); }
