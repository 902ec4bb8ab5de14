/* Bad input, table by table: malformed configurations, damaged
 * containers, over-long names, ".." escapes, paths under no mount point
 * and operations refused to an unprivileged user. Each must give a clear
 * error and leave the other files of the mount as they were. */
#include "container_test_util.h"
#include "run_program.h"

#include "container/Format.h"
#include "container/Layout.h"
#include "mlog.h"

#include <climits>
#include <dirent.h>
#include <cmath>
#include <functional>
#include <grp.h>
#include <sys/wait.h>

using namespace vesk_test;

namespace {

/* --- configurations ------------------------------------------------------- */

struct BadConfig {
    const char *what;
    std::string text;  // "@" stands for a fresh backend directory
    int line;          // where the error is reported
    const char *mentions;  // the message names the offending text
};

class BadConfigTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("VESK_CONFIG"); }
    TempDir tmp;
};

TEST_F(BadConfigTest, EachErrorNamesFileAndLineAndServesNoMount) {
    const std::vector<BadConfig> table = {
        {"unterminated header", "[mount /vk\nbackends = @\n", 1, "section"},
        {"not a mount section", "[mnt /vk]\nbackends = @\n", 1, "mount"},
        {"relative mount point", "[mount vk]\nbackends = @\n", 1, "vk"},
        {"mount without backends", "[mount /vk]\nlayout = flat\n", 1, "/vk"},
        {"empty backend list", "[mount /vk]\nbackends =\n", 2, "backend"},
        {"relative backend", "[mount /vk]\nbackends = rel/dir\n", 2, "rel/dir"},
        {"backend twice", "[mount /vk]\nbackends = /nowhere/b /nowhere/b/\n", 2, "twice"},
        {"unknown layout", "[mount /vk]\nbackends = @\nlayout = striped\n", 3, "striped"},
        {"unknown mount key", "[mount /vk]\nbackends = @\nstripe = 4\n", 3, "stripe"},
        {"bad log buffer", "log_buffer = lots\n[mount /vk]\nbackends = @\n", 1, "log_buffer"},
        {"huge log buffer", "log_buffer = 999999999999\n[mount /vk]\nbackends = @\n", 1,
         "log_buffer"},
        {"bad boolean", "trace = maybe\n[mount /vk]\nbackends = @\n", 1, "trace"},
        {"unknown key", "frobnicate = 1\n[mount /vk]\nbackends = @\n", 1, "frobnicate"},
        {"no equals sign", "[mount /vk]\nbackends = @\njust words\n", 3, "key = value"},
        {"mount twice", "[mount /vk]\nbackends = @\n[mount /vk/]\nbackends = @\n", 3, "/vk"},
        {"unknown log level", "log_level = verbose\n[mount /vk]\nbackends = @\n", 1,
         "verbose"},
        {"unknown log facility", "log_level = warn,DISK=info\n[mount /vk]\nbackends = @\n", 1,
         "DISK"},
        {"misspelt key", "log_levl = warn\n[mount /vk]\nbackends = @\n", 1, "log_levl"},
        {"bad stderr level", "log_stderr = loud\n[mount /vk]\nbackends = @\n", 1, "loud"},
        {"empty log level", "log_level =\n[mount /vk]\nbackends = @\n", 1, "log_level"},
        {"relative log file", "log_file = vesk.log\n[mount /vk]\nbackends = @\n", 1,
         "vesk.log"},
        {"udp without port", "log_udp = 127.0.0.1\n[mount /vk]\nbackends = @\n", 1,
         "127.0.0.1"},
        {"udp port out of range", "log_udp = host:70000\n[mount /vk]\nbackends = @\n", 1,
         "70000"},
        {"unknown syslog facility", "log_syslog = kern\n[mount /vk]\nbackends = @\n", 1,
         "kern"},
        {"setting twice", "[mount /vk]\nbackends = @\nlayout = flat\nlayout = container\n", 4,
         "line 3"},
        // one bad line among good mounts takes them all away
        {"late error", "[mount /ok]\nbackends = @\n\n\n[mount /vk]\nbackends = @\nlayout=x\n", 7,
         "'x'"},
    };
    int n = 0;
    for (const BadConfig &c : table) {
        SCOPED_TRACE(c.what);
        std::string text = c.text;
        for (size_t at; (at = text.find('@')) != std::string::npos;) {
            std::string b = tmp.sub("b" + std::to_string(n++));
            mkdir(b.c_str(), 0755);
            text.replace(at, 1, b);
        }
        std::string file = tmp.sub("conf" + std::to_string(n++));
        auto cfg = use_config(file, text);
        ASSERT_FALSE(cfg->errors.empty());
        const std::string &e = cfg->errors.front();
        std::string prefix = file + ":" + std::to_string(c.line) + ": ";
        EXPECT_EQ(prefix, e.substr(0, prefix.size())) << e;
        EXPECT_NE(std::string::npos, e.find(c.mentions, prefix.size())) << e;
        EXPECT_TRUE(cfg->mounts.empty());
        // nothing is served: not the broken mount, not a good one beside it,
        // and the refusal is told apart from a path under no mount point
        Vesk_fd *fd = nullptr;
        EXPECT_EQ(-EINVAL, vesk_open(&fd, "/vk/f", O_WRONLY | O_CREAT, getpid(), 0644));
        EXPECT_EQ(nullptr, fd);
        EXPECT_EQ(-EINVAL, vesk_open(&fd, "/ok/f", O_WRONLY | O_CREAT, getpid(), 0644));
        EXPECT_EQ(-EINVAL, vesk_mkdir("/vk/d", 0755));
        EXPECT_EQ(-EINVAL, vesk_unlink("/vk/f"));
        char msg[PATH_MAX + 256];
        EXPECT_EQ(-EINVAL, vesk_config_check(msg, sizeof msg));
        EXPECT_EQ(e, std::string(msg));
        // and the checking tool says so; its output names the same line
        RunResult r = run_program({tool("vesk_check_config")}, {{"VESK_CONFIG", file}});
        EXPECT_NE(0, r.status);
        EXPECT_NE(std::string::npos, r.out.find("ERROR")) << r.out;
        EXPECT_NE(std::string::npos, r.err.find(prefix)) << r.err;
        // as does a tool that only wanted a file of a mount
        r = run_program({tool("vesk_map"), "/vk/f"}, {{"VESK_CONFIG", file}});
        EXPECT_EQ(256 - EINVAL, r.status);
        EXPECT_NE(std::string::npos, r.err.find(prefix)) << r.err;
    }
}

TEST_F(BadConfigTest, MissingFileIsAnErrorAndErrorsReachTheLog) {
    std::string missing = tmp.sub("nowhere.conf");
    setenv("VESK_CONFIG", missing.c_str(), 1);
    auto cfg = vesk::config_reload();
    ASSERT_EQ(1u, cfg->errors.size());
    EXPECT_EQ(0u, cfg->errors[0].find(missing + ":0: ")) << cfg->errors[0];
    EXPECT_TRUE(cfg->mounts.empty());

    std::string log = tmp.sub("vesk.log");
    std::string file = tmp.sub("bad.conf");
    mlog_close();
    use_config(file, "log_file = " + log + "\nlog_level = info\n[mount /vk]\nbackends = " +
                         tmp.path() + "\nlayout = spiral\n");
    std::string text = read_file(log);
    EXPECT_NE(std::string::npos, text.find(file + ":5: ")) << text;
    EXPECT_NE(std::string::npos, text.find("spiral")) << text;

    // A log whose level would hide errors still gets the one message, and
    // the calls that then fail add no more of it.
    std::string log2 = tmp.sub("quiet.log");
    mlog_close();
    use_config(file, "log_file = " + log2 + "\nlog_level = crit\n[mount /vk]\nbackends = " +
                         tmp.path() + "\nlayout = spiral\n");
    Vesk_fd *fd = nullptr;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(-EINVAL, vesk_open(&fd, "/vk/f", O_RDONLY, getpid(), 0));
    struct stat st;
    EXPECT_EQ(-EINVAL, vesk_getattr(nullptr, "/vk", &st, 0));
    text = read_file(log2);
    size_t first = text.find(file + ":5: ");
    ASSERT_NE(std::string::npos, first) << text;
    EXPECT_EQ(std::string::npos, text.find(file + ":5: ", first + 1)) << text;
    mlog_close();
}

/* --- damaged containers --------------------------------------------------- */

class DamagedContainer : public ContainerMount {
public:
    // The victim: four separate writes (each a record of its own) by one
    // writer, and one write by a second writer. The bystander is another
    // file of the mount.
    void SetUp() override {
        ContainerMount::SetUp();
        if (HasFatalFailure()) return;
        std::string log = tmp.sub("vesk.log");
        mlog_close();  // an earlier test's log goes; this one's opens anew
        // warn: the torn-record warnings and every error (errors rank above warnings)
        auto cfg = use_config(tmp.sub("vesk.conf"),
                              "log_file = " + log + "\nlog_level = warn\n" +
                                  mount_config("/vk", {b0, b1}, "container"));
        ASSERT_TRUE(cfg->errors.empty());
        logfile = log;
    }

    // Makes the n-th pair of files.
    void prepare(int n) {
        victim = name_on(0, "victim" + std::to_string(n) + "-");
        bystander = name_on(0, "bystander" + std::to_string(n) + "-");
        want.clear();
        Vesk_fd *fd = open(victim, O_RDWR | O_CREAT, wa);
        ASSERT_NE(nullptr, fd);
        ASSERT_EQ(0, containerfs.open(&fd, L(victim).c_str(), O_WRONLY, wb, 0644, nullptr));
        for (int i = 0; i < 4; i++) {
            std::string p = pattern(1000, (unsigned)i);
            ASSERT_EQ(1000, fd->write(p.data(), p.size(), i * 2000, wa));
            want.resize((size_t)(i * 2000), '\0');
            want += p;
        }
        std::string q = pattern(500, 9);
        ASSERT_EQ(500, fd->write(q.data(), q.size(), 1000, wb));
        want.replace(1000, 500, q);
        fd->close(wb, getuid(), O_WRONLY, nullptr);
        fd->close(wa, getuid(), O_RDWR, nullptr);
        delete fd;
        by_data = pattern(5000, 42);
        write_file_at(bystander, by_data, 0);
        ASSERT_EQ(want, read_all(victim));
        dir = backend(victim);
        hd = vesk_cont::hostdir(dir, vesk_cont::host());
    }

    std::string index_of(pid_t p) const { return hd + "/index." + std::to_string(p); }
    std::string data_of(pid_t p) const { return hd + "/data." + std::to_string(p); }

    // Rewrites `n` bytes at `at` of a backend file.
    static void poke(const std::string &file, off_t at, const void *bytes, size_t n) {
        int f = ::open(file.c_str(), O_WRONLY);
        ASSERT_GE(f, 0) << file;
        ASSERT_EQ((ssize_t)n, pwrite(f, bytes, n, at));
        ::close(f);
    }
    static off_t record(int i, int field) {
        return vesk_fmt::kIndexHeaderSize + (off_t)i * vesk_fmt::kIndexRecordSize + field;
    }

    // What a reader of the victim gets: its content, or "error <n>".
    std::string outcome() {
        int r = 0;
        Vesk_fd *fd = open(victim, O_RDONLY, getpid(), 0, &r);
        if (!fd) return "error " + std::to_string(r);
        std::string buf(want.size() + 4096, '\0');
        ssize_t n = fd->read(&buf[0], buf.size(), 0);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        if (n < 0) return "error " + std::to_string(n);
        buf.resize((size_t)n);
        return buf;
    }

    const pid_t wa = 7100001, wb = 7100002;
    std::string victim, bystander, dir, hd, want, by_data, logfile;
};

struct Damage {
    const char *what;
    std::function<void(DamagedContainer &)> harm;
    // what a reader gets before and after vesk_recover: "want" for the
    // full content, "error <n>", or a content computed by `expect`
    std::function<std::string(DamagedContainer &)> before, after;
    int recover;          // vesk_recover's result
    const char *logged;   // a text the log must hold afterwards, or null
};

std::string error_of(int e) { return "error " + std::to_string(e); }

// Equal contents, or a short account of where they part.
::testing::AssertionResult same(const std::string &want, const std::string &got) {
    if (want == got) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) i++;
    auto head = [](const std::string &s) { return s.compare(0, 6, "error ") == 0 ? s : std::to_string(s.size()) + " bytes"; };
    return ::testing::AssertionFailure() << "want " << head(want) << ", got " << head(got)
                                         << ", first difference at " << i;
}

TEST_F(DamagedContainer, EachDamageGivesAClearResultAndSparesTheRest) {
    using D = DamagedContainer;
    auto full = [](D &d) { return d.want; };
    // what is left when writer a's last record is gone
    auto without_last = [](D &d) { return d.want.substr(0, 5000); };
    auto eio = [](D &) { return error_of(-EIO); };
    // a read from 0 stops where the lost bytes begin
    auto upto = [](size_t n) { return [n](D &d) { return d.want.substr(0, n); }; };
    // what is left when the repair has set aside writer a's i-th record: a
    // hole where that write was, every other byte as written
    auto without_write = [](int i) {
        return [i](D &d) {
            std::string s = d.want;
            s.replace((size_t)(2000 * i), 1000, std::string(1000, '\0'));
            return s;
        };
    };
    const std::vector<Damage> table = {
        {"index log cut inside its last record",
         [](D &d) { ASSERT_EQ(0, truncate(d.index_of(d.wa).c_str(), D::record(3, 20))); },
         without_last, without_last, 0, "torn"},
        {"index log cut inside its header (magic intact)",
         [](D &d) {
             ASSERT_EQ(0, truncate(d.index_of(d.wa).c_str(), 8));
         },
         [](D &d) {
             // only writer b's bytes remain, at their place
             return std::string(1000, '\0') + d.want.substr(1000, 500);
         },
         nullptr, 0, nullptr},
        // not the start of a header: all writer a may have written is
        // lost, b's bytes beyond it read; the repair leaves a an empty log
        {"index log cut inside its header (magic damaged)",
         [](D &d) {
             ASSERT_EQ(0, truncate(d.index_of(d.wa).c_str(), 8));
             D::poke(d.index_of(d.wa), 3, "?", 1);
         },
         eio,
         [](D &d) { return std::string(1000, '\0') + d.want.substr(1000, 500); }, 0,
         "bad magic"},
        // records carry checksums of their own: a bad header loses none,
        // and the repair writes a new one
        {"index log header with a wrong magic number",
         [](D &d) { D::poke(d.index_of(d.wa), 0, "VESKIDY", 7); }, full, full, 0, "index log"},
        {"index log of another format version",
         [](D &d) {
             uint32_t v = 99;
             D::poke(d.index_of(d.wa), 8, &v, 4);
         },
         full, full, 0, "index log"},
        // one changed byte: undone to find the range the record lost
        {"record of an unknown kind",
         [](D &d) {
             uint32_t k = 7;
             D::poke(d.index_of(d.wa), D::record(1, 44), &k, 4);
         },
         upto(2000), without_write(1), 0, "record"},
        {"record with an impossible offset",
         [](D &d) {
             uint64_t o = 1ULL << 62;
             D::poke(d.index_of(d.wa), D::record(2, 0), &o, 8);
         },
         eio, without_write(2), 0, "record"},
        {"record with a timestamp that is no number",
         [](D &d) {
             double t = NAN;
             D::poke(d.index_of(d.wa), D::record(0, 24), &t, 8);
         },
         eio, without_write(0), 0, "record"},
        {"record pointing past its data log",
         [](D &d) {
             uint64_t p = 1000000;
             D::poke(d.index_of(d.wa), D::record(0, 16), &p, 8);
         },
         eio, without_write(0), 0, "record"},
        // b's write at [1000, 1500) is lost, nothing else
        {"data log missing",
         [](D &d) { ASSERT_EQ(0, unlink(d.data_of(d.wb).c_str())); }, upto(1000), upto(1000),
         -EIO, "record"},
        {"data log cut short",
         [](D &d) { ASSERT_EQ(0, truncate(d.data_of(d.wa).c_str(), 2500)); }, upto(4000),
         // the repair sets aside the writes past the cut: what is left reads
         [](D &d) { return d.want.substr(0, 3000); }, 0,
         "record"},
        {"marker holds garbage",
         [](D &d) { write_file(vesk_cont::marker(d.dir), "\x7f" "ELF garbage"); }, eio, full,
         0, "marker"},
        {"marker with one bit flipped",
         [](D &d) {
             // a digit of its checksum line: the text still looks right
             std::string m = read_file(vesk_cont::marker(d.dir));
             m[m.size() - 2] ^= 0x01;
             write_file(vesk_cont::marker(d.dir), m);
         },
         eio, full, 0, "marker"},
        {"marker missing",
         [](D &d) { ASSERT_EQ(0, unlink(vesk_cont::marker(d.dir).c_str())); },
         [](D &) { return error_of(-EISDIR); }, full, 0, nullptr},
        {"size record names a wrong size",
         [](D &d) {
             // keep the record's claim to match its log, lie about the end
             std::vector<vesk_cont::WriterMeta> ms;
             vesk_cont::TruncMeta t;
             ASSERT_EQ(0, vesk_cont::list_meta(d.dir, ms, t));
             for (vesk_cont::WriterMeta m : ms) {
                 if (m.pid != d.wa) continue;
                 m.eof = 123456789;
                 ASSERT_EQ(0, vesk_cont::write_writer_meta(d.dir, m));
             }
         },
         full, full, 0, nullptr},
        {"garbage names among the size and writer records",
         [](D &d) {
             write_file(d.dir + "/meta/w.not.a.record", "");
             write_file(d.dir + "/meta/t.-5.x", "");
             mkdir((d.dir + "/openwriters").c_str(), 0755);
             write_file(d.dir + "/openwriters/garbage", "");
         },
         full, full, -EEXIST, nullptr},
        {"flattened index that is garbage",
         [](D &d) { write_file(d.dir + "/global.index", std::string(4000, 'g')); }, full, full,
         0, nullptr},
        {"flattened index cut short",
         [](D &d) {
             ASSERT_EQ(0, vesk_flatten_index(nullptr, L(d.victim).c_str()));
             struct stat st;
             ASSERT_EQ(0, stat((d.dir + "/global.index").c_str(), &st));
             ASSERT_EQ(0, truncate((d.dir + "/global.index").c_str(), st.st_size - 40));
         },
         full, full, 0, nullptr},
        {"flattened index with an entry moved",
         [](D &d) {
             ASSERT_EQ(0, vesk_flatten_index(nullptr, L(d.victim).c_str()));
             // the first entry claims an offset past the file's end
             std::string gi = d.dir + "/global.index";
             std::string text = read_file(gi);
             uint32_t sources;
             memcpy(&sources, &text[32], 4);
             uint64_t off = 1ULL << 40;
             D::poke(gi, 64 + (off_t)sources * 256, &off, 8);
         },
         full, full, 0, "flattened"},
    };
    int n = 0;
    for (const Damage &c : table) {
        SCOPED_TRACE(c.what);
        prepare(n++);
        ASSERT_FALSE(HasFatalFailure());
        size_t log_before = read_file(logfile).size();
        c.harm(*this);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(same(c.before(*this), outcome())) << "before recovery";
        if (std::string(c.what) == "size record names a wrong size") {
            // the listing believes the record: recovery is what puts it right
            EXPECT_EQ(123456789, size_of(victim));
        }
        EXPECT_EQ(c.recover, vesk_recover(L(victim).c_str()));
        EXPECT_TRUE(same((c.after ? c.after : c.before)(*this), outcome())) << "after recovery";
        std::string after = outcome();
        if (c.recover == -EIO) {
            // damage left: getattr still answers, with the size written
            EXPECT_EQ((off_t)want.size(), size_of(victim));
        } else if (after.compare(0, 6, "error ") != 0) {
            EXPECT_EQ((off_t)after.size(), size_of(victim));
        }
        if (c.logged) {
            std::string log = read_file(logfile).substr(log_before);
            EXPECT_NE(std::string::npos, log.find(c.logged)) << log << "\n-- whole log:\n" << read_file(logfile);
        }
        // nothing else in the mount is touched
        EXPECT_EQ(by_data, read_all(bystander));
        EXPECT_EQ((off_t)by_data.size(), size_of(bystander));
    }
}

/* --- names and paths -------------------------------------------------------- */

class BadPath : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.ok());
        std::string text = mount_config("/vf", {tmp.sub("f0"), tmp.sub("f1")}, "flat") +
                           mount_config("/vk", {tmp.sub("k0"), tmp.sub("k1")}, "container");
        ASSERT_TRUE(use_config(tmp.sub("vesk.conf"), text)->errors.empty());
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }
    TempDir tmp;
};

TEST_F(BadPath, EveryOperationRefusesThemAlike) {
    std::string deep;
    while (deep.size() < PATH_MAX + 10) deep += "/dir";
    struct Case {
        std::string rel;  // below the mount point, or absolute when it starts with '!'
        int err;
    };
    const std::vector<Case> table = {
        {std::string(NAME_MAX + 1, 'n'), -ENAMETOOLONG},
        {"d/" + std::string(NAME_MAX + 1, 'n') + "/x", -ENAMETOOLONG},
        {deep.substr(1), -ENAMETOOLONG},
        {"../escape", -EINVAL},
        {"d/../../escape", -EINVAL},
        {"./../escape", -EINVAL},
        {"!/nomount/file", -ENOENT},
        {"!/vkx/file", -ENOENT},  // a prefix of a name is no mount point
        {"!", -ENOENT},
    };
    for (const char *mount : {"/vf", "/vk"}) {
        std::string good = std::string(mount) + "/good";
        Vesk_fd *fd = nullptr;
        ASSERT_EQ(0, vesk_open(&fd, good.c_str(), O_WRONLY | O_CREAT, getpid(), 0644));
        ASSERT_EQ(4, vesk_write(fd, "good", 4, 0, getpid()));
        ASSERT_EQ(0, vesk_close(fd, getpid(), getuid(), O_WRONLY | O_CREAT));
        for (const Case &c : table) {
            std::string p = c.rel[0] == '!' ? c.rel.substr(1) : std::string(mount) + "/" + c.rel;
            SCOPED_TRACE(std::string(mount) + " " + p.substr(0, 60));
            fd = nullptr;
            EXPECT_EQ(c.err, vesk_open(&fd, p.c_str(), O_RDWR | O_CREAT, getpid(), 0644));
            EXPECT_EQ(nullptr, fd);
            struct stat st;
            EXPECT_EQ(c.err, vesk_getattr(nullptr, p.c_str(), &st, 0));
            EXPECT_EQ(c.err, vesk_create(p.c_str(), 0644, O_CREAT, getpid()));
            EXPECT_EQ(c.err, vesk_mkdir(p.c_str(), 0755));
            EXPECT_EQ(c.err, vesk_unlink(p.c_str()));
            EXPECT_EQ(c.err, vesk_access(p.c_str(), F_OK));
            EXPECT_EQ(c.err, vesk_truncate(p.c_str(), 0));
            EXPECT_EQ(c.err, vesk_chmod(p.c_str(), 0600));
            EXPECT_EQ(c.err, vesk_recover(p.c_str()));
            // a rename to a bad name leaves the good file where it was
            EXPECT_EQ(c.err, vesk_rename(good.c_str(), p.c_str()));
            EXPECT_EQ(0, vesk_access(good.c_str(), R_OK));
        }
        // a ".." that stays inside the mount is an ordinary path
        std::string round_about = std::string(mount) + "/d/../good";
        fd = nullptr;
        ASSERT_EQ(0, vesk_open(&fd, round_about.c_str(), O_RDONLY, getpid(), 0));
        char buf[8] = {0};
        EXPECT_EQ(4, vesk_read(fd, buf, sizeof buf, 0));
        EXPECT_STREQ("good", buf);
        EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_RDONLY));
    }
    // nothing got out of the backends: the temporary root holds only them
    Vesk_dirents top;
    DIR *d = opendir(tmp.path().c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent *e = readdir(d)) top.insert(e->d_name);
    closedir(d);
    EXPECT_EQ((Vesk_dirents{".", "..", "f0", "f1", "k0", "k1", "vesk.conf"}), top);
}

/* --- permissions ---------------------------------------------------------- */

TEST_F(BadPath, AnUnprivilegedUserIsRefusedAndChangesNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to the user nobody (65534)";
    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
    for (const char *b : {"f0", "f1", "k0", "k1"}) ASSERT_EQ(0, chmod(tmp.sub(b).c_str(), 0755));
    struct Step {
        const char *what;
        std::function<int(const std::string &mount)> op;
        int err;
    };
    auto open_as = [](const std::string &p, int flags) {
        Vesk_fd *fd = nullptr;
        int r = vesk_open(&fd, p.c_str(), flags, getpid(), 0644);
        if (r == 0) vesk_close(fd, getpid(), getuid(), flags);
        return r;
    };
    const std::vector<Step> steps = {
        {"read a 0600 file", [&](const std::string &m) { return open_as(m + "/secret", O_RDONLY); },
         -EACCES},
        {"write a 0644 file",
         [&](const std::string &m) { return open_as(m + "/public", O_WRONLY); }, -EACCES},
        {"read a 0644 file", [&](const std::string &m) { return open_as(m + "/public", O_RDONLY); },
         0},
        {"create in a 0755 directory",
         [&](const std::string &m) { return open_as(m + "/new", O_WRONLY | O_CREAT); }, -EACCES},
        {"truncate a 0644 file",
         [](const std::string &m) { return vesk_truncate((m + "/public").c_str(), 1); }, -EACCES},
        {"chmod another's file",
         [](const std::string &m) { return vesk_chmod((m + "/public").c_str(), 0666); }, -EPERM},
        {"unlink in a 0755 directory",
         [](const std::string &m) { return vesk_unlink((m + "/public").c_str()); }, -EACCES},
        {"rename in a 0755 directory",
         [](const std::string &m) {
             return vesk_rename((m + "/public").c_str(), (m + "/moved").c_str());
         },
         -EACCES},
        {"access for writing",
         [](const std::string &m) { return vesk_access((m + "/public").c_str(), W_OK); }, -EACCES},
        {"access for reading",
         [](const std::string &m) { return vesk_access((m + "/public").c_str(), R_OK); }, 0},
    };
    for (const char *mount : {"/vf", "/vk"}) {
        SCOPED_TRACE(mount);
        std::string m = mount;
        for (const char *f : {"secret", "public"}) {
            Vesk_fd *fd = nullptr;
            std::string p = m + "/" + f;
            ASSERT_EQ(0, vesk_open(&fd, p.c_str(), O_WRONLY | O_CREAT, getpid(), 0644));
            ASSERT_EQ(6, vesk_write(fd, f, 6, 0, getpid()));
            ASSERT_EQ(0, vesk_close(fd, getpid(), getuid(), O_WRONLY | O_CREAT));
        }
        ASSERT_EQ(0, vesk_chmod((m + "/secret").c_str(), 0600));
        int res[64];
        int pipefd[2];
        ASSERT_EQ(0, pipe(pipefd));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
            for (size_t i = 0; i < steps.size(); i++) res[i] = steps[i].op(m);
            if (write(pipefd[1], res, sizeof res) != (ssize_t)sizeof res) _exit(3);
            _exit(0);
        }
        close(pipefd[1]);
        ASSERT_EQ((ssize_t)sizeof res, read(pipefd[0], res, sizeof res));
        close(pipefd[0]);
        int st = 0;
        ASSERT_EQ(child, waitpid(child, &st, 0));
        ASSERT_EQ(0, WEXITSTATUS(st));
        for (size_t i = 0; i < steps.size(); i++)
            EXPECT_EQ(steps[i].err, res[i]) << steps[i].what;
        // all as it was
        for (const char *f : {"secret", "public"}) {
            Vesk_fd *fd = nullptr;
            std::string p = m + "/" + f;
            ASSERT_EQ(0, vesk_open(&fd, p.c_str(), O_RDONLY, getpid(), 0));
            char buf[16] = {0};
            EXPECT_EQ(6, vesk_read(fd, buf, sizeof buf, 0)) << f;
            EXPECT_STREQ(f, buf);
            EXPECT_EQ(0, vesk_close(fd, getpid(), getuid(), O_RDONLY));
        }
        mode_t mode = 0;
        ASSERT_EQ(0, vesk_mode((m + "/public").c_str(), &mode));
        EXPECT_EQ(0644u, mode & 07777);
        EXPECT_EQ(-ENOENT, vesk_access((m + "/new").c_str(), F_OK));
        EXPECT_EQ(-ENOENT, vesk_access((m + "/moved").c_str(), F_OK));
    }
}

}  // namespace
