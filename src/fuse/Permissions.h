/*
 * Who veskfs acts for. The kernel checks every request against the mode
 * bits, owner and group veskfs reports (default_permissions, always on);
 * what veskfs then makes on the backends belongs to the user who asked.
 *
 * A daemon run by root switches the serving thread's file-system identity
 * (fsuid, fsgid and supplementary groups; all per thread on Linux) to the
 * caller's for the calls that make or change objects the caller owns, so
 * that the backend itself creates them with the right owner, applies a
 * set-group-ID directory's group, clears set-ID bits on writes by others
 * and refuses what the caller may not do. A daemon run by anyone else
 * cannot switch: it owns every file, as other FUSE file systems do.
 */
#ifndef VESKFS_PERMISSIONS_H
#define VESKFS_PERMISSIONS_H

#include <string>
#include <sys/types.h>
#include <vector>

struct fuse_req;

namespace veskfs {

/* The credentials of a request. */
struct VeskfsCreds {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary
};

/* Remembers the daemon's own identity; call once before serving. */
void veskfs_identity_init();
/* True when the daemon can act as other users (it runs as root). */
bool veskfs_acts_for_callers();

/* The caller of request `req` (its supplementary groups read from /proc;
 * only the primary group when they cannot be read); the daemon itself
 * when `req` is null. */
VeskfsCreds veskfs_caller(struct fuse_req *req);

/* For its lifetime the thread's backend calls run as `c`, when the daemon
 * acts for callers and `c` is not root. ok() is false when the switch
 * failed: the caller then gets EPERM rather than root's rights. */
class VeskfsAsCaller {
public:
    explicit VeskfsAsCaller(const VeskfsCreds &c);
    ~VeskfsAsCaller();
    VeskfsAsCaller(const VeskfsAsCaller &) = delete;
    VeskfsAsCaller &operator=(const VeskfsAsCaller &) = delete;
    bool ok() const { return ok_; }

private:
    bool switched_ = false;
    bool ok_ = true;
};

/* For its lifetime what the library makes inside containers for this
 * thread belongs to `c` (when the daemon acts for callers). */
class VeskfsCreatorScope {
public:
    explicit VeskfsCreatorScope(const VeskfsCreds &c);
    ~VeskfsCreatorScope();
    VeskfsCreatorScope(const VeskfsCreatorScope &) = delete;
    VeskfsCreatorScope &operator=(const VeskfsCreatorScope &) = delete;
};

/* The mount options veskfs adds to what the user gave (`user_opts`, the
 * values of every -o): default_permissions always; nosuid and nodev unless
 * the user asked for suid or dev. */
std::vector<std::string> veskfs_forced_options(const std::vector<std::string> &user_opts);
/* True when the comma-separated options name `opt`. */
bool veskfs_has_option(const std::vector<std::string> &user_opts, const std::string &opt);

/* Warnings for a mount that lets other users in (allow_other): each
 * backend that users other than its owner can reach, since they would
 * bypass the mount's checks there. */
std::vector<std::string> veskfs_exposure_warnings(const std::vector<std::string> &backends);

/* Adds the forced options to the FUSE arguments (after argv[0] and the
 * user's own); returns the warnings the mount deserves. */
std::vector<std::string> veskfs_secure_args(std::vector<std::string> *fargs,
                                            const std::vector<std::string> &backends);

}  // namespace veskfs

#endif
