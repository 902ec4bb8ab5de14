/*
 * The container file system: a forwarding layer over the container
 * functions. Nothing is expanded here; the container layer receives the
 * logical path as the caller gave it.
 */
#include "ContainerFS.h"
#include "ContainerFD.h"

#include "container/Container.h"

ContainerFileSystem containerfs;

int ContainerFileSystem::open(Vesk_fd **pfd, const char *logical, int flags, pid_t pid,
                              mode_t mode, Vesk_open_opt *open_opt) {
    bool newly_created = false;
    if (*pfd == nullptr) {
        *pfd = new Container_fd();
        newly_created = true;
    }
    int ret = (*pfd)->open(logical, flags, pid, mode, open_opt);
    // Any result but 0 is a failure here, not only a negative one.
    if (ret != 0 && newly_created) {
        delete *pfd;
        *pfd = nullptr;
    }
    return ret;
}

int ContainerFileSystem::getattr(const char *logical, struct stat *stbuf, int sz_only) {
    return container_getattr(nullptr, logical, stbuf, sz_only);
}

int ContainerFileSystem::trunc(const char *logical, off_t offset, int open_file) {
    return container_trunc(nullptr, logical, offset, open_file);
}

int ContainerFileSystem::chown(const char *logical, uid_t u, gid_t g) {
    return container_chown(logical, u, g);
}

int ContainerFileSystem::chmod(const char *logical, mode_t mode) {
    return container_chmod(logical, mode);
}

int ContainerFileSystem::getmode(const char *logical, mode_t *mode) {
    return container_mode(logical, mode);
}

int ContainerFileSystem::access(const char *logical, int mask) {
    return container_access(logical, mask);
}

int ContainerFileSystem::rename(const char *logical, const char *to) {
    return container_rename(logical, to);
}

int ContainerFileSystem::link(const char *logical, const char *to) {
    return container_link(logical, to);
}

int ContainerFileSystem::utime(const char *logical, struct utimbuf *ut) {
    return container_utime(logical, ut);
}

int ContainerFileSystem::utimens(const char *logical, const struct timespec ts[2],
                                 int flags) {
    return container_utimens(logical, ts, flags);
}

int ContainerFileSystem::unlink(const char *logical) { return container_unlink(logical); }

int ContainerFileSystem::create(const char *logical, mode_t mode, int flags, pid_t pid) {
    return container_create(logical, mode, flags, pid);
}

int ContainerFileSystem::mkdir(const char *path, mode_t mode) {
    return container_mkdir(path, mode);
}

int ContainerFileSystem::readdir(const char *path, void *buf) {
    return container_readdir(path, buf);
}

int ContainerFileSystem::readlink(const char *path, char *buf, size_t bufsize) {
    return container_readlink(path, buf, bufsize);
}

int ContainerFileSystem::rmdir(const char *path) { return container_rmdir(path); }

int ContainerFileSystem::symlink(const char *path, const char *to) {
    return container_symlink(path, to);
}

int ContainerFileSystem::statvfs(const char *path, struct statvfs *stbuf) {
    return container_statvfs(path, stbuf);
}
