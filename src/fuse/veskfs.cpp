/*
 * veskfs: the FUSE 3 daemon that serves one vesk mount point to unmodified
 * programs. It speaks the kernel's own protocol (libfuse's low-level
 * interface): the kernel names files by node ids, the node table
 * (Nodes.h) turns them into logical paths (MOUNTPOINT + the path below
 * it), and every request is one call of the public interface (vesk.h).
 *
 * Files that lose their name. POSIX keeps an unlinked or replaced file
 * alive, fully usable, until its last close; the kernel keeps sending
 * requests for its node (fstat comes by node, not by handle). Its node
 * keeps its open handles (OpenFiles.h), and the attributes and size of a
 * node with a handle open come through that handle, so the temporary-file
 * pattern (open, unlink, use, close) works and a reader of a name that a
 * rename replaced keeps its file. A node with neither a name nor a handle
 * answers ESTALE, which makes the kernel look the name up again.
 *
 * Renames. A rename moves the node (and so everything below a directory)
 * and tells open handles their new path: a container handle keeps writing
 * into the renamed container. It holds the name lock exclusively, so that
 * no request turns a node into a path that the rename is changing.
 *
 * Open writers. getattr and truncate of a node go through an open
 * writer's handle, which knows of data it has not yet published.
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
 * writes the same backends. Such a mount is taken to be its files' only
 * writer, so it also keeps their pages across opens.
 *
 * Record locks and flock are left to the kernel, which keeps them per
 * node (no lock operations are offered).
 */
#define FUSE_USE_VERSION 31
#include <fuse_lowlevel.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <shared_mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fuse/Daemon.h"
#include "fuse/DebugInfo.h"
#include "fuse/Mount.h"
#include "fuse/Options.h"
#include "vesk.h"

namespace veskfs {

Served g_served;
bool g_writeback = false;
struct timespec g_start;
VeskfsNodes g_nodes;
std::shared_mutex g_names;

bool is_debug(const std::string &path) {
    return path == (g_served.mount == "/" ? "" : g_served.mount) + "/" + kDebugName;
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
    LiveFigures live;
    live.open_files = open_count();
    return debug_text(g_served, live);
}

}  // namespace veskfs

namespace {

using namespace veskfs;

void op_init(void *, struct fuse_conn_info *conn) {
    conn->max_write = kMaxIO;
    conn->max_readahead = kMaxIO;
    if (g_writeback && (conn->capable & FUSE_CAP_WRITEBACK_CACHE))
        conn->want |= FUSE_CAP_WRITEBACK_CACHE;
    else
        conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    // Without write-back the kernel drops a file's pages whenever its
    // modification time moves. That costs a read-seek-rewrite three round
    // trips a block (the attributes, the block again, the write), but it
    // is what mends a page read while another process's write to it was
    // on its way here: the read may be served first and fill the page
    // with the old bytes after the writer put the new ones in. With
    // write-back no write is on its way while its page is in the cache,
    // and this mount is its files' only writer: the pages stay until the
    // size changes.
    if (g_writeback) conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
}

void op_destroy(void *) { close_all_files(); }

// Requests left out stay null: libfuse answers them with ENOSYS, and
// without lock operations the kernel keeps record locks and flock itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const struct fuse_lowlevel_ops vesk_ops = {
    .init = op_init,
    .destroy = op_destroy,
    .lookup = op_lookup,
    .forget = op_forget,
    .getattr = op_getattr,
    .setattr = op_setattr,
    .readlink = op_readlink,
    .mknod = op_mknod,
    .mkdir = op_mkdir,
    .unlink = op_unlink,
    .rmdir = op_rmdir,
    .symlink = op_symlink,
    .rename = op_rename,
    .link = op_link,
    .open = op_open,
    .read = op_read,
    .write = op_write,
    .flush = op_flush,
    .release = op_release,
    .fsync = op_fsync,
    .opendir = op_opendir,
    .readdir = op_readdir,
    .releasedir = op_releasedir,
    .fsyncdir = op_fsyncdir,
    .statfs = op_statfs,
    .access = op_access,
    .create = op_create,
    .forget_multi = op_forget_multi,
    .fallocate = op_fallocate,
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
    g_nodes.set_mount(g_served.mount);
    veskfs::veskfs_identity_init();
    clock_gettime(CLOCK_REALTIME, &g_start);
    return veskfs::serve(cmd, g_served, &vesk_ops);
}
