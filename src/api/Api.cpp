/*
 * The public entry points for files and paths. Each logical path is served
 * by the file system its mount point's layout names; a path under no mount
 * point goes to the flat-file file system, whose expansion refuses it.
 *
 * With tracing switched on (trace = 1 in the configuration, or VESK_TRACE=1)
 * every I/O call leaves one trace line: the most recent is kept for the
 * mount's debug file, and each is logged at INFO of facility INT.
 */
#include "vesk.h"

#include "ContainerFD.h"
#include "ContainerFS.h"
#include "FlatFileFS.h"
#include "LogMessage.h"
#include "LogicalFD.h"
#include "Util.h"
#include "api/MountAncestors.h"
#include "api/Stats.h"
#include "config/Config.h"
#include "config/Expand.h"
#include "mlog.h"

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <climits>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

/* Handles made by vesk_open and not yet destroyed by vesk_close. */
std::atomic<size_t> g_live_handles{0};

LogicalFileSystem *fs_for(const char *path) {
    vesk::Resolved r;
    if (path && vesk::resolve(path, &r) == 0 && r.mount->layout == vesk::Layout::Container)
        return &containerfs;
    return &flatfs;
}

// For calls that carry no pid: the caller's, asked for only when tracing,
// since getpid() is a system call on every read otherwise.
constexpr pid_t kSelf = -1;

void trace(const char *func, size_t size, off_t off, pid_t pid) {
    if (!vesk::tracing()) return;
    if (pid == kSelf) pid = getpid();
    LogMessage lm;
    lm.addTime(Util::getTime());
    lm.addFunction(func);
    lm.addSize(size);
    lm.addOff(off);
    lm.addIds(getuid(), getgid());
    lm.addPid(pid);
    lm.flush();
}

Vesk_open_opt *api_opt(Vesk_open_opt *opt, Vesk_open_opt *local) {
    if (opt) return opt;
    *local = Vesk_open_opt{nullptr, 0, VESK_API, 0};
    return local;
}

}  // namespace

int vesk_open(Vesk_fd **fd, const char *path, int flags, pid_t pid, mode_t mode,
              Vesk_open_opt *opt) {
    if (!fd || !path) return -EINVAL;
    Vesk_open_opt local;
    bool fresh = *fd == nullptr;
    int ret = fs_for(path)->open(fd, path, flags, pid, mode, api_opt(opt, &local));
    if (ret == 0) {
        vesk::stats().opens++;
        if (fresh) g_live_handles++;
    }
    trace("open", 0, 0, pid);
    return ret;
}

int vesk_close(Vesk_fd *fd, pid_t pid, uid_t uid, int open_flags, Vesk_close_opt *opt) {
    if (!fd) return -EBADF;
    int ret = fd->close(pid, uid, open_flags, opt);
    trace("close", 0, 0, pid);
    // A failed close ends nothing: the handle stays for a retry.
    if (ret < 0) return ret;
    vesk::stats().closes++;
    // Each handle counts its own opens: the last one's close returns 0.
    if (ret == 0) {
        delete fd;
        g_live_handles--;
    }
    return ret;
}

ssize_t vesk_read(Vesk_fd *fd, char *buf, size_t size, off_t offset) {
    if (!fd) return -EBADF;
    ssize_t ret = fd->read(buf, size, offset);
    if (ret > 0) vesk::stats().bytes_read += (uint64_t)ret;
    vesk::stats().reads++;
    trace("read", size, offset, kSelf);
    return ret;
}

ssize_t vesk_write(Vesk_fd *fd, const char *buf, size_t size, off_t offset, pid_t pid) {
    if (!fd) return -EBADF;
    ssize_t ret = fd->write(buf, size, offset, pid);
    if (ret > 0) vesk::stats().bytes_written += (uint64_t)ret;
    vesk::stats().writes++;
    trace("write", size, offset, pid);
    return ret;
}

int vesk_sync(Vesk_fd *fd, pid_t pid) {
    if (!fd) return -EBADF;
    trace("sync", 0, 0, pid);
    return fd->sync(pid);
}

int vesk_flush(Vesk_fd *fd, pid_t pid) {
    if (!fd) return -EBADF;
    trace("flush", 0, 0, pid);
    // Flat files are plain backend files: their writes are visible at once.
    if (Container_fd *c = dynamic_cast<Container_fd *>(fd)) return c->publish(pid);
    return 0;
}

int vesk_refresh(Vesk_fd *fd) {
    if (!fd) return -EBADF;
    trace("refresh", 0, 0, kSelf);
    if (Container_fd *c = dynamic_cast<Container_fd *>(fd)) return c->refresh();
    return 0;
}

int vesk_trunc(Vesk_fd *fd, const char *path, off_t offset) {
    if (!fd) return -EBADF;
    trace("trunc", 0, offset, kSelf);
    return fd->trunc(path, offset);
}

int vesk_fallocate(Vesk_fd *fd, int mode, off_t offset, off_t len) {
    if (!fd) return -EBADF;
    if (mode != 0) return -EOPNOTSUPP;
    if (offset < 0 || len <= 0) return -EINVAL;
    trace("fallocate", (size_t)len, offset, kSelf);
    return fd->allocate(offset, len);
}

int vesk_getattr(Vesk_fd *fd, const char *path, struct stat *st, int sz_only) {
    if (!st) return -EFAULT;
    if (fd) return fd->getattr(path, st, sz_only);
    if (!path) return -EINVAL;
    int ret = fs_for(path)->getattr(path, st, sz_only);
    Vesk_dirents next;
    if (ret == -ENOENT && vesk::mount_ancestor(path, &next)) {
        vesk::mount_ancestor_stat(next, st);
        return 0;
    }
    return ret;
}

int vesk_query(Vesk_fd *fd, size_t *writers, size_t *readers, size_t *bytes_written,
               bool *reopen) {
    if (!fd) return -EBADF;
    return fd->query(writers, readers, bytes_written, reopen);
}

#define VESK_PATH_CALL(path, call) \
    do {                           \
        if (!(path)) return -EINVAL; \
        return fs_for(path)->call; \
    } while (0)

// A path that no mount serves may still be a level above a mount point,
// which answers as a read-only directory (see api/MountAncestors.h). It is
// looked for only once the file system has found nothing there.
#define VESK_ABOVE_MOUNT(ret, answer)                                 \
    do {                                                              \
        if ((ret) == -ENOENT && vesk::mount_ancestor(path)) return answer; \
        return ret;                                                   \
    } while (0)

int vesk_access(const char *path, int mask) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->access(path, mask);
    VESK_ABOVE_MOUNT(ret, vesk::mount_ancestor_access(mask));
}
int vesk_chmod(const char *path, mode_t mode) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->chmod(path, mode);
    VESK_ABOVE_MOUNT(ret, -EROFS);
}
int vesk_chown(const char *path, uid_t uid, gid_t gid) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->chown(path, uid, gid);
    VESK_ABOVE_MOUNT(ret, -EROFS);
}
int vesk_mode(const char *path, mode_t *mode) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->getmode(path, mode);
    if (ret == -ENOENT && vesk::mount_ancestor(path)) {
        *mode = S_IFDIR | 0555;
        return 0;
    }
    return ret;
}
int vesk_utime(const char *path, struct utimbuf *ut) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->utime(path, ut);
    VESK_ABOVE_MOUNT(ret, -EROFS);
}
int vesk_utimens(const char *path, const struct timespec ts[2], int flags) {
    if (!path) return -EINVAL;
    if (flags & ~AT_SYMLINK_NOFOLLOW) return -EINVAL;
    // Links hold logical paths: one is followed here, in logical space,
    // never on a backend.
    std::string p = path;
    for (int depth = 0; !(flags & AT_SYMLINK_NOFOLLOW); depth++) {
        struct stat st;
        int r = vesk_getattr(nullptr, p.c_str(), &st, 0);
        if (r < 0) return r;
        if (!S_ISLNK(st.st_mode)) break;
        if (depth == 8) return -ELOOP;
        char target[PATH_MAX];
        r = vesk_readlink(p.c_str(), target, sizeof target - 1);
        if (r < 0) return r;
        target[std::min((size_t)r, sizeof target - 1)] = '\0';
        p = target[0] == '/' ? std::string(target) : Util::dirName(p) + "/" + target;
    }
    int ret = fs_for(p.c_str())->utimens(p.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    VESK_ABOVE_MOUNT(ret, -EROFS);
}
int vesk_unlink(const char *path) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->unlink(path);
    VESK_ABOVE_MOUNT(ret, -EISDIR);
}
int vesk_create(const char *path, mode_t mode, int flags, pid_t pid) {
    VESK_PATH_CALL(path, create(path, mode, flags, pid));
}
int vesk_mkdir(const char *path, mode_t mode) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->mkdir(path, mode);
    VESK_ABOVE_MOUNT(ret, -EEXIST);
}
int vesk_readdir(const char *path, vesk_dirent_fn fn, void *arg) {
    if (!path || !fn) return -EINVAL;
    Vesk_dirents entries;
    int ret = fs_for(path)->readdir(path, &entries);
    if (ret == -ENOENT && vesk::mount_ancestor(path, &entries)) ret = 0;
    if (ret != 0) return ret;
    for (const std::string &name : entries) {
        ret = fn(name.c_str(), arg);
        if (ret != 0) return ret;
    }
    return 0;
}
int vesk_readlink(const char *path, char *buf, size_t bufsize) {
    VESK_PATH_CALL(path, readlink(path, buf, bufsize));
}
int vesk_rmdir(const char *path) {
    if (!path) return -EINVAL;
    int ret = fs_for(path)->rmdir(path);
    VESK_ABOVE_MOUNT(ret, -EROFS);
}
int vesk_statvfs(const char *path, struct statvfs *st) { VESK_PATH_CALL(path, statvfs(path, st)); }
int vesk_truncate(const char *path, off_t offset) { VESK_PATH_CALL(path, trunc(path, offset, 0)); }
void vesk_set_creator(uid_t uid, gid_t gid) { Util::setCreator(uid, gid); }

int vesk_symlink(const char *content, const char *linkpath) {
    if (!content) return -EINVAL;
    VESK_PATH_CALL(linkpath, symlink(content, linkpath));
}

#undef VESK_PATH_CALL
#undef VESK_ABOVE_MOUNT

int vesk_syncdir(const char *path) {
    if (!path) return -EINVAL;
    std::vector<std::string> dirs;
    int r = find_all_expansions(path, dirs);
    if (r != 0) return r < 0 ? r : -EIO;
    int found = 0;
    for (const std::string &d : dirs) {
        if (!Util::isDirectory(d.c_str())) continue;
        found++;
        if (Util::FsyncDir(d.c_str()) < 0) return -errno;
    }
    return found ? 0 : -ENOENT;
}

// Names are moved within one kind of file system only: a flat file cannot
// become a container by being renamed.
static int same_fs(const char *from, const char *to, LogicalFileSystem **fs) {
    if (!from || !to) return -EINVAL;
    // A name that resolves nowhere is refused for what is wrong with it,
    // not as a move between file systems.
    vesk::Resolved r;
    int bad = vesk::resolve(to, &r);
    if (bad != 0) return bad;
    *fs = fs_for(from);
    return *fs == fs_for(to) ? 0 : -EXDEV;
}

int vesk_rename(const char *from, const char *to) {
    LogicalFileSystem *fs;
    int r = same_fs(from, to, &fs);
    return r ? r : fs->rename(from, to);
}

int vesk_link(const char *from, const char *to) {
    LogicalFileSystem *fs;
    int r = same_fs(from, to, &fs);
    return r ? r : fs->link(from, to);
}

namespace vesk {

size_t live_handles() { return g_live_handles.load(); }

}  // namespace vesk
