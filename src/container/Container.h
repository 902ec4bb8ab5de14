/*
 * The container layer's entry points. A logical file of a container mount
 * is a directory on a backend (the container) holding per-writer data and
 * index logs; these functions serve it as one ordinary file.
 *
 * Paths are logical paths. Results: 0, a count, or minus errno.
 */
#ifndef VESK_CONTAINER_H
#define VESK_CONTAINER_H

#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <utime.h>

#include "vesk.h"

class Container_OpenFile;

/* Name of the marker file that makes a backend directory a container. */
#define VESK_CONTAINER_MARKER ".vesk_container"

/* Whether the backend directory `dir` is a container (holds the marker). */
bool container_is_container(const std::string &dir);

int container_open(Container_OpenFile **pfd, const char *path, int flags,
                   pid_t pid, mode_t mode, Vesk_open_opt *open_opt);
/* Ends one of the record's opens and returns the opens it still holds;
 * the record is freed after its last. Every handle has a record of its
 * own. When the close cannot write the records it must (the disk is full),
 * it returns the error and ends nothing: the open, and its records, stay
 * for a retry. */
int container_close(Container_OpenFile *fd, pid_t pid, uid_t u, int flags,
                    Vesk_close_opt *close_opt);
ssize_t container_read(Container_OpenFile *fd, char *buf, size_t size,
                       off_t offset);
ssize_t container_write(Container_OpenFile *fd, const char *buf, size_t size,
                        off_t offset, pid_t pid);
/* The data and index logs of the record's writers (of pid's) made
 * durable. 0 or the first error; records not written stay buffered, and a
 * later sync or close writes them. */
int container_sync(Container_OpenFile *fd);
int container_sync(Container_OpenFile *fd, pid_t pid);
/* pid's buffered index records written to its log without making them
 * durable: later opens see its writes (what close(2) promises). 0 or
 * -errno, the records then staying buffered. */
int container_flush(Container_OpenFile *fd, pid_t pid);
/* The merged index this process keeps for the file is dropped: the next
 * read merges the logs again and sees the records other writers published
 * since. 0 or -EBADF. */
int container_refresh(Container_OpenFile *fd);
/* fd may be null; open_file says whether the caller holds the file open. */
int container_trunc(Container_OpenFile *fd, const char *path, off_t offset,
                    int open_file);
/* fd may be null. */
int container_getattr(Container_OpenFile *fd, const char *path,
                      struct stat *stbuf, int sz_only);
int container_query(Container_OpenFile *fd, size_t *writers, size_t *readers,
                    size_t *bytes_written, bool *reopen);
int container_flatten_index(Container_OpenFile *fd, const char *path);
int container_rename_open_file(Container_OpenFile *fd, const char *path);

int container_chown(const char *path, uid_t u, gid_t g);
int container_chmod(const char *path, mode_t mode);
int container_mode(const char *path, mode_t *mode);
int container_access(const char *path, int mask);
int container_rename(const char *path, const char *to);
int container_link(const char *path, const char *to);
int container_utime(const char *path, struct utimbuf *ut);
/* utimensat(2) of the file: nanoseconds, UTIME_NOW, UTIME_OMIT; a link's
 * own times with AT_SYMLINK_NOFOLLOW. */
int container_utimens(const char *path, const struct timespec ts[2], int flags);
int container_unlink(const char *path);
int container_create(const char *path, mode_t mode, int flags, pid_t pid);
/* Directories exist on every backend of the mount. */
int container_mkdir(const char *path, mode_t mode);
/* buf is a Vesk_dirents*: the union of the entries of every backend. */
int container_readdir(const char *path, void *buf);
/* Refuses a non-empty directory before removing it anywhere. */
int container_rmdir(const char *path);
int container_readlink(const char *path, char *buf, size_t bufsize);
int container_symlink(const char *path, const char *to);
int container_statvfs(const char *path, struct statvfs *stbuf);

/* --- for the administration tools ---------------------------------------- */

/* One piece of a container's merged index: `length` bytes at
 * `logical_offset` of the file are at `physical_offset` of the data log
 * `data_path` (a backend path) written by pid `writer`. */
struct ContainerIndexEntry {
    off_t logical_offset;
    size_t length;
    pid_t writer;
    std::string data_path;
    off_t physical_offset;
};

/* Appends the pieces of the merged index of the container at `path`, in
 * logical order. 0; -ENOENT, -EISDIR (a directory), -EBADF (a flat file or
 * link: no index), -EIO (a corrupt index log). */
int container_index_entries(const char *path, std::vector<ContainerIndexEntry> &out);
/* The format version of the container at `path` as library-owned text
 * ("1"). 0; -ENOENT, -EINVAL (no container), -EIO (unknown marker). */
int container_file_version(const char *path, const char **version);
/* Repairs a container left damaged by a crash: rewrites a lost or mangled
 * marker, clears records of writers of this host that no longer run,
 * drops a stale flattened index and rebuilds the size records from the
 * index logs. 0 when something was repaired, -EEXIST when all was sound,
 * -ENOENT when nothing is there, -EISDIR for a plain directory. */
int container_recover(const char *path);

#endif
