/*
 * The daemon's open files. Each FUSE open makes its own vesk handle, held
 * by an OpenFile that fi->fh points to. The library wants the operations
 * of one handle serialized by the caller, so each OpenFile has a mutex;
 * different handles run in parallel on the multithreaded loop. Writes name
 * the calling process, so processes writing one container become
 * different writers of it; requests that arrive without a pid (release,
 * kernel write-back) use the opener's.
 *
 * Every open file is also in a registry, so that destroy (unmount, or a
 * signal) closes whatever the kernel never released: a release still
 * queued when the connection goes down is dropped by the kernel, and only
 * the close makes a container's last writes durable.
 */
#ifndef VESKFS_OPENFILES_H
#define VESKFS_OPENFILES_H

#include <fuse_lowlevel.h>

#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "fuse/Permissions.h"
#include "vesk.h"

namespace veskfs {

enum class OpenKind { File, Pseudo, Dir };

/* What fi->fh points to: an open file, the debug pseudo-file (its text
 * only) or an open directory (its listing). */
struct OpenFile {
    OpenKind kind = OpenKind::File;
    std::mutex mu;               // serializes every call on fd
    Vesk_fd *fd = nullptr;
    fuse_ino_t ino = 0;
    std::string path;            // logical; changed under mu, by renames
    pid_t pid = 0;               // the opener
    uid_t uid = 0;
    VeskfsCreds creds;           // the opener's: its writes run as it
    int flags = 0;               // as passed to vesk_open
    bool dirty = false;          // written since the last vesk_sync
    bool unpublished = false;    // written since the last vesk_flush
    bool closed = false;         // fd closed (release or destroy)
    std::vector<pid_t> writers;  // every pid that wrote through fd
    std::string text;            // the debug pseudo-file's content
    std::vector<std::string> entries;  // a directory's listing, read at offset 0
};

inline bool veskfs_writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

/* h->mu held. What the handle's writers wrote, made visible to later
 * opens (not durable). Stays unpublished when that fails. */
int publish_writers(OpenFile *h);
/* h->mu held. What the handle's writers wrote, made durable. Stays dirty
 * when that fails, so that a retried fsync writes it. */
int sync_writers(OpenFile *h);
/* h->mu held. `durable`: sync before closing (unmount), else publish. A
 * close that fails leaves the handle open (the library keeps what it could
 * not write) and returns the error. */
int close_handle(OpenFile *h, bool durable);

/* The registry of open files (not directories or the pseudo-file). */
void register_open(const std::shared_ptr<OpenFile> &h);
/* Takes `h` out of the registry; null when it is not there (destroy got
 * there first). */
std::shared_ptr<OpenFile> unregister_open(OpenFile *h);
/* Every registered file, taken out of the registry (destroy). */
std::vector<std::shared_ptr<OpenFile>> unregister_all();
/* Every registered file, left in. */
std::vector<std::shared_ptr<OpenFile>> registered();
size_t open_count();

/* True with -d: closing failures are told on standard error. */
extern bool g_debug;

}  // namespace veskfs

#endif
