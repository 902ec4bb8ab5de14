/*
 * Directories of a mount. A logical directory is a real directory on every
 * backend of its mount, so that the files below it, spread over the
 * backends by name, each find their parent. Listing merges the backends;
 * removal checks all of them before touching any.
 */
#include "container/Container.h"
#include "container/ContainerPrivate.h"
#include "container/Layout.h"
#include "container/Staging.h"
#include "config/Config.h"
#include "Util.h"
#include "mlog.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

const int kDirLog = MLOG_DBG1 | VESK_FAC_CONTAINER;

// Entries of one backend directory; -errno when it cannot be listed.
int list_dir(const std::string &dir, Vesk_dirents *out) {
    DIR *d = opendir(dir.c_str());
    if (!d) return -errno;
    errno = 0;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        // the layer's own, at a backend's root: no logical path reaches it
        if (strcmp(e->d_name, vesk_stage::kStagingName) == 0) continue;
        out->insert(e->d_name);
    }
    int err = errno;
    closedir(d);
    return err ? -err : 0;
}

// The directory's path on every backend of its mount, in configuration
// order, and whether that mount keeps containers: on a flat mount no
// directory is one, whatever files it holds.
int backend_dirs(const char *path, std::vector<std::string> &dirs, bool *containers) {
    vesk::Resolved r;
    int ret = vesk::resolve(path, &r);
    if (ret < 0) return ret;
    if (vesk_stage::is_reserved(r.rel)) return -EPERM;
    *containers = r.mount->layout == vesk::Layout::Container;
    if (*containers) {
        ret = vesk_cfile::through_container(r);
        if (ret < 0) return ret;
    }
    for (const std::string &b : r.mount->backends)
        dirs.push_back(r.rel.empty() ? b : b + "/" + r.rel);
    return 0;
}

}  // namespace

bool container_is_container(const std::string &dir) {
    struct stat st;
    return Util::Lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           vesk_cont::has_marker(dir) == 1;
}

int container_mkdir(const char *path, mode_t mode) {
    std::vector<std::string> dirs;
    bool containers = false;
    int ret = backend_dirs(path, dirs, &containers);
    if (ret != 0) return ret;
    // Something else of that name anywhere (a flat file on its backend, a
    // container) means the name is taken.
    int existing = 0;
    for (const std::string &d : dirs) {
        struct stat st;
        if (Util::Lstat(d.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode) || (containers && container_is_container(d))) return -EEXIST;
            existing++;
        }
    }
    if (existing == (int)dirs.size()) return -EEXIST;
    // Create the missing copies; one that exists already was left by an
    // earlier, interrupted mkdir and is adopted.
    ret = 0;
    for (const std::string &d : dirs) {
        int r = Util::retValue(Util::Mkdir(d.c_str(), mode));
        // The new entry survives a crash only once its parent is synced:
        // files made below it later would otherwise lose their way.
        if (r == 0 && Util::FsyncParent(d.c_str()) < 0) r = -errno;
        if (r == -EEXIST) r = 0;
        if (mlog_filter(kDirLog)) mlog(kDirLog, "mkdir %s: %d", d.c_str(), r);
        if (r != 0) ret = r;
    }
    return ret;
}

int container_readdir(const char *path, void *buf) {
    Vesk_dirents *entries = static_cast<Vesk_dirents *>(buf);
    std::vector<std::string> dirs;
    bool containers = false;
    int ret = backend_dirs(path, dirs, &containers);
    if (ret != 0) return ret;
    int found = 0;
    int last_err = -ENOENT;
    for (const std::string &d : dirs) {
        struct stat st;
        if (Util::Lstat(d.c_str(), &st) != 0) {
            if (errno != ENOENT) last_err = -errno;
            continue;
        }
        if (!S_ISDIR(st.st_mode) || (containers && container_is_container(d))) return -ENOTDIR;
        int r = list_dir(d, entries);
        if (r != 0) return r;
        found++;
    }
    return found ? 0 : last_err;
}

int container_rmdir(const char *path) {
    std::vector<std::string> dirs;
    bool containers = false;
    int ret = backend_dirs(path, dirs, &containers);
    if (ret != 0) return ret;
    std::vector<std::string> present;
    std::vector<mode_t> modes;
    for (const std::string &d : dirs) {
        struct stat st;
        if (Util::Lstat(d.c_str(), &st) != 0) {
            if (errno != ENOENT) return -errno;
            continue;
        }
        if (!S_ISDIR(st.st_mode) || (containers && container_is_container(d))) return -ENOTDIR;
        Vesk_dirents e;
        int r = list_dir(d, &e);
        if (r != 0) return r;
        if (!e.empty()) return -ENOTEMPTY;
        present.push_back(d);
        modes.push_back(st.st_mode & 07777);
    }
    if (present.empty()) return -ENOENT;
    // Something may still have come in meanwhile: a copy that cannot go
    // takes the ones already removed back, so the directory stays whole.
    for (size_t i = 0; i < present.size(); i++) {
        int r = Util::retValue(Util::Rmdir(present[i].c_str()));
        if (mlog_filter(kDirLog)) mlog(kDirLog, "rmdir %s: %d", present[i].c_str(), r);
        if (r == 0) continue;
        for (size_t j = 0; j < i; j++) {
            if (Util::Mkdir(present[j].c_str(), 0700) == 0)
                Util::Chmod(present[j].c_str(), (int)modes[j]);
        }
        return r;
    }
    return 0;
}
