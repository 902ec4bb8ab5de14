/*
 * The diagnostic programs access and rename, run as built: their usage
 * lines, output and exit statuses. The access checks that need an
 * unprivileged caller run the program as nobody, which needs root.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "config/Config.h"
#include "vesk_test_util.h"

namespace {

const uid_t kNobody = 65534;
const gid_t kNogroup = 65534;

struct ProgResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

struct RunOpts {
    std::vector<std::pair<std::string, std::string>> env;
    bool as_nobody = false;
};

ProgResult run(const std::vector<std::string> &args, const RunOpts &opts = {}) {
    vesk_test::TempDir io;
    std::string o = io.sub("out"), e = io.sub("err");
    pid_t pid = fork();
    if (pid == 0) {
        int fo = open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int fe = open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(fo, 1);
        dup2(fe, 2);
        for (auto &kv : opts.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (opts.as_nobody) {
            gid_t g = kNogroup;
            if (setgroups(1, &g) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0)
                _exit(125);
        }
        std::vector<char *> av;
        for (const std::string &a : args) av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    ProgResult r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = vesk_test::read_file(o);
    r.err = vesk_test::read_file(e);
    return r;
}

const std::string kAccess = std::string(VESK_BINARY_DIR) + "/diagnostics/access";
const std::string kRename = std::string(VESK_BINARY_DIR) + "/diagnostics/rename";
const std::string kBoth = "Hello world!\nGoodbye world!\n";

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// --- rename -----------------------------------------------------------------

TEST(RenameDiag, UsageLines) {
    const std::string bad = "Usage (line 44): " + kRename + " args\n";
    const std::string none = "Usage (line 49): " + kRename + " args\n";
    vesk_test::TempDir d;
    std::string t = d.sub("t");

    ProgResult r = run({kRename});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, none);
    r = run({kRename, "-n", d.sub("n"), "-c", d.sub("c")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, none);
    // A rejected option: getopt's complaint, then the usage line.
    r = run({kRename, "-x", "-t", t});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, "'x'\n" + bad)) << r.err;
    r = run({kRename, "-t"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, "'t'\n" + bad)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(t));
}

TEST(RenameDiag, WritesReadsBackAndRenamesWhileOpen) {
    vesk_test::TempDir d;
    std::string t = d.sub("target"), n = d.sub("renamed");

    ProgResult r = run({kRename, "-t", t});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Read " + kBoth + " from " + t + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(vesk_test::read_file(t), kBoth);

    // An existing target is emptied first; with -n the lines end up under
    // the new name, which the output names, and the old name is gone.
    vesk_test::write_file(t, std::string(500, 'o'));
    r = run({kRename, "-t", t, "-n", n});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Read " + kBoth + " from " + n + "\n");
    EXPECT_FALSE(exists(t));
    EXPECT_EQ(vesk_test::read_file(n), kBoth);

    // The last of repeated options counts.
    std::string t2 = d.sub("t2");
    r = run({kRename, "-t", d.sub("unused"), "-t", t2});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(exists(d.sub("unused")));
    EXPECT_EQ(vesk_test::read_file(t2), kBoth);
}

TEST(RenameDiag, CatFileIsPrintedBeforeTheRename) {
    vesk_test::TempDir d;
    std::string t = d.sub("target"), n = d.sub("renamed"), c = d.sub("cat");

    // The target itself: its first line is still in the stream's buffer.
    ProgResult r = run({kRename, "-t", t, "-c", t});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Read  from " + t + "\nRead " + kBoth + " from " + t + "\n");

    vesk_test::write_file(c, "cat text\n");
    r = run({kRename, "-c", c, "-t", t, "-n", n});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Read cat text\n from " + c + "\nRead " + kBoth + " from " + n + "\n");

    // A file that fills the whole read buffer is printed within what was
    // read: its first 4096 bytes, nothing beyond.
    std::string big;
    for (int i = 0; i < 5000; i++) big += (char)('a' + i % 26);
    vesk_test::write_file(c, big);
    r = run({kRename, "-t", t, "-c", c});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Read " + big.substr(0, 4096) + " from " + c + "\nRead " + kBoth + " from " + t + "\n");
}

TEST(RenameDiag, Failures) {
    vesk_test::TempDir d;
    std::string t = d.sub("target");

    ProgResult r = run({kRename, "-t", d.sub("no/dir")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fopen: No such file or directory\n");

    r = run({kRename, "-t", t, "-c", d.sub("missing")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fopen: No such file or directory\n");
    EXPECT_EQ(r.out, "");

    r = run({kRename, "-t", t, "-n", d.sub("no/dir")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "rename: No such file or directory\n");
    EXPECT_TRUE(exists(t));

    // Writes that vanish: the read-back is empty.
    r = run({kRename, "-t", "/dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Read  from /dev/null\ndata integrity error ()\n");

    // Writes that fail: the seek is what writes the buffered lines out.
    if (exists("/dev/full")) {
        r = run({kRename, "-t", "/dev/full"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "fseek: No space left on device\n");
        EXPECT_EQ(r.out, "");
    }
}

// --- access -----------------------------------------------------------------

TEST(AccessDiag, UsageLines) {
    const std::string bad = "Usage (line 42): " + kAccess + " -t target\n";
    const std::string none = "Usage (line 47): " + kAccess + " -t target\n";
    ProgResult r = run({kAccess});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, none);
    EXPECT_EQ(r.out, "");
    // -n and -c take an argument but are not access's options.
    for (const char *opt : {"-n", "-c"}) {
        r = run({kAccess, "-t", "a/b", opt, "x"});
        EXPECT_EQ(r.status, 1) << opt;
        EXPECT_EQ(r.err, bad) << opt;
        EXPECT_EQ(r.out, "");
    }
    r = run({kAccess, "-q", "-t", "a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, "'q'\n" + bad)) << r.err;
}

/* A flat mount at "/" over two backends in a directory nobody can reach. */
class AccessMount : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        backends = {dir.sub("b0"), dir.sub("b1")};
        config = dir.sub("vesk.conf");
        vesk_test::write_file(config, vesk_test::mount_config("/", backends, "flat"));
        chmod(config.c_str(), 0644);
        opts.env = {{"VESK_CONFIG", config}};
    }
    /* Makes the directory `rel` on every backend, with `mode`. */
    void mkdirs(const std::string &rel, mode_t mode = 0755) {
        for (const std::string &b : backends) mkdir_on(b, rel, mode);
    }
    void mkdir_on(const std::string &backend, const std::string &rel, mode_t mode) {
        std::string p = backend + "/" + rel;
        ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
        ASSERT_EQ(chmod(p.c_str(), mode), 0);
    }
    ProgResult access(const std::string &target, bool as_nobody = false) {
        RunOpts o = opts;
        o.as_nobody = as_nobody;
        return run({kAccess, "-t", target}, o);
    }
    static std::string line(const std::string &path, const char *what) {
        return "access on " + path + ": " + what + "\n";
    }

    vesk_test::TempDir dir;
    std::vector<std::string> backends;
    std::string config;
    RunOpts opts;
};

TEST_F(AccessMount, EveryLevelSucceeds) {
    mkdirs("x");
    mkdirs("x/y");
    mkdirs("x/y/z");
    const std::string want = line("/x", "success") + line("/x/y", "success") +
                             line("/x/y/z", "success");
    // Relative or absolute, doubled or trailing slashes: the same levels,
    // each tried as an absolute path.
    for (const char *t : {"x/y/z", "/x/y/z", "x//y/z/"}) {
        ProgResult r = access(t);
        EXPECT_EQ(r.status, 0) << t << r.err;
        EXPECT_EQ(r.out, want) << t;
        EXPECT_EQ(r.err, "") << t;
    }
}

TEST_F(AccessMount, MissingLevelFailsEveryLevelBelowIt) {
    mkdirs("x");
    ProgResult r = access("x/nope/z");
    EXPECT_EQ(r.status, 256 - ENOENT);
    EXPECT_EQ(r.out, line("/x", "success") + line("/x/nope", strerror(ENOENT)) +
                         line("/x/nope/z", strerror(ENOENT)));
    EXPECT_EQ(r.err, kAccess + " FAILURE: " + strerror(ENOENT) + "\n");
}

TEST_F(AccessMount, DeniedMiddleLevelAsAnUnprivilegedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
    mkdirs("x");
    mkdirs("x/y", 0700);  // root's own: nobody may not search it
    mkdirs("x/y/z");
    ProgResult r = access("x/y/z", true);
    // The third level is still tried, after the denial.
    EXPECT_EQ(r.out, line("/x", "success") + line("/x/y", strerror(EACCES)) +
                         line("/x/y/z", strerror(EACCES)));
    EXPECT_EQ(r.err, kAccess + " FAILURE: " + strerror(EACCES) + "\n");
    EXPECT_EQ(r.status, 256 - EACCES);

    // Root passes the same levels.
    r = access("x/y/z");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(AccessMount, LastFailureDecidesTheStatus) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as nobody";
    // A file lives on the backend its name hashes to: find a pair of names
    // whose two levels live on different backends, so that each level can
    // fail in its own way.
    std::string top, sub;
    for (int i = 0; i < 100 && top.empty(); i++) {
        for (char leaf = 'a'; leaf <= 'z' && top.empty(); leaf++) {
            std::string a = "d" + std::to_string(i), b = a + "/" + leaf;
            if (vesk::backend_for(a, 2) != vesk::backend_for(std::string(1, leaf), 2)) {
                top = a;
                sub = b;
            }
        }
    }
    ASSERT_FALSE(top.empty());
    const std::string &top_home = backends[vesk::backend_for(top, 2)];
    const std::string &sub_home = backends[vesk::backend_for(sub.substr(sub.rfind('/') + 1), 2)];

    // The upper level denied, the lower one missing: ENOENT is last.
    mkdir_on(top_home, top, 0700);
    mkdir_on(sub_home, top, 0755);
    ProgResult r = access(sub, true);
    EXPECT_EQ(r.out, line("/" + top, strerror(EACCES)) + line("/" + sub, strerror(ENOENT)));
    EXPECT_EQ(r.err, kAccess + " FAILURE: " + strerror(ENOENT) + "\n");
    EXPECT_EQ(r.status, 256 - ENOENT);

    // A success after a failure does not clear it.
    mkdir_on(sub_home, sub, 0755);
    r = access(sub, true);
    EXPECT_EQ(r.out, line("/" + top, strerror(EACCES)) + line("/" + sub, "success"));
    EXPECT_EQ(r.err, kAccess + " FAILURE: " + strerror(EACCES) + "\n");
    EXPECT_EQ(r.status, 256 - EACCES);
}

// A mount three levels deep: the levels above it answer as searchable
// directories, for anyone, on either layout.
TEST(AccessDiag, MountPointThreeLevelsDeep) {
    for (const char *layout : {"flat", "container"}) {
        SCOPED_TRACE(layout);
        vesk_test::TempDir dir;
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        std::string config = dir.sub("vesk.conf");
        vesk_test::write_file(config, vesk_test::mount_config("/lvl1/lvl2/mnt",
                                                              {dir.sub("b0"), dir.sub("b1")}, layout));
        ASSERT_EQ(chmod(config.c_str(), 0644), 0);
        for (const char *b : {"b0", "b1"}) {
            ASSERT_EQ(mkdir(dir.sub(std::string(b) + "/d").c_str(), 0755), 0);
            ASSERT_EQ(chmod(dir.sub(b).c_str(), 0755), 0);
        }
        RunOpts opts;
        opts.env = {{"VESK_CONFIG", config}};
        const std::string ok = ": success\n";
        const std::string want = "access on /lvl1" + ok + "access on /lvl1/lvl2" + ok +
                                 "access on /lvl1/lvl2/mnt" + ok + "access on /lvl1/lvl2/mnt/d" + ok;
        ProgResult r = run({kAccess, "-t", "/lvl1/lvl2/mnt/d"}, opts);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, want);
        if (geteuid() == 0) {
            opts.as_nobody = true;
            r = run({kAccess, "-t", "/lvl1/lvl2/mnt/d"}, opts);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, want);
        }
        // A level beside the mount is still missing.
        opts.as_nobody = false;
        r = run({kAccess, "-t", "/lvl1/other"}, opts);
        EXPECT_EQ(r.status, 256 - ENOENT);
        EXPECT_EQ(r.out, "access on /lvl1" + ok + "access on /lvl1/other: " + strerror(ENOENT) + "\n");
    }
}

}  // namespace
