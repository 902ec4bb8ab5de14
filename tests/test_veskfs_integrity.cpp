/*
 * What a file replaced or synced through a veskfs mount promises, seen by
 * ordinary programs: `mv` over a file under readers that `cat` it, and an
 * fsync that fails for want of space and is tried again once space is
 * back. Skipped where FUSE (or, for the second, a tmpfs mount) cannot be
 * had.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "veskfs_test_util.h"

using vesk_test::TempDir;
using veskfs_test::sh;

namespace {

// Version v of the replaced file: length and bytes depend on v, and it
// starts with v in digits.
std::string version(unsigned v) {
    char head[16];
    snprintf(head, sizeof head, "v%07u\n", v);
    std::string s = head;
    size_t len = 5000 + (v * 1553) % 60000;
    while (s.size() < len) s += (char)('a' + (v * 17 + s.size() * 5) % 26);
    return s;
}

class VeskfsIntegrity : public ::testing::TestWithParam<const char *> {
protected:
    // Starts a mount of the test's layout over backends in `under` (the
    // temporary directory when empty).
    void start(const std::string &under = "") {
        std::string why = veskfs_test::no_fuse_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(tmp_.ok());
        mnt_ = tmp_.sub("mnt");
        ASSERT_EQ(0, mkdir(mnt_.c_str(), 0755));
        std::string base = under.empty() ? tmp_.path() : under;
        backends_ = {base + "/b0", base + "/b1"};
        std::string cfg = tmp_.sub("vesk.conf");
        vesk_test::write_file(cfg, vesk_test::mount_config(mnt_, backends_, GetParam()));
        daemon_.reset(new veskfs_test::Daemon(mnt_, tmp_.sub("veskfs.log"), {}, cfg));
        ASSERT_TRUE(daemon_->start(&why)) << why;
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_TRUE(daemon_->stop()) << "unclean end; log:\n"
                                         << vesk_test::read_file(daemon_->log());
            daemon_.reset();
        }
        if (!small_.empty()) umount2(small_.c_str(), MNT_DETACH);
    }
    std::string m(const std::string &rel) const { return mnt_ + "/" + rel; }

    TempDir tmp_;
    std::string mnt_, small_;
    std::vector<std::string> backends_;
    std::unique_ptr<veskfs_test::Daemon> daemon_;
};

// A writer writes each version to a temporary name and moves it over the
// target with mv; two processes run cat on the target in a loop meanwhile.
// Every cat succeeds and prints one whole version, never part of one or a
// mix of two, and never an older one than before: the name leads to the
// old file or the new one at every moment, and a file replaced while cat
// holds it stays whole for cat.
TEST_P(VeskfsIntegrity, MvOverAFileUnderCatReadersShowsWholeVersions) {
    start();
    if (HasFatalFailure() || IsSkipped()) return;
    const unsigned kVersions = 60;
    const int kReaders = 2;
    vesk_test::write_file(m("target"), version(0));
    auto *stop = (volatile int *)mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, (void *)stop);
    auto *counts = stop + 1;
    std::vector<pid_t> kids;
    for (int r = 0; r < kReaders; r++) {
        pid_t k = fork();
        ASSERT_GE(k, 0);
        if (k == 0) {
            const std::string err = tmp_.sub("cat.err." + std::to_string(r));
            const std::string cat = "cat '" + m("target") + "' 2>'" + err + "'";
            unsigned last = 0;
            while (!*stop) {
                int status = 0;
                std::string got = veskfs_test::run(cat, &status);
                if (status != 0) {
                    fprintf(stderr, "reader %d: cat failed: %s\n", r,
                            vesk_test::read_file(err).c_str());
                    _exit(1);
                }
                unsigned v = got.size() > 1 ? (unsigned)strtoul(got.c_str() + 1, nullptr, 10) : 0;
                if (got != version(v) || v < last) {
                    fprintf(stderr, "reader %d: %zu bytes (%.8s) after v%u\n", r, got.size(),
                            got.c_str(), last);
                    _exit(2);
                }
                last = v;
                __atomic_fetch_add(&counts[r], 1, __ATOMIC_RELAXED);
            }
            _exit(0);
        }
        kids.push_back(k);
    }
    for (unsigned v = 1; v <= kVersions; v++) {
        std::string tmp = m("tmp" + std::to_string(v % 2));
        vesk_test::write_file(tmp, version(v));
        ASSERT_EQ(0, sh("mv -f '" + tmp + "' '" + m("target") + "'")) << "version " << v;
    }
    *stop = 1;
    long reads = 0;
    for (int r = 0; r < kReaders; r++) {
        int status = 0;
        ASSERT_EQ(kids[(size_t)r], waitpid(kids[(size_t)r], &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reader " << r;
        EXPECT_GT(counts[r], 0) << "reader " << r << " never read";
        reads += counts[r];
    }
    EXPECT_EQ(version(kVersions), vesk_test::read_file(m("target")));
    printf("%u replacements by mv, %ld whole reads by cat\n", kVersions, reads);
    munmap((void *)stop, 4096);
}

// The backends lie on a small tmpfs. A file is written, then the tmpfs is
// filled: fsync cannot write the index records and says so; once the
// filler is gone, fsync is tried again, succeeds, and every byte reads
// back, also after the mount is stopped and started again.
TEST_P(VeskfsIntegrity, FsyncRetriedAfterENOSPCWritesWhatTheFirstCouldNot) {
    if (std::string(GetParam()) == "flat")
        GTEST_SKIP() << "a flat file takes its space when written: fsync has nothing to write";
    std::string why = veskfs_test::no_fuse_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(tmp_.ok());
    small_ = tmp_.sub("small");
    ASSERT_EQ(0, mkdir(small_.c_str(), 0755));
    if (mount("tmpfs", small_.c_str(), "tmpfs", 0, "size=4m") != 0) {
        int e = errno;
        small_.clear();
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(e);
    }
    start(small_);
    if (HasFatalFailure() || IsSkipped()) return;
    // Many small writes apart from each other: one index record each, more
    // than a page of them, so flushing them needs space.
    const size_t kWrites = 600, kStride = 100, kPiece = 10;
    std::string want(kWrites * kStride, '\0');
    int fd = open(m("f").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i < kWrites; i++) {
        char piece[kPiece];
        for (size_t k = 0; k < kPiece; k++) piece[k] = (char)('A' + (i + k) % 26);
        size_t at = (kWrites - 1 - i) * kStride;  // backwards: nothing joins
        ASSERT_EQ((ssize_t)kPiece, pwrite(fd, piece, kPiece, (off_t)at));
        memcpy(&want[at], piece, kPiece);
    }
    want.resize((kWrites - 1) * kStride + kPiece);
    // Fill what is left of the tmpfs.
    std::string filler = small_ + "/filler";
    sh("dd if=/dev/zero of='" + filler + "' bs=4096 status=none 2>/dev/null");
    struct statvfs sv;
    ASSERT_EQ(0, statvfs(small_.c_str(), &sv));
    ASSERT_EQ(0u, sv.f_bavail) << "the tmpfs is not full";
    errno = 0;
    EXPECT_EQ(-1, fsync(fd)) << "fsync on a full disk reported success";
    EXPECT_EQ(ENOSPC, errno) << strerror(errno);
    EXPECT_EQ(-1, fsync(fd)) << "a retry that still cannot write reported success";
    ASSERT_EQ(0, unlink(filler.c_str()));
    EXPECT_EQ(0, fsync(fd)) << strerror(errno);
    EXPECT_EQ(0, close(fd)) << strerror(errno);
    EXPECT_TRUE(want == vesk_test::read_file(m("f"))) << "bytes lost or changed";
    ASSERT_TRUE(daemon_->stop()) << vesk_test::read_file(daemon_->log());
    ASSERT_TRUE(daemon_->start(&why)) << why;
    EXPECT_TRUE(want == vesk_test::read_file(m("f"))) << "bytes lost across a remount";
}

INSTANTIATE_TEST_SUITE_P(Layouts, VeskfsIntegrity, ::testing::Values("container", "flat"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.param);
                         });

}  // namespace
