/*
 * veskfs as an administrator runs it: refused configurations, mount(8)
 * with an fstab line, a second mount over a live one, and the end of the
 * daemon by each stop signal. Skipped where FUSE cannot be used.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "run_program.h"
#include "vesk_test_util.h"
#include "veskfs_test_util.h"

using namespace vesk_test;

namespace {

const std::string &kVeskfs = veskfs_test::veskfs_binary();
using veskfs_test::no_fuse_reason;

// The file-system type /proc/mounts lists at `dir`, or "".
std::string mounted_type(const std::string &dir) {
    std::ifstream in("/proc/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string dev, mp, type;
        ss >> dev >> mp >> type;
        if (mp == dir) return type;
    }
    return "";
}

bool wait_until(const std::function<bool()> &cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

class VeskfsAdmin : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = no_fuse_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(tmp.ok());
        mnt = tmp.sub("mnt");
        back = tmp.sub("back");
        conf = tmp.sub("vesk.conf");
        ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
        ASSERT_EQ(0, mkdir(back.c_str(), 0755));
        write_file(conf, "[mount " + mnt + "]\nbackends = " + back + "\nlayout = container\n");
    }
    void TearDown() override {
        if (!mounted_type(mnt).empty())
            (void)!system(("fusermount3 -u -z '" + mnt + "' 2>/dev/null").c_str());
    }
    // Runs veskfs in the foreground, bounded: a daemon that mounts when it
    // should refuse is stopped by the timeout (status 124).
    RunResult veskfs(std::vector<std::string> args, const std::string &config) {
        std::vector<std::string> argv = {"/usr/bin/timeout", "10", kVeskfs, "-f"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, {{"VESK_CONFIG", config}, {"HOME", tmp.path()}});
    }
    TempDir tmp;
    std::string mnt, back, conf;
};

// Each refusal exits non-zero before mounting, with a message that says
// which file and line, which mount point or which backend is wrong.
TEST_F(VeskfsAdmin, RefusesWhatTheConfigurationDoesNotServe) {
    std::string bad = tmp.sub("bad.conf");
    write_file(bad, "[mount " + mnt + "]\nbackends = " + back + "\nlog_levl = warn\n");
    RunResult r = veskfs({mnt}, bad);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(bad + ":3: ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("log_levl")) << r.err;

    std::string level = tmp.sub("level.conf");
    write_file(level, "log_level = loud\n[mount " + mnt + "]\nbackends = " + back + "\n");
    r = veskfs({mnt}, level);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(level + ":1: ")) << r.err;

    // a mount point the file does not name: no built-in mount instead
    std::string other = tmp.sub("other");
    ASSERT_EQ(0, mkdir(other.c_str(), 0755));
    r = veskfs({other}, conf);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("no mount point " + other)) << r.err;
    struct stat st;
    EXPECT_NE(0, stat(tmp.sub(".local/share/vesk").c_str(), &st)) << "a built-in backend made";

    // nor do --backend/--layout stand in for the file's description
    r = veskfs({"--backend", tmp.sub("cmdline"), mnt}, conf);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(0, stat(tmp.sub("cmdline").c_str(), &st));

    // a backend that is missing, then one that is a plain file
    std::string gone = tmp.sub("gone"), plain = tmp.sub("plain");
    write_file(plain, "x");
    for (const std::string &b : {gone, plain}) {
        std::string c = tmp.sub("b.conf");
        write_file(c, "[mount " + mnt + "]\nbackends = " + back + " " + b + "\n");
        r = veskfs({mnt}, c);
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("backend " + b)) << r.err;
        EXPECT_NE(std::string::npos,
                  r.err.find(b == gone ? "No such file" : "not a directory"))
            << r.err;
    }
    EXPECT_NE(0, stat(gone.c_str(), &st)) << "the missing backend must not be created";

    // mount(8)'s form: a SOURCE that names no file but looks like a path
    r = veskfs({tmp.sub("absent.conf"), mnt}, conf);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("absent.conf")) << r.err;
    r = veskfs({"a", "b", mnt}, conf);
    EXPECT_EQ(1, r.status) << "three operands";
    EXPECT_EQ("", mounted_type(mnt)) << "a refused mount was made";
}

// mount(8) runs "veskfs SOURCE MOUNTPOINT -o opts" through mount.fuse3,
// with a PATH of its own: the test gives it veskfs in /usr/local/sbin of a
// private mount namespace.
TEST_F(VeskfsAdmin, MountsFromFstabAndUnmountsWithUmount) {
    if (system("command -v unshare >/dev/null 2>&1 && test -x /sbin/mount.fuse3") != 0)
        GTEST_SKIP() << "unshare or mount.fuse3 missing";
    if (system("unshare -m true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mount namespace here (unshare -m fails)";
    std::string sbin = tmp.sub("sbin"), fstab = tmp.sub("fstab");
    ASSERT_EQ(0, mkdir(sbin.c_str(), 0755));
    ASSERT_EQ(0, symlink(kVeskfs.c_str(), (sbin + "/veskfs").c_str()));
    write_file(fstab, conf + " " + mnt + " fuse.veskfs defaults,allow_other,_netdev 0 0\n");
    // Each step prints a marker and its status; the daemon's pid is found
    // by its command line, to see it end after umount.
    std::string script =
        "set -u; M='" + mnt + "'\n"
        "mount --bind '" + sbin + "' /usr/local/sbin || exit 90\n"
        "mount -T '" + fstab + "' \"$M\"; echo \"fstab=$?\"\n"
        "grep \" $M \" /proc/mounts | cut -d' ' -f3 | sed 's/^/type=/'\n"
        "grep \" $M \" /proc/mounts | cut -d' ' -f4 | sed 's/^/opts=,/;s/$/,/'\n"
        "echo through-fstab > \"$M/f\"; echo \"write=$?\"\n"
        "mount -t fuse.veskfs '" + conf + "' \"$M\" 2>&1; echo \"again=$?\"\n"
        "pid=$(grep -l \"$M\" /proc/[0-9]*/cmdline 2>/dev/null | grep -v self | "
        "  while read f; do d=${f%/cmdline}; tr '\\0' ' ' < $f | grep -q '^veskfs ' && "
        "  echo ${d#/proc/}; done | head -n1)\n"
        "echo \"pid=$pid\"\n"
        "umount \"$M\"; echo \"umount=$?\"\n"
        "for i in $(seq 100); do [ -n \"$pid\" ] && kill -0 $pid 2>/dev/null || break; "
        "sleep 0.1; done\n"
        "kill -0 $pid 2>/dev/null && echo alive=1 || echo alive=0\n"
        "mount -t fuse.veskfs none \"$M\" -o allow_other; echo \"none=$?\"\n"
        "cat \"$M/f\" | sed 's/^/read=/'\n"
        "umount \"$M\"; echo \"umount2=$?\"\n";
    RunResult r = run_program({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh",
                               "-c", script},
                              {{"VESK_CONFIG", conf}});
    std::string o = r.out;
    EXPECT_EQ(0, r.status) << o << r.err;
    EXPECT_NE(std::string::npos, o.find("fstab=0\n")) << o << r.err;
    EXPECT_NE(std::string::npos, o.find("type=fuse.veskfs\n")) << o;
    // mount.fuse3 passes suid and dev on its own: the mount stays without
    // set-ID programs and devices, with the kernel's permission checks.
    size_t at = o.find("opts=,");
    ASSERT_NE(std::string::npos, at) << o;
    std::string opts = o.substr(at, o.find('\n', at) - at);
    for (const char *want : {",nosuid,", ",nodev,", ",default_permissions,", ",allow_other,"})
        EXPECT_NE(std::string::npos, opts.find(want)) << want << " missing: " << opts;
    EXPECT_NE(std::string::npos, o.find("write=0\n")) << o << r.err;
    EXPECT_NE(std::string::npos, o.find("already has a vesk mount")) << o;
    EXPECT_EQ(std::string::npos, o.find("again=0\n")) << "mounted twice: " << o;
    EXPECT_EQ(std::string::npos, o.find("pid=\n")) << "daemon not found: " << o;
    EXPECT_NE(std::string::npos, o.find("umount=0\n")) << o << r.err;
    EXPECT_NE(std::string::npos, o.find("alive=0\n")) << "daemon outlived its mount: " << o;
    // "none" as SOURCE: the configuration comes from $VESK_CONFIG
    EXPECT_NE(std::string::npos, o.find("none=0\n")) << o << r.err;
    EXPECT_NE(std::string::npos, o.find("read=through-fstab\n")) << o << r.err;
    EXPECT_NE(std::string::npos, o.find("umount2=0\n")) << o << r.err;
    // The container landed in the configured backend.
    struct stat st;
    EXPECT_EQ(0, stat((back + "/f").c_str(), &st)) << "the file is not in the backend";
}

// Asked to stop by a signal, the daemon unmounts and exits 0; a second
// daemon on a live vesk mount is refused.
TEST_F(VeskfsAdmin, StopSignalsEndWithStatusZero) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        std::string log = tmp.sub("log");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("VESK_CONFIG", conf.c_str(), 1);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(kVeskfs.c_str(), "veskfs", "-f", mnt.c_str(), (char *)nullptr);
            _exit(127);
        }
        ASSERT_TRUE(wait_until([&] { return mounted_type(mnt) == "fuse.veskfs"; }, 10000))
            << read_file(log);
        if (sig == SIGTERM) {
            RunResult second = veskfs({mnt}, conf);
            EXPECT_EQ(1, second.status) << second.err;
            EXPECT_NE(std::string::npos, second.err.find("already has a vesk mount"))
                << second.err;
        }
        ASSERT_EQ(0, kill(pid, sig));
        int st = 0;
        bool ended = wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 20000);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
        }
        ASSERT_TRUE(ended) << read_file(log);
        EXPECT_TRUE(WIFEXITED(st)) << st;
        EXPECT_EQ(0, WEXITSTATUS(st)) << read_file(log);
        EXPECT_EQ("", mounted_type(mnt)) << "still mounted after the signal";
    }
}

}  // namespace
