/*
 * Reads, writes and the other calls on an open descriptor. Offsets belong
 * to the open file description (Shared), so the offset lock is held across
 * a read or write that uses it, as the kernel does for regular files.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace vp {

namespace {

ssize_t raw_read(Desc *d, void *buf, size_t n, off_t off) {
    return with_handle(d, [&](Vesk_fd *h) -> long {
        return vesk_read(h, static_cast<char *>(buf), n, off);
    });
}

ssize_t raw_write(Desc *d, const void *buf, size_t n, off_t off) {
    return with_handle(d, [&](Vesk_fd *h) -> long {
        return vesk_write(h, static_cast<const char *>(buf), n, off, self_pid());
    });
}

}  // namespace

int vsync_desc(Desc *d) {
    if (d->sh->is_dir) return 0;
    return (int)with_handle(d, [&](Vesk_fd *h) -> long { return vesk_sync(h, self_pid()); });
}

ssize_t vread(Desc *d, void *buf, size_t n, off_t off, bool use_offset) {
    if (d->sh->is_dir) return -EISDIR;
    if ((d->sh->flags & O_ACCMODE) == O_WRONLY) return -EBADF;
    if (!use_offset) {
        if (off < 0) return -EINVAL;
        return raw_read(d, buf, n, off);
    }
    lock_shared(d->sh);
    ssize_t r = raw_read(d, buf, n, d->sh->offset);
    if (r > 0) d->sh->offset += r;
    unlock_shared(d->sh);
    return r;
}

ssize_t vwrite(Desc *d, const void *buf, size_t n, off_t off, bool use_offset) {
    if (d->sh->is_dir) return -EISDIR;
    if ((d->sh->flags & O_ACCMODE) == O_RDONLY) return -EBADF;
    if (n == 0) return 0;
    bool append = d->sh->flags & O_APPEND;
    if (!use_offset && !append) {
        if (off < 0) return -EINVAL;
        return raw_write(d, buf, n, off);
    }
    // Appends and offset writes: the size or offset is read and moved
    // under the description's lock. Linux appends a pwrite on an O_APPEND
    // descriptor too. An append is made whole between processes as well:
    // under a node-wide lock, after the size every writer has synced, and
    // synced itself before the lock is let go.
    lock_shared(d->sh);
    int lk = append ? append_lock(d->sh->path) : -1;
    ssize_t r;
    off_t at = d->sh->offset;
    int err = append && lk < 0 ? lk : 0;
    if (append && err == 0) {
        int64_t sz = file_size(d, &err);
        at = sz < 0 ? -1 : sz;
    }
    if (err != 0 || at < 0) {
        r = err ? err : -EIO;
    } else {
        r = raw_write(d, buf, n, at);
        if (r > 0 && append) {
            int s = vsync_desc(d);
            if (s < 0) r = s;
        }
        if (r > 0 && (use_offset || append)) d->sh->offset = at + r;
    }
    append_unlock(lk);
    unlock_shared(d->sh);
    return r;
}

off_t vlseek(Desc *d, off_t off, int whence) {
    lock_shared(d->sh);
    int64_t base = 0;
    int err = 0;
    off_t r;
    if (d->sh->is_dir) {
        // Only a rewind is meaningful on a directory stream.
        if (whence == SEEK_SET && off == 0) {
            d->sh->offset = 0;
            d->sh->dir_pos = 0;
            r = 0;
        } else {
            r = -EINVAL;
        }
        unlock_shared(d->sh);
        return r;
    }
    switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = d->sh->offset; break;
    case SEEK_END:
    case SEEK_DATA:
    case SEEK_HOLE: base = file_size(d, &err); break;
    default: err = -EINVAL;
    }
    if (err) {
        r = err;
    } else if (whence == SEEK_DATA || whence == SEEK_HOLE) {
        // No holes are reported: data runs from 0 to the size.
        if (off < 0 || off >= base) {
            r = -ENXIO;
        } else {
            r = whence == SEEK_DATA ? off : (off_t)base;
            d->sh->offset = r;
        }
    } else if (base + off < 0) {
        r = -EINVAL;
    } else {
        r = base + off;
        d->sh->offset = r;
    }
    unlock_shared(d->sh);
    return r;
}

int vfstat(Desc *d, struct stat *st) {
    if (d->sh->is_dir || exiting()) return vesk_getattr(nullptr, d->sh->path, st, 0);
    return (int)with_handle(d, [&](Vesk_fd *h) -> long { return vesk_getattr(h, d->sh->path, st, 0); });
}

namespace {

// Gathers iovecs into one buffer so a vector call is one library call
// (and one offset step), as atomic as the plain call.
size_t iov_total(const struct iovec *iov, int cnt) {
    size_t t = 0;
    for (int i = 0; i < cnt; i++) t += iov[i].iov_len;
    return t;
}

ssize_t vreadv(Desc *d, const struct iovec *iov, int cnt, off_t off, bool use_offset) {
    if (cnt < 0 || cnt > IOV_MAX) return -EINVAL;
    // One buffer needs no gathering (MPI-IO libraries read with one).
    if (cnt == 1) return vread(d, iov[0].iov_base, iov[0].iov_len, off, use_offset);
    const size_t total = iov_total(iov, cnt);
    // not zeroed: the read fills what is copied out
    std::unique_ptr<char[]> buf(new (std::nothrow) char[total ? total : 1]);
    if (!buf) return -ENOMEM;
    ssize_t r = vread(d, buf.get(), total, off, use_offset);
    if (r <= 0) return r;
    size_t done = 0;
    for (int i = 0; i < cnt && done < (size_t)r; i++) {
        size_t k = std::min(iov[i].iov_len, (size_t)r - done);
        memcpy(iov[i].iov_base, buf.get() + done, k);
        done += k;
    }
    return r;
}

ssize_t vwritev(Desc *d, const struct iovec *iov, int cnt, off_t off, bool use_offset) {
    if (cnt < 0 || cnt > IOV_MAX) return -EINVAL;
    if (cnt == 1) return vwrite(d, iov[0].iov_base, iov[0].iov_len, off, use_offset);
    std::vector<char> buf;
    buf.reserve(iov_total(iov, cnt));
    for (int i = 0; i < cnt; i++) {
        const char *b = static_cast<const char *>(iov[i].iov_base);
        buf.insert(buf.end(), b, b + iov[i].iov_len);
    }
    return vwrite(d, buf.data(), buf.size(), off, use_offset);
}

int vtruncate(Desc *d, off_t len) {
    if (len < 0) return -EINVAL;
    if (d->sh->is_dir) return -EISDIR;
    if ((d->sh->flags & O_ACCMODE) == O_RDONLY) return -EINVAL;
    return (int)with_handle(d, [&](Vesk_fd *h) -> long { return vesk_trunc(h, d->sh->path, len); });
}

int vsync(Desc *d) { return vsync_desc(d); }

// Mode 0 only: the range becomes part of the file (a flat file's blocks
// are allocated; a container grows its size), never shrinking it.
int vallocate(Desc *d, int mode, off_t off, off_t len) {
    if (off < 0 || len <= 0) return -EINVAL;
    if (mode != 0) return unserved("fallocate with a mode", EOPNOTSUPP);
    if ((d->sh->flags & O_ACCMODE) == O_RDONLY) return -EBADF;
    return (int)with_handle(d, [&](Vesk_fd *h) -> long { return vesk_fallocate(h, 0, off, len); });
}

// Copies through a buffer when either end is a vesk descriptor.
ssize_t copy_fds(int in, off_t *in_off, int out, off_t *out_off, size_t len) {
    Ref ri(in), ro(out);
    std::vector<char> buf(std::min(len, (size_t)1 << 20));
    size_t done = 0;
    while (done < len) {
        size_t want = std::min(buf.size(), len - done);
        ssize_t n;
        if (ri.d)
            n = in_off ? vread(ri.d, buf.data(), want, *in_off, false) : vread(ri.d, buf.data(), want, 0, true);
        else
            n = in_off ? VP_REAL(pread)(in, buf.data(), want, *in_off) : VP_REAL(read)(in, buf.data(), want);
        if (n < 0 && !ri.d) n = -errno;
        if (n < 0) return done ? (ssize_t)done : n;
        if (n == 0) break;
        ssize_t w = 0;
        while (w < n) {
            ssize_t k;
            if (ro.d)
                k = out_off ? vwrite(ro.d, buf.data() + w, n - w, *out_off + w, false)
                            : vwrite(ro.d, buf.data() + w, n - w, 0, true);
            else
                k = out_off ? VP_REAL(pwrite)(out, buf.data() + w, n - w, *out_off + w)
                            : VP_REAL(write)(out, buf.data() + w, n - w);
            if (k < 0 && !ro.d) k = -errno;
            if (k <= 0) return done ? (ssize_t)done : (k < 0 ? k : -EIO);
            w += k;
        }
        if (in_off) *in_off += n;
        if (out_off) *out_off += n;
        done += n;
        if ((size_t)n < want) break;
    }
    return (ssize_t)done;
}

}  // namespace

}  // namespace vp

using namespace vp;

VP_EXPORT ssize_t read(int fd, void *buf, size_t n) {
    Ref d(fd);
    if (__builtin_expect(!d, 1)) return VP_REAL(read)(fd, buf, n);
    return fail(vread(d.d, buf, n, 0, true));
}

VP_EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    Ref d(fd);
    if (__builtin_expect(!d, 1)) return VP_REAL(write)(fd, buf, n);
    return fail(vwrite(d.d, buf, n, 0, true));
}

VP_EXPORT ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    Ref d(fd);
    if (!d) return VP_REAL(pread)(fd, buf, n, off);
    return fail(vread(d.d, buf, n, off, false));
}
VP_EXPORT ssize_t pread64(int fd, void *buf, size_t n, off64_t off) { return pread(fd, buf, n, off); }

VP_EXPORT ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
    Ref d(fd);
    if (!d) return VP_REAL(pwrite)(fd, buf, n, off);
    return fail(vwrite(d.d, buf, n, off, false));
}
VP_EXPORT ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) {
    return pwrite(fd, buf, n, off);
}

VP_EXPORT ssize_t readv(int fd, const struct iovec *iov, int cnt) {
    Ref d(fd);
    if (!d) return VP_REAL(readv)(fd, iov, cnt);
    return fail(vreadv(d.d, iov, cnt, 0, true));
}

VP_EXPORT ssize_t writev(int fd, const struct iovec *iov, int cnt) {
    Ref d(fd);
    if (!d) return VP_REAL(writev)(fd, iov, cnt);
    return fail(vwritev(d.d, iov, cnt, 0, true));
}

VP_EXPORT ssize_t preadv(int fd, const struct iovec *iov, int cnt, off_t off) {
    Ref d(fd);
    if (!d) return VP_REAL(preadv)(fd, iov, cnt, off);
    return fail(vreadv(d.d, iov, cnt, off, false));
}
VP_EXPORT ssize_t preadv64(int fd, const struct iovec *iov, int cnt, off64_t off) {
    return preadv(fd, iov, cnt, off);
}

VP_EXPORT ssize_t pwritev(int fd, const struct iovec *iov, int cnt, off_t off) {
    Ref d(fd);
    if (!d) return VP_REAL(pwritev)(fd, iov, cnt, off);
    return fail(vwritev(d.d, iov, cnt, off, false));
}
VP_EXPORT ssize_t pwritev64(int fd, const struct iovec *iov, int cnt, off64_t off) {
    return pwritev(fd, iov, cnt, off);
}

// The v2 forms: an offset of -1 means the descriptor's offset; the flags
// (RWF_*) are hints the library has no use for, except RWF_APPEND.
VP_EXPORT ssize_t preadv2(int fd, const struct iovec *iov, int cnt, off_t off, int flags) {
    Ref d(fd);
    if (!d) return VP_REAL(preadv2)(fd, iov, cnt, off, flags);
    if (flags & RWF_NOWAIT) return fail(unserved("preadv2 RWF_NOWAIT", EOPNOTSUPP));
    return fail(vreadv(d.d, iov, cnt, off, off == -1));
}
VP_EXPORT ssize_t preadv64v2(int fd, const struct iovec *iov, int cnt, off64_t off, int flags) {
    return preadv2(fd, iov, cnt, off, flags);
}

VP_EXPORT ssize_t pwritev2(int fd, const struct iovec *iov, int cnt, off_t off, int flags) {
    Ref d(fd);
    if (!d) return VP_REAL(pwritev2)(fd, iov, cnt, off, flags);
    if (flags & (RWF_NOWAIT | RWF_APPEND)) return fail(unserved("pwritev2 RWF_NOWAIT/RWF_APPEND", EOPNOTSUPP));
    ssize_t r = vwritev(d.d, iov, cnt, off, off == -1);
    if (r > 0 && (flags & (RWF_DSYNC | RWF_SYNC))) {
        int s = vsync(d.d);
        if (s < 0) return fail(s);
    }
    return fail(r);
}
VP_EXPORT ssize_t pwritev64v2(int fd, const struct iovec *iov, int cnt, off64_t off, int flags) {
    return pwritev2(fd, iov, cnt, off, flags);
}

VP_EXPORT off_t lseek(int fd, off_t off, int whence) {
    Ref d(fd);
    if (!d) return VP_REAL(lseek)(fd, off, whence);
    return fail(vlseek(d.d, off, whence));
}
VP_EXPORT off64_t lseek64(int fd, off64_t off, int whence) { return lseek(fd, off, whence); }

VP_EXPORT int fsync(int fd) {
    Ref d(fd);
    if (!d) return VP_REAL(fsync)(fd);
    return (int)fail(vsync(d.d));
}

VP_EXPORT int fdatasync(int fd) {
    Ref d(fd);
    if (!d) return VP_REAL(fdatasync)(fd);
    return (int)fail(vsync(d.d));
}

VP_EXPORT int ftruncate(int fd, off_t len) {
    Ref d(fd);
    if (!d) return VP_REAL(ftruncate)(fd, len);
    return (int)fail(vtruncate(d.d, len));
}
VP_EXPORT int ftruncate64(int fd, off64_t len) { return ftruncate(fd, len); }

VP_EXPORT int posix_fadvise(int fd, off_t off, off_t len, int advice) {
    Ref d(fd);
    if (!d) return VP_REAL(posix_fadvise)(fd, off, len, advice);
    // Advice only: accepted and ignored. Returns an error number itself.
    if (advice < POSIX_FADV_NORMAL || advice > POSIX_FADV_NOREUSE) return EINVAL;
    return 0;
}
VP_EXPORT int posix_fadvise64(int fd, off64_t off, off64_t len, int advice) {
    return posix_fadvise(fd, off, len, advice);
}

VP_EXPORT int fallocate(int fd, int mode, off_t off, off_t len) {
    Ref d(fd);
    if (!d) return VP_REAL(fallocate)(fd, mode, off, len);
    return (int)fail(vallocate(d.d, mode, off, len));
}
VP_EXPORT int fallocate64(int fd, int mode, off64_t off, off64_t len) {
    return fallocate(fd, mode, off, len);
}

VP_EXPORT int posix_fallocate(int fd, off_t off, off_t len) {
    Ref d(fd);
    if (!d) return VP_REAL(posix_fallocate)(fd, off, len);
    return -vallocate(d.d, 0, off, len);  // an error number, not -1
}
VP_EXPORT int posix_fallocate64(int fd, off64_t off, off64_t len) {
    return posix_fallocate(fd, off, len);
}

VP_EXPORT ssize_t copy_file_range(int in, off64_t *in_off, int out, off64_t *out_off, size_t len,
                                  unsigned flags) {
    if (!is_vesk(in) && !is_vesk(out))
        return VP_REAL(copy_file_range)(in, in_off, out, out_off, len, flags);
    if (flags != 0) return fail(-EINVAL);
    return fail(copy_fds(in, in_off, out, out_off, len));
}

VP_EXPORT ssize_t sendfile(int out, int in, off_t *off, size_t len) {
    if (!is_vesk(in) && !is_vesk(out)) return VP_REAL(sendfile)(out, in, off, len);
    return fail(copy_fds(in, off, out, nullptr, len));
}
VP_EXPORT ssize_t sendfile64(int out, int in, off64_t *off, size_t len) {
    return sendfile(out, in, off, len);
}
