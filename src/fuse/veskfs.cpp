/*
 * veskfs: the FUSE 3 daemon that serves one vesk mount point to unmodified
 * programs. Every FUSE operation is one call of the public interface
 * (vesk.h) on the logical path MOUNTPOINT + the FUSE path.
 *
 * Open files. Each FUSE open makes its own vesk handle, held by an
 * OpenFile that fi->fh points to. The library wants the operations of one
 * handle serialized by the caller, so each OpenFile has a mutex; different
 * handles run in parallel on the multithreaded loop. Writes name the
 * calling process (fuse_get_context), so processes writing one container
 * become different writers of it; requests that arrive without a pid
 * (release, kernel write-back) use the opener's.
 *
 * Every open file is also entered in a registry by logical path, so that
 *  - a rename tells open handles their new path (a container handle keeps
 *    writing into the renamed container),
 *  - getattr and truncate by path go through an open writer's handle, which
 *    knows of data it has not yet published,
 *  - destroy (unmount, or a signal) closes whatever the kernel never
 *    released: a release still queued when the connection goes down is
 *    dropped by the kernel, and only the close makes a container's last
 *    writes durable.
 *
 * Visibility. close(2) waits for FUSE flush but not for release, so flush
 * publishes what a container handle wrote (its index records reach the
 * backend before close returns and the next open, e.g. cmp after cp, sees
 * the data), without making it durable: close(2) promises no durability,
 * fsync does. A handle stays unpublished, and unsynced, until a flush or
 * an fsync succeeds, and each failure reaches the caller: an fsync
 * retried after the disk filled writes what the first one could not.
 * Flat files are plain backend files: their writes are visible at once
 * and flush has nothing to do.
 *
 * Write-back cache is off unless --writeback is given: with it the kernel
 * writes dirty pages later, without a pid and through whichever handle of
 * the inode it picks, so container writers stop being the processes that
 * wrote; it reads pages of write-only opens to fill partial pages; and it
 * trusts its own idea of size and mtime, which is wrong once another node
 * writes the same backends.
 */
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "LogicalFD.h"
#include "fuse/DebugInfo.h"
#include "fuse/Mount.h"
#include "fuse/Options.h"
#include "fuse/Permissions.h"
#include "mlog.h"
#include "vesk.h"

namespace {

constexpr const char *kDebugName = "/.veskdebug";
constexpr unsigned kMaxIO = 1u << 20;

enum class Kind { File, Pseudo, Dir };

// What fi->fh points to: an open file, the debug pseudo-file (text only)
// or an open directory (its path only).
struct OpenFile {
    Kind kind = Kind::File;
    std::mutex mu;               // serializes every call on fd
    Vesk_fd *fd = nullptr;
    std::string path;            // logical; changed under mu and g_reg_mu
    pid_t pid = 0;               // the opener
    uid_t uid = 0;
    veskfs::VeskfsCreds creds;   // the opener's: its writes run as it
    int flags = 0;               // as passed to vesk_open
    bool dirty = false;          // written since the last vesk_sync
    bool unpublished = false;    // written since the last vesk_flush
    bool closed = false;         // fd closed (release or destroy)
    bool linked = false;         // entered in g_by_path (under g_reg_mu)
    std::vector<pid_t> writers;  // every pid that wrote through fd
    std::string text;            // the debug pseudo-file's content
};

veskfs::Served g_served;
bool g_writeback = false;
bool g_debug = false;
struct timespec g_start;

// The registry. Lock order: g_reg_mu before any OpenFile::mu.
std::mutex g_reg_mu;
std::map<OpenFile *, std::shared_ptr<OpenFile>> g_all;
std::multimap<std::string, OpenFile *> g_by_path;

std::string logical(const char *fpath) {
    if (!fpath || !*fpath || (fpath[0] == '/' && fpath[1] == '\0')) return g_served.mount;
    if (g_served.mount == "/") return fpath;
    return g_served.mount + fpath;
}

bool flat_layout() { return g_served.layout == VESK_LAYOUT_FLAT; }

// Runs `call` as the user the request (or the open) belongs to. A flat
// file is a plain backend file: the backend itself then makes it the
// caller's and applies the set-ID rules. Inside a container the daemon
// keeps its own rights (the kernel has checked the caller already; a
// container's members belong to several writers) and the library gives
// what it makes to the caller.
template <typename Call>
auto as_owner(const veskfs::VeskfsCreds &c, Call call) -> decltype(call()) {
    if (flat_layout()) {
        veskfs::VeskfsAsCaller as(c);
        if (!as.ok()) return -EPERM;
        return call();
    }
    veskfs::VeskfsCreatorScope scope(c);
    return call();
}

// Runs `call` as the caller on the backend whatever the layout: for
// calls that make a name the caller will own (a directory, a link).
template <typename Call>
int as_caller(Call call) {
    veskfs::VeskfsAsCaller as(veskfs::veskfs_caller());
    if (!as.ok()) return -EPERM;
    return call();
}

bool is_debug(const char *fpath) { return fpath && strcmp(fpath, kDebugName) == 0; }

OpenFile *of(struct fuse_file_info *fi) {
    return fi ? reinterpret_cast<OpenFile *>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}

bool pseudo(const OpenFile *h) { return h && h->kind == Kind::Pseudo; }

// An open regular file of the library, or null.
OpenFile *file_of(struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    return h && h->kind == Kind::File ? h : nullptr;
}

pid_t caller_pid(const OpenFile *h) {
    struct fuse_context *c = fuse_get_context();
    if (c && c->pid > 0) return c->pid;
    return h ? h->pid : getpid();
}

bool writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

// What the library should see of the kernel's open flags.
int open_flags(int kflags) {
    int f = kflags & (O_ACCMODE | O_CREAT | O_EXCL | O_TRUNC | O_APPEND | O_SYNC | O_DSYNC);
    if (g_writeback) {
        // The kernel fills partial pages by reading, and appends itself.
        if ((f & O_ACCMODE) == O_WRONLY) f = (f & ~O_ACCMODE) | O_RDWR;
        f &= ~O_APPEND;
    }
    return f;
}

void enter(const std::shared_ptr<OpenFile> &h) {
    std::lock_guard<std::mutex> g(g_reg_mu);
    g_all[h.get()] = h;
    g_by_path.emplace(h->path, h.get());
    h->linked = true;
}

void unlink_entry(OpenFile *h) {  // g_reg_mu held
    if (!h->linked) return;
    auto range = g_by_path.equal_range(h->path);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == h) {
            g_by_path.erase(it);
            break;
        }
    }
    h->linked = false;
}

// An open handle of `path`; a writer when `want_writer`. Keeps it alive.
std::shared_ptr<OpenFile> find_open(const std::string &path, bool want_writer) {
    std::lock_guard<std::mutex> g(g_reg_mu);
    auto range = g_by_path.equal_range(path);
    for (auto it = range.first; it != range.second; ++it) {
        if (want_writer && !writable(it->second->flags)) continue;
        return g_all[it->second];
    }
    return nullptr;
}

// h->mu held. What the handle's writers wrote, made visible to later
// opens (not durable). Stays unpublished when that fails.
int publish_writers(OpenFile *h) {
    if (!h->unpublished || h->closed) return 0;
    int first = 0;
    veskfs::VeskfsCreatorScope scope(h->creds);
    for (pid_t p : h->writers) {
        int rc = vesk_flush(h->fd, p);
        if (rc < 0 && first == 0) first = rc;
    }
    if (first == 0) h->unpublished = false;
    return first;
}

// h->mu held. What the handle's writers wrote, made durable. Stays dirty
// when that fails, so that a retried fsync writes it.
int sync_writers(OpenFile *h) {
    if (!h->dirty || h->closed) return 0;
    veskfs::VeskfsCreatorScope scope(h->creds);
    int first = 0;
    for (pid_t p : h->writers) {
        int rc = vesk_sync(h->fd, p);
        if (rc < 0 && first == 0) first = rc;
    }
    if (first == 0) h->dirty = h->unpublished = false;
    return first;
}

// h->mu held. `durable`: sync before closing (unmount), else publish.
// A close that fails leaves the handle open (the library keeps what it
// could not write) and returns the error.
int close_handle(OpenFile *h, bool durable) {
    if (h->closed || !h->fd) return 0;
    int rc = durable ? sync_writers(h) : publish_writers(h);
    veskfs::VeskfsCreatorScope scope(h->creds);
    int left = vesk_close(h->fd, h->pid, h->uid, h->flags, nullptr);
    if (left < 0) {
        if (g_debug) fprintf(stderr, "veskfs: closing %s: %s\n", h->path.c_str(), strerror(-left));
        return left;
    }
    h->closed = true;
    h->fd = nullptr;
    if (rc < 0 && g_debug)
        fprintf(stderr, "veskfs: closing %s: %s\n", h->path.c_str(), strerror(-rc));
    return rc;
}

void debug_stat(struct stat *st, size_t size) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_size = (off_t)size;
    st->st_blksize = 4096;
    st->st_blocks = (blkcnt_t)((size + 511) / 512);
    st->st_atim = st->st_mtim = st->st_ctim = g_start;
}

std::string make_debug_text() {
    veskfs::LiveFigures live;
    {
        std::lock_guard<std::mutex> g(g_reg_mu);
        live.open_files = g_all.size();
    }
    return veskfs::debug_text(g_served, live);
}

/* --- the operations ---------------------------------------------------- */

// Path of an operation that may come by handle only (nullpath_ok).
std::string target_path(const char *path, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (path || !h) return logical(path);
    std::lock_guard<std::mutex> g(h->mu);
    return h->path;
}

int vfs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi) {
    if (pseudo(of(fi))) {
        debug_stat(st, of(fi)->text.size());
        return 0;
    }
    if (!fi && is_debug(path)) {
        debug_stat(st, make_debug_text().size());
        return 0;
    }
    if (OpenFile *h = file_of(fi)) {
        std::lock_guard<std::mutex> g(h->mu);
        if (!h->closed) return vesk_getattr(h->fd, h->path.c_str(), st, 0);
    }
    std::string lp = target_path(path, fi);
    if (std::shared_ptr<OpenFile> w = find_open(lp, true)) {
        std::lock_guard<std::mutex> g(w->mu);
        if (!w->closed && w->path == lp) return vesk_getattr(w->fd, lp.c_str(), st, 0);
    }
    return vesk_getattr(nullptr, lp.c_str(), st, 0);
}

int vfs_readlink(const char *path, char *buf, size_t size) {
    if (size == 0) return -EINVAL;
    int rc = vesk_readlink(logical(path).c_str(), buf, size - 1);
    if (rc < 0) return rc;
    buf[std::min((size_t)rc, size - 1)] = '\0';
    return 0;
}

int vfs_mkdir(const char *path, mode_t mode) {
    if (is_debug(path)) return -EEXIST;
    std::string lp = logical(path);
    return as_caller([&] { return vesk_mkdir(lp.c_str(), mode); });
}

int vfs_unlink(const char *path) {
    if (is_debug(path)) return -EPERM;
    std::string lp = logical(path);
    int rc = vesk_unlink(lp.c_str());
    if (rc == 0) {
        // Handles still open on it keep working, but no longer stand for
        // whatever is created under that name next.
        std::lock_guard<std::mutex> g(g_reg_mu);
        auto range = g_by_path.equal_range(lp);
        for (auto it = range.first; it != range.second; ++it) it->second->linked = false;
        g_by_path.erase(range.first, range.second);
    }
    return rc;
}

int vfs_rmdir(const char *path) {
    if (is_debug(path)) return -ENOTDIR;
    return vesk_rmdir(logical(path).c_str());
}

int vfs_symlink(const char *content, const char *linkpath) {
    if (is_debug(linkpath)) return -EEXIST;
    std::string lp = logical(linkpath);
    return as_caller([&] { return vesk_symlink(content, lp.c_str()); });
}

int vfs_rename(const char *from, const char *to, unsigned int flags) {
    if (is_debug(from) || is_debug(to)) return -EPERM;
    if (flags & RENAME_EXCHANGE) return -EINVAL;
    if (flags & ~(unsigned)RENAME_NOREPLACE) return -EINVAL;
    std::string lf = logical(from), lt = logical(to);
    if (flags & RENAME_NOREPLACE) {
        // Not atomic: the library has no exclusive rename.
        struct stat st;
        int rc = vesk_getattr(nullptr, lt.c_str(), &st, 0);
        if (rc == 0) return -EEXIST;
        if (rc != -ENOENT) return rc;
    }
    int rc = vesk_rename(lf.c_str(), lt.c_str());
    if (rc != 0) return rc;

    std::lock_guard<std::mutex> g(g_reg_mu);
    // Whatever was open under the target name was replaced.
    auto range = g_by_path.equal_range(lt);
    for (auto it = range.first; it != range.second; ++it) it->second->linked = false;
    g_by_path.erase(range.first, range.second);
    // The file itself, or everything open below a renamed directory.
    std::vector<OpenFile *> moved;
    for (auto it = g_by_path.lower_bound(lf); it != g_by_path.end();) {
        const std::string &k = it->first;
        if (k.compare(0, lf.size(), lf) != 0) break;
        if (k.size() == lf.size() || k[lf.size()] == '/') {
            moved.push_back(it->second);
            it = g_by_path.erase(it);
        } else {
            ++it;
        }
    }
    for (OpenFile *h : moved) {
        std::lock_guard<std::mutex> hg(h->mu);
        h->path = lt + h->path.substr(lf.size());
        if (!h->closed) {
            int r = h->fd->rename(h->path.c_str());
            if (r < 0)
                veskfs::say(MLOG_WARN, "open file renamed to " + h->path + ": " + strerror(-r));
        }
        g_by_path.emplace(h->path, h);
    }
    return 0;
}

int vfs_link(const char *from, const char *to) {
    if (is_debug(from) || is_debug(to)) return -EPERM;
    std::string lf = logical(from), lt = logical(to);
    return as_caller([&] { return vesk_link(lf.c_str(), lt.c_str()); });
}

int vfs_chmod(const char *path, mode_t mode, struct fuse_file_info *fi) {
    if (is_debug(path) || pseudo(of(fi))) return -EPERM;
    return vesk_chmod(target_path(path, fi).c_str(), mode);
}

int vfs_chown(const char *path, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
    if (is_debug(path) || pseudo(of(fi))) return -EPERM;
    return vesk_chown(target_path(path, fi).c_str(), uid, gid);
}

int vfs_truncate(const char *path, off_t size, struct fuse_file_info *fi) {
    if (is_debug(path) || pseudo(of(fi))) return -EACCES;
    veskfs::VeskfsCreds caller = veskfs::veskfs_caller();
    if (OpenFile *h = file_of(fi)) {
        std::lock_guard<std::mutex> g(h->mu);
        if (!h->closed)
            return as_owner(caller, [&] { return vesk_trunc(h->fd, h->path.c_str(), size); });
    }
    std::string lp = target_path(path, fi);
    if (std::shared_ptr<OpenFile> w = find_open(lp, true)) {
        std::lock_guard<std::mutex> g(w->mu);
        if (!w->closed && w->path == lp)
            return as_owner(caller, [&] { return vesk_trunc(w->fd, lp.c_str(), size); });
    }
    return as_owner(caller, [&] { return vesk_truncate(lp.c_str(), size); });
}

int vfs_open(const char *path, struct fuse_file_info *fi) {
    if (is_debug(path)) {
        if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) return -EACCES;
        auto *h = new OpenFile;
        h->kind = Kind::Pseudo;
        h->text = make_debug_text();
        // Its size changes with every open; reads must not stop at a
        // cached one.
        fi->direct_io = 1;
        fi->fh = reinterpret_cast<uintptr_t>(h);
        return 0;
    }
    auto h = std::make_shared<OpenFile>();
    h->path = logical(path);
    h->pid = caller_pid(nullptr);
    h->uid = fuse_get_context()->uid;
    h->creds = veskfs::veskfs_caller();
    h->flags = open_flags(fi->flags);
    int rc = as_owner(h->creds, [&] { return vesk_open(&h->fd, h->path.c_str(), h->flags, h->pid, 0); });
    if (rc < 0) return rc;
    enter(h);
    fi->fh = reinterpret_cast<uintptr_t>(h.get());
    return 0;
}

int vfs_create(const char *path, mode_t mode, struct fuse_file_info *fi) {
    if (is_debug(path)) return -EEXIST;
    auto h = std::make_shared<OpenFile>();
    h->path = logical(path);
    h->pid = caller_pid(nullptr);
    h->uid = fuse_get_context()->uid;
    h->creds = veskfs::veskfs_caller();
    h->flags = open_flags(fi->flags | O_CREAT);
    int rc = as_owner(h->creds,
                      [&] { return vesk_open(&h->fd, h->path.c_str(), h->flags, h->pid, mode); });
    if (rc < 0) return rc;
    enter(h);
    fi->fh = reinterpret_cast<uintptr_t>(h.get());
    return 0;
}

int vfs_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (!h || h->kind == Kind::Dir) return -EBADF;
    if (pseudo(h)) {
        if (off < 0) return -EINVAL;
        if ((size_t)off >= h->text.size()) return 0;
        size_t n = std::min(size, h->text.size() - (size_t)off);
        memcpy(buf, h->text.data() + off, n);
        return (int)n;
    }
    std::lock_guard<std::mutex> g(h->mu);
    if (h->closed) return -EBADF;
    // The container layer serves a handle its process's own writes: no
    // publishing first.
    ssize_t n = vesk_read(h->fd, buf, size, off);
    return (int)n;
}

int vfs_write(const char *, const char *buf, size_t size, off_t off,
              struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h) return -EBADF;
    pid_t pid = caller_pid(h);
    std::lock_guard<std::mutex> g(h->mu);
    if (h->closed) return -EBADF;
    // As the opener: a write by anyone but the owner clears set-ID bits.
    ssize_t n = as_owner(h->creds, [&] { return vesk_write(h->fd, buf, size, off, pid); });
    if (n > 0) {
        h->dirty = h->unpublished = true;
        if (std::find(h->writers.begin(), h->writers.end(), pid) == h->writers.end())
            h->writers.push_back(pid);
    }
    return (int)n;
}

int vfs_statfs(const char *path, struct statvfs *st) {
    return vesk_statvfs(logical(path).c_str(), st);
}

int vfs_flush(const char *, struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h || g_served.layout != VESK_LAYOUT_CONTAINER) return 0;
    std::lock_guard<std::mutex> g(h->mu);
    return publish_writers(h);
}

int vfs_release(const char *, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (!h) return 0;
    if (pseudo(h)) {
        delete h;
        return 0;
    }
    std::shared_ptr<OpenFile> keep;
    {
        std::lock_guard<std::mutex> g(g_reg_mu);
        auto it = g_all.find(h);
        if (it == g_all.end()) return 0;  // destroy got there first
        keep = it->second;
        g_all.erase(it);
        unlink_entry(h);
    }
    bool open_still;
    {
        std::lock_guard<std::mutex> g(keep->mu);
        close_handle(keep.get(), false);
        open_still = !keep->closed;
    }
    if (open_still) {
        // What it holds could not be written: unmount tries again.
        std::lock_guard<std::mutex> rg(g_reg_mu);
        g_all[keep.get()] = keep;
    }
    return 0;
}

// fsync(2) promises every write to the file, whichever descriptor made
// it: every open handle of the path syncs what it wrote, and this one
// syncs even when it wrote nothing (a flat file's data, a new name).
int vfs_fsync(const char *, int, struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h) return 0;
    std::vector<std::shared_ptr<OpenFile>> others;
    std::string path;
    {
        std::lock_guard<std::mutex> g(h->mu);
        path = h->path;
    }
    {
        std::lock_guard<std::mutex> g(g_reg_mu);
        auto range = g_by_path.equal_range(path);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second != h) others.push_back(g_all[it->second]);
    }
    int first = 0;
    for (auto &o : others) {
        std::lock_guard<std::mutex> g(o->mu);
        int rc = sync_writers(o.get());
        if (rc < 0 && first == 0) first = rc;
    }
    std::lock_guard<std::mutex> g(h->mu);
    if (h->closed) return first ? first : -EBADF;
    int rc = h->dirty ? sync_writers(h) : vesk_sync(h->fd, h->pid);
    return first ? first : rc;
}

int vfs_fsyncdir(const char *path, int, struct fuse_file_info *fi) {
    return vesk_syncdir(target_path(path, fi).c_str());
}

// The directory's path is kept at opendir: with nullpath_ok, readdir may
// come without one.
int vfs_opendir(const char *path, struct fuse_file_info *fi) {
    auto *h = new OpenFile;
    h->kind = Kind::Dir;
    h->path = logical(path);
    fi->fh = reinterpret_cast<uintptr_t>(h);
    return 0;
}

int vfs_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t,
                struct fuse_file_info *fi, enum fuse_readdir_flags) {
    std::string lp = target_path(path, fi);
    Vesk_dirents entries;
    int rc = vesk_readdir(lp.c_str(), &entries);
    if (rc < 0) return rc;
    bool root = lp == g_served.mount;
    filler(buf, ".", nullptr, 0, (enum fuse_fill_dir_flags)0);
    filler(buf, "..", nullptr, 0, (enum fuse_fill_dir_flags)0);
    for (const std::string &e : entries) {
        if (e == "." || e == "..") continue;
        if (root && e == kDebugName + 1) continue;
        if (filler(buf, e.c_str(), nullptr, 0, (enum fuse_fill_dir_flags)0)) break;
    }
    return 0;
}

int vfs_releasedir(const char *, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (h && h->kind == Kind::Dir) delete h;
    return 0;
}

void *vfs_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    conn->max_write = kMaxIO;
    conn->max_readahead = kMaxIO;
    if (g_writeback && (conn->capable & FUSE_CAP_WRITEBACK_CACHE))
        conn->want |= FUSE_CAP_WRITEBACK_CACHE;
    else
        conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    // An unlinked open file stays usable through its handle, rather than
    // being renamed to a hidden name that other clients would see.
    cfg->hard_remove = 1;
    cfg->nullpath_ok = 1;
    cfg->use_ino = 0;
    cfg->negative_timeout = 0;
    return nullptr;
}

void vfs_destroy(void *) {
    std::map<OpenFile *, std::shared_ptr<OpenFile>> left;
    {
        std::lock_guard<std::mutex> g(g_reg_mu);
        left.swap(g_all);
        g_by_path.clear();
    }
    for (auto &e : left) {
        std::lock_guard<std::mutex> g(e.second->mu);
        int rc = close_handle(e.second.get(), true);
        // The daemon ends next: what could not be written now is lost.
        if (rc < 0)
            veskfs::say(MLOG_ERR, "unmounting with " + e.second->path +
                                      " open: not all of it was written out: " + strerror(-rc));
    }
    if (g_debug && !left.empty())
        fprintf(stderr, "veskfs: closed %zu file(s) left open at unmount\n", left.size());
}

int vfs_access(const char *path, int mask) {
    if (is_debug(path)) return (mask & (W_OK | X_OK)) ? -EACCES : 0;
    return vesk_access(logical(path).c_str(), mask);
}

int vfs_utimens(const char *path, const struct timespec tv[2], struct fuse_file_info *fi) {
    if (is_debug(path) || pseudo(of(fi))) return -EPERM;
    std::string lp = target_path(path, fi);
    struct timespec t[2];
    if (tv) {
        t[0] = tv[0];
        t[1] = tv[1];
    } else {
        t[0].tv_sec = t[1].tv_sec = 0;
        t[0].tv_nsec = t[1].tv_nsec = UTIME_NOW;
    }
    // The kernel has followed any link already: times that reach here for
    // a link are the link's own (touch -h, tar x).
    return vesk_utimens(lp.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

int vfs_fallocate(const char *, int mode, off_t off, off_t len, struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h || !writable(h->flags)) return -EBADF;
    std::lock_guard<std::mutex> g(h->mu);
    if (h->closed) return -EBADF;
    veskfs::VeskfsCreds caller = veskfs::veskfs_caller();
    return as_owner(caller, [&] { return vesk_fallocate(h->fd, mode, off, len); });
}

// Operations left out stay null: libfuse answers them with ENOSYS.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const struct fuse_operations vesk_oper = {
    .getattr = vfs_getattr,
    .readlink = vfs_readlink,
    .mkdir = vfs_mkdir,
    .unlink = vfs_unlink,
    .rmdir = vfs_rmdir,
    .symlink = vfs_symlink,
    .rename = vfs_rename,
    .link = vfs_link,
    .chmod = vfs_chmod,
    .chown = vfs_chown,
    .truncate = vfs_truncate,
    .open = vfs_open,
    .read = vfs_read,
    .write = vfs_write,
    .statfs = vfs_statfs,
    .flush = vfs_flush,
    .release = vfs_release,
    .fsync = vfs_fsync,
    .opendir = vfs_opendir,
    .readdir = vfs_readdir,
    .releasedir = vfs_releasedir,
    .fsyncdir = vfs_fsyncdir,
    .init = vfs_init,
    .destroy = vfs_destroy,
    .access = vfs_access,
    .create = vfs_create,
    .utimens = vfs_utimens,
    .fallocate = vfs_fallocate,
};
#pragma GCC diagnostic pop

}  // namespace

int main(int argc, char **argv) {
    veskfs::CmdLine cmd;
    int status = veskfs::prepare(argc, argv, &cmd, &g_served);
    if (status >= 0) return status;
    g_writeback = cmd.writeback;
    for (const std::string &a : cmd.fuse_args)
        if (a == "-d") g_debug = true;
    veskfs::veskfs_identity_init();
    clock_gettime(CLOCK_REALTIME, &g_start);
    return veskfs::serve(cmd, g_served, &vesk_oper);
}
