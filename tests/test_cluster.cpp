/* Writers on several hosts writing one container over the same backend
 * directories, as nodes of a cluster over a shared file system do. Each
 * "host" is a UTS namespace with a host name of its own, a PID namespace (so
 * the writers of different hosts have the same pid) and a mount namespace;
 * the writers go through the library, or through a veskfs mount of the
 * host's own (the same mount point and configuration everywhere). A
 * reader on any host sees the union of every host's synced writes, the later
 * write winning where two overlap.
 *
 * The writers are this program run again in a namespace (VESK_CLUSTER_WRITER
 * set). */
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vesk.h"
#include "veskfs_test_util.h"

namespace {

using vesk_test::TempDir;

const char *kWriterVar = "VESK_CLUSTER_WRITER";
const size_t kSpan = 256 * 1024;

unsigned char byte_of(uint64_t seed, uint64_t o) {
    uint64_t x = (o + 1) * 0x9e3779b97f4a7c15ull ^ (seed << 40);
    return (unsigned char)((x >> 29) ^ (x >> 47) ^ seed);
}

/* What one writer writes: `count` extents of `len` bytes, the i-th at
 * start + i * step, byte o being byte_of(seed, o). */
struct WriterPlan {
    std::string how;  // "lib" (the library) or "posix" (plain calls on a mount)
    std::string path;
    uint64_t start = 0, len = 0, step = 0, count = 0, seed = 0;
    std::string hold;  // when set: after syncing, make hold/ready.<seed> and
                       // keep the file open until hold/release exists

    std::string text() const {
        std::ostringstream s;
        s << how << ' ' << path << ' ' << start << ' ' << len << ' ' << step << ' ' << count << ' '
          << seed << ' ' << (hold.empty() ? "-" : hold);
        return s.str();
    }
    static WriterPlan parse(const std::string &t) {
        WriterPlan s;
        std::istringstream in(t);
        in >> s.how >> s.path >> s.start >> s.len >> s.step >> s.count >> s.seed >> s.hold;
        if (s.hold == "-") s.hold.clear();
        return s;
    }
    void apply(std::string &image) const {
        for (uint64_t i = 0; i < count; i++)
            for (uint64_t b = 0; b < len; b++) {
                uint64_t o = start + i * step + b;
                if (image.size() < o + 1) image.resize(o + 1, '\0');
                image[o] = (char)byte_of(seed, o);
            }
    }
};

bool wait_file(const std::string &path, int seconds) {
    for (int i = 0; i < seconds * 50; i++) {
        if (access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

/* The writer, in its host's namespaces. 0 when all was written and synced. */
int run_writer(const WriterPlan &s) {
    pid_t me = getpid();
    bool lib = s.how == "lib";
    Vesk_fd *vfd = nullptr;
    int fd = -1;
    if (lib ? vesk_open(&vfd, s.path.c_str(), O_WRONLY | O_CREAT, me, 0644) != 0
            : (fd = open(s.path.c_str(), O_WRONLY | O_CREAT, 0644)) < 0)
        return 2;
    std::string buf(s.len, '\0');
    for (uint64_t i = 0; i < s.count; i++) {
        uint64_t at = s.start + i * s.step;
        for (uint64_t b = 0; b < s.len; b++) buf[b] = (char)byte_of(s.seed, at + b);
        ssize_t n = lib ? vesk_write(vfd, buf.data(), s.len, (off_t)at, me)
                        : pwrite(fd, buf.data(), s.len, (off_t)at);
        if (n != (ssize_t)s.len) return 3;
    }
    if ((lib ? vesk_sync(vfd, me) : fsync(fd)) != 0) return 4;
    if (!s.hold.empty()) {
        vesk_test::write_file(s.hold + "/ready." + std::to_string(s.seed), std::to_string(me));
        if (!wait_file(s.hold + "/release", 60)) return 5;
    }
    if ((lib ? vesk_close(vfd, me, getuid(), O_WRONLY) : close(fd)) < 0) return 6;
    return 0;
}

std::string self_exe() {
    char b[4096];
    ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
    return n > 0 ? std::string(b, (size_t)n) : "";
}

/* Runs `cmd` (bash) on host `host`: its own host name, pids and mounts;
 * with `mnt`, a veskfs mount there for the command's time. Returns the pid;
 * output to `log`. */
pid_t spawn_host(const std::string &host, const std::string &cmd, const std::string &mnt,
                 const std::string &config, const std::string &log) {
    std::string script = "hostname " + host + " || exit 90\n";
    if (!mnt.empty()) {
        script += veskfs_test::veskfs_binary() + " -f '" + mnt + "' 2>>'" + log + ".veskfs' &\n"
                  "d=$!\n"
                  "for i in $(seq 200); do grep -q ' " + mnt + " ' /proc/self/mounts && break; "
                  "sleep 0.05; done\n"
                  "grep -q ' " + mnt + " ' /proc/self/mounts || exit 91\n" +
                  cmd + "\nrc=$?\nfusermount3 -u '" + mnt + "' || rc=92\nwait $d || rc=93\nexit $rc\n";
    } else {
        script += "exec " + cmd + "\n";
    }
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (o >= 0) {
            dup2(o, 1);
            dup2(o, 2);
        }
        setenv("VESK_CONFIG", config.c_str(), 1);
        // A /proc of the host's own: its pids are the ones it shows (the
        // sanitizers' leak check reads them there).
        std::vector<const char *> argv = {"unshare", "--uts", "--pid", "--fork", "--mount",
                                          "--propagation", "private", "--mount-proc"};
        argv.insert(argv.end(), {"/bin/bash", "-c", script.c_str(), nullptr});
        execvp("unshare", const_cast<char **>(argv.data()));
        _exit(127);
    }
    return pid;
}

int wait_exit(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::vector<std::string> list(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        closedir(d);
    }
    return out;
}

/* Offset of the first byte where a and b differ, or -1. */
long first_difference(const std::string &a, const std::string &b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i]) return (long)i;
    return a.size() == b.size() ? -1 : (long)n;
}

class Cluster : public ::testing::TestWithParam<std::string> {
protected:
    TempDir tmp;
    std::string conf, mnt, hold;
    std::vector<std::string> backends;
    bool via_mount = false;

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "namespaces and host names need root";
        if (system("unshare --uts --pid --fork --mount --mount-proc true >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "unshare cannot make UTS, PID and mount namespaces here";
        via_mount = GetParam() == "veskfs";
        if (via_mount) {
            std::string why = veskfs_test::no_fuse_reason();
            if (!why.empty()) GTEST_SKIP() << why;
        }
        conf = tmp.sub("vesk.conf");
        mnt = tmp.sub("mnt");
        hold = tmp.sub("hold");
        mkdir(mnt.c_str(), 0755);
        mkdir(hold.c_str(), 0755);
        backends = {tmp.sub("shared1"), tmp.sub("shared2")};
        // One configuration for every host.
        vesk_test::use_config(conf, vesk_test::mount_config(mnt, backends, "container"));
    }

    pid_t writer(const std::string &host, WriterPlan s) {
        s.how = via_mount ? "posix" : "lib";
        s.path = mnt + "/ckpt";
        std::string cmd = "env " + std::string(kWriterVar) + "='" + s.text() + "' '" + self_exe() + "'";
        return spawn_host(host, cmd, via_mount ? mnt : "", conf, tmp.sub(host + ".log"));
    }

    /* The file as a reader on host `host` sees it (through its own mount,
     * or the library), and as this process sees it through the library. */
    void expect_reads(const std::string &host, const std::string &want) {
        std::string got_path = tmp.sub("read." + host);
        std::string cmd = via_mount ? "cat '" + mnt + "/ckpt' > '" + got_path + "'"
                                    : "env " + std::string(kWriterVar) + "='read " + mnt +
                                          "/ckpt " + got_path + "' '" + self_exe() + "'";
        pid_t r = spawn_host(host, cmd, via_mount ? mnt : "", conf, tmp.sub(host + ".log"));
        ASSERT_EQ(wait_exit(r), 0) << vesk_test::read_file(tmp.sub(host + ".log"));
        std::string got = vesk_test::read_file(got_path);
        EXPECT_EQ(got.size(), want.size()) << "on " << host;
        EXPECT_EQ(first_difference(got, want), -1) << "on " << host;

        Vesk_fd *fd = nullptr;
        std::string path = mnt + "/ckpt";
        ASSERT_EQ(vesk_open(&fd, path.c_str(), O_RDONLY, getpid(), 0), 0);
        std::string here(want.size() + 10, '\0');
        ssize_t n = vesk_read(fd, &here[0], here.size(), 0);
        vesk_close(fd, getpid(), getuid(), O_RDONLY);
        ASSERT_GE(n, 0);
        here.resize((size_t)n);
        EXPECT_EQ(first_difference(here, want), -1) << "read here";
    }

    std::string log_of(const std::string &host) { return vesk_test::read_file(tmp.sub(host + ".log")); }
};

TEST_P(Cluster, ReadersSeeEveryHostsSyncedWritesLaterWriteWins) {
    std::string want;
    // Two hosts at once, interleaved 4 KiB blocks, each holding the file
    // open after its sync.
    WriterPlan a, b;
    a.start = 0, a.len = 4096, a.step = 8192, a.count = kSpan / 8192, a.seed = 1, a.hold = hold;
    b = a;
    b.start = 4096, b.seed = 2;
    pid_t pa = writer("node-a", a), pb = writer("node-b", b);
    bool ready = wait_file(hold + "/ready.1", 60) && wait_file(hold + "/ready.2", 60);
    a.apply(want);
    b.apply(want);
    if (ready) expect_reads("node-r", want);
    vesk_test::write_file(hold + "/release", "");
    EXPECT_EQ(wait_exit(pa), 0) << log_of("node-a");
    EXPECT_EQ(wait_exit(pb), 0) << log_of("node-b");
    ASSERT_TRUE(ready) << log_of("node-a") << log_of("node-b");

    // Overlaps: node-c over both, then node-a again over part of node-c's.
    WriterPlan c;
    c.start = 10000, c.len = 30000, c.step = 0, c.count = 1, c.seed = 3;
    ASSERT_EQ(wait_exit(writer("node-c", c)), 0) << log_of("node-c");
    WriterPlan a2;
    a2.start = 25000, a2.len = 9000, a2.step = 0, a2.count = 1, a2.seed = 4;
    ASSERT_EQ(wait_exit(writer("node-a", a2)), 0) << log_of("node-a");
    c.apply(want);
    a2.apply(want);
    expect_reads("node-r", want);
    expect_reads("node-b", want);

    // Each host wrote under its own host directory; through the library
    // every writer was pid 1 of its host, and none took another's logs.
    std::vector<std::string> hostdirs;
    std::string container;
    for (const std::string &bk : backends)
        if (access((bk + "/ckpt/.vesk_container").c_str(), F_OK) == 0) container = bk + "/ckpt";
    ASSERT_FALSE(container.empty());
    for (const std::string &e : list(container))
        if (e.rfind("hostdir.", 0) == 0) hostdirs.push_back(e);
    std::sort(hostdirs.begin(), hostdirs.end());
    EXPECT_EQ(hostdirs, (std::vector<std::string>{"hostdir.node-a", "hostdir.node-b",
                                                  "hostdir.node-c"}));
    if (!via_mount) {
        for (const std::string &h : hostdirs) {
            std::vector<std::string> logs = list(container + "/" + h);
            EXPECT_NE(std::find(logs.begin(), logs.end(), "data.1"), logs.end()) << h;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Through, Cluster, ::testing::Values("library", "veskfs"));

/* The reader on a host through the library: the whole file into `out`. */
int run_reader(const std::string &path, const std::string &out) {
    Vesk_fd *fd = nullptr;
    if (vesk_open(&fd, path.c_str(), O_RDONLY, getpid(), 0) != 0) return 2;
    struct stat st;
    if (vesk_getattr(fd, path.c_str(), &st, 0) != 0) return 3;
    std::string buf((size_t)st.st_size, '\0');
    ssize_t n = vesk_read(fd, &buf[0], buf.size(), 0);
    vesk_close(fd, getpid(), getuid(), O_RDONLY);
    if (n != (ssize_t)buf.size()) return 4;
    vesk_test::write_file(out, buf);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (const char *w = getenv(kWriterVar)) {
        std::string t = w;
        if (t.rfind("read ", 0) == 0) {
            std::istringstream in(t.substr(5));
            std::string path, out;
            in >> path >> out;
            return run_reader(path, out);
        }
        return run_writer(WriterPlan::parse(t));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
