/* The container file system and its handle: open's handle bookkeeping,
 * the record shared by the handle's operations, and the forwarding of
 * every path operation. */
#include "container_test_util.h"

#include "OpenFile.h"
#include "Util.h"

#include <cstring>

using namespace vesk_test;

namespace {

class ContainerFSTest : public ContainerMount {};

TEST_F(ContainerFSTest, FreshHandleIsGood) {
    Container_fd fd;
    EXPECT_TRUE(fd.is_good());
}

TEST_F(ContainerFSTest, FailedFirstOpenLeavesNoHandle) {
    Vesk_fd *fd = nullptr;
    EXPECT_EQ(-ENOENT, containerfs.open(&fd, L("missing").c_str(), O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(nullptr, fd);
    EXPECT_EQ(-ENOENT, containerfs.open(&fd, "/not/a/mount", O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(nullptr, fd);
    ASSERT_EQ(0, containerfs.mkdir(L("dir").c_str(), 0755));
    EXPECT_EQ(-EISDIR, containerfs.open(&fd, L("dir").c_str(), O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(nullptr, fd);
}

TEST_F(ContainerFSTest, FailedReopenKeepsTheCallersHandle) {
    Vesk_fd *fd = open("r", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, fd);
    Vesk_fd *same = fd;
    // the container is no longer one (its marker lost); opening the handle
    // again fails. (An unlinked one stays open to its handles.)
    ASSERT_EQ(0, ::unlink((backend("r") + "/" VESK_CONTAINER_MARKER).c_str()));
    EXPECT_EQ(-ENOENT, containerfs.open(&fd, L("r").c_str(), O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(same, fd);
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDWR, nullptr));
    delete fd;
}

TEST_F(ContainerFSTest, EachHandleCountsItsOwnOpens) {
    Vesk_fd *fd = open("s", O_WRONLY | O_CREAT);
    ASSERT_NE(nullptr, fd);
    Vesk_fd *same = fd;
    ASSERT_EQ(0, containerfs.open(&fd, L("s").c_str(), O_RDONLY, getpid(), 0, nullptr));
    EXPECT_EQ(same, fd);
    // a second handle of the same process has a record of its own, which
    // still reads what the first one wrote
    Vesk_fd *other = open("s", O_RDONLY);
    ASSERT_NE(nullptr, other);
    ASSERT_EQ(4, fd->write("data", 4, 0, getpid()));
    char buf[8] = {0};
    EXPECT_EQ(4, other->read(buf, sizeof buf, 0));
    EXPECT_STREQ("data", buf);
    EXPECT_EQ(-EBADF, other->write("x", 1, 0, getpid())) << "opened for reading only";
    EXPECT_EQ(0, other->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete other;
    EXPECT_EQ(1, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_WRONLY, nullptr));
    delete fd;
    EXPECT_EQ("data", read_all("s"));
}

TEST_F(ContainerFSTest, IncrementOpensWorksOnTheRecord) {
    Vesk_fd *fd = open("i", O_RDONLY | O_CREAT);
    ASSERT_NE(nullptr, fd);
    EXPECT_EQ(4, fd->incrementOpens(3));
    EXPECT_EQ(3, fd->incrementOpens(-1));
    // the close sees the record's count
    EXPECT_EQ(2, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    EXPECT_EQ(1, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete fd;
}

TEST_F(ContainerFSTest, PathIsTheRecords) {
    Vesk_fd *fd = open("p", O_RDONLY | O_CREAT);
    ASSERT_NE(nullptr, fd);
    EXPECT_STREQ("/vk/p", fd->getPath());
    fd->setPath("/vk/elsewhere");
    EXPECT_STREQ("/vk/elsewhere", fd->getPath());
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete fd;
}

TEST_F(ContainerFSTest, HandleOperationsUseTheRecordNotThePath) {
    write_file_at("mine", "0123456789", 0);
    write_file_at("theirs", "abcdefghij", 0);
    Vesk_fd *fd = open("mine", O_RDWR);
    ASSERT_NE(nullptr, fd);
    // trunc and getattr with another file's name still act on the open file
    ASSERT_EQ(0, fd->trunc(L("theirs").c_str(), 4));
    struct stat st;
    ASSERT_EQ(0, fd->getattr(L("theirs").c_str(), &st, 0));
    EXPECT_EQ(4, st.st_size);
    EXPECT_EQ(0, fd->sync());
    EXPECT_EQ(0, fd->sync(getpid()));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDWR, nullptr));
    delete fd;
    EXPECT_EQ("0123", read_all("mine"));
    EXPECT_EQ("abcdefghij", read_all("theirs"));
    // the path operations, with no record, act on the path
    ASSERT_EQ(0, containerfs.trunc(L("theirs").c_str(), 2, 0));
    EXPECT_EQ(2, size_of("theirs"));
    EXPECT_EQ(4, size_of("mine"));
}

TEST_F(ContainerFSTest, Query) {
    Vesk_open_opt opt;
    memset(&opt, 0, sizeof opt);
    opt.reopen = 1;
    Vesk_fd *fd = nullptr;
    ASSERT_EQ(0, containerfs.open(&fd, L("q").c_str(), O_RDWR | O_CREAT, getpid(), 0644, &opt));
    ASSERT_EQ(3, fd->write("abc", 3, 0, getpid()));
    size_t writers = 9, readers = 9, bytes = 9;
    bool reopen = false;
    ASSERT_EQ(0, fd->query(&writers, &readers, &bytes, &reopen));
    EXPECT_EQ(1u, writers);
    EXPECT_EQ(1u, readers);
    EXPECT_EQ(3u, bytes);
    EXPECT_TRUE(reopen);
    EXPECT_EQ(0, fd->query(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDWR, nullptr));
    delete fd;
}

TEST_F(ContainerFSTest, CompressMetadataAndRename) {
    write_file_at("c", "flatten me", 0);
    Vesk_fd *fd = open("c", O_RDONLY);
    ASSERT_NE(nullptr, fd);
    ASSERT_EQ(0, fd->compress_metadata(L("c").c_str()));
    EXPECT_TRUE(Util::exists((backend("c") + "/global.index").c_str()));
    ASSERT_EQ(0, containerfs.rename(L("c").c_str(), L("d").c_str()));
    ASSERT_EQ(0, fd->rename(L("d").c_str()));
    EXPECT_STREQ("/vk/d", fd->getPath());
    char buf[16] = {0};
    EXPECT_EQ(10, fd->read(buf, sizeof buf, 0));
    EXPECT_STREQ("flatten me", buf);
    EXPECT_EQ(0, fd->close(getpid(), getuid(), O_RDONLY, nullptr));
    delete fd;
}

TEST_F(ContainerFSTest, PathOperationsReachTheContainerLayer) {
    ASSERT_EQ(0, containerfs.create(L("f").c_str(), 0600, 0, getpid()));
    mode_t m = 0;
    ASSERT_EQ(0, containerfs.getmode(L("f").c_str(), &m));
    EXPECT_EQ((mode_t)(S_IFREG | 0600), m);
    ASSERT_EQ(0, containerfs.chmod(L("f").c_str(), 0644));
    ASSERT_EQ(0, containerfs.chown(L("f").c_str(), getuid(), getgid()));
    EXPECT_EQ(0, containerfs.access(L("f").c_str(), R_OK));
    struct utimbuf ut = {500, 600};
    ASSERT_EQ(0, containerfs.utime(L("f").c_str(), &ut));
    struct stat st;
    ASSERT_EQ(0, containerfs.getattr(L("f").c_str(), &st, 1));
    EXPECT_EQ((mode_t)(S_IFREG | 0644), st.st_mode);
    EXPECT_EQ(600, st.st_mtime);
    EXPECT_EQ(0, st.st_size);
    ASSERT_EQ(0, containerfs.mkdir(L("d").c_str(), 0755));
    EXPECT_TRUE(Util::isDirectory((b0 + "/d").c_str()));
    EXPECT_TRUE(Util::isDirectory((b1 + "/d").c_str()));
    ASSERT_EQ(0, containerfs.rename(L("f").c_str(), L("d/f").c_str()));
    Vesk_dirents names;
    ASSERT_EQ(0, containerfs.readdir(L("d").c_str(), &names));
    EXPECT_EQ(Vesk_dirents{"f"}, names);
    EXPECT_EQ(-ENOTEMPTY, containerfs.rmdir(L("d").c_str()));
    ASSERT_EQ(0, containerfs.symlink("d/f", L("l").c_str()));
    char buf[8];
    EXPECT_EQ(3, containerfs.readlink(L("l").c_str(), buf, sizeof buf));
    EXPECT_STREQ("d/f", buf);
    EXPECT_EQ(-ENOSYS, containerfs.link(L("d/f").c_str(), L("h").c_str()));
    struct statvfs sv;
    EXPECT_EQ(0, containerfs.statvfs(L("d").c_str(), &sv));
    ASSERT_EQ(0, containerfs.unlink(L("d/f").c_str()));
    ASSERT_EQ(0, containerfs.unlink(L("l").c_str()));
    EXPECT_EQ(0, containerfs.rmdir(L("d").c_str()));
    EXPECT_FALSE(Util::exists((b0 + "/d").c_str()));
}

}  // namespace
