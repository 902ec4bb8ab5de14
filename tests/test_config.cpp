/* The configuration file and path expansion. */
#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "config/Config.h"
#include "config/Expand.h"
#include "vesk_test_util.h"

using vesk_test::TempDir;

namespace {

TEST(ConfigParse, MountsBackendsLayoutsAndSettings) {
    auto c = vesk::config_parse(
        "# comment\n"
        "log_level = info,CONT=dbg2\n"
        "trace = 1\n"
        "\n"
        "[mount /vesk/ckpt/]\n"
        "backends = /scratch/a   /scratch//b  # two\n"
        "layout = container\n"
        "[mount /flat]\n"
        "backends = /x\n"
        "layout = flat\n",
        "f.conf");
    ASSERT_TRUE(c->errors.empty()) << c->errors[0];
    ASSERT_EQ(2u, c->mounts.size());
    EXPECT_EQ("/vesk/ckpt", c->mounts[0].path);
    EXPECT_EQ((std::vector<std::string>{"/scratch/a", "/scratch/b"}), c->mounts[0].backends);
    EXPECT_EQ(vesk::Layout::Container, c->mounts[0].layout);
    EXPECT_EQ(vesk::Layout::Flat, c->mounts[1].layout);
    EXPECT_EQ("info,CONT=dbg2", c->log_level);
    EXPECT_TRUE(c->trace);
}

TEST(ConfigParse, ErrorsNameFileAndLineAndServeNothing) {
    struct Case {
        const char *text;
        int line;
        const char *what;
    } cases[] = {
        {"[mount /a]\nbackends = /b\nlayout = striped\n", 3, "layout"},
        {"[mount relative]\n", 1, "absolute"},
        {"[mount /a]\n", 1, "no backends"},
        {"[mount /a]\nbackends = b\n", 2, "absolute"},
        {"[mount /a\n", 1, "unterminated"},
        {"[volume /a]\n", 1, "expected [mount"},
        {"bogus\n", 1, "key = value"},
        {"colour = red\n", 1, "unknown setting"},
        {"[mount /a]\nbackends=/b\nstripe = 4\n", 3, "unknown mount setting"},
        {"[mount /a]\nbackends=/b\n[mount /a/]\nbackends=/c\n", 3, "twice"},
        {"[mount /a]\nbackends=/b /b\n", 2, "twice"},
        {"trace = maybe\n[mount /a]\nbackends=/b\n", 1, "0 or 1"},
        {"log_buffer = lots\n", 1, "log_buffer"},
    };
    for (const Case &k : cases) {
        auto c = vesk::config_parse(k.text, "bad.conf");
        ASSERT_FALSE(c->errors.empty()) << k.text;
        std::string want = "bad.conf:" + std::to_string(k.line) + ":";
        EXPECT_EQ(0u, c->errors[0].find(want)) << c->errors[0];
        EXPECT_NE(std::string::npos, c->errors[0].find(k.what)) << c->errors[0];
        EXPECT_TRUE(c->mounts.empty()) << k.text;
    }
    // Binary junk is an error too, not a crash.
    std::string junk("\x01\xff[\0]=\n=\n[", 10);
    EXPECT_FALSE(vesk::config_parse(junk, "junk")->errors.empty());
}

TEST(Config, FoundThroughEnvironmentAndReread) {
    TempDir dir;
    auto c = vesk_test::use_config(dir.sub("one.conf"),
                                   vesk_test::mount_config("/one", {dir.sub("b")}, "flat"));
    EXPECT_EQ(dir.sub("one.conf"), c->file);
    EXPECT_EQ(c, vesk::config());
    ASSERT_EQ(1u, c->mounts.size());
    c = vesk_test::use_config(dir.sub("two.conf"), "[mount /broken]\n");
    EXPECT_TRUE(c->mounts.empty());
    EXPECT_FALSE(c->errors.empty());
    char *p = nullptr;
    EXPECT_EQ(-EINVAL, vesk_expand_path("/one/x", &p)) << "a broken file serves nothing";
    EXPECT_EQ(nullptr, p);
    setenv("VESK_CONFIG", dir.sub("absent.conf").c_str(), 1);
    c = vesk::config_reload();
    EXPECT_TRUE(c->mounts.empty());
    ASSERT_FALSE(c->errors.empty());
    EXPECT_NE(std::string::npos, c->errors[0].find("absent.conf"));
}

class Expansion : public ::testing::Test {
protected:
    void SetUp() override {
        text = vesk_test::mount_config("/v", {dir.sub("a0"), dir.sub("a1"), dir.sub("a2")},
                                       "flat") +
               vesk_test::mount_config("/v/deep", {dir.sub("d0")}, "container") +
               vesk_test::mount_config("/vv", {dir.sub("w0")}, "flat");
        vesk_test::use_config(dir.sub("e.conf"), text);
    }
    std::string expand(const char *p, int *ret = nullptr) {
        char *out = nullptr;
        int r = vesk_expand_path(p, &out);
        if (ret) *ret = r;
        std::string s = out ? out : "";
        free(out);
        return s;
    }
    TempDir dir;
    std::string text;
};

TEST_F(Expansion, LongestPrefixOnSlashBoundary) {
    EXPECT_EQ(dir.sub("d0") + "/f", expand("/v/deep/f"));
    EXPECT_EQ(dir.sub("w0") + "/f", expand("/vv/f"));
    EXPECT_EQ(dir.sub("d0"), expand("/v/deep"));
    // "/v/deeper" is below /v, not /v/deep.
    std::string e = expand("/v/deeper");
    EXPECT_EQ(0u, e.find(dir.sub("a")));
    int ret = 0;
    EXPECT_EQ("", expand("/vvv/f", &ret));
    EXPECT_EQ(-ENOENT, ret);
    EXPECT_EQ("", expand("", &ret));
    EXPECT_EQ(-ENOENT, ret);
}

TEST_F(Expansion, StableHashSpreadsOverBackends) {
    std::set<std::string> used;
    for (int i = 0; i < 60; i++) {
        std::string p = "/v/file" + std::to_string(i);
        std::string b = expand(p.c_str());
        EXPECT_EQ(b, expand(p.c_str()));  // the same every time
        EXPECT_EQ(b, expand(("/v//./" + p.substr(3)).c_str()));
        used.insert(b.substr(0, dir.path().size() + 3));
    }
    EXPECT_EQ(3u, used.size());
}

TEST_F(Expansion, AllExpansionsInConfigurationOrder) {
    std::vector<std::string> list;
    ASSERT_EQ(0, find_all_expansions("/v/x/y", list));
    EXPECT_EQ((std::vector<std::string>{dir.sub("a0") + "/x/y", dir.sub("a1") + "/x/y",
                                        dir.sub("a2") + "/x/y"}),
              list);
    std::vector<std::string> none;
    EXPECT_EQ(-ENOENT, find_all_expansions("/nowhere", none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(-EINVAL, find_all_expansions("/v/..", none));
}

TEST_F(Expansion, DotDotIsResolvedInsideTheMountOnly) {
    int ret = 0;
    EXPECT_EQ(expand("/v/b"), expand("/v/a/../b"));
    EXPECT_EQ("", expand("/v/../etc", &ret));
    EXPECT_EQ(-EINVAL, ret);
    EXPECT_EQ("", expand("/v/a/../../../etc/passwd", &ret));
    EXPECT_EQ(-EINVAL, ret);
    // /v/deep/.. climbs out of /v/deep, which is its own mount.
    EXPECT_EQ("", expand("/v/deep/..", &ret));
    EXPECT_EQ(-EINVAL, ret);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ("/a/c", vesk::normalize_path("/a/./b/../c/"));
    EXPECT_EQ("/", vesk::normalize_path("/../.."));
}

}  // namespace
