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

/* An open logical file. C callers hold it as an opaque pointer; C++ callers
 * see the class (LogicalFD.h) behind the same name. */
#ifdef __cplusplus
class Vesk_fd;
#else
typedef struct Vesk_fd Vesk_fd;
#include <stdbool.h>
#endif

/* How a mount point stores its files. */
typedef enum vesk_layout {
    VESK_LAYOUT_CONTAINER = 0,  /* one container directory per file */
    VESK_LAYOUT_FLAT = 1        /* one backend file per file */
} vesk_layout;

/* Called by vesk_readdir for each entry name, each once, in name order;
 * a non-zero result stops the listing and becomes vesk_readdir's. */
typedef int (*vesk_dirent_fn)(const char *name, void *arg);

/* Called by vesk_mount_info for each backend directory, in order; a
 * non-zero result stops and becomes vesk_mount_info's. */
typedef int (*vesk_backend_fn)(const char *backend, void *arg);

/* Counters of the entry points since the library was loaded. */
typedef struct vesk_counters {
    unsigned long long opens, closes, reads, writes;
    unsigned long long bytes_read, bytes_written;
} vesk_counters;

#ifdef __cplusplus
extern "C" {
#endif

/* Texts fixed when the library was built; owned by the library. */
const char *vesk_tag(void);
const char *vesk_version(void);
const char *vesk_buildtime(void);

/* --- Open files -------------------------------------------------------- */

/* Opens `path`. A null *fd makes a new handle; a handle in *fd is opened
 * once more. On failure a handle made by this call is destroyed and *fd is
 * null again. `pid` names the writer (each pid writes logs of its own in a
 * container). `opt` may be null. */
int vesk_open(Vesk_fd **fd, const char *path, int flags, pid_t pid,
              mode_t mode, Vesk_open_opt *opt);
/* Drops one open; returns the opens left. The handle is destroyed by the
 * close that leaves none, and must not be used after that. A close that
 * fails (what was written cannot be recorded: the disk is full) drops
 * nothing: the handle stays open and the close may be retried. `opt` may
 * be null. */
int vesk_close(Vesk_fd *fd, pid_t pid, uid_t uid, int open_flags,
               Vesk_close_opt *opt);
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
/* ftruncate(2) of the open file the handle holds; `path` is not looked up
 * (it may be null). */
int vesk_trunc(Vesk_fd *fd, const char *path, off_t offset);
/* fallocate(2) mode 0 of an open file: [offset, offset + len) becomes part
 * of it, the size growing when shorter. Other modes: -EOPNOTSUPP. */
int vesk_fallocate(Vesk_fd *fd, int mode, off_t offset, off_t len);
/* stat(2) of `path`, or, with a handle, fstat(2) of the open file it holds,
 * wherever its name went: `path` is then not looked up (it may be null).
 * A file unlinked or replaced by a rename while open keeps answering
 * through its handles, with st_nlink 0 once no name leads to it; the size
 * counts this process's writes through any of its handles, published or
 * not. Handles of one file in one process keep it until the last of them
 * closes. `sz_only` VESK_GETATTR_NO_SIZE asks for everything but the size,
 * sparing the listing (or merge) that measuring a container takes: st_size
 * and st_blocks are then not to be relied on (a container's are 0); other
 * values ask for all. */
#define VESK_GETATTR_NO_SIZE 2
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
/* utimensat(2) of a logical file: times to the nanosecond, UTIME_NOW and
 * UTIME_OMIT. A link is followed (its target a logical path) unless
 * `flags` holds AT_SYMLINK_NOFOLLOW, which sets the link's own times. */
struct timespec;
int vesk_utimens(const char *path, const struct timespec *ts, int flags);
/* Removes the name at once. A file this process holds open stays usable
 * through its handles here until the last of them closes, and a rename
 * over such a file keeps it the same way; on a container mount, holders
 * in other processes are not known, and lose the logs (see
 * docs/reliability.md). */
int vesk_unlink(const char *path);
int vesk_create(const char *path, mode_t mode, int flags, pid_t pid);
int vesk_mkdir(const char *path, mode_t mode);
/* Lists the directory: `fn` sees each name once (see vesk_dirent_fn). */
int vesk_readdir(const char *path, vesk_dirent_fn fn, void *arg);
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

/* Writes the merged index of a container file to `out`; -ENOTSUP for a
 * flat file, which has no index. */
int vesk_dump_index(FILE *out, const char *path, int compress);
/* Prints and checks the configuration; creates missing backends when
 * make_dir. 0 when all is sound. */
int vesk_dump_config(int check_dirs, int make_dir);
/* Repairs a container left damaged by a crash; -EEXIST when it is sound. */
int vesk_recover(const char *path);
/* Flattens the index of a container file; a null fd opens and closes it. */
int vesk_flatten_index(Vesk_fd *fd, const char *path);
/* The format version of the file at `path` (library-owned text). */
int vesk_file_version(const char *path, const char **version);

/* --- Configuration ----------------------------------------------------- */

/* 0 when the configuration is sound or there is no configuration file;
 * -EINVAL when it has errors: then every path call fails with -EINVAL and
 * the first error, "file:line: what is wrong", is copied into msg (at most
 * size bytes, NUL-terminated; msg may be null). */
int vesk_config_check(char *msg, size_t size);
/* Copies the configuration file's path into buf: 0, -ENOENT when there is
 * none, -ERANGE when buf is too small. */
int vesk_config_file(char *buf, size_t size);
/* The mount point `mount` (an absolute, normalized path) as configured:
 * its layout, and each backend through fn. -ENOENT when no mount point of
 * that name exists, -EINVAL when the configuration has errors. */
int vesk_mount_info(const char *mount, vesk_layout *layout, vesk_backend_fn fn,
                    void *arg);
/* Serves `mount` from `count` backend directories when there is no
 * configuration file: a built-in mount for a program that describes it on
 * its command line. -EEXIST when a configuration file exists, whose mount
 * points alone are served. */
int vesk_mount_builtin(const char *mount, vesk_layout layout,
                       const char *const *backends, size_t count);
/* For a daemon about to lose its terminal: sends the log to syslog under
 * `facility` ("daemon", "user", "local0".."local7") unless the
 * configuration chose its own (log_syslog, "none" included). 0, or
 * -EINVAL for an unknown facility. */
int vesk_log_syslog(const char *facility);
/* The mount point number `i` of the configuration, copied into buf: its
 * length, -ENOENT past the last one, -ERANGE when buf is too small. */
int vesk_mount_point(size_t i, char *buf, size_t size);
/* Logs `text` as an error of the API facility, for programs built on the
 * library that report through its log. */
void vesk_log_error(const char *text);
/* Fills *out with the counters; 0 or -EINVAL. */
int vesk_get_counters(vesk_counters *out);

#ifdef __cplusplus
}  /* extern "C" */

#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

/* The collection the C++ form of readdir fills: entry names, each once. */
typedef std::set<std::string> Vesk_dirents;

/* C++ conveniences over the entry points above. */
inline int vesk_open(Vesk_fd **fd, const char *path, int flags, pid_t pid, mode_t mode) {
    return vesk_open(fd, path, flags, pid, mode, (Vesk_open_opt *)0);
}
inline int vesk_close(Vesk_fd *fd, pid_t pid, uid_t uid, int open_flags) {
    return vesk_close(fd, pid, uid, open_flags, (Vesk_close_opt *)0);
}
/* Adds the directory's entry names to *entries. */
inline int vesk_readdir(const char *path, Vesk_dirents *entries) {
    if (!entries) return -EINVAL;
    return vesk_readdir(
        path,
        [](const char *name, void *arg) {
            static_cast<Vesk_dirents *>(arg)->insert(name);
            return 0;
        },
        entries);
}

/* --- C++ only ----------------------------------------------------------- */

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
#endif /* __cplusplus */

#endif
