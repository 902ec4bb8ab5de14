/*
 * Directory streams over vesk directories. A stream is a VDir of ours, not
 * libc's DIR; the set of live VDirs tells them apart.
 */
#include "preload/Preload.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <unistd.h>

using namespace vp;

namespace {

struct VDir {
    int fd;
    struct dirent64 ent;
};

std::mutex g_dirs_mu;
std::unordered_set<const void *> &dirs() {
    static std::unordered_set<const void *> s;
    return s;
}
std::atomic<int> g_ndirs{0};

VDir *as_vdir(const void *p) {
    if (g_ndirs.load(std::memory_order_relaxed) == 0 || !p) return nullptr;
    std::lock_guard<std::mutex> g(g_dirs_mu);
    return dirs().count(p) ? static_cast<VDir *>(const_cast<void *>(p)) : nullptr;
}

// Lists the directory once per process; "." and ".." lead as the kernel's
// listings have them.
int list(Desc *d) {
    if (d->listed) return 0;
    Vesk_dirents entries;
    int r = vesk_readdir(d->sh->path, &entries);
    if (r < 0) return r;
    d->names.assign({".", ".."});
    d->names.insert(d->names.end(), entries.begin(), entries.end());
    d->listed = true;
    return 0;
}

uint64_t name_ino(const std::string &dir, const std::string &name) {
    uint64_t h = 1469598103934665603ull;
    for (char c : dir + "/" + name) h = (h ^ (unsigned char)c) * 1099511628211ull;
    return h ? h : 1;
}

struct dirent64 *next(VDir *v) {
    Ref d(v->fd);
    if (!d) {
        errno = EBADF;
        return nullptr;
    }
    std::lock_guard<std::mutex> g(d->mu);
    if (d->sh->dir_pos == 0) d->listed = false;  // a rewind reads it anew
    int r = list(d.d);
    if (r < 0) {
        errno = -r;
        return nullptr;
    }
    lock_shared(d->sh);
    int64_t pos = d->sh->dir_pos;
    if (pos >= (int64_t)d->names.size()) {
        unlock_shared(d->sh);
        return nullptr;  // the end: errno untouched
    }
    d->sh->dir_pos = pos + 1;
    unlock_shared(d->sh);
    const std::string &name = d->names[(size_t)pos];
    memset(&v->ent, 0, offsetof(struct dirent64, d_name));
    v->ent.d_ino = name_ino(d->sh->path, name);
    v->ent.d_off = pos + 1;
    v->ent.d_reclen = sizeof v->ent;
    v->ent.d_type = (name == "." || name == "..") ? DT_DIR : DT_UNKNOWN;
    size_t n = std::min(name.size(), sizeof v->ent.d_name - 1);
    memcpy(v->ent.d_name, name.c_str(), n);
    v->ent.d_name[n] = '\0';
    return &v->ent;
}

DIR *make_vdir(int fd) {
    VDir *v = new VDir;
    v->fd = fd;
    std::lock_guard<std::mutex> g(g_dirs_mu);
    dirs().insert(v);
    g_ndirs.fetch_add(1);
    return reinterpret_cast<DIR *>(v);
}

}  // namespace

VP_EXPORT DIR *opendir(const char *path) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(opendir)(path);
    int fd = vopen(abs, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
        errno = -fd;
        return nullptr;
    }
    return make_vdir(fd);
}

VP_EXPORT DIR *fdopendir(int fd) {
    Ref d(fd);
    if (!d) return VP_REAL(fdopendir)(fd);
    if (!d->sh->is_dir) {
        errno = ENOTDIR;
        return nullptr;
    }
    return make_vdir(fd);
}

VP_EXPORT struct dirent64 *readdir64(DIR *dir) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(readdir64)(dir);
    return next(v);
}

VP_EXPORT struct dirent *readdir(DIR *dir) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(readdir)(dir);
    static_assert(sizeof(struct dirent) == sizeof(struct dirent64), "one layout on this ABI");
    return reinterpret_cast<struct dirent *>(next(v));
}

VP_EXPORT int readdir_r(DIR *dir, struct dirent *entry, struct dirent **result) {
    VDir *v = as_vdir(dir);
    if (!v) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        return VP_REAL(readdir_r)(dir, entry, result);
#pragma GCC diagnostic pop
    }
    int saved = errno;
    errno = 0;
    struct dirent64 *e = next(v);
    int err = errno;
    errno = saved;
    if (!e) {
        *result = nullptr;
        return err;
    }
    memcpy(entry, e, sizeof *entry);
    *result = entry;
    return 0;
}

VP_EXPORT int closedir(DIR *dir) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(closedir)(dir);
    {
        std::lock_guard<std::mutex> g(g_dirs_mu);
        dirs().erase(v);
        g_ndirs.fetch_sub(1);
    }
    int r = close(v->fd);
    delete v;
    return r;
}

VP_EXPORT int dirfd(DIR *dir) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(dirfd)(dir);
    return v->fd;
}

VP_EXPORT void rewinddir(DIR *dir) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(rewinddir)(dir);
    Ref d(v->fd);
    if (!d) return;
    lock_shared(d->sh);
    d->sh->dir_pos = 0;
    unlock_shared(d->sh);
}

VP_EXPORT long telldir(DIR *dir) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(telldir)(dir);
    Ref d(v->fd);
    return d ? (long)d->sh->dir_pos : -1;
}

VP_EXPORT void seekdir(DIR *dir, long pos) {
    VDir *v = as_vdir(dir);
    if (!v) return VP_REAL(seekdir)(dir, pos);
    Ref d(v->fd);
    if (!d || pos < 0) return;
    lock_shared(d->sh);
    d->sh->dir_pos = pos;
    unlock_shared(d->sh);
}

// libc's scandir opens its stream internally, out of reach of opendir
// above; vesk directories are scanned here.
template <class Ent>
static int scan(const char *path, Ent ***out, int (*sel)(const Ent *),
                int (*cmp)(const Ent **, const Ent **)) {
    DIR *d = opendir(path);
    if (!d) return -1;
    std::vector<Ent *> v;
    while (struct dirent64 *e = readdir64(d)) {
        const Ent *ce = reinterpret_cast<const Ent *>(e);
        if (sel && !sel(ce)) continue;
        Ent *copy = static_cast<Ent *>(malloc(sizeof(Ent)));
        memcpy(copy, e, sizeof(Ent));
        v.push_back(copy);
    }
    closedir(d);
    if (cmp)
        std::sort(v.begin(), v.end(), [&](Ent *a, Ent *b) {
            return cmp(const_cast<const Ent **>(&a), const_cast<const Ent **>(&b)) < 0;
        });
    *out = static_cast<Ent **>(malloc(sizeof(Ent *) * (v.size() + 1)));
    for (size_t i = 0; i < v.size(); i++) (*out)[i] = v[i];
    return (int)v.size();
}

VP_EXPORT int scandir(const char *path, struct dirent ***out, int (*sel)(const struct dirent *),
                      int (*cmp)(const struct dirent **, const struct dirent **)) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(scandir)(path, out, sel, cmp);
    return scan<struct dirent>(abs.c_str(), out, sel, cmp);
}

VP_EXPORT int scandir64(const char *path, struct dirent64 ***out, int (*sel)(const struct dirent64 *),
                        int (*cmp)(const struct dirent64 **, const struct dirent64 **)) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(scandir64)(path, out, sel, cmp);
    return scan<struct dirent64>(abs.c_str(), out, sel, cmp);
}
