/* The public entry points: handle lifetimes over both layouts. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "api/Stats.h"
#include "vesk.h"
#include "vesk_test_util.h"

namespace {

using vesk_test::TempDir;

class ApiTest : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.ok());
        auto cfg = vesk_test::use_config(
            tmp_.sub("vesk.conf"),
            vesk_test::mount_config("/va", {tmp_.sub("b0"), tmp_.sub("b1")}, GetParam()));
        ASSERT_TRUE(cfg->errors.empty());
        base_ = vesk::live_handles();
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }

    Vesk_fd *open(const char *path, int flags, int *ret = nullptr) {
        Vesk_fd *fd = nullptr;
        int r = vesk_open(&fd, path, flags, getpid(), 0644);
        if (ret) *ret = r;
        return r == 0 ? fd : nullptr;
    }
    std::string read(Vesk_fd *fd, size_t n) {
        std::string buf(n, '\0');
        ssize_t got = vesk_read(fd, &buf[0], n, 0);
        if (got < 0) return "<read " + std::to_string(got) + ">";
        buf.resize((size_t)got);
        return buf;
    }

    TempDir tmp_;
    size_t base_ = 0;
};

// Opens of one file through separate handles: each handle lives until its
// own close, whatever the count the layout shares between them.
TEST_P(ApiTest, SeparateHandlesOfOneFileEachEndWithTheirOwnClose) {
    const uint64_t closes0 = vesk::stats().closes.load();
    Vesk_fd *a = open("/va/f", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, a);
    Vesk_fd *b = open("/va/f", O_RDWR);
    ASSERT_NE(nullptr, b);
    ASSERT_NE(a, b);
    EXPECT_EQ(base_ + 2, vesk::live_handles());

    ASSERT_EQ(5, vesk_write(a, "hello", 5, 0, getpid()));
    ASSERT_EQ(0, vesk_sync(a, getpid()));
    ASSERT_GE(vesk_close(a, getpid(), getuid(), O_RDWR), 0);
    EXPECT_EQ(base_ + 1, vesk::live_handles()) << "the closed handle is gone";

    // The other handle still works after its sibling closed.
    ASSERT_EQ(6, vesk_write(b, " world", 6, 5, getpid()));
    ASSERT_EQ(0, vesk_sync(b, getpid()));
    EXPECT_EQ("hello world", read(b, 64));
    EXPECT_EQ(0, vesk_close(b, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(base_, vesk::live_handles());
    EXPECT_EQ(closes0 + 2, vesk::stats().closes.load());

    Vesk_fd *c = open("/va/f", O_RDONLY);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("hello world", read(c, 64));
    EXPECT_EQ(0, vesk_close(c, getpid(), getuid(), O_RDONLY));
}

// A handle opened twice stays usable after the first of its two closes.
TEST_P(ApiTest, ReopenedHandleOutlivesItsFirstClose) {
    Vesk_fd *a = open("/va/g", O_RDWR | O_CREAT);
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(0, vesk_open(&a, "/va/g", O_RDWR, getpid(), 0644));
    EXPECT_EQ(base_ + 1, vesk::live_handles());
    ASSERT_EQ(3, vesk_write(a, "abc", 3, 0, getpid()));
    EXPECT_EQ(1, vesk_close(a, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(base_ + 1, vesk::live_handles());
    ASSERT_EQ(0, vesk_sync(a, getpid()));
    EXPECT_EQ("abc", read(a, 8));
    EXPECT_EQ(0, vesk_close(a, getpid(), getuid(), O_RDWR));
    EXPECT_EQ(base_, vesk::live_handles());
}

TEST_P(ApiTest, FailedOpenLeavesNoHandle) {
    int ret = 0;
    EXPECT_EQ(nullptr, open("/va/missing", O_RDONLY, &ret));
    EXPECT_EQ(-ENOENT, ret);
    EXPECT_EQ(base_, vesk::live_handles());
    EXPECT_EQ(-EBADF, vesk_close(nullptr, getpid(), getuid(), O_RDONLY));
}

std::string layout_name(const ::testing::TestParamInfo<const char *> &i) { return i.param; }
INSTANTIATE_TEST_SUITE_P(Layouts, ApiTest, ::testing::Values("container", "flat"), layout_name);

}  // namespace
