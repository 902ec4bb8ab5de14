/*
 * FlatFileSystem: each logical file is one ordinary file on the backend
 * that path expansion picks for it. Stateless; `flatfs` serves every
 * thread.
 */
#ifndef VESK_FLATFILEFS_H
#define VESK_FLATFILEFS_H

#include "LogicalFS.h"

class FlatFileSystem : public LogicalFileSystem {
public:
    ~FlatFileSystem() override {}

    int open(Vesk_fd **pfd, const char *logical, int flags, pid_t pid,
             mode_t mode, Vesk_open_opt *open_opt) override;
    int getattr(const char *logical, struct stat *stbuf, int sz_only) override;
    int trunc(const char *logical, off_t offset, int open_file) override;
    int chown(const char *logical, uid_t u, gid_t g) override;
    int chmod(const char *logical, mode_t mode) override;
    int getmode(const char *logical, mode_t *mode) override;
    int access(const char *logical, int mask) override;
    /* Files and links: one rename, or copy and unlink across devices.
     * Directories: renamed on every backend. */
    int rename(const char *logical, const char *to) override;
    /* Hard links are not supported: -ENOSYS. */
    int link(const char *logical, const char *to) override;
    int utime(const char *logical, struct utimbuf *ut) override;
    int unlink(const char *logical) override;
    /* Creates with the owner-write bit added to `mode`. */
    int create(const char *logical, mode_t mode, int flags, pid_t pid) override;
    int mkdir(const char *logical, mode_t mode) override;
    int readdir(const char *logical, void *buf) override;
    int readlink(const char *logical, char *buf, size_t bufsize) override;
    int rmdir(const char *logical) override;
    int symlink(const char *logical, const char *to) override;
    int utimens(const char *logical, const struct timespec ts[2], int flags) override;
    int statvfs(const char *logical, struct statvfs *stbuf) override;
};

extern FlatFileSystem flatfs;

#endif
