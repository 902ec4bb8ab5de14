/* The administration tools and the version reporter, run as programs. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LogicalFD.h"
#include "Util.h"
#include "run_program.h"
#include "vesk.h"
#include "vesk_test_util.h"

using vesk_test::RunResult;
using vesk_test::TempDir;
using vesk_test::run_program;
using vesk_test::tool;

namespace {

std::string version_lines() {
    return std::string("VESK library:\n\t") + vesk_tag() + "(SVN" + vesk_version() + ", Built" +
           vesk_buildtime() + ")\n";
}

std::string enoent_text() { return strerror(ENOENT); }

class Tools : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        conf = dir.sub("vesk.conf");
        vesk_test::use_config(conf, vesk_test::mount_config("/vc", {dir.sub("c0"), dir.sub("c1")},
                                                            "container") +
                                        vesk_test::mount_config("/vf", {dir.sub("f0")}, "flat"));
    }
    RunResult run(std::vector<std::string> argv) {
        argv[0] = tool(argv[0]);
        return run_program(argv, {{"VESK_CONFIG", conf}});
    }
    TempDir dir;
    std::string conf;
};

TEST_F(Tools, EveryToolAnswersVersionWithoutDoingItsWork) {
    for (const char *t : {"vesk_map", "vesk_check_config", "vesk_recover", "vesk_flatten_index"}) {
        RunResult r = run({t, "-version"});
        EXPECT_EQ(0, r.status) << t;
        EXPECT_EQ(version_lines(), r.out) << t;
        EXPECT_EQ("", r.err) << t;
    }
    // vesk_map looks at -version before it classifies an argument.
    RunResult r = run({"vesk_map", "/vc/missing", "-version"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(version_lines(), r.out);
    EXPECT_EQ("", r.err);
    r = run({"vesk_check_config", "-mkdir", "-version"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(version_lines(), r.out);
}

TEST_F(Tools, MapUsageErrors) {
    std::string usage = "Usage: " + tool("vesk_map") + " [-version] <filename>\n";
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"vesk_map"}, {"vesk_map", "-nc"}, {"vesk_map", "/vc/a", "/vc/b"},
             {"vesk_map", "/vc/a", "/vc/b", "-version"}}) {
        RunResult r = run(args);
        EXPECT_EQ(1, r.status) << args.size();
        EXPECT_EQ(usage, r.err);
        EXPECT_EQ("", r.out);
    }
}

TEST_F(Tools, MissingFileGives254AndTheErrorText) {
    RunResult r = run({"vesk_map", "/vc/missing"});
    EXPECT_EQ(254, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("Couldn't read index from /vc/missing: " + enoent_text() + "\n"));
    // -nc before or after changes nothing.
    EXPECT_EQ(r.err, run({"vesk_map", "-nc", "/vc/missing"}).err);
    EXPECT_EQ(r.err, run({"vesk_map", "/vc/missing", "-nc"}).err);

    r = run({"vesk_recover", "/vc/missing"});
    EXPECT_EQ(254, r.status);
    EXPECT_EQ("Couldn't recover /vc/missing: " + enoent_text() + "\n", r.err);

    r = run({"vesk_flatten_index", "/vc/missing"});
    EXPECT_EQ(254, r.status);
    EXPECT_EQ("Couldn't read index from /vc/missing: " + enoent_text() + "\n", r.err);
}

TEST_F(Tools, RecoverAndFlattenUsage) {
    RunResult r = run({"vesk_recover"});
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("Usage: " + tool("vesk_recover") + " [filename | -version]\n", r.err);
    r = run({"vesk_flatten_index"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Usage: " + tool("vesk_flatten_index") + " <filename>\n", r.err);
}

TEST_F(Tools, CheckConfigReportsAndCreatesBackends) {
    rmdir(dir.sub("c0").c_str());
    rmdir(dir.sub("f0").c_str());
    RunResult r = run({"vesk_check_config", "whatever", "--x"});
    EXPECT_EQ(256 - ENOENT, r.status);
    EXPECT_NE(std::string::npos, r.out.find("ERROR\n"));
    EXPECT_NE(std::string::npos, r.out.find("Backend " + dir.sub("c0") + ": missing"));
    EXPECT_FALSE(Util::exists(dir.sub("c0").c_str()));

    r = run({"vesk_check_config", "junk", "-mkdir"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("SUCCESS\n"));
    EXPECT_TRUE(Util::isDirectory(dir.sub("c0").c_str()));
    EXPECT_TRUE(Util::isDirectory(dir.sub("f0").c_str()));
    r = run({"vesk_check_config"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("Config file: " + conf + "\n"));
    EXPECT_NE(std::string::npos, r.out.find("Mount point /vc: layout container, 2 backends"));
    EXPECT_NE(std::string::npos, r.out.find("Backend " + dir.sub("c1") + ": ok"));

    vesk_test::write_file(conf, "[mount /x]\nbackends = /b\nlayout = wrong\n");
    r = run({"vesk_check_config"});
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find(conf + ":3:"));
    EXPECT_NE(std::string::npos, r.out.find("ERROR\n"));
}

/* vesk_version with a fake `mount` first on PATH. */
class VersionTool : public Tools {
protected:
    void SetUp() override {
        Tools::SetUp();
        bin = dir.sub("bin");
        mkdir(bin.c_str(), 0755);
    }
    void fake_mount(const std::string &listing) {
        vesk_test::write_file(dir.sub("listing"), listing);
        vesk_test::write_file(bin + "/mount", "#!/bin/sh\ncat '" + dir.sub("listing") + "'\n");
        chmod((bin + "/mount").c_str(), 0755);
    }
    RunResult run_version(std::vector<std::string> args = {}) {
        args.insert(args.begin(), tool("vesk_version"));
        return run_program(args,
                           {{"VESK_CONFIG", conf},
                            {"PATH", bin + ":" + std::string(getenv("PATH"))}},
                           dir.path());
    }
    std::string lib_line() {
        return std::string("VESK library:\n\t") + vesk_tag() + " (SVN " + vesk_version() +
               ", Built " + vesk_buildtime() + ")\n";
    }
    std::string bin;
};

TEST_F(VersionTool, HelpAndVersion) {
    fake_mount("");
    RunResult r = run_version({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Usage: " + tool("vesk_version") + " [filepathi | -version]\n", r.out);
    EXPECT_EQ(r.out, run_version({"-h"}).out);
    r = run_version({"-version", "ignored"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(lib_line(), r.out);
}

TEST_F(VersionTool, MountBlocksAndDebugLinesFiltered) {
    std::string m1 = dir.sub("m1"), m2 = dir.sub("m2"), m3 = dir.sub("m3");
    for (auto &m : {m1, m2, m3}) mkdir(m.c_str(), 0755);
    vesk_test::write_file(m1 + "/.veskdebug",
                          "Version 1.2 abc\nBuild today\nnothing here\nchecksum 1234\n"
                          "version lower\n");
    std::string long_line = "Version " + std::string(300, 'x') + "\n";
    vesk_test::write_file(m2 + "/.veskdebug", long_line);
    fake_mount("proc on /proc type proc (rw)\n"
               "veskfs on " + m1 + " type fuse.veskfs (rw,nosuid)\n"
               "vesk\n"
               "novesk x\n"
               "/dev/sda1 on /data type ext4 (rw)\n"
               "veskfs on " + m2 + " type fuse.veskfs (rw)\n"
               "veskfs on " + m3 + " type fuse.veskfs (rw)\n");
    RunResult r = run_version();
    EXPECT_EQ(0, r.status);
    std::string want = lib_line() + "mount: " + m1 + "\n" + "\tVersion 1.2 abc\n\tBuild today\n" +
                       "\tchecksum 1234\n" + "mount: " + m2 + "\n";
    // 255 bytes a piece: the first piece holds the word, the rest do not.
    want += "\t" + long_line.substr(0, 255);
    want += "mount: " + m3 + "\n";
    EXPECT_EQ(want, r.out);
    // m3 has no debug file: cat complains on standard error, nothing else.
    EXPECT_NE(std::string::npos, r.err.find(".veskdebug"));
}

TEST_F(VersionTool, FileVersionErrorStillReportsMounts) {
    fake_mount("veskfs on /nonexistent-mount type fuse.veskfs (rw)\n");
    RunResult r = run_version({"/vc/missing"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(lib_line() + "file: /vc/missing\n\tError: " + enoent_text() + "\n" +
                  "mount: /nonexistent-mount\n",
              r.out);
}

TEST_F(VersionTool, MountPointIsNeverRunByTheShell) {
    std::string pwned = dir.sub("PWNED");
    std::string evil1 = "/tmp/x;touch\t" + pwned;
    std::string evil2 = "/tmp/$(touch\t" + pwned + ")";
    std::string evil3 = "/tmp/`touch\t" + pwned + "`'\"";
    fake_mount("veskfs on " + evil1 + " type fuse.veskfs (rw)\n" + "veskfs on " + evil2 +
               " type fuse.veskfs (rw)\n" + "veskfs on " + evil3 + " type fuse.veskfs (rw)\n");
    RunResult r = run_version();
    EXPECT_EQ(0, r.status);
    EXPECT_FALSE(Util::exists(pwned.c_str()));
    EXPECT_NE(std::string::npos, r.out.find("mount: " + evil1 + "\n"));
    EXPECT_NE(std::string::npos, r.out.find("mount: " + evil3 + "\n"));
}

TEST_F(VersionTool, MissingMountCommand) {
    // An empty PATH entry list: the shell cannot find mount; popen itself
    // still succeeds, so the listing is just empty.
    RunResult r = run_program({tool("vesk_version")}, {{"PATH", bin}}, dir.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(lib_line(), r.out);
}

}  // namespace
