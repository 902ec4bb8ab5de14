/*
 * vesk: the public interface of libvesk.
 *
 * Every function returns 0, a count (bytes, remaining opens, link length),
 * or minus errno. Logical paths are as the user names the file; the
 * configuration's mount points decide which backends and which layout
 * (flat files or containers) serve them.
 */
#ifndef VESK_H
#define VESK_H

#include <stdio.h>
#include <sys/types.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <utime.h>

/* The interface through which the library is called. */
typedef enum vesk_interface {
    VESK_API = 0,
    VESK_POSIX = 1,
    VESK_MPIIO = 2
} vesk_interface;

/* Options of an open; owned by the caller, may be passed as null. */
typedef struct Vesk_open_opt {
    char *index_stream;   /* index data supplied by the caller */
    int buffer_index;     /* container: keep a read index for the writer */
    vesk_interface pinter;
    int reopen;           /* container: the open is a reopen */
} Vesk_open_opt;

/* Options of a close; owned by the caller, may be passed as null. */
typedef struct Vesk_close_opt {
    off_t last_offset;    /* size metadata supplied by the caller ... */
    size_t total_bytes;
    int valid_meta;       /* ... valid when non-zero */
    vesk_interface pinter;
    size_t num_procs;
} Vesk_close_opt;

#ifdef __cplusplus
#include <cstdint>
#include <set>
#include <string>
#include <vector>

class Vesk_fd;

/* The collection that readdir fills: entry names, each once. */
typedef std::set<std::string> Vesk_dirents;

extern "C" {
#endif

/* Texts fixed when the library was built; owned by the library. */
const char *vesk_tag(void);
const char *vesk_version(void);
const char *vesk_buildtime(void);

#ifdef __cplusplus
}  /* extern "C" */

/* --- Open files -------------------------------------------------------- */

/* Opens `path`. A null *fd makes a new handle; a handle in *fd is opened
 * once more. On failure a handle made by this call is destroyed and *fd is
 * null again. `pid` names the writer (each pid writes logs of its own in a
 * container). */
int vesk_open(Vesk_fd **fd, const char *path, int flags, pid_t pid,
              mode_t mode, Vesk_open_opt *opt = nullptr);
/* Drops one open; returns the opens left. The handle is destroyed by the
 * close that leaves none, and must not be used after that. A close that
 * fails (what was written cannot be recorded: the disk is full) drops
 * nothing: the handle stays open and the close may be retried. */
int vesk_close(Vesk_fd *fd, pid_t pid, uid_t uid, int open_flags,
               Vesk_close_opt *opt = nullptr);
ssize_t vesk_read(Vesk_fd *fd, char *buf, size_t size, off_t offset);
ssize_t vesk_write(Vesk_fd *fd, const char *buf, size_t size, off_t offset,
                   pid_t pid);
/* Makes what pid wrote durable. 0 or the first error; what could not be
 * written stays buffered, and a later sync or close writes it. */
int vesk_sync(Vesk_fd *fd, pid_t pid);
/* Makes what pid wrote visible to every later open, without making it
 * durable (what close(2) promises, as against fsync). 0 or minus errno,
 * what could not be written staying buffered. */
int vesk_flush(Vesk_fd *fd, pid_t pid);
/* Makes the next read through the handle see what other processes made
 * visible since the handle last merged the file's index (a container
 * handle keeps the index it merged; flat files are always current). */
int vesk_refresh(Vesk_fd *fd);
int vesk_trunc(Vesk_fd *fd, const char *path, off_t offset);
/* fd may be null: then the path is looked up. */
int vesk_getattr(Vesk_fd *fd, const char *path, struct stat *st, int sz_only);
int vesk_query(Vesk_fd *fd, size_t *writers, size_t *readers,
               size_t *bytes_written, bool *reopen);

/* --- Paths ------------------------------------------------------------- */
int vesk_access(const char *path, int mask);
int vesk_chmod(const char *path, mode_t mode);
int vesk_chown(const char *path, uid_t uid, gid_t gid);
int vesk_mode(const char *path, mode_t *mode);
int vesk_rename(const char *from, const char *to);
int vesk_link(const char *from, const char *to);
int vesk_utime(const char *path, struct utimbuf *ut);
int vesk_unlink(const char *path);
int vesk_create(const char *path, mode_t mode, int flags, pid_t pid);
int vesk_mkdir(const char *path, mode_t mode);
int vesk_readdir(const char *path, Vesk_dirents *entries);
int vesk_readlink(const char *path, char *buf, size_t bufsize);
int vesk_rmdir(const char *path);
int vesk_symlink(const char *content, const char *linkpath);
int vesk_statvfs(const char *path, struct statvfs *st);
/* Truncates a file that need not be open. */
int vesk_truncate(const char *path, off_t offset);
/* Makes the entries of directory `path` durable on every backend that
 * holds a copy of it (fsync of each copy). -ENOENT when none does. */
int vesk_syncdir(const char *path);

/* A server acting for other users (run as root) names the user it acts
 * for: what the calling thread's container opens, writes and truncations
 * make inside a container from then on (the container itself, host
 * directories, logs, records) is given to uid/gid, the group staying a
 * set-group-ID directory's. (uid_t)-1 stops it. */
void vesk_set_creator(uid_t uid, gid_t gid);

/* --- Administration ---------------------------------------------------- */

/* Writes the merged index of a container file to `out`; -EBADF... for a
 * flat file, which has no index (see the header comment of each). */
int vesk_dump_index(FILE *out, const char *path, int compress);
/* Prints and checks the configuration; creates missing backends when
 * make_dir. 0 when all is sound. */
int vesk_dump_config(int check_dirs, int make_dir);
/* Repairs a container left damaged by a crash; -EEXIST when it is sound. */
int vesk_recover(const char *path);
/* Flattens the index of a container file; a null fd opens and closes it. */
int vesk_flatten_index(Vesk_fd *fd, const char *path);
/* One fault found by vesk_scrub. */
struct Vesk_scrub_problem {
    std::string path;   /* the logical file */
    std::string part;   /* the log or record concerned, within the file */
    long long begin;    /* logical bytes concerned, [begin, end); -1: */
    long long end;      /* not known (all of one writer's bytes) */
    std::string what;
    bool repaired;      /* mended by the repair that was asked for */
};
/* Checks every record and stored byte of the file at `path` against its
 * checksums and the format's rules, appending one entry per fault; with
 * `repair`, cuts torn tails and sets aside records that fail their checks
 * (see docs/reliability.md). Adds the data bytes checked to
 * *bytes_checked (may be null). 0 when the check ran, else minus errno. */
int vesk_scrub(const char *path, int repair, std::vector<Vesk_scrub_problem> &problems,
               uint64_t *bytes_checked);
/* The format version of the file at `path` (library-owned text). */
int vesk_file_version(const char *path, const char **version);

/* The mount point number `i` of the configuration, copied into buf: its
 * length, -ENOENT past the last one, -ERANGE when buf is too small. */
int vesk_mount_point(size_t i, char *buf, size_t size);
/* Logs `text` as an error of the API facility, for programs built on the
 * library that report through its log. */
void vesk_log_error(const char *text);

#endif /* __cplusplus */

#endif
