/*
 * The container handle: every operation is one container-layer call on
 * the handle's record; the open count, path and reopen mark live in the
 * record.
 */
#include "ContainerFD.h"

#include <cerrno>
#include <limits>

#include "OpenFile.h"
#include "container/Container.h"

Container_fd::Container_fd() : fd(nullptr) {}

// The record is the container layer's: it is neither released nor cleared.
Container_fd::~Container_fd() {}

int Container_fd::open(const char *filename, int flags, pid_t pid, mode_t mode,
                       Vesk_open_opt *open_opt) {
    return container_open(&fd, filename, flags, pid, mode, open_opt);
}

int Container_fd::close(pid_t pid, uid_t u, int flags, Vesk_close_opt *close_opt) {
    return container_close(fd, pid, u, flags, close_opt);
}

ssize_t Container_fd::read(char *buf, size_t size, off_t offset) {
    return container_read(fd, buf, size, offset);
}

ssize_t Container_fd::write(const char *buf, size_t size, off_t offset, pid_t pid) {
    return container_write(fd, buf, size, offset, pid);
}

int Container_fd::sync() { return container_sync(fd); }

int Container_fd::sync(pid_t pid) { return container_sync(fd, pid); }

int Container_fd::publish(pid_t pid) { return container_flush(fd, pid); }

int Container_fd::refresh() { return container_refresh(fd); }

int Container_fd::trunc(const char *path, off_t offset) {
    return container_trunc(fd, path, offset, 1);
}

int Container_fd::getattr(const char *path, struct stat *stbuf, int sz_only) {
    return container_getattr(fd, path, stbuf, sz_only);
}

int Container_fd::query(size_t *writers, size_t *readers, size_t *bytes_written,
                        bool *reopen) {
    return container_query(fd, writers, readers, bytes_written, reopen);
}

bool Container_fd::is_good() { return true; }

int Container_fd::incrementOpens(int amount) { return fd->incrementOpens(amount); }

void Container_fd::setPath(std::string p) { fd->setPath(p); }

const char *Container_fd::getPath() { return fd->getPath(); }

int Container_fd::compress_metadata(const char *path) {
    return container_flatten_index(fd, path);
}

int Container_fd::rename(const char *path) { return container_rename_open_file(fd, path); }

int Container_fd::allocate(off_t offset, off_t len) {
    if (offset < 0 || len <= 0) return -EINVAL;
    if (offset > std::numeric_limits<off_t>::max() - len) return -EFBIG;
    struct stat st;
    int r = container_getattr(fd, fd->getPath(), &st, 1);
    if (r < 0) return r;
    if (st.st_size >= offset + len) return 0;
    return container_trunc(fd, fd->getPath(), offset + len, 1);
}
