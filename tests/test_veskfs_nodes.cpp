/*
 * The daemon's node table alone: what node ids stand for as the kernel
 * looks names up and forgets them, and as names are unlinked, replaced and
 * moved.
 */
#define FUSE_USE_VERSION 31
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "fuse/Nodes.h"
#include "fuse/OpenFiles.h"

using veskfs::OpenFile;
using veskfs::VeskfsNodes;

namespace {

std::string path_of(VeskfsNodes &t, fuse_ino_t ino) {
    std::string p;
    int rc = t.path(ino, &p);
    return rc == 0 ? p : "error " + std::to_string(rc);
}

TEST(VeskfsNodes, PathsFollowTheChainOfNamesUnderAnyMountPoint) {
    VeskfsNodes t("/mnt/v");
    fuse_ino_t a = t.learn(FUSE_ROOT_ID, "a", S_IFDIR | 0755);
    fuse_ino_t f = t.learn(a, "f", S_IFREG | 0644);
    EXPECT_EQ("/mnt/v", path_of(t, FUSE_ROOT_ID));
    EXPECT_EQ("/mnt/v/a/f", path_of(t, f));
    std::string p;
    ASSERT_EQ(0, t.child_path(a, "g", &p));
    EXPECT_EQ("/mnt/v/a/g", p);
    EXPECT_EQ(-ENOENT, t.path(9999, &p));

    VeskfsNodes r("/");
    fuse_ino_t x = r.learn(FUSE_ROOT_ID, "x", S_IFREG);
    EXPECT_EQ("/x", path_of(r, x));
    ASSERT_EQ(0, r.child_path(FUSE_ROOT_ID, "y", &p));
    EXPECT_EQ("/y", p);
}

TEST(VeskfsNodes, LookupsCountAndForgetDropsTheNodeAtZero) {
    VeskfsNodes t("/m");
    fuse_ino_t f = t.learn(FUSE_ROOT_ID, "f", S_IFREG);
    EXPECT_EQ(f, t.learn(FUSE_ROOT_ID, "f", S_IFREG)) << "one name, one node";
    EXPECT_EQ(2u, t.lookups(f));
    t.forget(f, 1);
    EXPECT_EQ("/m/f", path_of(t, f));
    t.forget(f, 1);
    std::string p;
    EXPECT_EQ(-ENOENT, t.path(f, &p));
    EXPECT_EQ(1u, t.size()) << "only the root is left";
    fuse_ino_t again = t.learn(FUSE_ROOT_ID, "f", S_IFREG);
    EXPECT_NE(f, again) << "node ids are never reused";
    t.forget(FUSE_ROOT_ID, 5);
    EXPECT_EQ("/m", path_of(t, FUSE_ROOT_ID)) << "the root is never dropped";
}

// Unlink and rename-over: the node loses its name (ESTALE) but lives while
// looked up or open; the name then leads to a new node.
TEST(VeskfsNodes, ARemovedNameLeavesItsNodeAliveWhileHeld) {
    VeskfsNodes t("/m");
    fuse_ino_t f = t.learn(FUSE_ROOT_ID, "f", S_IFREG);
    auto h = std::make_shared<OpenFile>();
    t.add_handle(f, h);
    t.drop_name(FUSE_ROOT_ID, "f");
    std::string p;
    EXPECT_EQ(-ESTALE, t.path(f, &p));
    t.forget(f, 1);
    ASSERT_EQ(1u, t.handles(f).size()) << "the open handle keeps the node";
    EXPECT_EQ(h.get(), t.handles(f)[0].get());
    fuse_ino_t g = t.learn(FUSE_ROOT_ID, "f", S_IFREG);
    EXPECT_NE(f, g) << "a new file under the old name";
    EXPECT_EQ("/m/f", path_of(t, g));
    t.remove_handle(f, h.get());
    EXPECT_TRUE(t.handles(f).empty());
    EXPECT_EQ(2u, t.size()) << "the unlinked node went with its last handle";
    EXPECT_EQ(-ESTALE, t.successor_path(f, &p)) << "an unlink puts nothing in its place";
}

TEST(VeskfsNodes, ARenameMovesTheSubtreeAndReplacesTheTarget) {
    VeskfsNodes t("/m");
    fuse_ino_t a = t.learn(FUSE_ROOT_ID, "a", S_IFDIR);
    fuse_ino_t b = t.learn(a, "b", S_IFDIR);
    fuse_ino_t f = t.learn(b, "f", S_IFREG);
    fuse_ino_t z = t.learn(FUSE_ROOT_ID, "z", S_IFDIR);
    t.move(FUSE_ROOT_ID, "a", FUSE_ROOT_ID, "z");
    EXPECT_EQ("/m/z/b/f", path_of(t, f));
    EXPECT_EQ(a, t.learn(FUSE_ROOT_ID, "z", S_IFDIR)) << "the moved node took the name";
    std::string p;
    EXPECT_EQ(-ESTALE, t.path(z, &p)) << "the replaced directory has no name";
    EXPECT_EQ(0, t.successor_path(z, &p));
    EXPECT_EQ("/m/z", p);

    // A file moved over another, twice: an open of the first replaced
    // node finds the file that holds the name now.
    fuse_ino_t t0 = t.learn(b, "target", S_IFREG);
    fuse_ino_t t1 = t.learn(FUSE_ROOT_ID, "tmp1", S_IFREG);
    fuse_ino_t t2 = t.learn(FUSE_ROOT_ID, "tmp2", S_IFREG);
    t.move(FUSE_ROOT_ID, "tmp1", b, "target");
    t.move(FUSE_ROOT_ID, "tmp2", b, "target");
    EXPECT_EQ("/m/z/b/target", path_of(t, t2));
    EXPECT_EQ(-ESTALE, t.path(t1, &p));
    ASSERT_EQ(0, t.successor_path(t0, &p));
    EXPECT_EQ("/m/z/b/target", p);
    t.forget(t1, 1);
    EXPECT_EQ(-ESTALE, t.successor_path(t0, &p)) << "a dropped link ends the chain";

    // A move within a directory and onto itself change nothing else.
    t.move(b, "f", b, "g");
    EXPECT_EQ("/m/z/b/g", path_of(t, f));
    t.move(b, "g", b, "g");
    EXPECT_EQ("/m/z/b/g", path_of(t, f));
}

TEST(VeskfsNodes, ANameOfAnotherTypeGetsANewNode) {
    VeskfsNodes t("/m");
    fuse_ino_t f = t.learn(FUSE_ROOT_ID, "n", S_IFREG | 0644);
    fuse_ino_t d = t.learn(FUSE_ROOT_ID, "n", S_IFDIR | 0755);
    EXPECT_NE(f, d) << "the kernel must never see a node change its type";
    std::string p;
    EXPECT_EQ(-ESTALE, t.path(f, &p));
    EXPECT_EQ("/m/n", path_of(t, d));
    fuse_ino_t inside = t.learn(d, "x", S_IFREG);
    t.forget(f, 1);
    EXPECT_EQ("/m/n/x", path_of(t, inside));
}

// Attributes set on an unlinked open file live on its node: only there,
// only while it lives, and a write gives the file its own time back.
TEST(VeskfsNodes, AnUnnamedOpenNodeKeepsTheAttributesSetOnIt) {
    VeskfsNodes t("/m");
    fuse_ino_t f = t.learn(FUSE_ROOT_ID, "f", S_IFREG);
    struct stat want;
    memset(&want, 0, sizeof want);
    want.st_mode = S_IFREG | 0600;
    want.st_uid = 7;
    want.st_mtim = {1100000000, 456};
    want.st_atim = {1000000000, 123};
    int all = FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME;
    EXPECT_EQ(-ESTALE, t.keep_attrs(f, want, all)) << "a named file's attributes are its own";
    auto h = std::make_shared<OpenFile>();
    t.add_handle(f, h);
    t.drop_name(FUSE_ROOT_ID, "f");
    ASSERT_EQ(0, t.keep_attrs(f, want, all));

    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_mode = S_IFREG | 0644;
    st.st_uid = 1;
    st.st_gid = 2;
    st.st_mtim = {1600000000, 0};
    st.st_ctim = {1600000000, 0};
    struct stat got = st;
    t.overlay_kept(f, &got);
    EXPECT_EQ((mode_t)(S_IFREG | 0600), got.st_mode);
    EXPECT_EQ(7u, got.st_uid);
    EXPECT_EQ(2u, got.st_gid) << "only the owner was set";
    EXPECT_EQ(1100000000, got.st_mtim.tv_sec);
    EXPECT_EQ(456, got.st_mtim.tv_nsec);
    EXPECT_EQ(123, got.st_atim.tv_nsec);
    EXPECT_GT(got.st_ctim.tv_sec, st.st_ctim.tv_sec) << "the change time moved to now";

    t.wrote(f);
    got = st;
    t.overlay_kept(f, &got);
    EXPECT_EQ(1600000000, got.st_mtim.tv_sec) << "the write's time stands";
    EXPECT_EQ((mode_t)(S_IFREG | 0600), got.st_mode) << "a write keeps the mode";

    // Another node, and the same one's successor under its old name, see
    // none of it; the kept attributes go with the node.
    fuse_ino_t g = t.learn(FUSE_ROOT_ID, "f", S_IFREG);
    got = st;
    t.overlay_kept(g, &got);
    EXPECT_EQ(st.st_mode, got.st_mode);
    EXPECT_EQ(-ESTALE, t.keep_attrs(g, want, all));
    t.forget(f, 1);
    t.remove_handle(f, h.get());
    EXPECT_EQ(-ESTALE, t.keep_attrs(f, want, all));
    got = st;
    t.overlay_kept(f, &got);
    EXPECT_EQ(st.st_mode, got.st_mode);
}

}  // namespace
