/*
 * Opening, closing and duplicating descriptors, and fcntl.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <cstdarg>
#include <linux/close_range.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace vp;

namespace {

bool wants_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

int do_openat(int dirfd, const char *path, int flags, mode_t mode) {
    if (t_inside) {
        // The library's O_PATH descriptors live within one of its calls
        // (a look at a directory): no program call can land on them.
        int fd = VP_REAL(openat)(dirfd, path, flags, mode);
        return (flags & O_PATH) ? fd : relocate(fd);
    }
    std::string abs;
    if (__builtin_expect(!classify(dirfd, path, &abs), 1))
        return VP_REAL(openat)(dirfd, path, flags, mode);
    if ((flags & O_TMPFILE) == O_TMPFILE) return (int)fail(unserved("open O_TMPFILE", EOPNOTSUPP));
    return (int)fail(vopen(abs, flags, mode));
}

}  // namespace

extern "C" {
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
int fcntl64(int, int, ...);
}

#define VP_MODE_ARG(flags)                  \
    mode_t mode = 0;                        \
    if (wants_mode(flags)) {                \
        va_list ap;                         \
        va_start(ap, flags);                \
        mode = (mode_t)va_arg(ap, int);     \
        va_end(ap);                         \
    }

VP_EXPORT int open(const char *path, int flags, ...) {
    VP_MODE_ARG(flags);
    return do_openat(AT_FDCWD, path, flags, mode);
}
VP_EXPORT int open64(const char *path, int flags, ...) {
    VP_MODE_ARG(flags);
    return do_openat(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}
VP_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    VP_MODE_ARG(flags);
    return do_openat(dirfd, path, flags, mode);
}
VP_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    VP_MODE_ARG(flags);
    return do_openat(dirfd, path, flags | O_LARGEFILE, mode);
}
VP_EXPORT int creat(const char *path, mode_t mode) {
    return do_openat(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}
VP_EXPORT int creat64(const char *path, mode_t mode) { return creat(path, mode); }
VP_EXPORT int __open_2(const char *path, int flags) { return do_openat(AT_FDCWD, path, flags, 0); }
VP_EXPORT int __open64_2(const char *path, int flags) {
    return do_openat(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}
VP_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return do_openat(dirfd, path, flags, 0);
}
VP_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    return do_openat(dirfd, path, flags | O_LARGEFILE, 0);
}

VP_EXPORT int close(int fd) {
    if (__builtin_expect(!is_vesk(fd), 1)) return VP_REAL(close)(fd);
    uninstall(fd);
    return VP_REAL(close)(fd);
}

VP_EXPORT int close_range(unsigned first, unsigned last, int flags) {
    if (!(flags & CLOSE_RANGE_CLOEXEC)) {
        for (unsigned fd = first; fd <= last && fd < (unsigned)kMaxFd; fd++)
            if (is_vesk((int)fd)) uninstall((int)fd);
    }
    return VP_REAL(close_range)(first, last, flags);
}

VP_EXPORT void closefrom(int low) {
    for (int fd = low < 0 ? 0 : low; fd < kMaxFd; fd++)
        if (is_vesk(fd)) uninstall(fd);
    VP_REAL(closefrom)(low);
}

VP_EXPORT int dup(int fd) {
    Ref d(fd);
    if (!d) return VP_REAL(dup)(fd);
    int n = VP_REAL(dup)(fd);
    if (n >= kMaxFd) {
        VP_REAL(close)(n);
        errno = EMFILE;
        return -1;
    }
    if (n >= 0) install(n, d.d);
    return n;
}

static int dup_to(int old, int nfd, int flags, bool three) {
    Ref d(old);
    if (!d && !is_vesk(nfd))
        return three ? VP_REAL(dup3)(old, nfd, flags) : VP_REAL(dup2)(old, nfd);
    if (nfd >= kMaxFd && d) {
        errno = EBADF;
        return -1;
    }
    int r = three ? VP_REAL(dup3)(old, nfd, flags) : VP_REAL(dup2)(old, nfd);
    if (r < 0 || old == nfd) return r;
    if (d)
        install(nfd, d.d);
    else
        uninstall(nfd);
    return r;
}

VP_EXPORT int dup2(int old, int nfd) { return dup_to(old, nfd, 0, false); }
VP_EXPORT int dup3(int old, int nfd, int flags) { return dup_to(old, nfd, flags, true); }

namespace {

constexpr int kSettable = O_APPEND | O_NONBLOCK | O_ASYNC | O_DIRECT | O_NOATIME;

int vfcntl(int fd, int cmd, void *arg, int (*real)(int, int, ...)) {
    Ref d(fd);
    if (!d) return real(fd, cmd, arg);
    switch (cmd) {
    case F_GETFD:
    case F_SETFD:
        return real(fd, cmd, arg);
    case F_DUPFD:
    case F_DUPFD_CLOEXEC: {
        int n = real(fd, cmd, arg);
        if (n >= kMaxFd) {
            VP_REAL(close)(n);
            errno = EMFILE;
            return -1;
        }
        if (n >= 0) install(n, d.d);
        return n;
    }
    case F_GETFL:
        return d->sh->flags;
    case F_SETFL: {
        lock_shared(d->sh);
        d->sh->flags = (d->sh->flags & ~kSettable) | ((int)(long)arg & kSettable);
        unlock_shared(d->sh);
        return 0;
    }
    case F_GETLK:
    case F_SETLK:
    case F_SETLKW:
    case F_OFD_GETLK:
    case F_OFD_SETLK:
    case F_OFD_SETLKW:
        return (int)fail(vlock(d.d, fd, cmd, static_cast<struct flock *>(arg)));
    default:
        return (int)fail(unserved("fcntl command", EINVAL));
    }
}

}  // namespace

VP_EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return vfcntl(fd, cmd, arg, VP_REAL(fcntl));
}

VP_EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    static auto real64 = reinterpret_cast<int (*)(int, int, ...)>(dlsym(RTLD_NEXT, "fcntl64"));
    return vfcntl(fd, cmd, arg, real64 ? real64 : VP_REAL(fcntl));
}

VP_EXPORT int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!is_vesk(fd)) return VP_REAL(ioctl)(fd, req, arg);
    // No device or file system control reaches the descriptor's memfd.
    return (int)fail(unserved("ioctl", ENOTTY));
}
