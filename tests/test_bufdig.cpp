/*
 * bufdig, the program: its command line and messages, and its output over
 * images made by hand and over real core files of a process that logged.
 *
 * The core files come from this test program itself, started again with
 * VESK_BUFDIG_CHILD set: it then logs known lines and dies with a core dump
 * (or stops to have one taken by gcore) before main() runs.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "mlog.h"
#include "mlog/msgbuf.h"
#include "vesk_test_util.h"

namespace {

const char *const kChildEnv = "VESK_BUFDIG_CHILD";
const int kChildMessages = 400;
const int kChildRing = 4096;

/* The child's part: log, then leave a core behind. */
struct ChildMode {
    ChildMode() {
        const char *mode = getenv(kChildEnv);
        if (!mode) return;
        const char *log = getenv("VESK_BUFDIG_CHILD_LOG");
        mlog_options o{};
        o.default_mask = MLOG_MASK_INFO;
        o.msgbuf_size = kChildRing;
        o.logfile = log;
        if (mlog_open("coretest", &o) != 0) _exit(120);
        for (int i = 0; i < kChildMessages; i++)
            mlog(MLOG_INFO | VESK_FAC_API, "core message %04d of the child", i);
        if (strcmp(mode, "abort") == 0) {
            struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
            setrlimit(RLIMIT_CORE, &rl);
            signal(SIGABRT, SIG_DFL);
            abort();
        }
        raise(SIGSTOP);
        for (;;) pause();
    }
} child_mode;

struct ProgResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

ProgResult run(const std::vector<std::string> &args) {
    vesk_test::TempDir io;
    std::string o = io.sub("out"), e = io.sub("err");
    pid_t pid = fork();
    if (pid == 0) {
        int fo = open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int fe = open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fo, 1);
        dup2(fe, 2);
        alarm(20);  // a program that hangs fails the test instead of the run
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

const std::string kProg = std::string(VESK_BINARY_DIR) + "/tools/bufdig";
const std::string kUsage = "usage: " + kProg + " [flags] [file]\n" +
                           "  -o outfile   set output file (default = stdout)\n";

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

/* An image file: noise with one ring (already filled) in it. */
std::string noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char &c : s) c = (char)(rng() & 0xff);
    return s;
}

struct RingImage {
    std::vector<uint64_t> mem;
    size_t size;
    explicit RingImage(size_t sz) : mem((sizeof(MsgbufHeader) + sz + 7) / 8), size(sz) {
        mlog_msgbuf_format(mem.data(), sz, 0);
    }
    RingImage &add(const std::string &s) {
        mlog_msgbuf_append(mem.data(), s.data(), s.size());
        return *this;
    }
    std::string file_bytes(size_t at, size_t total, unsigned seed = 1) const {
        std::string s = noise(total, seed);
        memcpy(&s[at], mem.data(), sizeof(MsgbufHeader) + size);
        return s;
    }
};

class Bufdig : public ::testing::Test {
protected:
    vesk_test::TempDir dir;
};

TEST_F(Bufdig, OptionErrorsAndArgumentCount) {
    std::string img = dir.sub("img");
    vesk_test::write_file(img, RingImage(64).add("x\n").file_bytes(10, 500));
    std::string out = dir.sub("never");

    ProgResult r = run({kProg, "-x", "-o", out, img});
    EXPECT_EQ(r.status, 1);
    // getopt's own complaint comes first, then ours, then the usage.
    EXPECT_NE(r.err.find("invalid option -- 'x'\n"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.size() > kUsage.size() &&
                r.err.compare(r.err.size() - kUsage.size(), kUsage.size(), kUsage) == 0)
        << r.err;
    EXPECT_NE(r.err.find("'x'\nunknown option: -x\nusage: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(exists(out));  // nothing opened after an option error

    // Once per bad option; parsing goes on after each.
    r = run({kProg, "-x", "-y", img});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown option: -x\n"), std::string::npos);
    EXPECT_NE(r.err.find("unknown option: -y\n"), std::string::npos);

    // -o lacking its argument counts as an unknown option -o.
    r = run({kProg, img, "-o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unknown option: -o\n" + kUsage), std::string::npos) << r.err;

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{kProg}, {kProg, "-o", out}, {kProg, img, img}}) {
        r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(exists(out));
}

TEST_F(Bufdig, InputFileFailures) {
    std::string missing = dir.sub("missing");
    ProgResult r = run({kProg, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, missing + ": No such file or directory\n");

    std::string empty = dir.sub("empty");
    vesk_test::write_file(empty, "");
    r = run({kProg, empty});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "mmap: input file error: Invalid argument\n");

    // 2 GiB would not fit the finder's length: refused, not cut short.
    std::string huge = dir.sub("huge");
    int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1LL << 31), 0);
    close(fd);
    r = run({kProg, huge});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kProg + ": " + huge + ": file too large (2 GiB or more)\n");
    EXPECT_EQ(r.out, "");
}

// Nothing but a regular file can hold an image: the rest is refused at once,
// a FIFO without a writer included (its open must not wait for one).
TEST_F(Bufdig, RefusesWhatIsNotARegularFile) {
    std::string fifo = dir.sub("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string sub = dir.sub("subdir");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    std::string out = dir.sub("out");
    for (const std::string &in : {fifo, sub, std::string("/dev/null")}) {
        ProgResult r = run({kProg, "-o", out, in});
        EXPECT_EQ(r.status, 1) << in;
        EXPECT_EQ(r.err, kProg + ": " + in + ": not a regular file\n");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(exists(out)) << in;
    }
}

TEST_F(Bufdig, NoBufferLeavesTheOutputFileAlone) {
    std::string img = dir.sub("img");
    vesk_test::write_file(img, noise(100000, 9));
    std::string out = dir.sub("out");
    vesk_test::write_file(out, "keep me\n");
    struct stat before;
    ASSERT_EQ(stat(out.c_str(), &before), 0);
    usleep(20000);

    ProgResult r = run({kProg, "-o", out, img});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kProg + ": " + img + ": cannot find a message buffer\n");
    EXPECT_EQ(vesk_test::read_file(out), "keep me\n");
    struct stat after;
    ASSERT_EQ(stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

    std::string fresh = dir.sub("fresh");
    r = run({kProg, "-o", fresh, img});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists(fresh));
}

TEST_F(Bufdig, OnePieceIsWrittenByteForByte) {
    std::string img = dir.sub("img");
    // Any bytes pass unchanged, NULs and a missing final line feed included.
    static const char raw[] = "first line\nsecond\0with nul\n";
    std::string text(raw, sizeof raw - 1);
    vesk_test::write_file(img, RingImage(256).add(text).add("no line feed").file_bytes(333, 4096));
    std::string want = text + "no line feed";

    ProgResult r = run({kProg, img});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");

    // To a file: created, the last -o counting; standard output stays empty.
    std::string a = dir.sub("a"), b = dir.sub("b");
    vesk_test::write_file(b, std::string(1000, '#'));  // truncated first
    r = run({kProg, "-o", a, "-o", b, img});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(vesk_test::read_file(b), want);
    EXPECT_FALSE(exists(a));
}

TEST_F(Bufdig, TwoPiecesFollowEachOtherDirectly) {
    std::string img = dir.sub("img");
    RingImage ring(32);
    // 45 bytes into a ring of 32: the b line is damaged and dropped, the
    // c line straddles the ring's end.
    ring.add("aaaaaaa\n").add("bbbbbbbbbbbbbbbbbbbb\n").add("ccccccc\n").add("ddddddd\n");
    vesk_test::write_file(img, ring.file_bytes(1024, 8192));
    // Check the pieces really are two, then what the program makes of them.
    {
        std::string bytes = vesk_test::read_file(img);
        char *b1, *b2;
        int l1, l2;
        ASSERT_EQ(mlog_bufdig(&bytes[0], (int)bytes.size(), &b1, &l1, &b2, &l2), 0);
        ASSERT_GT(l1, 0);
        ASSERT_GT(l2, 0);
        EXPECT_EQ(std::string(b1, (size_t)l1) + std::string(b2, (size_t)l2),
                  "ccccccc\nddddddd\n");
    }
    ProgResult r = run({kProg, img});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ccccccc\nddddddd\n");

    std::string out = dir.sub("out");
    r = run({kProg, "-o", out, img});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(vesk_test::read_file(out), "ccccccc\nddddddd\n");
}

TEST_F(Bufdig, OutputFileThatCannotBeOpened) {
    std::string img = dir.sub("img");
    vesk_test::write_file(img, RingImage(64).add("x\n").file_bytes(0, 200));
    std::string out = dir.sub("no/such/dir");
    ProgResult r = run({kProg, "-o", out, img});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, out + ": No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

// --- real core files ---------------------------------------------------------

/* Starts this program again as the logging child, in `cwd`. */
pid_t start_child(const std::string &mode, const std::string &cwd, const std::string &log) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        setenv(kChildEnv, mode.c_str(), 1);
        setenv("VESK_BUFDIG_CHILD_LOG", log.c_str(), 1);
        setenv("VESK_CONFIG", "/dev/null", 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl("/proc/self/exe", "test_bufdig", (char *)nullptr);
        _exit(127);
    }
    return pid;
}

/* bufdig's text from the child's core: the newest whole lines it logged. */
void check_core_text(const std::string &core, const std::string &log) {
    ProgResult r = run({kProg, core});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string all = vesk_test::read_file(log);
    const std::string &text = r.out;
    ASSERT_FALSE(text.empty());
    ASSERT_LE(text.size(), (size_t)kChildRing);
    // Exactly a tail of what went to the log file, from a line start.
    ASSERT_LT(text.size(), all.size());
    EXPECT_EQ(all.compare(all.size() - text.size(), text.size(), text), 0);
    EXPECT_EQ(all[all.size() - text.size() - 1], '\n');
    EXPECT_GT(text.size(), (size_t)kChildRing - 200);
    char last[64];
    snprintf(last, sizeof last, "API INFO: core message %04d of the child\n", kChildMessages - 1);
    EXPECT_EQ(text.compare(text.size() - strlen(last), strlen(last), last), 0);
}

/* A core of the stopped child taken by gdb's gcore, or "" when none. */
std::string gcore_of_stopped_child(const std::string &mode, const std::string &cwd,
                                   const std::string &log, const std::string &prefix) {
    if (system("command -v gcore >/dev/null 2>&1") != 0) return "";
    pid_t pid = start_child(mode, cwd, log);
    int st = 0;
    if (waitpid(pid, &st, WUNTRACED) != pid) return "";
    std::string cmd = "timeout 60 gcore -o '" + prefix + "' " + std::to_string(pid) +
                      " >/dev/null 2>&1";
    int rc = WIFSTOPPED(st) ? system(cmd.c_str()) : -1;
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    std::string core = prefix + "." + std::to_string(pid);
    return rc == 0 && exists(core) ? core : "";
}

TEST_F(Bufdig, FindsTheLogInACoreDump) {
    std::string pattern = vesk_test::read_file("/proc/sys/kernel/core_pattern");
    std::string cwd = dir.sub("cwd"), log = dir.sub("log");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    std::string core;
    // A core written by the kernel where the pattern puts it in the
    // working directory; otherwise one taken by gcore.
    if (pattern.empty() || pattern[0] != '|') {
        pid_t pid = start_child("abort", cwd, log);
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGABRT) << st;
        if (WCOREDUMP(st)) {
            if (DIR *d = opendir(cwd.c_str())) {
                while (struct dirent *e = readdir(d))
                    if (strncmp(e->d_name, "core", 4) == 0) core = cwd + "/" + e->d_name;
                closedir(d);
            }
        }
    }
    if (core.empty()) core = gcore_of_stopped_child("stop", cwd, log, dir.sub("gcore"));
    if (core.empty())
        GTEST_SKIP() << "no core file to be had (core_pattern " << pattern << ", no gcore)";
    check_core_text(core, log);
}

TEST_F(Bufdig, FindsTheLogInACoreTakenByGcore) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "gcore takes minutes over a sanitizer's shadow memory";
#endif
    std::string cwd = dir.sub("cwd"), log = dir.sub("log");
    ASSERT_EQ(mkdir(cwd.c_str(), 0755), 0);
    std::string core = gcore_of_stopped_child("stop", cwd, log, dir.sub("gcore"));
    if (core.empty()) GTEST_SKIP() << "gcore could not take a core";
    check_core_text(core, log);
}

}  // namespace
