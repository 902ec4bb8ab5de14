/*
 * ContainerFileSystem: the logical file system of container mounts. Every
 * path operation goes, with the logical path unchanged, to the container
 * layer; open makes a Container_fd. Stateless; `containerfs` serves every
 * thread.
 */
#ifndef VESK_CONTAINERFS_H
#define VESK_CONTAINERFS_H

#include "LogicalFS.h"

class ContainerFileSystem : public LogicalFileSystem {
public:
    ContainerFileSystem() {}
    ~ContainerFileSystem() override {}

    int open(Vesk_fd **pfd, const char *logical, int flags, pid_t pid, mode_t mode,
             Vesk_open_opt *open_opt) override;
    int getattr(const char *logical, struct stat *stbuf, int sz_only) override;
    int trunc(const char *logical, off_t offset, int open_file) override;
    int chown(const char *logical, uid_t u, gid_t g) override;
    int chmod(const char *logical, mode_t mode) override;
    int getmode(const char *logical, mode_t *mode) override;
    int access(const char *logical, int mask) override;
    int rename(const char *logical, const char *to) override;
    int link(const char *logical, const char *to) override;
    int utime(const char *logical, struct utimbuf *ut) override;
    int unlink(const char *logical) override;
    int create(const char *logical, mode_t mode, int flags, pid_t pid) override;
    int mkdir(const char *path, mode_t mode) override;
    int readdir(const char *path, void *buf) override;
    int readlink(const char *path, char *buf, size_t bufsize) override;
    int rmdir(const char *path) override;
    int symlink(const char *path, const char *to) override;
    int utimens(const char *logical, const struct timespec ts[2], int flags) override;
    int statvfs(const char *path, struct statvfs *stbuf) override;
};

extern ContainerFileSystem containerfs;

#endif
