/* Helpers shared by the container tests: a two-backend container mount
 * in a temporary directory, and short-hands for opening through
 * containerfs. */
#ifndef VESK_CONTAINER_TEST_UTIL_H
#define VESK_CONTAINER_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

#include "ContainerFD.h"
#include "ContainerFS.h"
#include "Util.h"
#include "config/Config.h"
#include "container/Container.h"
#include "vesk_test_util.h"

namespace vesk_test {

// The names in a backend directory (none when it cannot be read).
inline std::set<std::string> list(const std::string &dir) {
    std::set<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) out.insert(e->d_name);
    closedir(d);
    return out;
}

// While alive, the backend answers as a network file system's client
// whose attribute cache is behind: statfs says NFS, and lstat of a path
// ending in `suffix` shows `size`, whatever the file holds now. Only an
// open (close-to-open) shows the current size.
class StaleListing {
public:
    StaleListing(const std::string &suffix, off_t size) : saved_(Util::syscalls()) {
        suffix_() = suffix;
        size_() = size;
        real_() = saved_.lstat;
        Util::syscalls().lstat = [](const char *path, struct stat *st) {
            int r = real_()(path, st);
            std::string p(path);
            const std::string &s = suffix_();
            if (r == 0 && p.size() >= s.size() && p.compare(p.size() - s.size(), s.size(), s) == 0)
                st->st_size = size_();
            return r;
        };
        Util::syscalls().statfs = [](const char *, struct statfs *fs) {
            memset(fs, 0, sizeof *fs);
            fs->f_type = NFS_SUPER_MAGIC;
            return 0;
        };
    }
    ~StaleListing() { Util::syscalls() = saved_; }
    StaleListing(const StaleListing &) = delete;
    StaleListing &operator=(const StaleListing &) = delete;

private:
    static std::string &suffix_() { static std::string s; return s; }
    static off_t &size_() { static off_t z; return z; }
    static auto real_() -> int (*&)(const char *, struct stat *) {
        static int (*f)(const char *, struct stat *) = nullptr;
        return f;
    }
    VeskSyscalls saved_;
};

class ContainerMount : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.ok());
        b0 = tmp.sub("b0");
        b1 = tmp.sub("b1");
        auto cfg = use_config(tmp.sub("vesk.conf"), mount_config("/vk", {b0, b1}, "container"));
        ASSERT_TRUE(cfg->errors.empty());
        ASSERT_EQ(1u, cfg->mounts.size());
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }

    // The backend directory that holds logical `/vk/<rel>`.
    std::string backend(const std::string &rel) const {
        return (vesk::backend_for(rel.substr(rel.rfind('/') + 1), 2) == 0 ? b0 : b1) + "/" + rel;
    }
    // A name below /vk whose backend is `which`.
    std::string name_on(size_t which, const std::string &stem) const {
        for (int i = 0;; i++) {
            std::string rel = stem + std::to_string(i);
            if (vesk::backend_for(rel, 2) == which) return rel;
        }
    }
    static std::string L(const std::string &rel) { return "/vk/" + rel; }

    Vesk_fd *open(const std::string &rel, int flags, pid_t pid = getpid(), mode_t mode = 0644,
                  int *ret = nullptr) {
        Vesk_fd *fd = nullptr;
        int r = containerfs.open(&fd, L(rel).c_str(), flags, pid, mode, nullptr);
        if (ret) *ret = r;
        return fd;
    }
    static std::string pattern(size_t n, unsigned seed) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; i++) s[i] = (char)('A' + (seed * 7 + i * 13) % 26);
        return s;
    }
    std::string read_all(const std::string &rel, size_t max = 1 << 24) {
        Vesk_fd *fd = open(rel, O_RDONLY);
        if (!fd) return "<open failed>";
        std::string buf(max, '\0');
        ssize_t n = fd->read(&buf[0], max, 0);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        if (n < 0) return "<read failed " + std::to_string(n) + ">";
        buf.resize((size_t)n);
        return buf;
    }
    off_t size_of(const std::string &rel) {
        struct stat st;
        int r = containerfs.getattr(L(rel).c_str(), &st, 0);
        return r == 0 ? st.st_size : r;
    }
    void write_file_at(const std::string &rel, const std::string &data, off_t off,
                       int flags = O_WRONLY | O_CREAT, pid_t pid = getpid()) {
        Vesk_fd *fd = open(rel, flags, pid);
        ASSERT_NE(nullptr, fd);
        ASSERT_EQ((ssize_t)data.size(), fd->write(data.data(), data.size(), off, pid));
        ASSERT_EQ(0, fd->close(pid, getuid(), flags, nullptr));
        delete fd;
    }

    TempDir tmp;
    std::string b0, b1;
};

}  // namespace vesk_test

#endif
