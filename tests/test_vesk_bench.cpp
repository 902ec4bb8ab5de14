/* vesk_bench run as a program with tiny sizes: every pattern and target
 * verifies, a damaged byte is caught, bad options are refused. */
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "run_program.h"
#include "vesk_test_util.h"

using vesk_test::RunResult;
using vesk_test::TempDir;
using vesk_test::run_program;

namespace {

std::string bench() { return std::string(VESK_BINARY_DIR) + "/bench/vesk_bench"; }

bool built() {
    struct stat st;
    return stat(bench().c_str(), &st) == 0;
}

RunResult run(const std::vector<std::string> &args, const std::string &tmp) {
    std::vector<std::string> argv{bench()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {{"TMPDIR", tmp}});
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, sep)) out.push_back(item);
    return out;
}

// CSV rows as maps from column name to text.
std::vector<std::map<std::string, std::string>> csv_rows(const std::string &text) {
    std::vector<std::string> lines = split(text, '\n');
    std::vector<std::map<std::string, std::string>> rows;
    if (lines.empty()) return rows;
    std::vector<std::string> cols = split(lines[0], ',');
    for (size_t i = 1; i < lines.size(); i++) {
        if (lines[i].empty() || lines[i][0] == '#') continue;
        std::vector<std::string> f = split(lines[i], ',');
        std::map<std::string, std::string> row;
        for (size_t c = 0; c < cols.size() && c < f.size(); c++) row[cols[c]] = f[c];
        rows.push_back(row);
    }
    return rows;
}

size_t entries_in(const std::string &dir) {
    size_t n = 0;
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    while (struct dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n++;
    closedir(d);
    return n;
}

TEST(VeskBench, EveryPatternAndTargetVerifies) {
    ASSERT_TRUE(built()) << bench() << " is not built";
    TempDir tmp;
    ASSERT_TRUE(tmp.ok());
    // 1000-byte blocks end in a partial sector; 2 readers split 27 blocks
    // unevenly; --fsync adds the sync phase.
    RunResult r = run({"-P", "3", "-B", "9", "-T", "1000", "-R", "2", "--fsync", "--csv", "-q"},
                      tmp.path());
    ASSERT_EQ(0, r.status) << r.err;
    auto rows = csv_rows(r.out);
    std::set<std::string> seen;
    for (auto &row : rows) {
        seen.insert(row["pattern"] + "/" + row["target"] + "/" + row["phase"]);
        EXPECT_EQ("27000", row["bytes"]);
        EXPECT_EQ(row["phase"] == "read" ? "2" : "3", row["procs"]);
        EXPECT_GT(std::stod(row["mib_per_s"]), 0.0);
        if (row["target"] == "raw") {
            EXPECT_DOUBLE_EQ(1.0, std::stod(row["x_raw"]));
        }
    }
    for (const char *p : {"n1i", "n1s", "nn"})
        for (const char *t : {"raw", "container", "flat"})
            for (const char *ph : {"write", "fsync", "read"})
                EXPECT_EQ(1u, seen.count(std::string(p) + "/" + t + "/" + ph)) << p << t << ph;
    EXPECT_EQ(27u, rows.size());
    EXPECT_EQ(0u, entries_in(tmp.path())) << "the run left files behind";
}

TEST(VeskBench, DamagedByteFailsTheRun) {
    ASSERT_TRUE(built());
    TempDir tmp;
    for (const char *pattern : {"n1i", "nn"}) {
        RunResult r = run({"-P", "2", "-B", "6", "-T", "4096", "-t", "raw", "-p", pattern,
                           "--damage", "-q"},
                          tmp.path());
        EXPECT_EQ(2, r.status) << pattern << ": " << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find("verification FAILED")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("is wrong")) << r.err;
    }
}

TEST(VeskBench, IndexTestReportsCompactIndex) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator reports nothing to mallinfo2";
#endif
    ASSERT_TRUE(built());
    TempDir tmp;
    RunResult r = run({"--index-test", "20000", "-P", "4", "--csv", "-q"}, tmp.path());
    ASSERT_EQ(0, r.status) << r.err;
    auto rows = csv_rows(r.out);
    ASSERT_EQ(1u, rows.size()) << r.out;
    EXPECT_EQ("20000", rows[0]["entries"]);
    // The merged index read from the logs holds every piece; read from its
    // flattened copy, the writers' stripes are one period of four pieces.
    double merged = std::stod(rows[0]["bytes_per_entry_merge"]);
    double flat = std::stod(rows[0]["bytes_per_entry_flat"]);
    EXPECT_GT(merged, 0.0);
    EXPECT_LE(merged, 64.0);
    EXPECT_GE(flat, 0.0);
    EXPECT_LT(flat, merged / 10);
}

TEST(VeskBench, BadOptionsAreRefused) {
    ASSERT_TRUE(built());
    TempDir tmp;
    const std::vector<std::vector<std::string>> bad = {
        {"-P", "0"},          {"-T", "4"},         {"-B", "x"},
        {"-p", "n1i,bogus"},  {"-t", "nfs"},       {"--no-such-option"},
        {"-P"},               {"extra-argument"},  {"--index-test", "3", "-P", "4"},
        {"--dir", tmp.sub("missing")}};
    for (const auto &args : bad) {
        RunResult r = run(args, tmp.path());
        EXPECT_EQ(1, r.status) << args[0];
        EXPECT_NE(std::string::npos, r.err.find("vesk_bench: ")) << args[0] << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << args[0];
    }
    RunResult h = run({"--help"}, tmp.path());
    EXPECT_EQ(0, h.status);
    for (const char *opt : {"--writers", "--blocks", "--block-size", "--readers", "--patterns",
                            "--targets", "--fsync", "--dir", "--repeat", "--drop-caches", "--csv",
                            "--keep", "--damage", "--quiet", "--index-test", "--help"})
        EXPECT_NE(std::string::npos, h.out.find(opt)) << opt;
}

}  // namespace

namespace {

// The pids of `pid`'s children, from /proc.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::stringstream in(vesk_test::read_file(dir + "/" + e->d_name + "/children"));
        pid_t c;
        while (in >> c) out.push_back(c);
    }
    closedir(d);
    return out;
}

bool alive(pid_t p) {
    // A zombie left unreaped by a dead parent is reaped by init soon; what
    // must not be is a process still running.
    std::string st = vesk_test::read_file("/proc/" + std::to_string(p) + "/stat");
    if (st.empty()) return false;
    size_t rp = st.rfind(')');
    return rp != std::string::npos && rp + 2 < st.size() && st[rp + 2] != 'Z';
}

// Interrupted mid-run, the benchmark takes its writers and its scratch
// directory with it, and still dies of the signal.
TEST(VeskBench, InterruptedRunLeavesNothingBehind) {
    if (!built()) GTEST_SKIP() << "vesk_bench not built";
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir tmp;
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("TMPDIR", tmp.path().c_str(), 1);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(bench().c_str(), "vesk_bench", "-P", "3", "-B", "1000000", "-T", "4096", "-t",
                  "container", "-p", "n1i", "-q", (char *)nullptr);
            _exit(127);
        }
        // Wait until the writers are at work: children and a scratch directory.
        std::vector<pid_t> kids;
        for (int i = 0; i < 500 && (kids.size() < 3 || entries_in(tmp.path()) == 0); i++) {
            usleep(10000);
            kids = children_of(pid);
        }
        ASSERT_GE(kids.size(), 3u) << "no writers seen";
        ASSERT_GT(entries_in(tmp.path()), 0u);
        usleep(100000);
        ASSERT_EQ(0, kill(pid, sig));
        int st = 0;
        ASSERT_EQ(pid, waitpid(pid, &st, 0));
        EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig) << st;
        EXPECT_EQ(0u, entries_in(tmp.path())) << "scratch files left in " << tmp.path();
        for (pid_t k : kids) {
            EXPECT_FALSE(alive(k)) << "writer " << k << " outlived the run";
            if (alive(k)) kill(k, SIGKILL);
        }
    }
}

}  // namespace
