/*
 * The container layer: a logical file stored as a directory of per-writer
 * logs (layout in Format.h), served as one ordinary file.
 *
 * Its parts: the open-file table (ContainerTable.cpp), open files and
 * their I/O (ContainerIO.cpp), sizes and size records (ContainerSize.cpp),
 * truncation (ContainerTrunc.cpp), the namespace (ContainerNames.cpp) and
 * recovery and administration (ContainerAdmin.cpp). This file holds what
 * they all use to find and tell apart what is at a backend path.
 */
#include "container/ContainerPrivate.h"

#include "Util.h"
#include "config/Config.h"
#include "container/Layout.h"
#include "container/Staging.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

using vesk_cont::host;

namespace vesk_cfile {

namespace {

// The directories a container keeps its logs and records in.
bool container_dir_name(const std::string &name) {
    return name.compare(0, 8, "hostdir.") == 0 || name == vesk_cont::kMetaDir ||
           name == vesk_cont::kOpenWritersDir;
}

}  // namespace

int through_container(const vesk::Resolved &r) {
    std::string parent = r.rel;
    for (int up = 0; up < 2; up++) {
        size_t slash = parent.rfind('/');
        if (slash == std::string::npos) return 0;  // in the mount's root
        parent.resize(slash);
        struct stat st;
        if (Util::Lstat(vesk_cont::marker(vesk::backend_path(*r.mount, parent)).c_str(), &st) == 0 &&
            S_ISREG(st.st_mode))
            return -ENOTDIR;
        slash = parent.rfind('/');
        if (!container_dir_name(slash == std::string::npos ? parent : parent.substr(slash + 1)))
            return 0;
    }
    return 0;
}

int locate(const char *path, std::string &dir, std::string *root) {
    if (!path) return -EFAULT;
    vesk::Resolved r;
    int ret = vesk::resolve(path, &r);
    if (ret < 0) return ret;
    if (vesk_stage::is_reserved(r.rel)) return -EPERM;
    ret = through_container(r);
    if (ret < 0) return ret;
    dir = r.backend_path;
    if (root) *root = r.mount->backends[r.backend];
    return 0;
}

// What is at the backend path. 0 or -errno (other than ENOENT).
int classify(const std::string &dir, Kind *kind, struct stat *st) {
    struct stat local;
    if (!st) st = &local;
    // A held directory (held paths are made of directories only) is looked
    // at through its descriptor, which no rename can point elsewhere: one
    // look suffices.
    if (vesk_cont::is_held_dir(dir)) {
        if (Util::Lstat(dir.c_str(), st) < 0) {
            if (errno != ENOENT) return -errno;
            *kind = K_NONE;  // its descriptor is closed
            return 0;
        }
        int m = vesk_cont::has_marker(dir);
        if (m < 0) return m;
        *kind = m ? K_CONTAINER : K_DIR;
        return 0;
    }
    // A directory is told from a container by what is inside, a second
    // look up of the name: a rename between the two may show the marker of
    // another directory or none. So the inside is looked at through the
    // directory itself, held open, and both looks of the name must find
    // that directory. (A container renamed away and back between them is
    // the same directory again: looked at by name, its marker was missing
    // and an open of it said EISDIR.)
    for (int tries = 0;; tries++) {
        if (Util::Lstat(dir.c_str(), st) < 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                *kind = K_NONE;
                return 0;
            }
            return -errno;
        }
        if (S_ISLNK(st->st_mode)) *kind = K_LINK;
        else if (S_ISREG(st->st_mode)) *kind = K_FILE;
        else if (!S_ISDIR(st->st_mode)) *kind = K_OTHER;
        if (!S_ISDIR(st->st_mode)) return 0;
        int dfd = Util::OpenAt(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dfd < 0) {
            if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) return -errno;
            if (tries < 100) continue;  // replaced meanwhile: look again
            *kind = K_NONE;
            return 0;
        }
        struct stat in;
        int m = fstat(dfd, &in) < 0 ? -errno : vesk_cont::has_marker(vesk_cont::held_path(dfd));
        // The name is looked at again while the directory is held: once
        // let go, a directory removed meanwhile frees its inode number,
        // and another made at the name may get it.
        struct stat again;
        bool same = m >= 0 && in.st_dev == st->st_dev && in.st_ino == st->st_ino &&
                    Util::Lstat(dir.c_str(), &again) == 0 && again.st_dev == st->st_dev &&
                    again.st_ino == st->st_ino;
        ::close(dfd);
        if (!same && tries < 100) continue;
        if (m < 0) return m;  // cannot look inside
        *kind = m ? K_CONTAINER : K_DIR;
        return 0;
    }
}

bool in_group(gid_t g) {
    if (g == getegid()) return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == g) return true;
    return false;
}

// The check open(2) and access(2) make against a file's bits.
int check_perm(const struct stat &st, int want, uid_t uid) {
    want &= (R_OK | W_OK | X_OK);
    if (uid == 0) {
        if ((want & X_OK) && !(st.st_mode & 0111)) return -EACCES;
        return 0;
    }
    mode_t bits;
    if (uid == st.st_uid) bits = (st.st_mode >> 6) & 7;
    else if (in_group(st.st_gid)) bits = (st.st_mode >> 3) & 7;
    else bits = st.st_mode & 7;
    return ((mode_t)want & bits) == (mode_t)want ? 0 : -EACCES;
}

bool writer_alive(const vesk_cont::OpenWriter &w) {
    if (w.host != host()) return true;  // cannot tell for another host
    return !(kill(w.pid, 0) < 0 && errno == ESRCH);
}

// host and pid of "hostdir.<host>/index.<pid>"
void parse_log_rel(const std::string &rel, std::string &h, pid_t &pid) {
    size_t slash = rel.find('/');
    h = rel.substr(8, slash == std::string::npos ? std::string::npos : slash - 8);
    pid = (pid_t)atoi(rel.c_str() + rel.rfind('.') + 1);
}

}  // namespace vesk_cfile
