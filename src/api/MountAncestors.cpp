/*
 * Directories above the mount points: derived from the mount table alone.
 */
#include "api/MountAncestors.h"
#include "config/Config.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vesk {

bool mount_ancestor(const char *logical, Vesk_dirents *next) {
    if (!logical || !*logical) return false;
    Resolved r;
    if (resolve(logical, &r) != -ENOENT) return false;  // served, or refused for itself
    std::string p = normalize_path(logical);
    std::string prefix = p == "/" ? p : p + "/";
    std::shared_ptr<const Config> cfg = config();
    bool found = false;
    for (const Mount &m : cfg->mounts) {
        if (m.path.size() <= prefix.size() || m.path.compare(0, prefix.size(), prefix) != 0)
            continue;
        found = true;
        if (!next) break;
        size_t end = m.path.find('/', prefix.size());
        next->insert(m.path.substr(prefix.size(), end == std::string::npos
                                                      ? std::string::npos
                                                      : end - prefix.size()));
    }
    return found;
}

void mount_ancestor_stat(const Vesk_dirents &next, struct stat *st) {
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2 + next.size();
    st->st_blksize = 4096;
    // The configuration made these directories: they are as old as it.
    std::shared_ptr<const Config> cfg = config();
    struct stat cst;
    if (!cfg->file.empty() && stat(cfg->file.c_str(), &cst) == 0) {
        st->st_atim = cst.st_mtim;
        st->st_mtim = cst.st_mtim;
        st->st_ctim = cst.st_mtim;
    }
}

int mount_ancestor_access(int mask) { return (mask & W_OK) ? -EROFS : 0; }

}  // namespace vesk
