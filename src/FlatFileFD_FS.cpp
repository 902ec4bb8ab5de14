/*
 * The flat-file file system and its handle: one backend file per logical
 * file, every operation one system-call wrapper on the expanded path.
 */
#include "FlatFileFS.h"
#include "FlatFileFD.h"

#include "Util.h"
#include "config/Expand.h"
#include "container/Container.h"
#include "container/Staging.h"
#include "mlog.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

FlatFileSystem flatfs;

namespace {

// The backend path of `logical`. The expansion's copy is freed at once.
// A path without a backend (under no mount point, or climbing out of its
// mount with "..") is reported as minus errno; nothing is ever done with
// a missing path.
int backend_path(const char *logical, std::string &path) {
    // The backends' staging directories belong to the layer alone.
    if (logical && vesk_stage::is_reserved(logical)) return -EPERM;
    char *physical_path = nullptr;
    int ret = vesk_expand_path(logical, &physical_path);
    if (!physical_path) return ret < 0 ? ret : -ENOENT;
    path = physical_path;
    free(physical_path);
    return 0;
}

// A wrapper's result in the layer's convention: errno read at once.
inline int result(int ret) { return ret < 0 ? -errno : ret; }

// A name picks one backend, and the file a path runs through may lie on
// another: there the path's directory is simply missing, and the kernel
// says ENOENT where a single file system says ENOTDIR. So an ENOENT is
// checked against the path's ancestors, each looked for where its own
// name puts it: the nearest one that exists decides. Only a failure pays.
int missing_or_below_file(const char *logical, int ret) {
    if (ret != -ENOENT || !logical) return ret;
    std::string up = logical;
    for (;;) {
        size_t slash = up.find_last_of('/');
        if (slash == std::string::npos || slash == 0) return ret;
        up.resize(slash);
        std::string path;
        if (backend_path(up.c_str(), path) != 0) return ret;  // above the mount
        struct stat st;
        if (Util::Lstat(path.c_str(), &st) == 0)
            return S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode) ? ret : -ENOTDIR;
        if (errno == ENOTDIR) return -ENOTDIR;  // through a file on that backend
        if (errno != ENOENT) return ret;
    }
}

const int kRenameLog = 0x20002;       // MLOG_INFO | VESK_FAC_INTERNAL
const int kCrossDeviceLog = 0x20009;  // MLOG_INFO | VESK_FAC_FLATFS

// After a rename the new name, and the old one's removal, are durable only
// once the directories holding them are synced. A failed sync is the
// rename's failure: the caller cannot count on the move surviving.
int sync_rename_dirs(const std::string &source, const std::string &destination) {
    std::string sdir = Util::dirName(source), ddir = Util::dirName(destination);
    if (Util::FsyncDir(ddir.c_str()) < 0) return -errno;
    if (sdir != ddir && Util::FsyncDir(sdir.c_str()) < 0) return -errno;
    return 0;
}

int rename_file(const std::string &source, const std::string &destination,
                bool is_link) {
    int r = Util::retValue(Util::Rename(source.c_str(), destination.c_str()));
    if (r == 0) return sync_rename_dirs(source, destination);
    if (r != -EXDEV) return r;
    // Source and destination lie on different backend file systems.
    // A link moves as a link, not as a copy of what it points to.
    if (is_link) r = Util::retValue(Util::CopyLink(source.c_str(), destination.c_str()));
    else r = Util::retValue(Util::CopyFile(source.c_str(), destination.c_str()));
    if (r == 0) r = Util::retValue(Util::Unlink(source.c_str()));
    if (r == 0) r = sync_rename_dirs(source, destination);
    if (mlog_filter(kCrossDeviceLog))
        mlog(kCrossDeviceLog, "Cross-device rename, do CopyFile+Unlink, ret: %d. errno: %d.\n",
             r, r < 0 ? -r : errno);
    return r;
}

int rename_dir(const char *logical, const char *to) {
    std::vector<std::string> srcs, dsts;
    int r = find_all_expansions(logical, srcs);
    if (r != 0) return r < 0 ? r : -EIO;
    r = find_all_expansions(to, dsts);
    if (r != 0) return r < 0 ? r : -EIO;
    if (srcs.size() != dsts.size()) {
        // The two paths lie under mounts with different backends: pairing
        // them by position would scatter the directory.
        if (mlog_filter(MLOG_ERR | VESK_FAC_FLATFS))
            mlog(MLOG_ERR | VESK_FAC_FLATFS,
                 "rename %s to %s: %zu backends against %zu, refused", logical, to,
                 srcs.size(), dsts.size());
        return -EXDEV;
    }
    r = 0;
    for (size_t i = 0; i < srcs.size(); i++) {
        int err = Util::retValue(Util::Rename(srcs[i].c_str(), dsts[i].c_str()));
        if (err == 0) err = sync_rename_dirs(srcs[i], dsts[i]);
        if (err == -ENOENT) err = 0;  // this backend holds no copy
        if (err != 0) r = err;
        if (mlog_filter(kRenameLog))
            mlog(kRenameLog, "rename %s to %s: %d", srcs[i].c_str(), dsts[i].c_str(), err);
    }
    return r;
}

}  // namespace

/* --- FlatFileSystem ------------------------------------------------------ */

int FlatFileSystem::open(Vesk_fd **pfd, const char *logical, int flags, pid_t pid,
                         mode_t mode, Vesk_open_opt *open_opt) {
    std::string path;
    int r = backend_path(logical, path);
    if (r != 0) return r;
    bool made_here = false;
    if (*pfd == nullptr) {
        *pfd = new Flat_fd();
        (*pfd)->setPath(logical);
        made_here = true;
    }
    int ret = (*pfd)->open(path.c_str(), flags, pid, mode, open_opt);
    if (ret < 0 && made_here) {
        delete *pfd;
        *pfd = nullptr;
    }
    return missing_or_below_file(logical, ret);
}

#define FLAT_PATH_OP(call)                       \
    std::string path;                            \
    int r = backend_path(logical, path);         \
    if (r != 0) return r;                        \
    return missing_or_below_file(logical, result(call))

int FlatFileSystem::getattr(const char *logical, struct stat *stbuf, int /*sz_only*/) {
    FLAT_PATH_OP(Util::Lstat(path.c_str(), stbuf));
}

int FlatFileSystem::trunc(const char *logical, off_t offset, int /*open_file*/) {
    FLAT_PATH_OP(Util::Truncate(path.c_str(), offset));
}

// A directory has a copy on every backend, and a file created below it
// lands in whichever its name picks: owner, bits and times go to all of
// them, or a file would be created under other rules than were set.
#define FLAT_ATTR_OP(call, all_copies)                            \
    std::string path;                                             \
    int r = backend_path(logical, path);                          \
    if (r != 0) return r;                                         \
    struct stat st;                                               \
    if (Util::Lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) \
        return all_copies;                                        \
    return missing_or_below_file(logical, result(call))

int FlatFileSystem::chown(const char *logical, uid_t u, gid_t g) {
    FLAT_ATTR_OP(Util::Lchown(path.c_str(), u, g), container_chown(logical, u, g));
}

int FlatFileSystem::chmod(const char *logical, mode_t mode) {
    FLAT_ATTR_OP(Util::Chmod(path.c_str(), (int)mode), container_chmod(logical, mode));
}

int FlatFileSystem::access(const char *logical, int mask) {
    FLAT_PATH_OP(Util::Access(path.c_str(), mask));
}

int FlatFileSystem::utime(const char *logical, struct utimbuf *ut) {
    FLAT_ATTR_OP(Util::Utime(path.c_str(), ut), container_utime(logical, ut));
}

#undef FLAT_ATTR_OP

int FlatFileSystem::unlink(const char *logical) {
    FLAT_PATH_OP(Util::Unlink(path.c_str()));
}

int FlatFileSystem::utimens(const char *logical, const struct timespec ts[2], int flags) {
    FLAT_PATH_OP(Util::Utimens(path.c_str(), ts, flags));
}
int FlatFileSystem::statvfs(const char *logical, struct statvfs *stbuf) {
    FLAT_PATH_OP(Util::Statvfs(path.c_str(), stbuf));
}

int FlatFileSystem::create(const char *logical, mode_t mode, int /*flags*/, pid_t /*pid*/) {
    FLAT_PATH_OP(Util::Creat(path.c_str(), mode | 0200));
}

#undef FLAT_PATH_OP

int FlatFileSystem::getmode(const char *logical, mode_t *mode) {
    std::string path;
    int r = backend_path(logical, path);
    if (r != 0) return r;
    struct stat st;
    int ret = Util::Lstat(path.c_str(), &st);
    if (ret < 0) return missing_or_below_file(logical, -errno);
    if (ret == 0) *mode = st.st_mode;
    return ret;
}

int FlatFileSystem::readlink(const char *logical, char *buf, size_t bufsize) {
    std::string path;
    int r = backend_path(logical, path);
    if (r != 0) return r;
    ssize_t n = Util::Readlink(path.c_str(), buf, bufsize);
    if (n < 0) return missing_or_below_file(logical, -errno);
    if (n > 0 && (size_t)n < bufsize) buf[n] = '\0';
    return (int)n;
}

int FlatFileSystem::symlink(const char *logical, const char *to) {
    // The content is kept as the caller wrote it; only the link's own
    // location is expanded.
    std::string path;
    int r = backend_path(to, path);
    if (r != 0) return r;
    return missing_or_below_file(to, result(Util::Symlink(logical, path.c_str())));
}

int FlatFileSystem::link(const char * /*logical*/, const char * /*to*/) {
    return -ENOSYS;
}

static int rename_paths(const char *logical, const char *to) {
    std::string source, destination;
    int r = backend_path(logical, source);
    if (r != 0) return r;
    r = backend_path(to, destination);
    if (r != 0) return r;
    struct stat st;
    if (Util::Lstat(source.c_str(), &st) < 0) return -errno;
    switch (st.st_mode & S_IFMT) {
    case S_IFLNK:
    case S_IFREG:
        return rename_file(source, destination, S_ISLNK(st.st_mode));
    case S_IFDIR:
        return rename_dir(logical, to);
    default:
        return -ENOSYS;
    }
}

int FlatFileSystem::rename(const char *logical, const char *to) {
    return missing_or_below_file(to, missing_or_below_file(logical, rename_paths(logical, to)));
}

int FlatFileSystem::mkdir(const char *logical, mode_t mode) {
    return missing_or_below_file(logical, container_mkdir(logical, mode));
}

int FlatFileSystem::rmdir(const char *logical) {
    return missing_or_below_file(logical, container_rmdir(logical));
}

int FlatFileSystem::readdir(const char *logical, void *buf) {
    return missing_or_below_file(logical, container_readdir(logical, buf));
}

/* --- Flat_fd --------------------------------------------------------------- */

Flat_fd::Flat_fd() : refs(0), backend_fd(-1), name_synced(false) {}

Flat_fd::~Flat_fd() {
    if (refs > 0 || backend_fd >= 0) {
        vesk_debug("File %s is not closed!\n", backend_pathname.c_str());
        Util::Close(backend_fd);
    }
}

int Flat_fd::open(const char *filename, int flags, pid_t /*pid*/, mode_t mode,
                  Vesk_open_opt * /*open_opt*/) {
    if (backend_fd != -1) {
        refs++;
        return 0;
    }
    int fd = Util::OpenFile(filename, flags, mode);
    if (fd < 0) return -errno;
    backend_fd = fd;
    backend_pathname = filename;
    name_synced = false;
    refs = 1;
    return 0;
}

int Flat_fd::close(pid_t /*pid*/, uid_t /*u*/, int /*flags*/, Vesk_close_opt * /*close_opt*/) {
    refs--;
    if (refs > 0) return refs;
    if (backend_fd >= 0) {
        Util::Close(backend_fd);
        backend_fd = -1;
    }
    return 0;
}

ssize_t Flat_fd::read(char *buf, size_t size, off_t offset) {
    ssize_t n = Util::Pread(backend_fd, buf, size, offset);
    return n < 0 ? -errno : n;
}

ssize_t Flat_fd::write(const char *buf, size_t size, off_t offset, pid_t /*pid*/) {
    ssize_t n = Util::Pwrite(backend_fd, buf, size, offset);
    return n < 0 ? -errno : n;
}

int Flat_fd::sync() {
    if (Util::Fsync(backend_fd) < 0) return -errno;
    if (!name_synced) {
        if (Util::FsyncParent(backend_pathname.c_str()) < 0) {
            // A file without a name (unlinked while open, its directory
            // perhaps gone too) has no entry to make durable.
            int r = -errno;
            struct stat st;
            if (Util::Fstat(backend_fd, &st) < 0 || st.st_nlink > 0) return r;
        }
        name_synced = true;
    }
    return 0;
}

int Flat_fd::sync(pid_t /*pid*/) { return sync(); }

int Flat_fd::trunc(const char * /*path*/, off_t offset) {
    return result(Util::Ftruncate(backend_fd, offset));
}

int Flat_fd::getattr(const char * /*path*/, struct stat *stbuf, int /*sz_only*/) {
    return result(Util::Fstat(backend_fd, stbuf));
}

int Flat_fd::query(size_t * /*writers*/, size_t * /*readers*/, size_t *bytes_written,
                   bool *reopen) {
    if (bytes_written) *bytes_written = 1;
    if (reopen) *reopen = false;
    return 0;
}

bool Flat_fd::is_good() { return backend_fd >= 0 && refs > 0; }

int Flat_fd::incrementOpens(int /*amount*/) { return 1; }

void Flat_fd::setPath(std::string p) { path = p; }

const char *Flat_fd::getPath() { return path.c_str(); }

int Flat_fd::compress_metadata(const char * /*path*/) { return 0; }

int Flat_fd::allocate(off_t offset, off_t len) {
    return result(Util::Fallocate(backend_fd, 0, offset, len));
}

int Flat_fd::rename(const char *path) {
    setPath(std::string(path));
    std::string moved;
    if (backend_path(path, moved) == 0 && moved != backend_pathname) {
        backend_pathname = moved;
        name_synced = false;
    }
    return 0;
}
