/*
 * What the kernel's node ids stand for. The kernel names every file it
 * knows by a node id that the daemon hands out at lookup; the daemon keeps,
 * per node, the name it has in its parent directory (the logical path is
 * the chain of names up to the mount point), how many lookups the kernel
 * holds on it, and the handles open on it.
 *
 * A name removed through the mount (unlink, rmdir, a rename over it) takes
 * the node off its name but keeps the node while the kernel still holds it
 * or a handle is open on it: an unlinked open file is served through its
 * handles, and a node that has neither a name nor a handle answers ESTALE.
 * A rename moves the node itself, so whatever lies below a renamed
 * directory follows it. Node ids are never reused.
 */
#ifndef VESKFS_NODES_H
#define VESKFS_NODES_H

#include <fuse_lowlevel.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace veskfs {

struct OpenFile;

class VeskfsNodes {
public:
    /* The root node (FUSE_ROOT_ID) stands for `mount`. */
    explicit VeskfsNodes(std::string mount = "/");
    void set_mount(const std::string &mount);

    /* The logical path of a node: 0, -ESTALE when it (or a directory above
     * it) has lost its name, -ENOENT for an id the table does not know. */
    int path(fuse_ino_t ino, std::string *out);
    /* The logical path of `name` inside directory node `dir`. */
    int child_path(fuse_ino_t dir, const std::string &name, std::string *out);

    /* The kernel learned `name` in `dir`, of file type `type` (S_IFMT
     * bits): the node of that name gets one more lookup and its id is
     * returned. A node of another type under that name (the file was
     * replaced behind the mount's back) loses the name to a new node. */
    fuse_ino_t learn(fuse_ino_t dir, const std::string &name, mode_t type);
    /* The kernel dropped `n` lookups of a node. */
    void forget(fuse_ino_t ino, uint64_t n);

    /* `name` in `dir` is gone (unlink, rmdir). */
    void drop_name(fuse_ino_t dir, const std::string &name);
    /* A rename: the node under `from` now lives under `to`, and whatever
     * lived there lost its name to it (it is that node's successor). */
    void move(fuse_ino_t from_dir, const std::string &from, fuse_ino_t to_dir,
              const std::string &to);

    /* The path of the file that took a replaced node's name: its
     * successor's, or a later one's when that was replaced too. -ESTALE
     * when the node was not replaced by a rename or none of them has a
     * name now. */
    int successor_path(fuse_ino_t ino, std::string *out);

    /* Handles open on a node keep it alive and tell its attributes. */
    void add_handle(fuse_ino_t ino, const std::shared_ptr<OpenFile> &h);
    void remove_handle(fuse_ino_t ino, const OpenFile *h);
    std::vector<std::shared_ptr<OpenFile>> handles(fuse_ino_t ino);

    /* Mode, owner and times set on a node that lost its name but still
     * has handles (fchmod, fchown, futimens of an unlinked open file, and
     * the kernel's own time updates under write-back): no file on the
     * backends has them, so the node keeps them for as long as it lives.
     * `to_set` holds FUSE_SET_ATTR_* bits (others are ignored); the change
     * time becomes now. -ESTALE when the node has a name or no handle. */
    int keep_attrs(fuse_ino_t ino, const struct stat &attr, int to_set);
    /* Lays what keep_attrs kept for a node over `st`. */
    void overlay_kept(fuse_ino_t ino, struct stat *st);
    /* A write or truncate through a handle of the node: its own
     * modification and change times stand again over any kept ones. */
    void wrote(fuse_ino_t ino);
    /* Nodes known (the root included); for the tests of the table. */
    size_t size();
    /* The lookups the kernel holds on a node (0 when unknown). */
    uint64_t lookups(fuse_ino_t ino);

private:
    struct Kept {
        bool mode = false, owner = false, atime = false, mtime = false;
        mode_t st_mode = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        struct timespec atim {}, mtim {}, ctim {};
    };
    struct Node {
        fuse_ino_t parent = 0;  // 0: no name (the root has none either)
        std::string name;
        uint64_t lookups = 0;
        mode_t type = 0;
        fuse_ino_t successor = 0;  // the node a rename put in its place
        std::vector<std::shared_ptr<OpenFile>> handles;
        std::unique_ptr<Kept> kept;  // only once it has no name
    };
    using Key = std::pair<fuse_ino_t, std::string>;

    int path_locked(fuse_ino_t ino, std::string *out);
    void unname_locked(fuse_ino_t ino);
    void drop_if_unused_locked(fuse_ino_t ino);

    std::mutex mu_;
    std::string mount_;
    std::unordered_map<fuse_ino_t, Node> nodes_;
    std::map<Key, fuse_ino_t> names_;
    fuse_ino_t next_ = FUSE_ROOT_ID + 1;
    // Nodes with kept attributes: while there are none, stat and write
    // need not take the lock to look.
    std::atomic<int> kept_ {0};
};

}  // namespace veskfs

#endif
