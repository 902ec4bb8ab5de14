/* MPI programs on vesk: MPI-IO checkpoints and parallel HDF5 under mpirun,
 * through the preload library and through veskfs mounts, on both layouts,
 * with Open MPI's default MPI-IO component (OMPIO) and with ROMIO, whose
 * data sieving patches ranges under record locks. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "preload_test_util.h"
#include "sieve_test_util.h"
#include "veskfs_test_util.h"

#ifndef VESK_MPIEXEC
#define VESK_MPIEXEC ""
#endif

namespace {

using vesk_test::RunResult;
using vesk_test::TempDir;
using Env = std::vector<std::pair<std::string, std::string>>;

const int kRounds = 24;
const char *kLayouts[] = {"strided", "segmented"};
const char *kWays[] = {"coll", "indep", "view", "viewcoll"};

std::string mpi_prog(const std::string &name) {
    return std::string(VESK_BINARY_DIR) + "/tests/mpi/" + name;
}

std::string no_mpi_reason() {
    if (!*VESK_MPIEXEC) return "MPI was not found at configure time (openmpi-bin, libopenmpi-dev)";
    if (access(VESK_MPIEXEC, X_OK) != 0) return std::string(VESK_MPIEXEC) + " cannot be run";
    return "";
}

/* mpirun -np `np` with `exported` passed to the ranks only; `io` picks the
 * MPI-IO component ("" for the default). Bounded in time. */
RunResult mpirun(int np, const std::string &io, const Env &exported,
                 const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"/usr/bin/timeout", "-k", "5", "150", VESK_MPIEXEC,
                                     "--allow-run-as-root", "--oversubscribe", "-np",
                                     std::to_string(np)};
    if (!io.empty()) argv.insert(argv.end(), {"--mca", "io", io});
    for (auto &kv : exported) argv.insert(argv.end(), {"-x", kv.first + "=" + kv.second});
    argv.insert(argv.end(), args.begin(), args.end());
    // Cross-memory attach needs ptrace rights a container may not grant.
    return vesk_test::run_program(argv, {{"OMPI_MCA_btl_vader_single_copy_mechanism", "none"}});
}

int count_lines_with(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') out.push_back(e->d_name);
    closedir(d);
    return out;
}

/* Number of data logs of the container `name` in any of `backends`, or -1
 * when no backend holds a container of that name. */
int data_logs(const std::vector<std::string> &backends, const std::string &name) {
    for (const std::string &b : backends) {
        std::string c = b + "/" + name;
        struct stat st;
        if (stat((c + "/.vesk_container").c_str(), &st) != 0) continue;
        int n = 0;
        for (const std::string &h : entries(c))
            if (h.rfind("hostdir.", 0) == 0)
                for (const std::string &f : entries(c + "/" + h)) n += f.rfind("data.", 0) == 0;
        return n;
    }
    return -1;
}

/* Writes every checkpoint file into each of `dirs` with 4 ranks, then reads
 * them back with 3, checking every byte. */
void write_and_check(const std::string &io, const Env &exported,
                     const std::vector<std::string> &dirs) {
    std::vector<std::string> w = {mpi_prog("mpi_checkpoint"), "write", "11", std::to_string(kRounds)};
    w.insert(w.end(), dirs.begin(), dirs.end());
    RunResult r = mpirun(4, io, exported, w);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> rd = {mpi_prog("mpi_checkpoint"), "read", "4", "11",
                                   std::to_string(kRounds)};
    rd.insert(rd.end(), dirs.begin(), dirs.end());
    r = mpirun(3, io, exported, rd);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count_lines_with(r.out, "bytes whole"), 8 * (int)dirs.size()) << r.out << r.err;
}

class MpiTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = no_mpi_reason();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

/* Two veskfs daemons, a container mount and a flat mount, over fresh
 * backends. */
struct Mounts {
    TempDir tmp;
    std::string conf, container, flat;
    std::vector<std::string> container_backends, flat_backends;
    std::unique_ptr<veskfs_test::Daemon> dc, df;
    std::string why;

    bool start() {
        why = veskfs_test::no_fuse_reason();
        if (!why.empty()) return false;
        conf = tmp.sub("vesk.conf");
        container = tmp.sub("mc");
        flat = tmp.sub("mf");
        mkdir(container.c_str(), 0755);
        mkdir(flat.c_str(), 0755);
        container_backends = {tmp.sub("b1"), tmp.sub("b2")};
        flat_backends = {tmp.sub("fb")};
        vesk_test::write_file(conf, vesk_test::mount_config(container, container_backends, "container") +
                                        vesk_test::mount_config(flat, flat_backends, "flat"));
        dc.reset(new veskfs_test::Daemon(container, tmp.sub("c.log"), {}, conf));
        df.reset(new veskfs_test::Daemon(flat, tmp.sub("f.log"), {}, conf));
        return dc->start(&why) && df->start(&why);
    }
};

class MpiCheckpoint : public MpiTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MpiCheckpoint, ThroughThePreload) {
    vesk_test::PreloadEnv env;
    write_and_check(GetParam(), {{"LD_PRELOAD", vesk_test::preload_value()}, {"VESK_CONFIG", env.conf}},
                    {env.container, env.flat});
    // The ranks wrote through vesk (the mount points do not exist in the
    // kernel's file system), each as a writer of its own where each wrote.
    for (const char *l : kLayouts) {
        for (const char *w : kWays) {
            std::string name = std::string(l) + "." + w;
            int logs = data_logs({env.backends[0], env.backends[1]}, name);
            EXPECT_GE(logs, 1) << name << " is not a container";
            if (!strcmp(w, "indep") || !strcmp(w, "view")) {
                EXPECT_EQ(logs, 4) << name;
            }
            struct stat st = {};
            EXPECT_EQ(stat((env.backends[2] + "/" + name).c_str(), &st), 0) << name;
            EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        }
    }
}

TEST_P(MpiCheckpoint, ThroughVeskfs) {
    Mounts m;
    if (!m.start()) GTEST_SKIP() << m.why;
    write_and_check(GetParam(), {}, {m.container, m.flat});
    for (const char *l : kLayouts)
        for (const char *w : kWays) {
            std::string name = std::string(l) + "." + w;
            EXPECT_GE(data_logs(m.container_backends, name), 1) << name << " is not a container";
        }
    EXPECT_TRUE(m.dc->stop()) << vesk_test::read_file(m.dc->log());
    EXPECT_TRUE(m.df->stop()) << vesk_test::read_file(m.df->log());
}

// "" is Open MPI's default MPI-IO component (OMPIO in Debian's build).
INSTANTIATE_TEST_SUITE_P(Io, MpiCheckpoint, ::testing::Values("", "romio321"),
                         [](const ::testing::TestParamInfo<std::string> &i) {
                             return i.param.empty() ? std::string("default") : i.param;
                         });

// The checker must be able to fail: a plain-directory checkpoint passes,
// and one byte changed in one file fails that file only.
TEST_F(MpiTest, CheckerFindsOneWrongByte) {
    TempDir tmp;
    write_and_check("", {}, {tmp.path()});
    if (HasFailure()) return;
    std::string victim = tmp.sub("segmented.view");
    int fd = open(victim.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char c = 0;
    ASSERT_EQ(pread(fd, &c, 1, 12345), 1);
    c ^= 1;
    ASSERT_EQ(pwrite(fd, &c, 1, 12345), 1);
    close(fd);
    RunResult r = mpirun(2, "", {}, {mpi_prog("mpi_checkpoint"), "read", "4", "11",
                                     std::to_string(kRounds), tmp.path()});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(count_lines_with(r.out, "bytes whole"), 7) << r.out;
    EXPECT_NE(r.out.find("segmented.view: BAD: size " ), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 wrong bytes, the first at 12345"), std::string::npos) << r.out;
}

// Record locks on a veskfs mount are the kernel's own (the daemon serves
// no lock requests): they conflict between processes, and a holder reads
// what the previous holder wrote. (No MPI needed.)
TEST(MpiVeskfs, ServesRecordLocks) {
    Mounts m;
    if (!m.start()) GTEST_SKIP() << m.why;
    for (const std::string &mnt : {m.container, m.flat}) {
        std::string f = mnt + "/locked";
        int fd = open(f.c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 4096;
        fl.l_len = 100;
        ASSERT_EQ(fcntl(fd, F_SETLK, &fl), 0) << strerror(errno);
        pid_t me = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            int c = open(f.c_str(), O_RDWR);
            struct flock q = {};
            q.l_type = F_WRLCK;
            q.l_whence = SEEK_SET;
            q.l_start = 4150;
            q.l_len = 1;
            int code = 0;
            if (fcntl(c, F_SETLK, &q) == 0 || (errno != EAGAIN && errno != EACCES)) code |= 1;
            if (fcntl(c, F_GETLK, &q) != 0 || q.l_type != F_WRLCK || q.l_pid != me) code |= 2;
            q.l_type = F_WRLCK;
            q.l_start = 4196;  // just past the parent's range
            if (fcntl(c, F_SETLK, &q) != 0) code |= 4;
            _exit(code);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << mnt << ": " << st;
        close(fd);
        EXPECT_EQ(vesk_test::sieve_two_processes(mnt + "/sieve"), "") << mnt;
    }
}

// vesk_bench --mpi: the 3 ranks write (3 writers), the first 2 read, every
// pattern on every target; its check fails when a byte was changed.
TEST_F(MpiTest, BenchRanksAreTheWritersAndReaders) {
    TempDir tmp;
    std::string bench = std::string(VESK_BINARY_DIR) + "/bench/vesk_bench";
    std::vector<std::string> args = {bench, "--mpi", "-B", "8", "-T", "5000", "-q", "--csv",
                                     "-t", "raw,container,flat,preload", "-s", "-d", tmp.path()};
    RunResult r = mpirun(3, "", {}, args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    int rows = 0;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("rep,", 0) == 0) continue;
        std::vector<std::string> f;
        std::istringstream ls(line);
        for (std::string x; std::getline(ls, x, ',');) f.push_back(x);
        ASSERT_EQ(f.size(), 12u) << line;
        EXPECT_EQ(f[4], f[3] == "read" ? "2" : "3") << line;  // procs
        EXPECT_EQ(f[7], std::to_string(3 * 8 * 5000)) << line;
        rows++;
    }
    EXPECT_EQ(rows, 3 * 4 * 3) << r.out;  // patterns x targets x phases
    EXPECT_TRUE(entries(tmp.path()).empty()) << "left behind in " << tmp.path();

    args = {bench, "--mpi", "-B", "8", "-T", "5000", "-q", "-p", "n1i", "-t", "raw", "--damage",
            "-d", tmp.path()};
    r = mpirun(3, "", {}, args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("verification FAILED"), std::string::npos) << r.err;
}

class MpiHdf5 : public MpiTest {
protected:
    void SetUp() override {
        MpiTest::SetUp();
        if (IsSkipped()) return;
#ifndef VESK_HAVE_HDF5
        GTEST_SKIP() << "parallel HDF5 was not found at configure time (libhdf5-openmpi-dev)";
#endif
        if (!*VESK_H5DIFF || !*VESK_H5DUMP) GTEST_SKIP() << "h5diff or h5dump missing (hdf5-tools)";
    }

    /* h5diff and h5dump see no difference between `plain` and `other`
     * (run with `env`); the files are byte for byte the same too. */
    void same(const std::string &plain, const std::string &other, const Env &env) {
        RunResult d = vesk_test::run_program({VESK_H5DIFF, "-r", plain, other}, env);
        EXPECT_EQ(d.status, 0) << other << ":\n" << d.out << d.err;
        EXPECT_EQ(count_lines_with(d.out, "0 differences found"), 3) << d.out;
        RunResult a = vesk_test::run_program({VESK_H5DUMP, plain});
        RunResult b = vesk_test::run_program({VESK_H5DUMP, other}, env);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        // The first line names the file.
        EXPECT_EQ(a.out.substr(a.out.find('\n')), b.out.substr(b.out.find('\n'))) << other;
        EXPECT_GT(a.out.size(), 100000u);
        RunResult c = vesk_test::run_program({"/usr/bin/cmp", plain, other}, env);
        EXPECT_EQ(c.status, 0) << c.out << c.err;
    }
};

TEST_F(MpiHdf5, ThroughThePreloadAndVeskfsAsOnAPlainDirectory) {
    vesk_test::PreloadEnv env;
    std::string plain = env.plain + "/ckpt.h5";
    // One run writes the plain file (the preload passes it through) and
    // the two vesk ones.
    RunResult r = mpirun(4, "", {{"LD_PRELOAD", vesk_test::preload_value()}, {"VESK_CONFIG", env.conf}},
                         {mpi_prog("mpi_hdf5"), plain, env.container + "/ckpt.h5",
                          env.flat + "/ckpt.h5"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(count_lines_with(r.out, ": whole"), 3) << r.out;
    EXPECT_GE(data_logs({env.backends[0], env.backends[1]}, "ckpt.h5"), 1);
    Env pre = {{"LD_PRELOAD", vesk_test::preload_value()}, {"VESK_CONFIG", env.conf}};
    same(plain, env.container + "/ckpt.h5", pre);
    same(plain, env.flat + "/ckpt.h5", pre);

    Mounts m;
    if (!m.start()) GTEST_SKIP() << m.why;
    r = mpirun(4, "", {}, {mpi_prog("mpi_hdf5"), m.container + "/ckpt.h5", m.flat + "/ckpt.h5"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    same(plain, m.container + "/ckpt.h5", {});
    same(plain, m.flat + "/ckpt.h5", {});
}

}  // namespace
