/*
 * Util: thin wrappers around the system calls the library makes.
 *
 * Each wrapper performs the call of the same name and returns its result:
 * negative with errno set on failure. Callers read errno right after the
 * call (or use retValue). Wrappers trace every call through mlog at
 * MLOG_DBG3 of facility UTIL.
 *
 * Every call goes through one table of function pointers, VeskSyscalls,
 * which tests may replace to inject failures (see Util::syscalls()).
 */
#ifndef VESK_UTIL_H
#define VESK_UTIL_H

#include <dirent.h>
#include <pthread.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <utime.h>

struct VeskSyscalls {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void *buf, size_t size, off_t off);
    ssize_t (*pwrite)(int fd, const void *buf, size_t size, off_t off);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t len);
    int (*fstat)(int fd, struct stat *st);
    int (*lstat)(const char *path, struct stat *st);
    int (*truncate)(const char *path, off_t len);
    int (*lchown)(const char *path, uid_t u, gid_t g);
    int (*chmod)(const char *path, mode_t mode);
    int (*access)(const char *path, int mask);
    int (*utime)(const char *path, const struct utimbuf *ut);
    int (*unlink)(const char *path);
    int (*statvfs)(const char *path, struct statvfs *st);
    int (*symlink)(const char *content, const char *path);
    ssize_t (*readlink)(const char *path, char *buf, size_t size);
    int (*rename)(const char *from, const char *to);
    int (*mkdir)(const char *path, mode_t mode);
    int (*rmdir)(const char *path);
    /* renameat2(2) between two paths, with RENAME_EXCHANGE or
     * RENAME_NOREPLACE in `flags`. */
    int (*rename2)(const char *from, const char *to, unsigned flags);
    int (*utimensat)(int dirfd, const char *path, const struct timespec ts[2], int flags);
    int (*fallocate)(int fd, int mode, off_t off, off_t len);
    /* statfs(2): what kind of file system holds `path` (f_type). */
    int (*statfs)(const char *path, struct statfs *st);
};

class Util {
public:
    /* The table every wrapper calls through. Replace entries in tests; the
     * defaults are the plain system calls. Not locked: change it only
     * while no other thread uses the library. */
    static VeskSyscalls &syscalls();
    static void resetSyscalls();

    /* Opens a member of a container: neither the file nor the directory
     * holding it may be a symbolic link, and what is opened must be a
     * regular file (a directory with O_DIRECTORY). A link fails with EIO
     * (ELOOP when the caller asked O_NOFOLLOW itself), any other kind with
     * EIO; either is logged. A FIFO or device is never waited on. */
    static int Open(const char *path, int flags, mode_t mode);
    /* As Open, but the directories above the file may be links (a flat
     * file's backend directory may be one the administrator linked), and
     * a directory without O_DIRECTORY fails with EISDIR, unlogged: a flat
     * mount's directories are the user's own. */
    static int OpenFile(const char *path, int flags, mode_t mode);
    /* openat(2) of `path` with `flags` as given, not through the table
     * (for the looks at a directory's identity that fault injection
     * leaves alone). A path below a held directory ("/proc/self/fd/N/...")
     * is looked up from descriptor N. An O_PATH descriptor the library
     * opens (here or in Open) is closed before the call that opened it
     * returns: the preload leaves those where the kernel put them, and
     * moves every other one out of the program's way. */
    static int OpenAt(const char *path, int flags);
    /* The names in the directory at `path` ("." and ".." left out), in
     * the order the file system gives them, appended to *names. The
     * directory must not be a symbolic link: a link or any other kind
     * fails with EIO, logged. 0, or -1 with errno (*names may then hold
     * part of the listing). Its descriptor is opened, read and closed by
     * the system calls themselves, not through the C library's wrappers,
     * within this call: an interposer (the preload) never sees it and so
     * never moves it, and no buffer is allocated. */
    static int ListDir(const char *path, std::vector<std::string> *names);

    /* Files and directories the calling thread makes from now on through
     * Open (with O_CREAT) and Mkdir are given to uid/gid, when the process
     * runs as root; the group stays the directory's where it has the
     * set-group-ID bit. (uid_t)-1 stops it. */
    static void setCreator(uid_t uid, gid_t gid);
    /* While alive, sets the calling thread's creator aside: for what
     * belongs to no user (the staging directory every user shares). */
    class CreatorPause {
    public:
        CreatorPause();
        ~CreatorPause();
        CreatorPause(const CreatorPause &) = delete;
        CreatorPause &operator=(const CreatorPause &) = delete;

    private:
        uid_t uid_;
        gid_t gid_;
    };
    static int Close(int fd);
    static ssize_t Pread(int fd, void *buf, size_t size, off_t off);
    static ssize_t Pwrite(int fd, const void *buf, size_t size, off_t off);
    static int Fsync(int fd);
    static int Ftruncate(int fd, off_t len);
    static int Fstat(int fd, struct stat *st);

    static int Lstat(const char *path, struct stat *st);
    static int Truncate(const char *path, off_t len);
    static int Lchown(const char *path, uid_t u, gid_t g);
    /* Never follows a symbolic link: a link fails with EOPNOTSUPP. */
    static int Chmod(const char *path, int mode);
    static int Access(const char *path, int mask);
    /* Sets the times of a symbolic link itself, never its target. */
    static int Utime(const char *path, const struct utimbuf *ut);
    /* utimensat(2) relative to the working directory: nanoseconds,
     * UTIME_NOW and UTIME_OMIT, AT_SYMLINK_NOFOLLOW in `flags`. */
    static int Utimens(const char *path, const struct timespec ts[2], int flags);
    /* fallocate(2) on an open descriptor. */
    static int Fallocate(int fd, int mode, off_t off, off_t len);
    static int Unlink(const char *path);
    static int Statvfs(const char *path, struct statvfs *st);
    /* Whether the file system holding `path` may answer with attributes a
     * client cached (a network or FUSE file system, or one not known),
     * so that only an open of a file shows its current size
     * (close-to-open). A local disk or memory file system answers from
     * the inode itself: false. */
    static bool AttributesMayBeCached(const char *path);
    static int Symlink(const char *content, const char *path);
    static int Rename(const char *from, const char *to);
    /* rename with renameat2 flags (RENAME_EXCHANGE swaps the two names,
     * RENAME_NOREPLACE refuses an existing `to`). */
    static int Rename2(const char *from, const char *to, unsigned flags);
    static int Mkdir(const char *path, mode_t mode);
    static int Rmdir(const char *path);
    /* Stores at most `size` bytes of the content, no terminator; returns
     * the length. */
    static ssize_t Readlink(const char *path, char *buf, size_t size);
    /* Creates the file (or leaves an existing one) and closes it: 0. */
    static int Creat(const char *path, mode_t mode);
    /* 0 once `to` holds a complete copy of `from`, with its permission
     * bits, access and modification times, and its owner and group as far
     * as the caller may give them. On failure no partial `to` is left (it
     * is written under a temporary name in the staging directory of the
     * backend of `to`, or beside `to` under no backend, and renamed into
     * place). */
    static int CopyFile(const char *from, const char *to);
    /* 0 once `to` is a symbolic link with the content, times and (as far
     * as the caller may) owner of the link `from` (made under a temporary
     * name and renamed over `to`, as rename(2) replaces). -1 with errno set
     * otherwise; `from` is left in place. */
    static int CopyLink(const char *from, const char *to);

    /* Makes the entries of directory `path` durable: opens it and fsyncs
     * it (through the table, as every call). 0 or -1 with errno set. */
    static int FsyncDir(const char *path);
    /* FsyncDir of the directory holding `path` (its text up to the last
     * '/'; "." for a bare name). */
    static int FsyncParent(const char *path);
    /* The directory part of `path`, as FsyncParent takes it. */
    static std::string dirName(const std::string &path);

    /* Writes all of buf (retrying short writes and EINTR); size or -1. */
    static ssize_t WriteAll(int fd, const void *buf, size_t size, off_t off);
    /* Reads until size bytes or end of file; the count or -1. */
    static ssize_t ReadAll(int fd, void *buf, size_t size, off_t off);

    /* 0 for a successful wrapper result, else minus errno. */
    static int retValue(int res);

    static int MutexLock(pthread_mutex_t *mux, const char *where);
    static int MutexUnlock(pthread_mutex_t *mux, const char *where);

    /* Appends the non-empty pieces of text between delimiters, in order. */
    static void tokenize(const std::string &text, const std::string &delims,
                         std::vector<std::string> &tokens);

    static bool isDirectory(const char *path);
    static bool exists(const char *path);
    static std::string hostname();
    /* Seconds since the epoch, microsecond resolution. */
    static double getTime();
};

/* Debug printer: writes to standard error when VESK_DEBUG is set in the
 * environment (or debug is switched on in the configuration); always
 * passes the text to the log at MLOG_DBG1. Returns the bytes printed. */
extern "C" int vesk_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
