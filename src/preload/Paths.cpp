/*
 * Which paths belong to vesk: those under a mount point of the
 * configuration, named absolutely, relative to the working directory (real
 * or inside a mount after chdir), or relative to a directory descriptor.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace vp {

std::atomic<bool> g_ready{false};

namespace {

constexpr int kMaxMounts = 32;
struct MountPoint {
    char path[PATH_MAX];
    size_t len;
};
MountPoint g_mounts[kMaxMounts];
int g_nmounts = 0;

std::mutex g_cwd_mu;
struct Cwd {
    std::string vesk;  // working directory inside a mount, or empty
    std::string real;  // the kernel's working directory
};
Cwd &cwd() {
    static Cwd c;
    return c;
}
// A relative path needs resolving: the working directory is in a mount,
// or a mount lies below it.
std::atomic<bool> g_rel_resolve{false};

bool prefix_match(const char *p, const MountPoint &m) {
    if (m.len == 1) return true;  // a mount at "/"
    // strncmp, not memcmp: a path shorter than the mount point ends before
    // m.len bytes, and memcmp may read all of them past its end.
    return strncmp(p, m.path, m.len) == 0 && (p[m.len] == '/' || p[m.len] == '\0');
}

// Whether the path needs lexical normalization before matching: "//",
// "/./", "/../", a trailing "/." or "/..".
bool needs_normalizing(const char *p) {
    for (; *p; p++) {
        if (p[0] != '/') continue;
        if (p[1] == '/') return true;
        if (p[1] == '.' && (p[2] == '/' || p[2] == '\0')) return true;
        if (p[1] == '.' && p[2] == '.' && (p[3] == '/' || p[3] == '\0')) return true;
    }
    return false;
}

bool has_dotdot(const char *p) {
    for (const char *s = p; (s = strstr(s, "..")) != nullptr; s += 2) {
        bool start = s == p || s[-1] == '/';
        bool end = s[2] == '\0' || s[2] == '/';
        if (start && end) return true;
    }
    return false;
}

void update_rel_resolve_locked() {
    bool r = !cwd().vesk.empty();
    if (!r) {
        for (int i = 0; i < g_nmounts; i++) {
            const std::string m(g_mounts[i].path);
            if (cwd().real == "/" || (m.size() > cwd().real.size() &&
                                      m.compare(0, cwd().real.size(), cwd().real) == 0 &&
                                      m[cwd().real.size()] == '/'))
                r = true;
        }
    }
    g_rel_resolve.store(r);
}

}  // namespace

std::string normalize(const std::string &p) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string c = p.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string &c : parts) out += "/" + c;
    return out.empty() ? "/" : out;
}

bool under_mount(const std::string &abs) {
    for (int i = 0; i < g_nmounts; i++)
        if (prefix_match(abs.c_str(), g_mounts[i])) return true;
    return false;
}

void paths_init() {
    char buf[PATH_MAX];
    int n = 0;
    for (size_t i = 0; n < kMaxMounts; i++) {
        int r = vesk_mount_point(i, buf, sizeof buf);
        if (r == -ENOENT) break;
        if (r < 0) continue;
        memcpy(g_mounts[n].path, buf, (size_t)r + 1);
        g_mounts[n].len = (size_t)r;
        n++;
    }
    g_nmounts = n;
    if (VP_REAL(getcwd)(buf, sizeof buf)) cwd().real = buf;
    std::lock_guard<std::mutex> g(g_cwd_mu);
    update_rel_resolve_locked();
}

bool classify(int dirfd, const char *path, std::string *abs) {
    if (!g_ready.load(std::memory_order_relaxed) || path == nullptr || g_nmounts == 0 || t_inside)
        return false;
    if (path[0] == '/') {
        if (__builtin_expect(!needs_normalizing(path), 1)) {
            for (int i = 0; i < g_nmounts; i++) {
                if (prefix_match(path, g_mounts[i])) {
                    *abs = path;
                    if (abs->size() > 1 && abs->back() == '/') abs->pop_back();
                    return true;
                }
            }
            return false;
        }
        *abs = normalize(path);
        return under_mount(*abs);
    }
    std::string base;
    if (dirfd != AT_FDCWD) {
        Ref r(dirfd);
        if (!r) return false;  // a real directory: the kernel resolves it
        base = r->sh->path;
    } else {
        if (!g_rel_resolve.load(std::memory_order_relaxed) && !has_dotdot(path)) return false;
        std::lock_guard<std::mutex> g(g_cwd_mu);
        base = cwd().vesk.empty() ? cwd().real : cwd().vesk;
    }
    *abs = normalize(base + "/" + path);
    return under_mount(*abs);
}

std::string vesk_cwd() {
    std::lock_guard<std::mutex> g(g_cwd_mu);
    return cwd().vesk;
}

void set_vesk_cwd(const std::string &abs) {
    std::lock_guard<std::mutex> g(g_cwd_mu);
    cwd().vesk = abs;
    update_rel_resolve_locked();
}

void real_cwd_changed() {
    char buf[PATH_MAX];
    std::lock_guard<std::mutex> g(g_cwd_mu);
    cwd().vesk.clear();
    if (VP_REAL(getcwd)(buf, sizeof buf)) cwd().real = buf;
    update_rel_resolve_locked();
}

int vstat(const std::string &abs, struct stat *st, bool follow) {
    std::string p = abs;
    for (int hops = 0; hops < 40; hops++) {
        int r = vesk_getattr(nullptr, p.c_str(), st, 0);
        if (r < 0 || !follow || !S_ISLNK(st->st_mode)) return r;
        char buf[PATH_MAX];
        int n = vesk_readlink(p.c_str(), buf, sizeof buf);
        if (n < 0) return n;
        buf[std::min((size_t)n, sizeof buf - 1)] = '\0';
        std::string target = buf;
        if (target.empty()) return -ENOENT;
        p = target[0] == '/' ? normalize(target)
                             : normalize(p.substr(0, p.rfind('/')) + "/" + target);
        if (!under_mount(p)) {
            // A link out of the mount: the kernel's file answers.
            return VP_REAL(stat)(p.c_str(), st) < 0 ? -errno : 0;
        }
    }
    return -ELOOP;
}

int follow_links(std::string *abs, int *found, mode_t *mode_out) {
    for (int hops = 0; hops < 40; hops++) {
        // the type alone: a container's size would cost a listing of it
        mode_t mode = 0;
        int r = vesk_mode(abs->c_str(), &mode);
        if (r < 0 || !S_ISLNK(mode)) {
            if (found) *found = r;
            if (mode_out) *mode_out = mode;
            return 0;
        }
        char buf[PATH_MAX];
        int n = vesk_readlink(abs->c_str(), buf, sizeof buf);
        if (n < 0) return n;
        buf[std::min((size_t)n, sizeof buf - 1)] = '\0';
        std::string target = buf;
        if (target.empty()) return -ENOENT;
        *abs = target[0] == '/' ? normalize(target)
                                : normalize(abs->substr(0, abs->rfind('/')) + "/" + target);
        if (!under_mount(*abs)) return 1;  // leaves vesk: the caller asks libc
    }
    return -ELOOP;
}

}  // namespace vp
