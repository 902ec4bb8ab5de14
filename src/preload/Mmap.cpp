/*
 * mmap of vesk files: private mappings (and shared read-only ones) are
 * served by reading the file into anonymous memory; a shared writable
 * mapping, whose stores would have to reach the file, is refused.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

using namespace vp;

VP_EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
    if (__builtin_expect((flags & MAP_ANONYMOUS) || !is_vesk(fd), 1))
        return VP_REAL(mmap)(addr, len, prot, flags, fd, off);
    Ref d(fd);
    if (!d) return VP_REAL(mmap)(addr, len, prot, flags, fd, off);
    int type = flags & MAP_TYPE;
    if ((type == MAP_SHARED || type == MAP_SHARED_VALIDATE) && (prot & PROT_WRITE)) {
        errno = -unserved("mmap MAP_SHARED with PROT_WRITE", ENODEV);
        return MAP_FAILED;
    }
    if (d->sh->is_dir) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    if ((d->sh->flags & O_ACCMODE) == O_WRONLY) {
        errno = EACCES;
        return MAP_FAILED;
    }
    if (len == 0 || off < 0 || off % sysconf(_SC_PAGESIZE) != 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    int aflags = MAP_PRIVATE | MAP_ANONYMOUS | (flags & (MAP_FIXED | MAP_FIXED_NOREPLACE | MAP_POPULATE));
    void *m = VP_REAL(mmap)(addr, len, PROT_READ | PROT_WRITE, aflags, -1, 0);
    if (m == MAP_FAILED) return m;
    // Bytes past the end of the file read as zeros, as in a file mapping.
    size_t done = 0;
    while (done < len) {
        ssize_t r = vread(d.d, static_cast<char *>(m) + done, len - done, off + (off_t)done, false);
        if (r < 0) {
            munmap(m, len);
            errno = (int)-r;
            return MAP_FAILED;
        }
        if (r == 0) break;
        done += (size_t)r;
    }
    if (prot != (PROT_READ | PROT_WRITE) && mprotect(m, len, prot) < 0) {
        int e = errno;
        munmap(m, len);
        errno = e;
        return MAP_FAILED;
    }
    return m;
}

VP_EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) {
    return mmap(addr, len, prot, flags, fd, off);
}
