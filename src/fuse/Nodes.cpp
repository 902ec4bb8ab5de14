#define FUSE_USE_VERSION 31
#include "fuse/Nodes.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace veskfs {

VeskfsNodes::VeskfsNodes(std::string mount) : mount_(std::move(mount)) {
    Node root;
    root.type = S_IFDIR;
    root.lookups = 1;  // the kernel never forgets the root
    nodes_[FUSE_ROOT_ID] = std::move(root);
}

void VeskfsNodes::set_mount(const std::string &mount) {
    std::lock_guard<std::mutex> g(mu_);
    mount_ = mount;
}

int VeskfsNodes::path_locked(fuse_ino_t ino, std::string *out) {
    std::vector<const std::string *> names;
    while (ino != FUSE_ROOT_ID) {
        auto it = nodes_.find(ino);
        if (it == nodes_.end()) return names.empty() ? -ENOENT : -ESTALE;
        if (it->second.parent == 0) return -ESTALE;
        names.push_back(&it->second.name);
        ino = it->second.parent;
    }
    std::string p = mount_ == "/" ? "" : mount_;
    for (auto n = names.rbegin(); n != names.rend(); ++n) p += "/" + **n;
    *out = p.empty() ? "/" : p;
    return 0;
}

int VeskfsNodes::path(fuse_ino_t ino, std::string *out) {
    std::lock_guard<std::mutex> g(mu_);
    return path_locked(ino, out);
}

int VeskfsNodes::child_path(fuse_ino_t dir, const std::string &name, std::string *out) {
    std::lock_guard<std::mutex> g(mu_);
    std::string p;
    int rc = path_locked(dir, &p);
    if (rc != 0) return rc;
    *out = (p == "/" ? "" : p) + "/" + name;
    return 0;
}

void VeskfsNodes::unname_locked(fuse_ino_t ino) {
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || it->second.parent == 0) return;
    names_.erase(Key(it->second.parent, it->second.name));
    it->second.parent = 0;
    it->second.name.clear();
    drop_if_unused_locked(ino);
}

void VeskfsNodes::drop_if_unused_locked(fuse_ino_t ino) {
    if (ino == FUSE_ROOT_ID) return;
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || it->second.lookups > 0 || !it->second.handles.empty()) return;
    if (it->second.parent != 0) names_.erase(Key(it->second.parent, it->second.name));
    if (it->second.kept) kept_--;
    nodes_.erase(it);
}

fuse_ino_t VeskfsNodes::learn(fuse_ino_t dir, const std::string &name, mode_t type) {
    std::lock_guard<std::mutex> g(mu_);
    type &= S_IFMT;
    auto at = names_.find(Key(dir, name));
    if (at != names_.end()) {
        Node &n = nodes_[at->second];
        if (n.type == type) {
            n.lookups++;
            return at->second;
        }
        // Not the file the kernel knew by this name: a new node, so that
        // the kernel never sees a node change its type.
        unname_locked(at->second);
    }
    fuse_ino_t ino = next_++;
    Node n;
    n.parent = dir;
    n.name = name;
    n.type = type;
    n.lookups = 1;
    nodes_[ino] = std::move(n);
    names_[Key(dir, name)] = ino;
    return ino;
}

void VeskfsNodes::forget(fuse_ino_t ino, uint64_t n) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || ino == FUSE_ROOT_ID) return;
    it->second.lookups -= std::min(n, it->second.lookups);
    drop_if_unused_locked(ino);
}

void VeskfsNodes::drop_name(fuse_ino_t dir, const std::string &name) {
    std::lock_guard<std::mutex> g(mu_);
    auto at = names_.find(Key(dir, name));
    if (at != names_.end()) unname_locked(at->second);
}

void VeskfsNodes::move(fuse_ino_t from_dir, const std::string &from, fuse_ino_t to_dir,
                       const std::string &to) {
    std::lock_guard<std::mutex> g(mu_);
    if (from_dir == to_dir && from == to) return;
    auto src = names_.find(Key(from_dir, from));
    fuse_ino_t ino = src == names_.end() ? 0 : src->second;
    auto target = names_.find(Key(to_dir, to));
    if (target != names_.end()) {
        fuse_ino_t old = target->second;
        nodes_[old].successor = ino;
        unname_locked(old);
    }
    if (ino == 0) return;
    src = names_.find(Key(from_dir, from));
    names_.erase(src);
    Node &n = nodes_[ino];
    n.parent = to_dir;
    n.name = to;
    names_[Key(to_dir, to)] = ino;
}

int VeskfsNodes::successor_path(fuse_ino_t ino, std::string *out) {
    std::lock_guard<std::mutex> g(mu_);
    // A few steps at most: each is a rename that landed while one open
    // was on its way.
    for (int step = 0; step < 16; step++) {
        auto it = nodes_.find(ino);
        if (it == nodes_.end() || it->second.successor == 0) return -ESTALE;
        ino = it->second.successor;
        if (path_locked(ino, out) == 0) return 0;
    }
    return -ESTALE;
}

void VeskfsNodes::add_handle(fuse_ino_t ino, const std::shared_ptr<OpenFile> &h) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it != nodes_.end()) it->second.handles.push_back(h);
}

void VeskfsNodes::remove_handle(fuse_ino_t ino, const OpenFile *h) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it == nodes_.end()) return;
    auto &v = it->second.handles;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [h](const std::shared_ptr<OpenFile> &p) { return p.get() == h; }),
            v.end());
    drop_if_unused_locked(ino);
}

std::vector<std::shared_ptr<OpenFile>> VeskfsNodes::handles(fuse_ino_t ino) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it == nodes_.end()) return {};
    return it->second.handles;
}

int VeskfsNodes::keep_attrs(fuse_ino_t ino, const struct stat &attr, int to_set) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || it->second.parent != 0 || ino == FUSE_ROOT_ID ||
        it->second.handles.empty())
        return -ESTALE;
    const int any = FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID |
                    FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME;
    if (!(to_set & any)) return 0;
    Node &n = it->second;
    if (!n.kept) {
        n.kept.reset(new Kept);
        kept_++;
    }
    Kept &k = *n.kept;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (to_set & FUSE_SET_ATTR_MODE) {
        k.mode = true;
        k.st_mode = attr.st_mode & 07777;
    }
    if (to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        if (!k.owner) k.uid = (uid_t)-1, k.gid = (gid_t)-1;
        k.owner = true;
        if (to_set & FUSE_SET_ATTR_UID) k.uid = attr.st_uid;
        if (to_set & FUSE_SET_ATTR_GID) k.gid = attr.st_gid;
    }
    if (to_set & FUSE_SET_ATTR_ATIME) {
        k.atime = true;
        k.atim = (to_set & FUSE_SET_ATTR_ATIME_NOW) ? now : attr.st_atim;
    }
    if (to_set & FUSE_SET_ATTR_MTIME) {
        k.mtime = true;
        k.mtim = (to_set & FUSE_SET_ATTR_MTIME_NOW) ? now : attr.st_mtim;
    }
    k.ctim = now;
    return 0;
}

void VeskfsNodes::overlay_kept(fuse_ino_t ino, struct stat *st) {
    if (kept_.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || !it->second.kept) return;
    const Kept &k = *it->second.kept;
    if (k.mode) st->st_mode = (st->st_mode & S_IFMT) | k.st_mode;
    if (k.owner && k.uid != (uid_t)-1) st->st_uid = k.uid;
    if (k.owner && k.gid != (gid_t)-1) st->st_gid = k.gid;
    if (k.atime) st->st_atim = k.atim;
    if (k.mtime) st->st_mtim = k.mtim;
    // what changed last: the kept attributes or the file through a handle
    if (k.ctim.tv_sec > st->st_ctim.tv_sec ||
        (k.ctim.tv_sec == st->st_ctim.tv_sec && k.ctim.tv_nsec > st->st_ctim.tv_nsec))
        st->st_ctim = k.ctim;
}

void VeskfsNodes::wrote(fuse_ino_t ino) {
    if (kept_.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    if (it != nodes_.end() && it->second.kept) it->second.kept->mtime = false;
}

size_t VeskfsNodes::size() {
    std::lock_guard<std::mutex> g(mu_);
    return nodes_.size();
}

uint64_t VeskfsNodes::lookups(fuse_ino_t ino) {
    std::lock_guard<std::mutex> g(mu_);
    auto it = nodes_.find(ino);
    return it == nodes_.end() ? 0 : it->second.lookups;
}

}  // namespace veskfs
