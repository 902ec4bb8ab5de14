/*
 * The requests of veskfs on open files: open and create make a library
 * handle and enter it with its node; read, write, flush, fsync, fallocate
 * and release go through that handle.
 */
#define FUSE_USE_VERSION 31
#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unistd.h>

#include "fuse/Daemon.h"
#include "fuse/Mount.h"
#include "mlog.h"
#include "vesk.h"

namespace veskfs {

namespace {

using Shared = std::shared_lock<std::shared_mutex>;

void reply_status(fuse_req_t req, int rc) { fuse_reply_err(req, rc < 0 ? -rc : 0); }

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

// A handle of `path` for the caller of `req`, not yet open.
std::shared_ptr<OpenFile> new_handle(fuse_req_t req, const std::string &path, int kflags) {
    auto h = std::make_shared<OpenFile>();
    h->path = path;
    h->pid = caller_pid(req, nullptr);
    h->uid = fuse_req_ctx(req)->uid;
    h->creds = veskfs_caller(req);
    h->flags = open_flags(kflags);
    return h;
}

// Enters an open handle with its node.
void enter(const std::shared_ptr<OpenFile> &h, fuse_ino_t ino) {
    h->ino = ino;
    register_open(h);
    g_nodes.add_handle(ino, h);
}

// Closes `keep` (taken out of the registry) and forgets it, unless what it
// holds could not be written: then it stays registered, and unmount tries
// again.
void finish(const std::shared_ptr<OpenFile> &keep) {
    bool open_still;
    {
        std::lock_guard<std::mutex> g(keep->mu);
        close_handle(keep.get(), false);
        open_still = !keep->closed;
    }
    if (open_still) register_open(keep);
    else g_nodes.remove_handle(keep->ino, keep.get());
}

}  // namespace

pid_t caller_pid(fuse_req_t req, const OpenFile *h) {
    const struct fuse_ctx *c = req ? fuse_req_ctx(req) : nullptr;
    if (c && c->pid > 0) return c->pid;
    return h ? h->pid : getpid();
}

void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.path(ino, &p);
    // The kernel found the node by its name just before a rename put
    // another file there: the open came last, and opens that file. Its
    // reads bypass the page cache, which the kernel keeps for this node
    // by the replaced file's size. An unlinked node with no handle
    // answers ESTALE, which makes the kernel look the name up again.
    bool replaced = rc == -ESTALE && g_nodes.handles(ino).empty() &&
                    g_nodes.successor_path(ino, &p) == 0;
    if (replaced) rc = 0;
    if (rc < 0) return reply_status(req, rc);
    if (is_debug(p)) {
        if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC))
            return reply_status(req, -EACCES);
        auto *h = new OpenFile;
        h->kind = OpenKind::Pseudo;
        h->text = make_debug_text();
        // Its size changes with every open; reads must not stop at a
        // cached one.
        fi->direct_io = 1;
        fi->fh = reinterpret_cast<uintptr_t>(h);
        if (fuse_reply_open(req, fi) == -ENOENT) delete h;
        return;
    }
    std::shared_ptr<OpenFile> h = new_handle(req, p, fi->flags);
    rc = as_owner(h->creds, [&] { return vesk_open(&h->fd, p.c_str(), h->flags, h->pid, 0); });
    if (rc < 0) return reply_status(req, rc);
    enter(h, ino);
    fi->fh = reinterpret_cast<uintptr_t>(h.get());
    if (replaced) fi->direct_io = 1;
    // With write-back this mount is its files' only writer, so the pages
    // an earlier open left are still the file's: a reopened file reads
    // from memory, as on a local disk.
    else if (g_writeback) fi->keep_cache = 1;
    // An interrupted open is never released by the kernel.
    if (fuse_reply_open(req, fi) == -ENOENT && unregister_open(h.get())) finish(h);
}

void op_create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode,
               struct fuse_file_info *fi) {
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc == 0 && is_debug(p)) rc = -EEXIST;
    if (rc < 0) return reply_status(req, rc);
    std::shared_ptr<OpenFile> h = new_handle(req, p, fi->flags | O_CREAT);
    rc = as_owner(h->creds,
                  [&] { return vesk_open(&h->fd, p.c_str(), h->flags, h->pid, mode); });
    if (rc < 0) return reply_status(req, rc);
    struct fuse_entry_param e;
    memset(&e, 0, sizeof e);
    rc = vesk_getattr(h->fd, p.c_str(), &e.attr, 0);
    if (rc < 0) {
        std::lock_guard<std::mutex> g(h->mu);
        close_handle(h.get(), false);
        return reply_status(req, rc);
    }
    e.ino = g_nodes.learn(parent, name, e.attr.st_mode);
    e.attr.st_ino = e.ino;
    e.attr_timeout = kAttrTimeout;
    e.entry_timeout = kEntryTimeout;
    enter(h, e.ino);
    fi->fh = reinterpret_cast<uintptr_t>(h.get());
    if (fuse_reply_create(req, &e, fi) == -ENOENT) {
        if (unregister_open(h.get())) finish(h);
        g_nodes.forget(e.ino, 1);
    }
}

// A regular file made by name alone (mknod(2), or open through a name
// the kernel could not create atomically): created and closed at once.
void op_mknod(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, dev_t) {
    if (!S_ISREG(mode)) return reply_status(req, -ENOSYS);
    Shared names(g_names);
    std::string p;
    int rc = g_nodes.child_path(parent, name, &p);
    if (rc == 0 && is_debug(p)) rc = -EEXIST;
    if (rc < 0) return reply_status(req, rc);
    std::shared_ptr<OpenFile> h = new_handle(req, p, O_CREAT | O_EXCL | O_WRONLY);
    rc = as_owner(h->creds, [&] {
        return vesk_open(&h->fd, p.c_str(), h->flags, h->pid, mode & ~S_IFMT);
    });
    if (rc == 0) {
        std::lock_guard<std::mutex> g(h->mu);
        rc = close_handle(h.get(), false);
    }
    if (rc < 0) return reply_status(req, rc);
    reply_entry(req, parent, name, p);
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (!h || h->kind == OpenKind::Dir) return reply_status(req, -EBADF);
    if (h->kind == OpenKind::Pseudo) {
        if (off < 0) return reply_status(req, -EINVAL);
        if ((size_t)off >= h->text.size()) {
            fuse_reply_buf(req, nullptr, 0);
            return;
        }
        // A copy: the reply ends the request, the kernel may then send the
        // release at once, and another thread free the text while this
        // one is still inside the reply call.
        std::string part = h->text.substr((size_t)off, std::min(size, h->text.size() - (size_t)off));
        fuse_reply_buf(req, part.data(), part.size());
        return;
    }
    std::unique_ptr<char[]> buf(new char[std::max<size_t>(size, 1)]);
    ssize_t n;
    {
        std::lock_guard<std::mutex> g(h->mu);
        // The container layer serves a handle its process's own writes: no
        // publishing first.
        n = h->closed ? -EBADF : vesk_read(h->fd, buf.get(), size, off);
    }
    if (n < 0) return reply_status(req, (int)n);
    fuse_reply_buf(req, buf.get(), (size_t)n);
}

void op_write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t off,
              struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h) return reply_status(req, -EBADF);
    pid_t pid = caller_pid(req, h);
    ssize_t n;
    {
        std::lock_guard<std::mutex> g(h->mu);
        // As the opener: a write by anyone but the owner clears set-ID bits.
        n = h->closed ? -EBADF
                      : as_owner(h->creds, [&] { return vesk_write(h->fd, buf, size, off, pid); });
        if (n > 0) {
            h->dirty = h->unpublished = true;
            if (std::find(h->writers.begin(), h->writers.end(), pid) == h->writers.end())
                h->writers.push_back(pid);
        }
    }
    if (n < 0) return reply_status(req, (int)n);
    g_nodes.wrote(h->ino);
    fuse_reply_write(req, (size_t)n);
}

void op_flush(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h || g_served.layout != VESK_LAYOUT_CONTAINER) return reply_status(req, 0);
    int rc;
    {
        std::lock_guard<std::mutex> g(h->mu);
        rc = publish_writers(h);
    }
    reply_status(req, rc);
}

void op_release(fuse_req_t req, fuse_ino_t, struct fuse_file_info *fi) {
    OpenFile *h = of(fi);
    if (h && h->kind == OpenKind::Pseudo) {
        delete h;
    } else if (h) {
        // Not registered: destroy got there first.
        if (std::shared_ptr<OpenFile> keep = unregister_open(h)) finish(keep);
    }
    reply_status(req, 0);
}

// fsync(2) promises every write to the file, whichever descriptor made
// it: every open handle of the node syncs what it wrote, and this one
// syncs even when it wrote nothing (a flat file's data, a new name).
void op_fsync(fuse_req_t req, fuse_ino_t ino, int, struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h) return reply_status(req, 0);
    int first = 0;
    for (const std::shared_ptr<OpenFile> &o : g_nodes.handles(ino)) {
        if (o.get() == h || o->kind != OpenKind::File) continue;
        std::lock_guard<std::mutex> g(o->mu);
        int rc = sync_writers(o.get());
        if (rc < 0 && first == 0) first = rc;
    }
    int rc;
    {
        std::lock_guard<std::mutex> g(h->mu);
        if (h->closed) rc = -EBADF;
        else rc = h->dirty ? sync_writers(h) : vesk_sync(h->fd, h->pid);
    }
    reply_status(req, first ? first : rc);
}

void op_fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length,
                  struct fuse_file_info *fi) {
    OpenFile *h = file_of(fi);
    if (!h || !veskfs_writable(h->flags)) return reply_status(req, -EBADF);
    VeskfsCreds caller = veskfs_caller(req);
    int rc;
    {
        std::lock_guard<std::mutex> g(h->mu);
        rc = h->closed ? -EBADF : as_owner(caller, [&] {
            return vesk_fallocate(h->fd, mode, offset, length);
        });
    }
    if (rc == 0) g_nodes.wrote(h->ino);
    reply_status(req, rc);
}

int truncate_node(fuse_req_t req, fuse_ino_t ino, OpenFile *h, off_t size) {
    VeskfsCreds caller = veskfs_caller(req);
    if (h) {
        std::lock_guard<std::mutex> g(h->mu);
        if (!h->closed)
            return as_owner(caller, [&] { return vesk_trunc(h->fd, h->path.c_str(), size); });
    }
    for (const std::shared_ptr<OpenFile> &w : g_nodes.handles(ino)) {
        if (w->kind != OpenKind::File || !veskfs_writable(w->flags)) continue;
        std::lock_guard<std::mutex> g(w->mu);
        if (!w->closed)
            return as_owner(caller, [&] { return vesk_trunc(w->fd, w->path.c_str(), size); });
    }
    std::string p;
    int rc = g_nodes.path(ino, &p);
    if (rc < 0) return rc;
    return as_owner(caller, [&] { return vesk_truncate(p.c_str(), size); });
}

void close_all_files() {
    std::vector<std::shared_ptr<OpenFile>> left = unregister_all();
    for (const std::shared_ptr<OpenFile> &h : left) {
        std::lock_guard<std::mutex> g(h->mu);
        int rc = close_handle(h.get(), true);
        // The daemon ends next: what could not be written now is lost.
        if (rc < 0)
            say(MLOG_ERR, "unmounting with " + h->path +
                              " open: not all of it was written out: " + strerror(-rc));
    }
    if (g_debug && !left.empty())
        fprintf(stderr, "veskfs: closed %zu file(s) left open at unmount\n", left.size());
}

}  // namespace veskfs
