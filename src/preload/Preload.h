/*
 * Internals of the interposing library shared by its parts: the libc
 * functions underneath, path classification, the descriptor table.
 *
 * A program's calls reach the wrappers here first (the library is loaded
 * with LD_PRELOAD); whatever names a path or descriptor outside every mount
 * point goes on to libc unchanged, through pointers found with
 * dlsym(RTLD_NEXT).
 */
#ifndef VESK_PRELOAD_H
#define VESK_PRELOAD_H

#include <atomic>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

#include "vesk.h"

#define VP_EXPORT extern "C" __attribute__((visibility("default")))

/* The libc function `name`, looked up on first use. */
#define VP_REAL(name)                                                              \
    ([]() {                                                                        \
        static std::atomic<void *> p{nullptr};                                     \
        void *f = p.load(std::memory_order_relaxed);                               \
        if (__builtin_expect(f == nullptr, 0)) {                                   \
            f = dlsym(RTLD_NEXT, #name);                                           \
            p.store(f, std::memory_order_relaxed);                                 \
        }                                                                          \
        return reinterpret_cast<decltype(&::name)>(f);                             \
    }())

namespace vp {

/* Sets errno from a negative result; returns the result or -1. */
inline long fail(long r) {
    if (r < 0) {
        errno = (int)-r;
        return -1;
    }
    return r;
}

/* Logs an error through the library's log. */
void log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Logs, once per call name and process, that a call on a vesk descriptor
 * or path is not served; returns -err. */
int unserved(const char *call, int err);

/* Set while the library works for us: its own calls go straight to libc,
 * and the descriptors it opens are moved above the numbers programs pick
 * (a shell's `exec 7>file` must not land on a backend file). */
extern thread_local int t_inside __attribute__((tls_model("initial-exec")));
struct Inside {
    Inside() { t_inside++; }
    ~Inside() { t_inside--; }
    Inside(const Inside &) = delete;
    Inside &operator=(const Inside &) = delete;
};
/* Moves a descriptor the library opened out of the low numbers. */
int relocate(int fd);
/* Grows the descriptor table to the numbers relocate uses (at start). */
void reserve_high_fds();

/* --- Paths (Paths.cpp) -------------------------------------------------- */

/* True once the mount table is known; before that every call is libc's. */
extern std::atomic<bool> g_ready;

/* Loads the mount points (called once at start). */
void paths_init();
/* Whether `path`, taken relative to `dirfd` (AT_FDCWD or a descriptor),
 * lies under a mount point; fills *abs with its normalized absolute path
 * when it does. The common case, an absolute path outside every mount, is
 * a few comparisons. */
bool classify(int dirfd, const char *path, std::string *abs);
inline bool classify(const char *path, std::string *abs) { return classify(AT_FDCWD, path, abs); }
/* Whether a normalized absolute path lies under a mount point. */
bool under_mount(const std::string &abs);
/* The working directory when it lies in a mount, else empty. */
std::string vesk_cwd();
void set_vesk_cwd(const std::string &abs);
/* The real working directory changed (libc chdir/fchdir succeeded). */
void real_cwd_changed();
/* Lexical normalization of an absolute path. */
std::string normalize(const std::string &p);

/* stat of a vesk path, following symbolic links when `follow`. */
int vstat(const std::string &abs, struct stat *st, bool follow);
/* Resolves symbolic links of the last component (for open and stat):
 * 1 when a link led out of every mount (the kernel's file answers), else
 * 0 or -errno. With `found`, it gets what vesk_mode said of the last
 * path looked at (0 or -errno) and `mode` its type, which spares the
 * caller asking again. */
int follow_links(std::string *abs, int *found = nullptr, mode_t *mode = nullptr);

/* --- Descriptors (FdTable.cpp) ------------------------------------------ */

/* What a dup, fork or exec shares: lives in a memfd whose O_PATH
 * descriptor is the number the program sees, so the kernel counts its
 * references and carries it across exec. */
struct Shared {
    uint64_t magic;
    pthread_mutex_t mu;  // process-shared, robust: guards offset and flags
    int64_t offset;
    int flags;           // O_ACCMODE, O_APPEND, O_NONBLOCK... as the program set them
    int is_dir;
    int64_t dir_pos;
    uint64_t file_dev;   // the file opened (as its stat gives it), so that a
    uint64_t file_ino;   // process reopening it by name knows it; 0: unknown
    char path[PATH_MAX];
};

/* One open file description as this process sees it. */
struct Desc {
    Shared *sh = nullptr;
    ino_t ino = 0;
    std::atomic<int> refs{1};  // table slots plus calls in flight
    std::mutex mu;             // serializes this process's use of vfd
    Vesk_fd *vfd = nullptr;    // this process's handle, opened on first use
    uint64_t gen = 0;          // process generation that opened vfd
    int vfd_flags = 0;
    std::vector<std::string> names;  // directory listing, read on first use
    bool listed = false;
};

constexpr int kMaxFd = 1 << 16;

/* The descriptor's Desc with a reference taken, or null (not a vesk fd).
 * The first test is one relaxed load. */
extern std::atomic<Desc *> g_table[kMaxFd];
Desc *acquire_slow(int fd);
inline bool is_vesk(int fd) {
    return t_inside == 0 && (unsigned)fd < (unsigned)kMaxFd && g_table[fd].load(std::memory_order_relaxed) != nullptr;
}
inline Desc *acquire(int fd) {
    if ((unsigned)fd >= (unsigned)kMaxFd || t_inside) return nullptr;
    if (__builtin_expect(g_table[fd].load(std::memory_order_relaxed) == nullptr, 1)) return nullptr;
    return acquire_slow(fd);
}
void release(Desc *d);

/* RAII reference to a Desc. */
struct Ref {
    Desc *d;
    explicit Ref(int fd) : d(acquire(fd)) {}
    ~Ref() {
        if (d) release(d);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    explicit operator bool() const { return d != nullptr; }
    Desc *operator->() const { return d; }
};

/* Opens a vesk path as a new descriptor; returns it or -errno. */
int vopen(const std::string &abs, int flags, mode_t mode);
/* Makes `newfd` (a kernel descriptor just created by dup) share d. */
void install(int newfd, Desc *d);
/* Removes `fd` from the table (the caller closes the kernel fd). */
void uninstall(int fd);
/* This process's handle for d, opening it on first use; d->mu held.
 * Null when it cannot be opened (*err set). */
Vesk_fd *handle(Desc *d, int *err);
/* Closes this process's handle of d; d->mu held. */
void drop_handle(Desc *d);
/* Closes every handle this process opened, keeping the descriptors (before
 * exec, at exit). `exiting` makes later calls open a handle per call. */
void close_handles(bool exiting);
bool exiting();
/* Runs fn(handle) with d->mu held; -errno when no handle. After exit has
 * begun, the handle is opened and closed around the call. */
template <class F> long with_handle(Desc *d, F fn) {
    std::lock_guard<std::mutex> g(d->mu);
    Inside in;
    int err = 0;
    Vesk_fd *h = handle(d, &err);
    if (!h) return err;
    long r = fn(h);
    if (exiting()) drop_handle(d);
    return r;
}
/* Whether any descriptor without close-on-exec is a vesk one. */
bool inherited_on_exec();
/* Adopts vesk descriptors inherited through exec. */
void adopt_inherited();
void fork_child();
pid_t self_pid();

/* Shared-offset lock (process-shared robust mutex). */
void lock_shared(Shared *sh);
inline void unlock_shared(Shared *sh) { pthread_mutex_unlock(&sh->mu); }

/* Current size of the file of d. */
int64_t file_size(Desc *d, int *err);

/* --- Calls served on descriptors (IoCalls.cpp) -------------------------- */
ssize_t vread(Desc *d, void *buf, size_t n, off_t off, bool use_offset);
ssize_t vwrite(Desc *d, const void *buf, size_t n, off_t off, bool use_offset);
off_t vlseek(Desc *d, off_t off, int whence);
int vsync_desc(Desc *d);
int vfstat(Desc *d, struct stat *st);

/* --- stdio (Stdio.cpp) ---------------------------------------------------- */
/* Gives stdin/stdout/stderr a stream that goes through the wrappers when
 * descriptor 0, 1 or 2 becomes a vesk one. */
void std_stream_check(int fd);

/* Record locks (Locks.cpp). */
int vlock(Desc *d, int fd, int cmd, struct flock *fl);
void locks_release(const char *path);
/* Serializes appends to one file between the processes of the node;
 * returns a descriptor to pass to append_unlock, or -errno. */
int append_lock(const char *path);
void append_unlock(int fd);

}  // namespace vp

#endif
