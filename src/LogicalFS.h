/*
 * LogicalFileSystem: the path operations of one kind of logical file
 * system. Implementations hold no state, so one global instance of each
 * (flatfs, containerfs) serves every thread.
 *
 * Every operation returns 0, a count (readlink: the link length) or minus
 * errno. A handle made by open() belongs to the caller and is used only
 * with the file system that made it.
 */
#ifndef VESK_LOGICALFS_H
#define VESK_LOGICALFS_H

#include <sys/types.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <utime.h>

#include "vesk.h"

class Vesk_fd;

class LogicalFileSystem {
public:
    virtual ~LogicalFileSystem() {}

    /* A null *pfd makes a new handle; one in *pfd is opened once more.
     * When the open fails, a handle made here is destroyed and *pfd is
     * null again; a handle passed in stays. */
    virtual int open(Vesk_fd **pfd, const char *logical, int flags,
                     pid_t pid, mode_t mode, Vesk_open_opt *open_opt) = 0;
    virtual int getattr(const char *logical, struct stat *stbuf,
                        int sz_only) = 0;
    virtual int trunc(const char *logical, off_t offset, int open_file) = 0;
    virtual int chown(const char *logical, uid_t u, gid_t g) = 0;
    virtual int chmod(const char *logical, mode_t mode) = 0;
    virtual int getmode(const char *logical, mode_t *mode) = 0;
    virtual int access(const char *logical, int mask) = 0;
    virtual int rename(const char *logical, const char *to) = 0;
    virtual int link(const char *logical, const char *to) = 0;
    virtual int utime(const char *logical, struct utimbuf *ut) = 0;
    virtual int unlink(const char *logical) = 0;
    virtual int create(const char *logical, mode_t mode, int flags,
                       pid_t pid) = 0;
    virtual int mkdir(const char *logical, mode_t mode) = 0;
    /* buf is a Vesk_dirents* (std::set<std::string>*) */
    virtual int readdir(const char *logical, void *buf) = 0;
    /* Copies the link content; NUL-terminated only when shorter than
     * bufsize. Returns its length. */
    virtual int readlink(const char *logical, char *buf, size_t bufsize) = 0;
    virtual int rmdir(const char *logical) = 0;
    /* Makes a link at `to` holding `logical`, unexpanded. */
    virtual int symlink(const char *logical, const char *to) = 0;
    virtual int statvfs(const char *logical, struct statvfs *stbuf) = 0;
    /* Sets the times to the nanosecond, as utimensat(2) does (UTIME_NOW,
     * UTIME_OMIT); AT_SYMLINK_NOFOLLOW in `flags` sets a link's own. */
    virtual int utimens(const char *logical, const struct timespec ts[2], int flags) = 0;
};

#endif
