/* Renaming and unlinking a file while processes hold it open, compared
 * with what the same steps do to a plain file on the backend's own file
 * system. Each scenario runs three times: on plain files through POSIX
 * calls, on a flat-file mount and on a container mount; a holder process
 * keeps the file open and runs the steps the parent sends it, and both
 * write what they saw into one transcript. The transcripts must agree. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "config/Config.h"
#include "container/Layout.h"
#include "vesk.h"
#include "vesk_test_util.h"

using namespace vesk_test;

namespace {

/* One way of doing file operations: POSIX on a directory, or the library
 * on a mount point. Handles are small integers local to the process. */
class Ops {
public:
    virtual ~Ops() {}
    virtual std::string path(const std::string &name) const = 0;
    // 0 or -errno
    virtual int open(const std::string &name, int flags) = 0;
    virtual ssize_t write(const std::string &data, off_t off) = 0;
    virtual ssize_t read(std::string &out, size_t n, off_t off) = 0;
    virtual int sync() = 0;
    virtual off_t fsize() = 0;  // size through the open handle
    virtual long links() = 0;   // link count through the open handle, or -errno
    virtual int ftrunc(off_t len) = 0;
    virtual int close() = 0;
    virtual int rename(const std::string &a, const std::string &b) = 0;
    virtual int unlink(const std::string &a) = 0;
    virtual off_t size(const std::string &name) = 0;  // size by name, or -errno
};

class PosixOps : public Ops {
public:
    explicit PosixOps(std::string dir) : dir_(std::move(dir)) {}
    std::string path(const std::string &n) const override { return dir_ + "/" + n; }
    int open(const std::string &n, int flags) override {
        fd_ = ::open(path(n).c_str(), flags, 0644);
        return fd_ < 0 ? -errno : 0;
    }
    ssize_t write(const std::string &d, off_t off) override {
        ssize_t r = ::pwrite(fd_, d.data(), d.size(), off);
        return r < 0 ? -errno : r;
    }
    ssize_t read(std::string &out, size_t n, off_t off) override {
        out.assign(n, '\0');
        ssize_t r = ::pread(fd_, &out[0], n, off);
        if (r < 0) return -errno;
        out.resize((size_t)r);
        return r;
    }
    int sync() override { return ::fsync(fd_) < 0 ? -errno : 0; }
    off_t fsize() override {
        struct stat st;
        return ::fstat(fd_, &st) < 0 ? -errno : st.st_size;
    }
    long links() override {
        struct stat st;
        return ::fstat(fd_, &st) < 0 ? -errno : (long)st.st_nlink;
    }
    int ftrunc(off_t len) override { return ::ftruncate(fd_, len) < 0 ? -errno : 0; }
    int close() override { return ::close(fd_) < 0 ? -errno : 0; }
    int rename(const std::string &a, const std::string &b) override {
        return ::rename(path(a).c_str(), path(b).c_str()) < 0 ? -errno : 0;
    }
    int unlink(const std::string &a) override {
        return ::unlink(path(a).c_str()) < 0 ? -errno : 0;
    }
    off_t size(const std::string &n) override {
        struct stat st;
        return ::stat(path(n).c_str(), &st) < 0 ? -errno : st.st_size;
    }

private:
    std::string dir_;
    int fd_ = -1;
};

class VeskOps : public Ops {
public:
    explicit VeskOps(std::string mount) : mount_(std::move(mount)) {}
    std::string path(const std::string &n) const override { return mount_ + "/" + n; }
    int open(const std::string &n, int flags) override {
        flags_ = flags;
        fd_ = nullptr;
        return vesk_open(&fd_, path(n).c_str(), flags, getpid(), 0644);
    }
    ssize_t write(const std::string &d, off_t off) override {
        return vesk_write(fd_, d.data(), d.size(), off, getpid());
    }
    ssize_t read(std::string &out, size_t n, off_t off) override {
        out.assign(n, '\0');
        ssize_t r = vesk_read(fd_, &out[0], n, off);
        out.resize(r < 0 ? 0 : (size_t)r);
        return r;
    }
    int sync() override { return vesk_sync(fd_, getpid()); }
    off_t fsize() override {
        struct stat st;
        int r = vesk_getattr(fd_, nullptr, &st, 0);
        return r < 0 ? r : st.st_size;
    }
    long links() override {
        struct stat st;
        int r = vesk_getattr(fd_, nullptr, &st, 0);
        return r < 0 ? r : (long)st.st_nlink;
    }
    int ftrunc(off_t len) override { return vesk_trunc(fd_, nullptr, len); }
    int close() override { return vesk_close(fd_, getpid(), getuid(), flags_); }
    int rename(const std::string &a, const std::string &b) override {
        return vesk_rename(path(a).c_str(), path(b).c_str());
    }
    int unlink(const std::string &a) override { return vesk_unlink(path(a).c_str()); }
    off_t size(const std::string &n) override {
        struct stat st;
        int r = vesk_getattr(nullptr, path(n).c_str(), &st, 0);
        return r < 0 ? r : st.st_size;
    }

private:
    std::string mount_;
    Vesk_fd *fd_ = nullptr;
    int flags_ = 0;
};

Ops *clone(Ops &ops);

/* A process that holds one file open and runs steps sent to it:
 *   "o <name> <flags>", "w <off> <text>", "r <off> <len>", "s", "z", "c",
 * and "x <name>": open <name> anew beside the held file and read it.
 * Each step answers one line, which the parent puts in the transcript. */
class Holder {
public:
    explicit Holder(Ops &ops) {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(to[1]);
            ::close(from[0]);
            serve(ops, to[0], from[1]);
            _exit(0);
        }
        ::close(to[0]);
        ::close(from[1]);
        out_ = fdopen(to[1], "w");
        in_ = fdopen(from[0], "r");
    }
    ~Holder() {
        if (out_) fclose(out_);
        if (in_) fclose(in_);
        int st;
        if (pid_ > 0) waitpid(pid_, &st, 0);
    }
    std::string ask(const std::string &step) {
        fprintf(out_, "%s\n", step.c_str());
        fflush(out_);
        char line[4096];
        if (!fgets(line, sizeof line, in_)) return "<holder gone>";
        std::string s(line);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }

private:
    static void serve(Ops &ops, int in_fd, int out_fd) {
        FILE *in = fdopen(in_fd, "r");
        FILE *out = fdopen(out_fd, "w");
        char line[4096];
        while (fgets(line, sizeof line, in)) {
            std::istringstream s(line);
            char op;
            s >> op;
            std::string answer;
            if (op == 'o') {
                std::string name;
                int flags;
                s >> name >> flags;
                answer = std::to_string(ops.open(name, flags));
            } else if (op == 'w') {
                long off;
                std::string text;
                s >> off >> text;
                answer = std::to_string(ops.write(text, off));
            } else if (op == 'r') {
                long off;
                size_t len;
                s >> off >> len;
                std::string got;
                ssize_t r = ops.read(got, len, off);
                answer = std::to_string(r) + " '" + got + "'";
            } else if (op == 's') {
                answer = std::to_string(ops.sync());
            } else if (op == 'z') {
                answer = std::to_string(ops.fsize());
            } else if (op == 'c') {
                answer = std::to_string(ops.close());
            } else if (op == 'x') {
                std::string name;
                s >> name;
                std::unique_ptr<Ops> other(clone(ops));
                int r = other->open(name, O_RDONLY);
                std::string got;
                if (r == 0) {
                    r = (int)other->read(got, 64, 0);
                    other->close();
                }
                answer = std::to_string(r) + " '" + got + "'";
            } else {
                answer = "?";
            }
            for (char &c : answer)
                if (c == '\0') c = '.';
            fprintf(out, "%s\n", answer.c_str());
            fflush(out);
        }
    }

    pid_t pid_ = -1;
    FILE *out_ = nullptr;
    FILE *in_ = nullptr;
};

Ops *clone(Ops &ops) {
    if (PosixOps *p = dynamic_cast<PosixOps *>(&ops)) return new PosixOps(*p);
    return new VeskOps(*dynamic_cast<VeskOps *>(&ops));
}

// The parent's own look at a file by name: its size and its whole content.
std::string look(Ops &ops, const std::string &name) {
    off_t sz = ops.size(name);
    if (sz < 0) return "size " + std::to_string(sz);
    VeskOps *v = dynamic_cast<VeskOps *>(&ops);
    std::string got;
    if (v) {
        VeskOps reader(*v);
        if (reader.open(name, O_RDONLY) != 0) return "size " + std::to_string(sz) + " unopenable";
        reader.read(got, 4096, 0);
        reader.close();
    } else {
        got = read_file(ops.path(name));
    }
    for (char &c : got)
        if (c == '\0') c = '.';
    return "size " + std::to_string(sz) + " '" + got + "'";
}

// What a new writer at `name` does, from the parent.
std::string write_new(Ops &ops, const std::string &name, const std::string &text) {
    PosixOps *p = dynamic_cast<PosixOps *>(&ops);
    std::unique_ptr<Ops> own;
    if (p) own.reset(new PosixOps(*p));
    else own.reset(new VeskOps(*dynamic_cast<VeskOps *>(&ops)));
    int r = own->open(name, O_WRONLY | O_CREAT | O_TRUNC);
    if (r != 0) return "open " + std::to_string(r);
    ssize_t w = own->write(text, 0);
    return "wrote " + std::to_string(w) + " close " + std::to_string(own->close());
}

using Transcript = std::vector<std::string>;
using Scenario = std::function<void(Ops &, Transcript &)>;

const int RW = O_RDWR | O_CREAT;

// Rename while another process writes: its later writes land under the
// new name, its reads through the old handle still work, the old name is
// gone and a new file there is independent.
void rename_while_open(Ops &ops, Transcript &t) {
    Holder h(ops);
    t.push_back("open " + h.ask("o a " + std::to_string(RW)));
    t.push_back("w1 " + h.ask("w 0 first-part"));
    t.push_back("sync " + h.ask("s"));
    t.push_back("rename " + std::to_string(ops.rename("a", "b")));
    t.push_back("a: " + look(ops, "a"));
    t.push_back("w2 " + h.ask("w 10 second"));
    t.push_back("read " + h.ask("r 0 64"));
    t.push_back("fsize " + h.ask("z"));
    t.push_back("sync " + h.ask("s"));
    t.push_back("b-open: " + look(ops, "b"));
    t.push_back("new-a: " + write_new(ops, "a", "fresh"));
    t.push_back("read-after-new-a " + h.ask("r 0 64"));
    t.push_back("holder-opens-new-a " + h.ask("x a"));
    t.push_back("w3 " + h.ask("w 16 !"));
    t.push_back("close " + h.ask("c"));
    t.push_back("b-closed: " + look(ops, "b"));
    t.push_back("a-closed: " + look(ops, "a"));
}

// Unlink while another process writes: the holder keeps reading and
// writing what it wrote; a new file at the name is independent of it.
void unlink_while_open(Ops &ops, Transcript &t) {
    Holder h(ops);
    t.push_back("open " + h.ask("o a " + std::to_string(RW)));
    t.push_back("w1 " + h.ask("w 0 keep-me"));
    t.push_back("sync " + h.ask("s"));
    t.push_back("unlink " + std::to_string(ops.unlink("a")));
    t.push_back("a-gone: " + look(ops, "a"));
    t.push_back("w2 " + h.ask("w 7 -more"));
    t.push_back("read " + h.ask("r 0 64"));
    t.push_back("new-a: " + write_new(ops, "a", "other"));
    t.push_back("read-after-new-a " + h.ask("r 0 64"));
    t.push_back("holder-opens-new-a " + h.ask("x a"));
    t.push_back("w3 " + h.ask("w 0 KEEP"));
    t.push_back("sync " + h.ask("s"));
    t.push_back("read-again " + h.ask("r 0 64"));
    t.push_back("fsize " + h.ask("z"));
    t.push_back("a-open: " + look(ops, "a"));
    t.push_back("close " + h.ask("c"));
    t.push_back("a-closed: " + look(ops, "a"));
}

// A file renamed over one that another process holds open: the holder
// keeps the replaced file's bytes, the name shows the new file's.
void rename_over_open(Ops &ops, Transcript &t) {
    Holder h(ops);
    t.push_back("open-b " + h.ask("o b " + std::to_string(RW)));
    t.push_back("w1 " + h.ask("w 0 old-b"));
    t.push_back("sync " + h.ask("s"));
    t.push_back("new-a: " + write_new(ops, "a", "new-a"));
    t.push_back("rename " + std::to_string(ops.rename("a", "b")));
    t.push_back("read " + h.ask("r 0 64"));
    t.push_back("holder-opens-b " + h.ask("x b"));
    t.push_back("w2 " + h.ask("w 5 +tail"));
    t.push_back("sync " + h.ask("s"));
    t.push_back("read-again " + h.ask("r 0 64"));
    t.push_back("b-open: " + look(ops, "b"));
    t.push_back("close " + h.ask("c"));
    t.push_back("b-closed: " + look(ops, "b"));
    t.push_back("a: " + look(ops, "a"));
}

// The same process renames the file it holds open, then goes on.
void rename_own_open(Ops &ops, Transcript &t) {
    std::unique_ptr<Ops> own;
    if (PosixOps *p = dynamic_cast<PosixOps *>(&ops)) own.reset(new PosixOps(*p));
    else own.reset(new VeskOps(*dynamic_cast<VeskOps *>(&ops)));
    t.push_back("open " + std::to_string(own->open("a", RW)));
    t.push_back("w1 " + std::to_string(own->write("abc", 0)));
    t.push_back("rename " + std::to_string(ops.rename("a", "b")));
    t.push_back("w2 " + std::to_string(own->write("def", 3)));
    std::string got;
    ssize_t n = own->read(got, 64, 0);
    t.push_back("read " + std::to_string(n) + " '" + got + "'");
    t.push_back("fsize " + std::to_string(own->fsize()));
    t.push_back("close " + std::to_string(own->close()));
    t.push_back("b: " + look(ops, "b"));
    t.push_back("a: " + look(ops, "a"));
}

std::string read_line(Ops &o, const std::string &label) {
    std::string got;
    ssize_t n = o.read(got, 64, 0);
    for (char &c : got)
        if (c == '\0') c = '.';
    return label + " " + std::to_string(n) + " '" + got + "'";
}

std::string stat_line(Ops &o, const std::string &label) {
    return label + " " + std::to_string(o.fsize()) + " links " + std::to_string(o.links());
}

// The temporary-file pattern (tmpfile(3), Python's TemporaryFile): this
// process opens a file, unlinks it, and works on it through the handle
// only; the name is free for an independent file at once.
void temp_file(Ops &ops, Transcript &t) {
    std::unique_ptr<Ops> own(clone(ops));
    t.push_back("open " + std::to_string(own->open("a", RW)));
    t.push_back("w1 " + std::to_string(own->write("scratch", 0)));
    t.push_back("unlink " + std::to_string(ops.unlink("a")));
    t.push_back("a-gone: " + look(ops, "a"));
    t.push_back("w2 " + std::to_string(own->write("-data", 7)));
    t.push_back(read_line(*own, "read"));
    t.push_back(stat_line(*own, "fstat"));
    t.push_back("sync " + std::to_string(own->sync()));
    t.push_back("new-a: " + write_new(ops, "a", "other"));
    t.push_back(read_line(*own, "read-after-new-a"));
    t.push_back("trunc " + std::to_string(own->ftrunc(4)));
    t.push_back(read_line(*own, "read-truncated"));
    t.push_back("grow " + std::to_string(own->ftrunc(9)));
    t.push_back("w3 " + std::to_string(own->write("!", 9)));
    t.push_back("sync " + std::to_string(own->sync()));
    t.push_back(read_line(*own, "read-grown"));
    t.push_back(stat_line(*own, "fstat-grown"));
    t.push_back("a-open: " + look(ops, "a"));
    t.push_back("close " + std::to_string(own->close()));
    t.push_back("a-closed: " + look(ops, "a"));
}

// Two handles of this process on a file it unlinks: the file lives on
// through the second after the first closes, and sees the first's writes.
void unlink_two_handles(Ops &ops, Transcript &t) {
    std::unique_ptr<Ops> w(clone(ops)), r(clone(ops));
    t.push_back("open-w " + std::to_string(w->open("a", RW)));
    t.push_back("w1 " + std::to_string(w->write("0123456789", 0)));
    t.push_back("sync " + std::to_string(w->sync()));
    t.push_back("open-r " + std::to_string(r->open("a", O_RDONLY)));
    t.push_back("unlink " + std::to_string(ops.unlink("a")));
    t.push_back("w2 " + std::to_string(w->write("abc", 8)));
    t.push_back("close-w " + std::to_string(w->close()));
    t.push_back(read_line(*r, "read"));
    t.push_back(stat_line(*r, "fstat"));
    t.push_back("a-open: " + look(ops, "a"));
    t.push_back("close-r " + std::to_string(r->close()));
    t.push_back("a-closed: " + look(ops, "a"));
}

// This process holds a file that it, or another, replaces by a rename: the
// holder goes on with the old file, the name leads to the new one.
void rename_over_own_open(Ops &ops, Transcript &t) {
    std::unique_ptr<Ops> own(clone(ops));
    t.push_back("open-b " + std::to_string(own->open("b", RW)));
    t.push_back("w1 " + std::to_string(own->write("old-b", 0)));
    t.push_back("new-a: " + write_new(ops, "a", "new-a"));
    t.push_back("rename " + std::to_string(ops.rename("a", "b")));
    t.push_back(read_line(*own, "read"));
    t.push_back("w2 " + std::to_string(own->write("+tail", 5)));
    t.push_back("sync " + std::to_string(own->sync()));
    t.push_back(read_line(*own, "read-again"));
    t.push_back(stat_line(*own, "fstat"));
    t.push_back("b-open: " + look(ops, "b"));
    t.push_back("close " + std::to_string(own->close()));
    t.push_back("b-closed: " + look(ops, "b"));
    t.push_back("a: " + look(ops, "a"));
}

class OpenRename : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.ok());
        plain = tmp.sub("plain");
        ASSERT_EQ(0, mkdir(plain.c_str(), 0755));
        std::string text = mount_config("/vf", {tmp.sub("f0"), tmp.sub("f1")}, "flat") +
                           mount_config("/vk", {tmp.sub("k0"), tmp.sub("k1")}, "container");
        auto cfg = use_config(tmp.sub("vesk.conf"), text);
        ASSERT_TRUE(cfg->errors.empty());
        ASSERT_EQ(2u, cfg->mounts.size());
    }
    void TearDown() override { unsetenv("VESK_CONFIG"); }

    // Runs `s` on plain files and on both mounts (each in a fresh
    // directory of its own) and compares the transcripts line by line.
    // `container_differs`: labels of the steps where a container does not
    // behave as a plain file (see docs/reliability.md); those are compared
    // with `container_gives` instead.
    void compare(const std::string &name, Scenario s,
                 const std::map<std::string, std::string> &container_gives = {}) {
        std::string sub = "/" + name;
        ASSERT_EQ(0, mkdir((plain + sub).c_str(), 0755));
        ASSERT_EQ(0, vesk_mkdir(("/vf" + sub).c_str(), 0755));
        ASSERT_EQ(0, vesk_mkdir(("/vk" + sub).c_str(), 0755));
        PosixOps posix(plain + sub);
        VeskOps flat("/vf" + sub), cont("/vk" + sub);
        Transcript want, tf, tc;
        s(posix, want);
        s(flat, tf);
        s(cont, tc);
        ASSERT_EQ(want.size(), tf.size());
        ASSERT_EQ(want.size(), tc.size());
        size_t used = 0;
        for (size_t i = 0; i < want.size(); i++) {
            EXPECT_EQ(want[i], tf[i]) << "flat mount, step " << i;
            std::string label = want[i].substr(0, want[i].find(' '));
            auto dev = container_gives.find(label);
            if (dev == container_gives.end()) {
                EXPECT_EQ(want[i], tc[i]) << "container mount, step " << i;
            } else {
                used++;
                EXPECT_NE(want[i], tc[i]) << "step " << i << " now matches a plain file: "
                                          << "drop it from the deviations";
                EXPECT_EQ(dev->second, tc[i]) << "container mount, step " << i;
            }
        }
        EXPECT_EQ(container_gives.size(), used);
    }

    TempDir tmp;
    std::string plain;
};

TEST_F(OpenRename, RenameWhileAnotherProcessWrites) {
    compare("rw", rename_while_open);
    // The holder's close left its records in the container it wrote (now
    // b), none under the old name, where the new file a stands.
    vesk::Resolved a, b;
    ASSERT_EQ(0, vesk::resolve("/vk/rw/a", &a));
    ASSERT_EQ(0, vesk::resolve("/vk/rw/b", &b));
    std::vector<vesk_cont::OpenWriter> open;
    ASSERT_EQ(0, vesk_cont::list_open_writers(b.backend_path, open));
    EXPECT_TRUE(open.empty()) << "stale open-writer record " << open[0].name;
    std::vector<vesk_cont::WriterMeta> in_a, in_b;
    vesk_cont::TruncMeta t;
    ASSERT_EQ(0, vesk_cont::list_meta(a.backend_path, in_a, t));
    ASSERT_EQ(0, vesk_cont::list_meta(b.backend_path, in_b, t));
    ASSERT_EQ(1u, in_b.size());
    for (const vesk_cont::WriterMeta &m : in_a)
        EXPECT_NE(in_b[0].pid, m.pid) << "the holder's size record landed in the new file";
    EXPECT_EQ(-EEXIST, vesk_recover("/vk/rw/b"));
}

// A container unlinked, or replaced by a rename, while another process
// holds it: the holder's writes go on without error and nothing of any
// other file shows through its handle, but the logs are gone from the
// backend, so it reads an empty file where a plain file's holder still
// reads what it wrote. (Its bytes die with its last close either way.)
TEST_F(OpenRename, UnlinkWhileAnotherProcessWrites) {
    compare("uw", unlink_while_open, {{"fsize", "fsize 0"}});
}
TEST_F(OpenRename, RenameOverAFileAnotherProcessHolds) {
    compare("ro", rename_over_open);
}
TEST_F(OpenRename, RenameOfAFileThisProcessHolds) { compare("own", rename_own_open); }

// What this process holds open lives until its last close here, also when
// its name is gone; then nothing of it stays on the backends.
TEST_F(OpenRename, FilesThisProcessHoldsLiveUntilTheLastClose) {
    compare("tmp", temp_file);
    compare("two", unlink_two_handles);
    compare("over", rename_over_own_open);
    for (const char *b : {"k0", "k1"}) {
        std::vector<std::string> left = vesk_test::staged_entries(tmp.sub(b));
        EXPECT_TRUE(left.empty()) << b << " keeps " << left.size() << " staged entries";
    }
}

}  // namespace
