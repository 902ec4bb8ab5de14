/*
 * The installation as a packager and a user see it: cmake --install into
 * a temporary prefix (and into a DESTDIR), the files where they belong,
 * only the interface exported under its version, and a C program built
 * with pkg-config and a C++ program built with CMake against it, run on a
 * real mount of the library.
 */
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "run_program.h"
#include "vesk_test_util.h"

using namespace vesk_test;

namespace {

RunResult sh(const std::string &script, const std::vector<std::pair<std::string, std::string>> &env = {}) {
    return run_program({"/bin/sh", "-c", script}, env);
}

bool have(const std::string &cmd) { return sh("command -v " + cmd).status == 0; }

bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

std::string link_of(const std::string &p) {
    char buf[4096];
    ssize_t n = readlink(p.c_str(), buf, sizeof buf - 1);
    return n < 0 ? "" : std::string(buf, (size_t)n);
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (!l.empty()) out.push_back(l);
    return out;
}

// What the library may export: the C interface and log, the globals, and
// the layer's classes and functions (demangled names).
bool allowed(const std::string &name) {
    static const char *const kPrefixes[] = {
        "vesk_", "mlog", "flatfs", "containerfs", "container_", "find_all_expansions(",
        "LogicalFileSystem::", "Vesk_fd::", "FlatFileSystem::", "Flat_fd::",
        "ContainerFileSystem::", "Container_fd::", "Container_OpenFile::", "LogMessage::",
        "ThreadPool::", "Util::"};
    static const char *const kClasses[] = {
        "LogicalFileSystem", "Vesk_fd",      "FlatFileSystem", "Flat_fd",   "ContainerFileSystem",
        "Container_fd",      "Container_OpenFile", "LogMessage", "ThreadPool"};
    for (const char *p : kPrefixes)
        if (name.compare(0, strlen(p), p) == 0) return true;
    for (const char *c : kClasses)
        for (const char *what : {"vtable for ", "typeinfo for ", "typeinfo name for "})
            if (name == std::string(what) + c) return true;
    return false;
}

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(VESK_SANITIZE_BUILD) != "")
            GTEST_SKIP() << "a sanitizer build installs a library that plain programs cannot link";
        for (const char *t : {"cc", "c++", "pkg-config", "cmake", "nm", "objdump", "readelf"})
            if (!have(t)) GTEST_SKIP() << t << " not installed";
        ASSERT_TRUE(tmp.ok());
        prefix = tmp.sub("prefix");
        RunResult r = run_program({"/usr/bin/env", "cmake", "--install", VESK_BINARY_DIR, "--prefix", prefix});
        ASSERT_EQ(0, r.status) << r.out << r.err;
        lib = prefix + "/lib/libvesk.so.0";
        // A flat mount for the programs to use.
        std::string back = tmp.sub("back");
        mkdir(back.c_str(), 0755);
        conf = tmp.sub("vesk.conf");
        write_file(conf, mount_config("/inst", {back}, "flat"));
        backend = back;
    }
    TempDir tmp;
    std::string prefix, lib, conf, backend;
};

TEST_F(Install, FilesLandWhereAPackagerExpects) {
    // The library with its links and SONAME.
    EXPECT_EQ("libvesk.so.0", link_of(prefix + "/lib/libvesk.so"));
    std::string real = link_of(lib);
    EXPECT_EQ(0u, real.find("libvesk.so.0.")) << real;
    EXPECT_TRUE(exists(prefix + "/lib/" + real));
    RunResult r = run_program({"/bin/sh", "-c", "readelf -d '" + lib + "'"});
    EXPECT_NE(std::string::npos, r.out.find("Library soname: [libvesk.so.0]")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("RUNPATH")) << "the library needs no search path";

    for (const char *f : {"include/vesk/vesk.h", "include/vesk/mlog.h", "include/vesk/LogicalFS.h",
                          "lib/pkgconfig/vesk.pc", "lib/cmake/vesk/veskConfig.cmake",
                          "lib/cmake/vesk/veskConfigVersion.cmake", "lib/cmake/vesk/veskTargets.cmake",
                          "share/man/man8/veskfs.8", "share/man/man5/vesk.conf.5",
                          "share/man/man1/vesk_map.1", "share/man/man1/vesk_check_config.1",
                          "share/man/man1/msgsink.1", "share/man/man1/vesk_fsck.1",
                          "share/doc/vesk/LICENSE",
                          "libexec/vesk/access", "libexec/vesk/rename"})
        EXPECT_TRUE(exists(prefix + "/" + f)) << f;
    EXPECT_NE(std::string::npos,
              read_file(prefix + "/share/doc/vesk/LICENSE").find("BSD 3-Clause License"));
    EXPECT_FALSE(exists(prefix + "/bin/rename")) << "would shadow the system's rename";

    // The preload library beside libvesk, which it finds there; vesk_run
    // finds the library of its own installation and serves a plain shell.
    std::string pre = prefix + "/lib/libvesk_preload.so";
    ASSERT_TRUE(exists(pre));
    EXPECT_TRUE(exists(prefix + "/share/man/man1/vesk_run.1"));
    r = sh("ldd '" + pre + "'");
    EXPECT_NE(std::string::npos, r.out.find(prefix + "/lib/libvesk.so.0")) << r.out;
    r = run_program({prefix + "/bin/vesk_run", "/bin/sh", "-c",
                     "echo preloaded > /inst/pre && cat /inst/pre && ls /inst"},
                    {{"VESK_CONFIG", conf}, {"VESK_PRELOAD_LIB", ""}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("preloaded\npre\n", r.out) << r.err;
    EXPECT_EQ("preloaded\n", read_file(backend + "/pre"));

    // The tools are in bin/, each with its man page.
    std::vector<std::string> progs = {"vesk_map",     "vesk_check_config", "vesk_recover",
                                      "vesk_flatten_index", "vesk_version", "vesk_fsck",
                                      "msgsink",      "bufdig",       "vesk_run"};
    if (exists(std::string(VESK_BINARY_DIR) + "/tools/veskfs")) progs.push_back("veskfs");
    for (const std::string &p : progs) {
        EXPECT_TRUE(exists(prefix + "/bin/" + p)) << p;
        std::string page = p == "veskfs" ? "/share/man/man8/veskfs.8" : "/share/man/man1/" + p + ".1";
        EXPECT_TRUE(exists(prefix + page)) << page;
    }
    r = run_program({prefix + "/bin/vesk_check_config", "-version"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("VESK library:")) << r.out;
    r = run_program({prefix + "/bin/vesk_check_config"}, {{"VESK_CONFIG", conf}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    r = run_program({prefix + "/libexec/vesk/access", "/inst"}, {{"VESK_CONFIG", conf}});
    EXPECT_NE(127, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("error while loading")) << r.err;

    // A staged install for a package: DESTDIR in front of the prefix.
    std::string stage = tmp.sub("stage");
    r = run_program({"/usr/bin/env", "cmake", "--install", VESK_BINARY_DIR, "--prefix", "/opt/vesk-test"},
                    {{"DESTDIR", stage}});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(exists(stage + "/opt/vesk-test/lib/libvesk.so.0"));
    EXPECT_TRUE(exists(stage + "/opt/vesk-test/include/vesk/vesk.h"));
    EXPECT_FALSE(exists("/opt/vesk-test")) << "DESTDIR ignored";
}

TEST_F(Install, ExportsOnlyTheInterfaceUnderItsVersion) {
    RunResult r = run_program({"/bin/sh", "-c", "nm -D -C --defined-only '" + lib + "'"});
    ASSERT_EQ(0, r.status) << r.err;
    std::set<std::string> names;
    for (const std::string &l : lines(r.out)) {
        // "address type name"
        std::istringstream in(l);
        std::string addr, type;
        in >> addr >> type;
        std::string name;
        std::getline(in, name);
        name.erase(0, name.find_first_not_of(' '));
        if (type == "A") continue;  // the version node itself
        size_t at = name.rfind("@@");
        EXPECT_NE(std::string::npos, at) << "no version: " << name;
        if (at != std::string::npos) name.erase(at);
        names.insert(name);
        EXPECT_TRUE(allowed(name)) << "exported but not part of the interface: " << name;
    }
    for (const char *want : {"vesk_open", "vesk_readdir", "vesk_config_check", "vesk_mount_info",
                             "vesk_tag", "vesk_dump_config", "mlog", "mlog_xst", "mlog_bufdig",
                             "flatfs", "containerfs", "LogMessage::Dump[abi:cxx11]()",
                             "vesk_debug", "vesk_flush", "vesk_refresh", "vesk_set_creator", "vesk_syncdir"})
        EXPECT_TRUE(names.count(want)) << want << " is not exported";
    bool has_util = false, has_pool = false, has_expand = false, has_scrub = false;
    for (const std::string &n : names) {
        auto starts = [&](const std::string &p) { return n.compare(0, p.size(), p) == 0; };
        has_util |= starts("Util::Open(");
        has_pool |= starts("ThreadPool::ThreadPool(");
        has_expand |= starts("vesk_expand_path(");
        has_scrub |= starts("vesk_scrub(");
    }
    EXPECT_TRUE(has_util && has_pool && has_expand && has_scrub);

    // Every defined dynamic symbol carries the version VESK_0.
    r = run_program({"/bin/sh", "-c", "objdump -T '" + lib + "'"});
    ASSERT_EQ(0, r.status);
    size_t defined = 0;
    for (const std::string &l : lines(r.out)) {
        if (l.find("DF ") == std::string::npos && l.find("DO ") == std::string::npos) continue;
        if (l.find("*UND*") != std::string::npos) continue;
        defined++;
        EXPECT_NE(std::string::npos, l.find(" VESK_0 ")) << l;
    }
    EXPECT_GT(defined, 40u);
}

const char *kCProgram = R"(
#include <vesk.h>
#include <mlog.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

static int show(const char *name, void *arg) {
    (void)arg;
    printf("entry %s\n", name);
    return 0;
}

int main(int argc, char **argv) {
    char msg[512];
    Vesk_fd *fd = NULL;
    char buf[16] = {0};
    int r = vesk_open(&fd, "/inst/out", O_CREAT | O_RDWR, getpid(), 0644, NULL);
    if (r == -EINVAL && vesk_config_check(msg, sizeof msg) == -EINVAL) {
        printf("config %s\n", msg);
        return 3;
    }
    if (r < 0) return 1;
    if (vesk_write(fd, argv[argc - 1], strlen(argv[argc - 1]), 0, getpid()) < 0) return 1;
    if (vesk_flush(fd, getpid()) != 0 || vesk_sync(fd, getpid()) != 0) return 1;
    if (vesk_read(fd, buf, sizeof buf - 1, 0) < 0) return 1;
    printf("read %s\n", buf);
    if (vesk_close(fd, getpid(), getuid(), O_RDWR, NULL) != 0) return 1;
    return vesk_readdir("/inst", show, NULL) != 0;
}
)";

TEST_F(Install, CProgramBuildsWithPkgConfig) {
    std::string src = tmp.sub("app.c"), app = tmp.sub("app_c");
    write_file(src, kCProgram);
    std::string pc = "PKG_CONFIG_PATH='" + prefix + "/lib/pkgconfig' pkg-config";
    RunResult r = sh(pc + " --modversion vesk && cc -std=c99 -Wall -Wextra -Werror -pedantic '" +
                     src + "' -o '" + app + "' $(" + pc + " --cflags --libs vesk) -Wl,-rpath,'" +
                     prefix + "/lib'");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    r = run_program({app, "from-c"}, {{"VESK_CONFIG", conf}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("read from-c\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("entry out\n")) << r.out;
    EXPECT_EQ("from-c", read_file(backend + "/out"));
    // It runs against the installed library, not the build tree's.
    r = sh("ldd '" + app + "'");
    EXPECT_NE(std::string::npos, r.out.find(prefix + "/lib/libvesk.so.0")) << r.out;

    std::string bad = tmp.sub("bad.conf");
    write_file(bad, "[mount /inst]\nbackends = " + backend + "\nlayuot = flat\n");
    r = run_program({app, "x"}, {{"VESK_CONFIG", bad}});
    EXPECT_EQ(3, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("config " + bad + ":3: ")) << r.out;
}

TEST_F(Install, CxxProgramBuildsWithTheCMakePackage) {
    std::string dir = tmp.sub("cxx");
    mkdir(dir.c_str(), 0755);
    write_file(dir + "/CMakeLists.txt",
               "cmake_minimum_required(VERSION 3.16)\n"
               "project(uses_vesk CXX)\n"
               "set(CMAKE_CXX_STANDARD 17)\n"
               "find_package(vesk 0 REQUIRED)\n"
               "add_executable(app app.cpp)\n"
               "target_compile_options(app PRIVATE -Wall -Wextra -Werror)\n"
               "target_link_libraries(app PRIVATE vesk::vesk)\n");
    // Every installed header compiles on its own in C++.
    std::string includes;
    for (const char *h : {"vesk.h", "mlog.h", "LogicalFS.h", "LogicalFD.h", "FlatFileFS.h",
                          "FlatFileFD.h", "ContainerFS.h", "ContainerFD.h", "LogMessage.h",
                          "ThreadPool.h", "Util.h"})
        includes += std::string("#include <") + h + ">\n";
    write_file(dir + "/app.cpp", includes + R"(
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv) {
    Vesk_fd *fd = nullptr;
    // The C++ forms: no option records, a set for the listing.
    if (vesk_open(&fd, "/inst/cxx", O_CREAT | O_WRONLY, getpid(), 0644) != 0) return 1;
    const char *text = argv[argc - 1];
    if (vesk_write(fd, text, strlen(text), 0, getpid()) != (ssize_t)strlen(text)) return 1;
    if (vesk_close(fd, getpid(), getuid(), O_WRONLY) != 0) return 1;
    Vesk_dirents names;
    if (vesk_readdir("/inst", &names) != 0) return 1;
    for (const std::string &n : names) printf("entry %s\n", n.c_str());
    // The exported file-system object answers directly too.
    struct stat st;
    if (flatfs.getattr("/inst/cxx", &st, 0) != 0) return 1;
    printf("size %lld\n", (long long)st.st_size);
    return 0;
}
)");
    RunResult r = run_program({"/usr/bin/env", "cmake", "-S", dir, "-B", dir + "/build",
                               "-DCMAKE_PREFIX_PATH=" + prefix});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    r = run_program({"/usr/bin/env", "cmake", "--build", dir + "/build"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    r = run_program({dir + "/build/app", "from-c++"}, {{"VESK_CONFIG", conf}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("entry cxx\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("size 8\n")) << r.out;
    EXPECT_EQ("from-c++", read_file(backend + "/cxx"));
}

}  // namespace
