/*
 * The namespace of the container layer: creation, renaming, removal, and
 * the attributes kept on a path.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "container/ContainerPrivate.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "container/Staging.h"
#include "container/WriteFile.h"
#include "mlog.h"

#include "config/Config.h"
#include "config/Expand.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <cstring>
#include <unistd.h>
#include <vector>

using vesk_cont::host;
using namespace vesk_cfile;

namespace {

// Applies `op` to the backend path, or to the marker of a container, or
// to every backend copy of a directory.
template <typename Op>
int path_op(const char *path, Op op, bool all_dirs) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k == K_CONTAINER) return op(vesk_cont::marker(dir), true);
    if (k == K_DIR && all_dirs) {
        std::vector<std::string> dirs;
        r = find_all_expansions(path, dirs);
        if (r != 0) return r;
        int ret = 0;
        for (const std::string &d : dirs) {
            int rr = op(d, false);
            if (rr != 0 && rr != -ENOENT) ret = rr;
        }
        return ret;
    }
    return op(dir, false);
}

}  // namespace

int container_chown(const char *path, uid_t u, gid_t g) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        if (Util::Lchown(p.c_str(), u, g) < 0) return -errno;
        if (is_marker) {
            // the directory follows, so that the owner can reach the logs
            std::string dir = p.substr(0, p.rfind('/'));
            Util::Lchown(dir.c_str(), u, g);
        }
        return 0;
    }, true);
}

int container_chmod(const char *path, mode_t mode) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        if (Util::Chmod(p.c_str(), (int)(mode & 07777)) < 0) return -errno;
        if (is_marker) {
            std::string dir = p.substr(0, p.rfind('/'));
            Util::Chmod(dir.c_str(), (int)vesk_cont::dir_mode(mode));
        }
        return 0;
    }, true);
}

int container_mode(const char *path, mode_t *mode) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        struct stat st;
        if (Util::Lstat(p.c_str(), &st) < 0) return -errno;
        *mode = is_marker ? (S_IFREG | (st.st_mode & 07777)) : st.st_mode;
        return 0;
    }, false);
}

int container_access(const char *path, int mask) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        if (!is_marker) return Util::Access(p.c_str(), mask) < 0 ? -errno : 0;
        if (mask == F_OK) return 0;
        struct stat st;
        if (Util::Lstat(p.c_str(), &st) < 0) return -errno;
        return check_perm(st, mask, getuid());
    }, false);
}

// Times set while this process holds the file open for writing are the
// caller's: the writers' closes must not stamp over them (see
// WriteFile::setTimes).
static int set_times(const char *path, const std::function<int()> &set) {
    std::string dir;
    SharedFile *sh = locate(path, dir) == 0 ? pin_open(dir) : nullptr;
    WriteFile *wf = sh ? writefile_of(sh) : nullptr;
    int r = wf ? wf->setTimes(set) : set();
    unpin(sh);
    return r;
}

int container_utime(const char *path, struct utimbuf *ut) {
    return set_times(path, [&] {
        return path_op(path, [&](const std::string &p, bool) {
            return Util::Utime(p.c_str(), ut) < 0 ? -errno : 0;
        }, true);
    });
}

int container_utimens(const char *path, const struct timespec ts[2], int flags) {
    return set_times(path, [&] {
        return path_op(path, [&](const std::string &p, bool) {
            return Util::Utimens(p.c_str(), ts, flags) < 0 ? -errno : 0;
        }, true);
    });
}

// A rename is durable once both directories it changed are synced (one,
// when source and destination share it).
static int sync_moved(const std::string &src, const std::string &dst) {
    std::string sdir = Util::dirName(src), ddir = Util::dirName(dst);
    // A file renamed unsynced: its marker's text is made durable with
    // its new name. Only a container's: a link or a directory has none of
    // its own (a link may lead to a container, whose marker is not this
    // rename's to sync).
    struct stat st;
    if (Util::Lstat(dst.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        vesk_cont::has_marker(dst) == 1) {
        int r = vesk_cont::sync_marker(dst);
        if (r != 0) return r;
    }
    if (Util::FsyncDir(ddir.c_str()) < 0) return -errno;
    if (sdir != ddir && Util::FsyncDir(sdir.c_str()) < 0) return -errno;
    return 0;
}

int container_rename(const char *path, const char *to) {
    std::string src, dst, root;
    int r = locate(path, src);
    if (r != 0) return r;
    r = locate(to, dst, &root);
    if (r != 0) return r;
    Kind k, dk;
    r = classify(src, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (src == dst) return 0;
    if (k == K_DIR) {
        std::vector<std::string> srcs, dsts;
        r = find_all_expansions(path, srcs);
        if (r != 0) return r;
        r = find_all_expansions(to, dsts);
        if (r != 0) return r;
        if (srcs.size() != dsts.size()) return -EXDEV;
        int ret = 0;
        for (size_t i = 0; i < srcs.size(); i++) {
            int err = Util::retValue(Util::Rename(srcs[i].c_str(), dsts[i].c_str()));
            if (err == 0) err = sync_moved(srcs[i], dsts[i]);
            if (err == -ENOENT) err = 0;
            if (err != 0) ret = err;
        }
        return ret;
    }
    r = classify(dst, &dk, nullptr);
    if (r != 0) return r;
    if (dk == K_DIR) return -EISDIR;
    if (k != K_CONTAINER && dk != K_CONTAINER) {
        // files and links: rename(2) replaces in one step
        r = Util::retValue(Util::Rename(src.c_str(), dst.c_str()));
        if (r != -EXDEV) return r == 0 ? sync_moved(src, dst) : r;
        r = replace_entry(src, dst, root, k);
        return r == 0 ? sync_moved(src, dst) : r;
    }
    // A container on either side. What this process buffers goes to the
    // logs first, so that a copy across file systems carries it along;
    // holders of the file stay attached to its directory, wherever it goes.
    r = flush_in_process(src);
    if (r != 0) return r;
    if (dk == K_NONE) {
        // Nothing to replace: one rename that refuses to replace what may
        // arrive meanwhile, so the file is under one of its names at every
        // moment. When something did arrive, it is replaced in steps.
        r = Util::retValue(Util::Rename2(src.c_str(), dst.c_str(), RENAME_NOREPLACE));
        if (r == 0) return sync_moved(src, dst);
        if (r != -EEXIST && r != -EXDEV && r != -EINVAL) return r;
    }
    r = replace_entry(src, dst, root, k);
    return r == 0 ? sync_moved(src, dst) : r;
}

int container_link(const char *path, const char *to) {
    (void)path;
    (void)to;
    return -ENOSYS;
}

int container_unlink(const char *path) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    switch (k) {
    case K_NONE: return -ENOENT;
    case K_DIR: return -EISDIR;
    case K_CONTAINER: break;
    default: return Util::Unlink(dir.c_str()) < 0 ? -errno : 0;
    }
    // The name goes at once, into the backend's staging directory; the
    // logs after it, or at the last close when this process holds the
    // file open.
    std::string doomed;
    r = vesk_stage::staging_path_for(dir, "unlink", &doomed);
    if (r != 0) return r;
    if (Util::Rename(dir.c_str(), doomed.c_str()) < 0) return -errno;
    if (keep_while_open(doomed, doomed)) return 0;
    // The unlink itself is done once the name is gone.
    r = discard_tree(doomed, dir);
    if (r == 0 && mlog_filter(kInfo)) mlog(kInfo, "unlink %s", dir.c_str());
    return 0;
}

namespace vesk_cfile {

int discard_tree(const std::string &doomed, const std::string &name) {
    // A file never written is its marker alone (MPI-IO's lock test makes
    // and removes one at every open): two calls, no listing.
    if (Util::Unlink(vesk_cont::marker(doomed).c_str()) == 0 && Util::Rmdir(doomed.c_str()) == 0)
        return 0;
    // A writer still closing (in this process or another) may add its size
    // record while the tree goes: try again. What cannot be removed stays
    // in the staging directory, under no name.
    int r = 0;
    for (int attempt = 0; attempt < 5; attempt++) {
        r = vesk_cont::remove_tree(doomed);
        if (r != -ENOTEMPTY && r != -EEXIST) break;
        usleep(1000u << attempt);
    }
    if (r != 0 && mlog_filter(kErr))
        mlog(kErr, "%s: %s left behind: %s", name.c_str(), doomed.c_str(), strerror(-r));
    return r;
}

}  // namespace vesk_cfile

int container_create(const char *path, mode_t mode, int flags, pid_t pid) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) {
        r = vesk_cont::create_container(dir, (mode | 0200) & 07777);
        if (r == -EEXIST && !(flags & O_EXCL)) return 0;
        return r;
    }
    if (flags & O_EXCL) return -EEXIST;
    if (k == K_DIR) return -EISDIR;
    if (k == K_CONTAINER && (flags & O_TRUNC)) {
        SharedFile *sh = pin_open(dir);
        r = truncate_container(dir, sh, 0, pid);
        unpin(sh);
        return r;
    }
    return 0;
}

int container_readlink(const char *path, char *buf, size_t bufsize) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    ssize_t n = Util::Readlink(dir.c_str(), buf, bufsize);
    if (n < 0) return -errno;
    if (n > 0 && (size_t)n < bufsize) buf[n] = '\0';
    return (int)n;
}

int container_symlink(const char *path, const char *to) {
    std::string dir;
    int r = locate(to, dir);
    if (r != 0) return r;
    return Util::Symlink(path, dir.c_str()) < 0 ? -errno : 0;
}

int container_statvfs(const char *path, struct statvfs *stbuf) {
    vesk::Resolved r;
    int ret = vesk::resolve(path, &r);
    if (ret < 0) return ret;
    const std::string &root = r.mount->backends[r.backend];
    return Util::Statvfs(root.c_str(), stbuf) < 0 ? -errno : 0;
}
