#define FUSE_USE_VERSION 31
#include "fuse/Permissions.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "Util.h"
#include "vesk.h"

namespace veskfs {

namespace {

bool g_root = false;
std::vector<gid_t> g_own_groups;

// The glibc wrappers of setgroups apply to every thread of the process;
// the system call itself changes only the calling thread.
int thread_setgroups(const std::vector<gid_t> &groups) {
    return (int)syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data());
}

// Switching the fsuid away from root drops the file capabilities; the
// backends lie where the caller may not even search (they must, or the
// caller could go round the mount), so searching and reading stay the
// daemon's: the kernel has checked those against the mount already.
// What the backend still checks as the caller is what makes and changes
// things. Capabilities too are per thread.
bool keep_search() {
    struct __user_cap_header_struct h;
    struct __user_cap_data_struct d[_LINUX_CAPABILITY_U32S_3];
    memset(&h, 0, sizeof h);
    memset(d, 0, sizeof d);
    h.version = _LINUX_CAPABILITY_VERSION_3;
    if (syscall(SYS_capget, &h, d) != 0) return false;
    d[CAP_TO_INDEX(CAP_DAC_READ_SEARCH)].effective |= CAP_TO_MASK(CAP_DAC_READ_SEARCH);
    return syscall(SYS_capset, &h, d) == 0;
}

// Back to the daemon's identity: the fsuid first, which brings back the
// capabilities that changing the groups needs.
void restore_identity() {
    setfsuid(0);
    setfsgid(0);
    thread_setgroups(g_own_groups);
}

std::vector<std::string> split_options(const std::vector<std::string> &user_opts) {
    std::vector<std::string> out;
    for (const std::string &o : user_opts) Util::tokenize(o, ",", out);
    return out;
}

}  // namespace

void veskfs_identity_init() {
    g_root = geteuid() == 0;
    int n = getgroups(0, nullptr);
    if (n > 0) {
        g_own_groups.resize((size_t)n);
        n = getgroups(n, g_own_groups.data());
        g_own_groups.resize(n > 0 ? (size_t)n : 0);
    }
}

bool veskfs_acts_for_callers() { return g_root; }

VeskfsCreds veskfs_caller(fuse_req_t req) {
    VeskfsCreds c;
    const struct fuse_ctx *ctx = req ? fuse_req_ctx(req) : nullptr;
    if (!ctx) {
        c.uid = geteuid();
        c.gid = getegid();
        return c;
    }
    c.uid = ctx->uid;
    c.gid = ctx->gid;
    if (g_root && c.uid != 0 && ctx->pid > 0) {
        gid_t list[64];
        int n = fuse_req_getgroups(req, 64, list);
        if (n > 64) {
            c.groups.resize((size_t)n);
            n = fuse_req_getgroups(req, n, c.groups.data());
            c.groups.resize(n > 0 ? (size_t)n : 0);
        } else if (n > 0) {
            c.groups.assign(list, list + n);
        }
    }
    return c;
}

VeskfsAsCaller::VeskfsAsCaller(const VeskfsCreds &c) {
    if (!g_root || c.uid == 0) return;
    switched_ = true;
    // Groups and fsgid first: once the fsuid is not root, the thread may
    // no longer change them.
    bool fine = thread_setgroups(c.groups) == 0;
    setfsgid(c.gid);
    fine = fine && (gid_t)setfsgid((gid_t)-1) == c.gid;
    setfsuid(c.uid);
    fine = fine && (uid_t)setfsuid((uid_t)-1) == c.uid;
    fine = fine && keep_search();
    if (!fine) {
        // Never serve the caller with root's rights instead.
        restore_identity();
        switched_ = false;
        ok_ = false;
    }
}

VeskfsAsCaller::~VeskfsAsCaller() {
    if (switched_) restore_identity();
}

VeskfsCreatorScope::VeskfsCreatorScope(const VeskfsCreds &c) {
    if (g_root) vesk_set_creator(c.uid, c.gid);
}

VeskfsCreatorScope::~VeskfsCreatorScope() {
    if (g_root) vesk_set_creator((uid_t)-1, (gid_t)-1);
}

bool veskfs_has_option(const std::vector<std::string> &user_opts, const std::string &opt) {
    for (const std::string &o : split_options(user_opts))
        if (o == opt) return true;
    return false;
}

std::vector<std::string> veskfs_forced_options(const std::vector<std::string> &user_opts) {
    std::vector<std::string> add{"default_permissions"};
    if (!veskfs_has_option(user_opts, "suid")) add.push_back("nosuid");
    if (!veskfs_has_option(user_opts, "dev")) add.push_back("nodev");
    return add;
}

std::vector<std::string> veskfs_exposure_warnings(const std::vector<std::string> &backends) {
    std::vector<std::string> out;
    uid_t me = geteuid();
    for (const std::string &b : backends) {
        // Reachable when every directory from the root down lets some
        // other user search it.
        bool reachable = true;
        std::string cur;
        std::vector<std::string> parts;
        Util::tokenize(b, "/", parts);
        std::vector<std::string> walk{"/"};
        for (const std::string &p : parts) {
            cur += "/" + p;
            walk.push_back(cur);
        }
        for (const std::string &d : walk) {
            struct stat st;
            if (stat(d.c_str(), &st) != 0) {
                reachable = false;
                break;
            }
            bool others = (st.st_mode & S_IXOTH) || ((st.st_mode & S_IXGRP) && st.st_gid != 0) ||
                          st.st_uid != me;
            if (!others) {
                reachable = false;
                break;
            }
        }
        if (reachable)
            out.push_back("backend " + b +
                          " can be reached by other users, who bypass this mount's permission "
                          "checks there; make it or a directory above it mode 0700");
    }
    return out;
}

std::vector<std::string> veskfs_secure_args(std::vector<std::string> *fargs,
                                            const std::vector<std::string> &backends) {
    std::vector<std::string> user_opts;
    for (size_t i = 1; i < fargs->size(); i++) {
        const std::string &a = (*fargs)[i];
        if (a == "-o" && i + 1 < fargs->size()) user_opts.push_back((*fargs)[++i]);
        else if (a.compare(0, 2, "-o") == 0 && a.size() > 2) user_opts.push_back(a.substr(2));
    }
    std::string forced;
    for (const std::string &o : veskfs_forced_options(user_opts))
        forced += (forced.empty() ? "" : ",") + o;
    fargs->push_back("-o");
    fargs->push_back(forced);
    if (!veskfs_has_option(user_opts, "allow_other")) return {};
    return veskfs_exposure_warnings(backends);
}

}  // namespace veskfs
