/*
 * What the operations of veskfs share: the mount served, the node table,
 * the lock that keeps paths steady while a rename moves them, the helpers
 * that run a call as the caller, and the operations themselves (one
 * function per FUSE request; veskfs.cpp puts them in the table).
 */
#ifndef VESKFS_DAEMON_H
#define VESKFS_DAEMON_H

#include <fuse_lowlevel.h>

#include <ctime>
#include <shared_mutex>
#include <string>
#include <sys/stat.h>

#include "fuse/Nodes.h"
#include "fuse/OpenFiles.h"
#include "fuse/Options.h"
#include "fuse/Permissions.h"

namespace veskfs {

extern Served g_served;
extern bool g_writeback;
extern struct timespec g_start;
extern VeskfsNodes g_nodes;
/* Held shared by every request that turns a node into a path and calls
 * the library with it; held exclusively by a rename, from the library's
 * rename until the node table and the open handles agree with it. */
extern std::shared_mutex g_names;

/* How long the kernel may keep names and attributes it was told: one
 * second, the FUSE default, so that another node's writes and renames
 * show within a second; names that are not there are never kept. */
constexpr double kEntryTimeout = 1.0;
constexpr double kAttrTimeout = 1.0;
constexpr unsigned kMaxIO = 1u << 20;
constexpr const char *kDebugName = ".veskdebug";

inline bool flat_layout() { return g_served.layout == VESK_LAYOUT_FLAT; }

// Runs `call` as the user the request (or the open) belongs to. A flat
// file is a plain backend file: the backend itself then makes it the
// caller's and applies the set-ID rules. Inside a container the daemon
// keeps its own rights (the kernel has checked the caller already; a
// container's members belong to several writers) and the library gives
// what it makes to the caller.
template <typename Call>
auto as_owner(const VeskfsCreds &c, Call call) -> decltype(call()) {
    if (flat_layout()) {
        VeskfsAsCaller as(c);
        if (!as.ok()) return -EPERM;
        return call();
    }
    VeskfsCreatorScope scope(c);
    return call();
}

// Runs `call` as the caller on the backend whatever the layout: for
// calls that make a name the caller will own (a directory, a link).
template <typename Call>
int as_caller(fuse_req_t req, Call call) {
    VeskfsAsCaller as(veskfs_caller(req));
    if (!as.ok()) return -EPERM;
    return call();
}

inline OpenFile *of(struct fuse_file_info *fi) {
    return fi ? reinterpret_cast<OpenFile *>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}
/* An open regular file of the library, or null. */
inline OpenFile *file_of(struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    return h && h->kind == OpenKind::File ? h : nullptr;
}

/* The process of the request; the opener's when the kernel names none. */
pid_t caller_pid(fuse_req_t req, const OpenFile *h);

/* True for the logical path of the debug pseudo-file. */
bool is_debug(const std::string &path);
void debug_stat(struct stat *st, size_t size);
std::string make_debug_text();

/* The attributes of a node, through an open handle where one knows more
 * than the backends (an open writer, or a file that lost its name). */
int stat_node(fuse_ino_t ino, struct fuse_file_info *fi, struct stat *st);
/* Answers a request that made or found `name` in `dir` (whose logical
 * path is `path`): its attributes, and a node with one more lookup. */
void reply_entry(fuse_req_t req, fuse_ino_t dir, const std::string &name,
                 const std::string &path);

// Names and attributes (NameOps.cpp).
void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name);
void op_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup);
void op_forget_multi(fuse_req_t req, size_t count, struct fuse_forget_data *forgets);
void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                struct fuse_file_info *fi);
void op_readlink(fuse_req_t req, fuse_ino_t ino);
void op_mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t rdev);
void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode);
void op_unlink(fuse_req_t req, fuse_ino_t parent, const char *name);
void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char *name);
void op_symlink(fuse_req_t req, const char *link, fuse_ino_t parent, const char *name);
void op_rename(fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newparent,
               const char *newname, unsigned int flags);
void op_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char *newname);
void op_statfs(fuse_req_t req, fuse_ino_t ino);
void op_access(fuse_req_t req, fuse_ino_t ino, int mask);
void op_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                struct fuse_file_info *fi);
void op_releasedir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
void op_fsyncdir(fuse_req_t req, fuse_ino_t ino, int datasync, struct fuse_file_info *fi);

// Open files (FileOps.cpp).
void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
void op_create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
               struct fuse_file_info *fi);
void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi);
void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t off,
              struct fuse_file_info *fi);
void op_flush(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
void op_release(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi);
void op_fsync(fuse_req_t req, fuse_ino_t ino, int datasync, struct fuse_file_info *fi);
void op_fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
                  struct fuse_file_info *fi);
/* Truncates a node through `h` when given and open, else through an open
 * writer of the node, else by its path (as the caller). */
int truncate_node(fuse_req_t req, fuse_ino_t ino, OpenFile *h, off_t size);
/* Closes every file still open (destroy). */
void close_all_files();

}  // namespace veskfs

#endif
