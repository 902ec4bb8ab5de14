/*
 * The requests of veskfs that deal in names, attributes and directories.
 * Each turns the kernel's node into a logical path through the node table
 * and makes one call of the library; results travel as minus errno.
 */
#define FUSE_USE_VERSION 31
#include <fuse_lowlevel.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "LogicalFD.h"
#include "fuse/Daemon.h"
#include "fuse/Mount.h"
#include "mlog.h"
#include "vesk.h"

namespace veskfs {

namespace {

// What readdir gives for an entry's inode number: the kernel looks the
// name up for the real one.
constexpr ino_t kUnknownIno = 0xffffffff;

using Shared = std::shared_lock<std::shared_mutex>;

void reply_status(fuse_req_t req, int rc) { fuse_reply_err(req, rc < 0 ? -rc : 0); }

// Attributes from an open handle of the node, where one counts: a writer
// knows of data it has not yet published; a file without a name has
// nothing else. Writers are asked first. A handle that a release is
// closing at this moment is passed over for the next one: a program's
// fstat of another descriptor of an unlinked file must not find none.
// 1 when no open handle counts (the caller asks by name), else 0 or -errno.
int stat_by_handle(fuse_ino_t ino, bool named, struct stat *st) {
    std::vector<std::shared_ptr<OpenFile>> hs = g_nodes.handles(ino);
    for (int pass = 0; pass < (named ? 1 : 2); pass++) {
        for (auto &h : hs) {
            if (h->kind != OpenKind::File || (pass == 0 && !veskfs_writable(h->flags))) continue;
            std::lock_guard<std::mutex> g(h->mu);
            if (!h->closed) return vesk_getattr(h->fd, h->path.c_str(), st, 0);
        }
    }
    return 1;
}

void reply_attr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    struct stat st;
    int rc = stat_node(ino, fi, &st);
    if (rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    st.st_ino = ino;
    fuse_reply_attr(req, &st, kAttrTimeout);
}

}  // namespace

// What the file of a node says of itself.
static int stat_file(fuse_ino_t ino, struct fuse_file_info *fi, struct stat *st) {
    OpenFile *h = of(fi);
    if (h && h->kind == OpenKind::Pseudo) {
        debug_stat(st, h->text.size());
        return 0;
    }
    if (h && h->kind == OpenKind::File) {
        std::lock_guard<std::mutex> g(h->mu);
        if (!h->closed) return vesk_getattr(h->fd, h->path.c_str(), st, 0);
    }
    std::string p;
    int named = g_nodes.path(ino, &p);
    int by_handle = stat_by_handle(ino, named == 0, st);
    if (by_handle <= 0) return by_handle;
    if (named != 0) return named;
    if (is_debug(p)) {
        debug_stat(st, make_debug_text().size());
        return 0;
    }
    return vesk_getattr(nullptr, p.c_str(), st, 0);
}

int stat_node(fuse_ino_t ino, struct fuse_file_info *fi, struct stat *st) {
    int rc = stat_file(ino, fi, st);
    if (rc == 0) g_nodes.overlay_kept(ino, st);
    return rc;
}

void reply_entry(fuse_req_t req, fuse_ino_t dir, const std::string &name,
                 const std::string &path) {
    struct fuse_entry_param e;
    memset(&e, 0, sizeof e);
    int rc;
    if (is_debug(path)) {
        debug_stat(&e.attr, make_debug_text().size());
        rc = 0;
    } else {
        rc = vesk_getattr(nullptr, path.c_str(), &e.attr, 0);
    }
    if (rc < 0) {
        fuse_reply_err(req, -rc);
        return;
    }
    e.ino = g_nodes.learn(dir, name, e.attr.st_mode);
    struct stat held;
    if (stat_by_handle(e.ino, true, &held) == 0) e.attr = held;
    e.attr.st_ino = e.ino;
    e.attr_timeout = kAttrTimeout;
    e.entry_timeout = kEntryTimeout;
    // An interrupted request: the kernel never took the lookup.
    if (fuse_reply_entry(req, &e) == -ENOENT) g_nodes.forget(e.ino, 1);
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc < 0) return reply_status(req, rc);
    reply_entry(req, parent, name, p);
}

void op_forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
    g_nodes.forget(ino, nlookup);
    fuse_reply_none(req);
}

void op_forget_multi(fuse_req_t req, size_t count, struct fuse_forget_data *forgets) {
    for (size_t i = 0; i < count; i++) g_nodes.forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    Shared names(g_names);
    reply_attr(req, ino, fi);
}

// In the order of chmod, chown, truncate, utimensat; a file that lost its
// name changes only its size (through its handle): mode, owner and times
// are the backends' and go by name.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set,
                struct fuse_file_info *fi) {
    Shared names(g_names);
    OpenFile *h = of(fi);
    std::string p;
    int named = g_nodes.path(ino, &p);
    if ((h && h->kind == OpenKind::Pseudo) || (named == 0 && is_debug(p)))
        return reply_status(req, (to_set & FUSE_SET_ATTR_SIZE) ? -EACCES : -EPERM);
    int rc = 0;
    if (named == -ESTALE) {
        // An unlinked file still open: its size is its handles', the rest
        // is kept by its node.
        if (to_set & FUSE_SET_ATTR_SIZE) rc = truncate_node(req, ino, file_of(fi), attr->st_size);
        if (rc == 0 && (to_set & FUSE_SET_ATTR_SIZE)) g_nodes.wrote(ino);
        if (rc == 0) rc = g_nodes.keep_attrs(ino, *attr, to_set);
        if (rc < 0) return reply_status(req, rc);
        return reply_attr(req, ino, fi);
    }
    if (to_set & FUSE_SET_ATTR_MODE) rc = named ? named : vesk_chmod(p.c_str(), attr->st_mode);
    if (rc == 0 && (to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID))) {
        uid_t uid = (to_set & FUSE_SET_ATTR_UID) ? attr->st_uid : (uid_t)-1;
        gid_t gid = (to_set & FUSE_SET_ATTR_GID) ? attr->st_gid : (gid_t)-1;
        rc = named ? named : vesk_chown(p.c_str(), uid, gid);
    }
    if (rc == 0 && (to_set & FUSE_SET_ATTR_SIZE))
        rc = truncate_node(req, ino, file_of(fi), attr->st_size);
    if (rc == 0 && (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) {
        struct timespec t[2];
        t[0].tv_sec = t[1].tv_sec = 0;
        t[0].tv_nsec = t[1].tv_nsec = UTIME_OMIT;
        if (to_set & FUSE_SET_ATTR_ATIME_NOW) t[0].tv_nsec = UTIME_NOW;
        else if (to_set & FUSE_SET_ATTR_ATIME) t[0] = attr->st_atim;
        if (to_set & FUSE_SET_ATTR_MTIME_NOW) t[1].tv_nsec = UTIME_NOW;
        else if (to_set & FUSE_SET_ATTR_MTIME) t[1] = attr->st_mtim;
        // The kernel has followed any link already: times that reach here
        // for a link are the link's own (touch -h, tar x).
        rc = named ? named : vesk_utimens(p.c_str(), t, AT_SYMLINK_NOFOLLOW);
    }
    if (rc < 0) return reply_status(req, rc);
    reply_attr(req, ino, fi);
}

void op_readlink(fuse_req_t req, fuse_ino_t ino) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.path(ino, &p);
    if (rc < 0) return reply_status(req, rc);
    char buf[PATH_MAX + 1];
    rc = vesk_readlink(p.c_str(), buf, PATH_MAX);
    if (rc < 0) return reply_status(req, rc);
    buf[std::min(rc, PATH_MAX)] = '\0';
    fuse_reply_readlink(req, buf);
}

void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc == 0 && is_debug(p)) rc = -EEXIST;
    if (rc == 0) rc = as_caller(req, [&] { return vesk_mkdir(p.c_str(), mode); });
    if (rc < 0) return reply_status(req, rc);
    reply_entry(req, parent, name, p);
}

void op_unlink(fuse_req_t req, fuse_ino_t parent, const char *name) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc == 0 && is_debug(p)) rc = -EPERM;
    if (rc == 0) rc = vesk_unlink(p.c_str());
    // Handles still open on it keep working through their node, which no
    // longer stands for whatever is created under that name next.
    if (rc == 0) g_nodes.drop_name(parent, name);
    reply_status(req, rc);
}

void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char *name) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc == 0 && is_debug(p)) rc = -ENOTDIR;
    if (rc == 0) rc = vesk_rmdir(p.c_str());
    if (rc == 0) g_nodes.drop_name(parent, name);
    reply_status(req, rc);
}

void op_symlink(fuse_req_t req, const char *link, fuse_ino_t parent, const char *name) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc == 0 && is_debug(p)) rc = -EEXIST;
    if (rc == 0) rc = as_caller(req, [&] { return vesk_symlink(link, p.c_str()); });
    if (rc < 0) return reply_status(req, rc);
    reply_entry(req, parent, name, p);
}

void op_rename(fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newparent,
               const char *newname, unsigned int flags) {
    if (flags & ~(unsigned)RENAME_NOREPLACE) return reply_status(req, -EINVAL);
    std::unique_lock<std::shared_mutex> names(g_names);
    std::string lf, lt;
    int rc = g_nodes.child_path(parent, name, &lf);
    if (rc == 0) rc = g_nodes.child_path(newparent, newname, &lt);
    if (rc == 0 && (is_debug(lf) || is_debug(lt))) rc = -EPERM;
    if (rc == 0 && (flags & RENAME_NOREPLACE)) {
        // Not atomic: the library has no exclusive rename.
        struct stat st;
        int r = vesk_getattr(nullptr, lt.c_str(), &st, 0);
        if (r == 0) rc = -EEXIST;
        else if (r != -ENOENT) rc = r;
    }
    if (rc == 0) rc = vesk_rename(lf.c_str(), lt.c_str());
    if (rc < 0) return reply_status(req, rc);
    g_nodes.move(parent, name, newparent, newname);
    // The open handles of the file, or of everything below a renamed
    // directory, learn their new path (a container handle keeps writing
    // into the renamed container). Those of a file the rename replaced
    // have no name any more and keep theirs.
    for (const std::shared_ptr<OpenFile> &h : registered()) {
        std::string now;
        if (g_nodes.path(h->ino, &now) != 0) continue;
        std::lock_guard<std::mutex> g(h->mu);
        if (now == h->path) continue;
        h->path = now;
        if (h->closed) continue;
        int r = h->fd->rename(h->path.c_str());
        if (r < 0) say(MLOG_WARN, "open file renamed to " + h->path + ": " + strerror(-r));
    }
    reply_status(req, 0);
}

void op_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char *newname) {
    Shared names(g_names);
    std::string lf, lt;
    int rc = g_nodes.path(ino, &lf);
    if (rc == 0) rc = g_nodes.child_path(newparent, newname, &lt);
    if (rc == 0 && (is_debug(lf) || is_debug(lt))) rc = -EPERM;
    if (rc == 0) rc = as_caller(req, [&] { return vesk_link(lf.c_str(), lt.c_str()); });
    if (rc < 0) return reply_status(req, rc);
    reply_entry(req, newparent, newname, lt);
}

void op_statfs(fuse_req_t req, fuse_ino_t ino) {
    Shared names(g_names);
    std::string p;
    if (g_nodes.path(ino, &p) != 0) p = g_served.mount;
    struct statvfs st;
    int rc = vesk_statvfs(p.c_str(), &st);
    if (rc < 0) return reply_status(req, rc);
    fuse_reply_statfs(req, &st);
}

void op_access(fuse_req_t req, fuse_ino_t ino, int mask) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.path(ino, &p);
    if (rc == 0 && is_debug(p)) rc = (mask & (W_OK | X_OK)) ? -EACCES : 0;
    else if (rc == 0) rc = vesk_access(p.c_str(), mask);
    reply_status(req, rc);
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    auto *h = new OpenFile;
    h->kind = OpenKind::Dir;
    h->ino = ino;
    fi->fh = reinterpret_cast<uintptr_t>(h);
    if (fuse_reply_open(req, fi) == -ENOENT) delete h;
}

// The listing is read at offset 0 and kept with the handle, so that the
// offsets of later requests keep meaning the same entries. Every reply
// comes after the handle's lock is let go: the kernel may release the
// handle as soon as it has the answer.
void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (!h || h->kind != OpenKind::Dir) return reply_status(req, -EBADF);
    std::vector<char> buf(size);
    size_t used = 0;
    int rc = 0;
    {
        std::lock_guard<std::mutex> g(h->mu);
        if (off == 0 || h->entries.empty()) {
            Shared names(g_names);
            std::string p;
            rc = g_nodes.path(ino, &p);
            Vesk_dirents entries;
            if (rc == 0) rc = vesk_readdir(p.c_str(), &entries);
            if (rc == 0) {
                bool root = ino == FUSE_ROOT_ID;
                h->entries.assign({".", ".."});
                for (const std::string &e : entries) {
                    if (e == "." || e == ".." || (root && e == kDebugName)) continue;
                    h->entries.push_back(e);
                }
            }
        }
        for (size_t i = off < 0 ? 0 : (size_t)off; rc == 0 && i < h->entries.size(); i++) {
            struct stat st;
            memset(&st, 0, sizeof st);
            st.st_ino = kUnknownIno;
            size_t need = fuse_add_direntry(req, buf.data() + used, size - used,
                                            h->entries[i].c_str(), &st, (off_t)(i + 1));
            if (need > size - used) break;
            used += need;
        }
    }
    if (rc < 0) return reply_status(req, rc);
    fuse_reply_buf(req, buf.data(), used);
}

void op_releasedir(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (h && h->kind == OpenKind::Dir) delete h;
    reply_status(req, 0);
}

void op_fsyncdir(fuse_req_t req, fuse_ino_t ino, int, struct fuse_file_info *) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.path(ino, &p);
    if (rc == 0) rc = vesk_syncdir(p.c_str());
    reply_status(req, rc);
}

}  // namespace veskfs
