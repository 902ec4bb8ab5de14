/* Crash consistency without pulling the plug.
 *
 * CrashRecorder sits under the Util system-call table. While installed it
 * passes every call on to the real system and records, in order, each
 * successful call that changes something below one root directory:
 * opens (with O_CREAT / O_TRUNC), writes, truncations, fsyncs (of files and
 * of directories), renames, mkdir, rmdir, unlink, symlink.
 *
 * replay(n, out) rebuilds in `out` the tree below the root as a power loss
 * right after the first n recorded calls would leave it, on a file system
 * that keeps only what was synced:
 *  - a file's content is what it held at its last fsync (none: empty);
 *  - a directory's entries are those it held at its last fsync; an entry
 *    made or removed since is dropped or comes back. So a new file whose
 *    directory was never synced is gone, a rename whose directories were
 *    not synced never happened, and a name synced in both directories of a
 *    half-synced rename shows up in both.
 * What was below the root when the recorder was made counts as synced.
 *
 * This is stricter than most journalling file systems, which is the point:
 * code that survives it makes no promise it cannot keep on any POSIX file
 * system. Only one recorder may be installed at a time; calls are
 * serialized while it is.
 */
#ifndef VESK_CRASH_REPLAY_UTIL_H
#define VESK_CRASH_REPLAY_UTIL_H

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Util.h"

namespace vesk_test {

class CrashRecorder {
public:
    enum class Op { Open, Close, Write, Ftruncate, Truncate, Fsync, Rename, Exchange, Mkdir,
                    Rmdir, Unlink, Symlink };
    struct Call {
        Op op;
        int fd = -1;
        int flags = 0;
        mode_t mode = 0;
        off_t off = 0;  // write offset, truncation length
        std::string path, path2;  // relative to the root; path2: rename target
        std::string data;         // written bytes, symlink content
    };

    explicit CrashRecorder(const std::string &root) : root_(normalize(root)) {
        snapshot(root_, 0);
    }
    ~CrashRecorder() { uninstall(); }
    CrashRecorder(const CrashRecorder &) = delete;
    CrashRecorder &operator=(const CrashRecorder &) = delete;

    void install() {
        std::lock_guard<std::mutex> g(mu());
        if (active() == this) return;
        active() = this;
        saved_ = Util::syscalls();
        VeskSyscalls &t = Util::syscalls();
        t.open = h_open;
        t.close = h_close;
        t.pwrite = h_pwrite;
        t.fsync = h_fsync;
        t.ftruncate = h_ftruncate;
        t.truncate = h_truncate;
        t.rename = h_rename;
        t.rename2 = h_rename2;
        t.mkdir = h_mkdir;
        t.rmdir = h_rmdir;
        t.unlink = h_unlink;
        t.symlink = h_symlink;
    }
    void uninstall() {
        std::lock_guard<std::mutex> g(mu());
        if (active() != this) return;
        Util::syscalls() = saved_;
        active() = nullptr;
    }

    /* Calls recorded so far: a cut point for replay. */
    size_t count() const {
        std::lock_guard<std::mutex> g(mu());
        return calls_.size();
    }
    const std::vector<Call> &calls() const { return calls_; }
    size_t fsyncs_before(size_t n) const {
        size_t k = 0;
        for (size_t i = 0; i < n && i < calls_.size(); i++) k += calls_[i].op == Op::Fsync;
        return k;
    }

    /* Builds in `out` (made if missing; must be empty) the tree a power
     * loss after the first n calls leaves. 0, or minus errno. */
    int replay(size_t n, const std::string &out) const {
        Model m = initial_;
        std::map<int, int> fds;  // recorded descriptor -> node
        for (size_t i = 0; i < n && i < calls_.size(); i++) m.apply(calls_[i], fds);
        if (::mkdir(out.c_str(), 0755) < 0 && errno != EEXIST) return -errno;
        return m.materialize(0, out);
    }

private:
    struct Node {
        enum Kind { File, Dir, Link } kind = File;
        mode_t mode = 0644;
        std::string data, durable_data;                     // files; links: content
        std::map<std::string, int> entries, durable_entries;  // directories
    };

    struct Model {
        std::vector<Node> nodes;

        // The node a relative path names now, or -1; `parent` and `leaf`
        // receive the containing directory and the last component.
        int lookup(const std::string &rel, int *parent = nullptr, std::string *leaf = nullptr) const {
            if (parent) *parent = -1;
            if (rel.empty()) return 0;
            std::vector<std::string> parts;
            size_t pos = 0;
            while (pos <= rel.size()) {
                size_t slash = rel.find('/', pos);
                if (slash == std::string::npos) slash = rel.size();
                parts.push_back(rel.substr(pos, slash - pos));
                pos = slash + 1;
            }
            int cur = 0;
            for (size_t i = 0; i + 1 < parts.size(); i++) {
                auto it = nodes[cur].entries.find(parts[i]);
                if (it == nodes[cur].entries.end() || nodes[it->second].kind != Node::Dir)
                    return -1;
                cur = it->second;
            }
            if (parent) *parent = cur;
            if (leaf) *leaf = parts.back();
            auto it = nodes[cur].entries.find(parts.back());
            return it == nodes[cur].entries.end() ? -1 : it->second;
        }
        int make(Node::Kind k, mode_t mode) {
            nodes.emplace_back();
            nodes.back().kind = k;
            nodes.back().mode = mode;
            return (int)nodes.size() - 1;
        }
        static void write_at(std::string &d, off_t off, const std::string &bytes) {
            if (d.size() < (size_t)off + bytes.size()) d.resize((size_t)off + bytes.size(), '\0');
            memcpy(&d[(size_t)off], bytes.data(), bytes.size());
        }
        void apply(const Call &c, std::map<int, int> &fds) {
            int parent = -1;
            std::string leaf;
            switch (c.op) {
            case Op::Open: {
                int n = lookup(c.path, &parent, &leaf);
                if (n < 0 && (c.flags & O_CREAT) && parent >= 0) {
                    n = make(Node::File, c.mode & 07777);
                    nodes[parent].entries[leaf] = n;
                }
                if (n < 0) return;
                if ((c.flags & O_TRUNC) && nodes[n].kind == Node::File) nodes[n].data.clear();
                fds[c.fd] = n;
                return;
            }
            case Op::Close: fds.erase(c.fd); return;
            case Op::Write: {
                auto it = fds.find(c.fd);
                if (it != fds.end()) write_at(nodes[it->second].data, c.off, c.data);
                return;
            }
            case Op::Ftruncate: {
                auto it = fds.find(c.fd);
                if (it != fds.end()) nodes[it->second].data.resize((size_t)c.off, '\0');
                return;
            }
            case Op::Truncate: {
                int n = lookup(c.path);
                if (n >= 0) nodes[n].data.resize((size_t)c.off, '\0');
                return;
            }
            case Op::Fsync: {
                auto it = fds.find(c.fd);
                if (it == fds.end()) return;
                Node &nd = nodes[it->second];
                if (nd.kind == Node::Dir) nd.durable_entries = nd.entries;
                else nd.durable_data = nd.data;
                return;
            }
            case Op::Rename: {
                int sp, dp;
                std::string sl, dl;
                int n = lookup(c.path, &sp, &sl);
                lookup(c.path2, &dp, &dl);
                if (n < 0 || sp < 0 || dp < 0) return;
                nodes[sp].entries.erase(sl);
                nodes[dp].entries[dl] = n;
                return;
            }
            case Op::Exchange: {
                int sp, dp;
                std::string sl, dl;
                int n = lookup(c.path, &sp, &sl);
                int m = lookup(c.path2, &dp, &dl);
                if (n < 0 || m < 0 || sp < 0 || dp < 0) return;
                nodes[sp].entries[sl] = m;
                nodes[dp].entries[dl] = n;
                return;
            }
            case Op::Mkdir: {
                if (lookup(c.path, &parent, &leaf) >= 0 || parent < 0) return;
                int n = make(Node::Dir, c.mode & 07777);
                nodes[parent].entries[leaf] = n;
                return;
            }
            case Op::Rmdir:
            case Op::Unlink:
                if (lookup(c.path, &parent, &leaf) >= 0 && parent >= 0)
                    nodes[parent].entries.erase(leaf);
                return;
            case Op::Symlink: {
                if (lookup(c.path, &parent, &leaf) >= 0 || parent < 0) return;
                int n = make(Node::Link, 0777);
                nodes[n].data = nodes[n].durable_data = c.data;
                nodes[parent].entries[leaf] = n;
                return;
            }
            }
        }
        // Writes the durable tree of directory node `dir` below `out`.
        int materialize(int dir, const std::string &out) const {
            for (const auto &e : nodes[dir].durable_entries) {
                const Node &n = nodes[e.second];
                std::string p = out + "/" + e.first;
                if (n.kind == Node::Dir) {
                    if (::mkdir(p.c_str(), n.mode | 0700) < 0) return -errno;
                    int r = materialize(e.second, p);
                    if (r != 0) return r;
                    if (::chmod(p.c_str(), n.mode) < 0) return -errno;
                } else if (n.kind == Node::Link) {
                    if (::symlink(n.durable_data.c_str(), p.c_str()) < 0) return -errno;
                } else {
                    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                    if (fd < 0) return -errno;
                    size_t done = 0;
                    while (done < n.durable_data.size()) {
                        ssize_t w = ::write(fd, n.durable_data.data() + done,
                                            n.durable_data.size() - done);
                        if (w <= 0) {
                            int e2 = errno;
                            ::close(fd);
                            return -e2;
                        }
                        done += (size_t)w;
                    }
                    ::fchmod(fd, n.mode);
                    ::close(fd);
                }
            }
            return 0;
        }
    };

    static std::string normalize(const std::string &p) {
        std::string out;
        for (size_t i = 0; i < p.size(); i++) {
            if (p[i] == '/' && !out.empty() && out.back() == '/') continue;
            out += p[i];
        }
        while (out.size() > 1 && out.back() == '/') out.pop_back();
        return out;
    }
    // A path through a descriptor held open ("/proc/self/fd/N/..."), as
    // the path of the directory it holds.
    static std::string held(const char *path) {
        static const char kFd[] = "/proc/self/fd/";
        std::string p(path);
        if (p.compare(0, sizeof kFd - 1, kFd) != 0) return p;
        size_t end = p.find('/', sizeof kFd - 1);
        std::string link = p.substr(0, end);
        char buf[4096];
        ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
        if (n <= 0) return p;
        return std::string(buf, (size_t)n) + (end == std::string::npos ? "" : p.substr(end));
    }
    // The path relative to the root, or false when it lies outside.
    bool relative(const char *path, std::string &rel) const {
        if (!path || path[0] != '/') return false;
        std::string p = normalize(held(path));
        // "." components are dropped; ".." is not expected below the root.
        std::string clean;
        size_t pos = 0;
        while (pos < p.size()) {
            size_t s = p.find('/', pos);
            if (s == std::string::npos) s = p.size();
            std::string part = p.substr(pos, s - pos);
            pos = s + 1;
            if (part.empty() || part == ".") continue;
            clean += "/" + part;
        }
        if (clean == root_) {
            rel.clear();
            return true;
        }
        if (clean.compare(0, root_.size(), root_) != 0 || clean[root_.size()] != '/')
            return false;
        rel = clean.substr(root_.size() + 1);
        return true;
    }

    void snapshot(const std::string &dir, int node) {
        if (initial_.nodes.empty()) initial_.make(Node::Dir, 0755);
        DIR *d = opendir(dir.c_str());
        if (!d) return;
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string p = dir + "/" + name;
            struct stat st;
            if (::lstat(p.c_str(), &st) != 0) continue;
            int n;
            if (S_ISDIR(st.st_mode)) {
                n = initial_.make(Node::Dir, st.st_mode & 07777);
                snapshot(p, n);
            } else if (S_ISLNK(st.st_mode)) {
                n = initial_.make(Node::Link, 0777);
                char buf[4096];
                ssize_t k = ::readlink(p.c_str(), buf, sizeof buf);
                initial_.nodes[n].data.assign(buf, k > 0 ? (size_t)k : 0);
            } else {
                n = initial_.make(Node::File, st.st_mode & 07777);
                initial_.nodes[n].data = read_whole(p);
            }
            initial_.nodes[n].durable_data = initial_.nodes[n].data;
            initial_.nodes[node].entries[name] = n;
        }
        closedir(d);
        initial_.nodes[node].durable_entries = initial_.nodes[node].entries;
    }
    static std::string read_whole(const std::string &p) {
        std::string s;
        int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return s;
        char buf[65536];
        ssize_t k;
        while ((k = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, (size_t)k);
        ::close(fd);
        return s;
    }

    void add(Call c) { calls_.push_back(std::move(c)); }

    static std::mutex &mu() {
        static std::mutex m;
        return m;
    }
    static CrashRecorder *&active() {
        static CrashRecorder *a = nullptr;
        return a;
    }

    // The hooks: the real call, then the record of a success below the
    // root, both under the lock so the record keeps the real order.
    static int h_open(const char *path, int flags, mode_t mode) {
        std::lock_guard<std::mutex> g(mu());
        CrashRecorder *r = active();
        int fd = r->saved_.open(path, flags, mode);
        std::string rel;
        if (fd >= 0 && r->relative(path, rel)) {
            int e = errno;
            Call c;
            c.op = Op::Open;
            c.fd = fd;
            c.flags = flags;
            c.mode = mode;
            c.path = rel;
            r->add(c);
            r->tracked_.insert(fd);
            errno = e;
        }
        return fd;
    }
    static int h_close(int fd) {
        std::lock_guard<std::mutex> g(mu());
        CrashRecorder *r = active();
        if (r->tracked_.erase(fd)) {
            Call c;
            c.op = Op::Close;
            c.fd = fd;
            r->add(c);
        }
        return r->saved_.close(fd);
    }
    static ssize_t h_pwrite(int fd, const void *buf, size_t size, off_t off) {
        std::lock_guard<std::mutex> g(mu());
        CrashRecorder *r = active();
        ssize_t n = r->saved_.pwrite(fd, buf, size, off);
        if (n > 0 && r->tracked_.count(fd)) {
            Call c;
            c.op = Op::Write;
            c.fd = fd;
            c.off = off;
            c.data.assign(static_cast<const char *>(buf), (size_t)n);
            r->add(c);
        }
        return n;
    }
    static int fd_call(Op op, int fd, off_t len, int ret) {
        CrashRecorder *r = active();
        if (ret == 0 && r->tracked_.count(fd)) {
            Call c;
            c.op = op;
            c.fd = fd;
            c.off = len;
            r->add(c);
        }
        return ret;
    }
    static int h_fsync(int fd) {
        std::lock_guard<std::mutex> g(mu());
        return fd_call(Op::Fsync, fd, 0, active()->saved_.fsync(fd));
    }
    static int h_ftruncate(int fd, off_t len) {
        std::lock_guard<std::mutex> g(mu());
        return fd_call(Op::Ftruncate, fd, len, active()->saved_.ftruncate(fd, len));
    }
    static int path_call(Op op, const char *path, int ret, off_t len = 0, mode_t mode = 0,
                         const char *path2 = nullptr, const char *data = nullptr) {
        CrashRecorder *r = active();
        std::string rel, rel2;
        if (ret != 0 || !r->relative(path, rel)) return ret;
        if (path2 && !r->relative(path2, rel2)) return ret;
        int e = errno;
        Call c;
        c.op = op;
        c.path = rel;
        c.path2 = rel2;
        c.off = len;
        c.mode = mode;
        if (data) c.data = data;
        r->add(c);
        errno = e;
        return ret;
    }
    static int h_truncate(const char *p, off_t len) {
        std::lock_guard<std::mutex> g(mu());
        return path_call(Op::Truncate, p, active()->saved_.truncate(p, len), len);
    }
    static int h_rename(const char *from, const char *to) {
        std::lock_guard<std::mutex> g(mu());
        return path_call(Op::Rename, from, active()->saved_.rename(from, to), 0, 0, to);
    }
    static int h_rename2(const char *from, const char *to, unsigned flags) {
        std::lock_guard<std::mutex> g(mu());
        int ret = active()->saved_.rename2(from, to, flags);
        return path_call((flags & RENAME_EXCHANGE) ? Op::Exchange : Op::Rename, from, ret, 0, 0,
                         to);
    }
    static int h_mkdir(const char *p, mode_t mode) {
        std::lock_guard<std::mutex> g(mu());
        return path_call(Op::Mkdir, p, active()->saved_.mkdir(p, mode), 0, mode);
    }
    static int h_rmdir(const char *p) {
        std::lock_guard<std::mutex> g(mu());
        return path_call(Op::Rmdir, p, active()->saved_.rmdir(p));
    }
    static int h_unlink(const char *p) {
        std::lock_guard<std::mutex> g(mu());
        return path_call(Op::Unlink, p, active()->saved_.unlink(p));
    }
    static int h_symlink(const char *content, const char *p) {
        std::lock_guard<std::mutex> g(mu());
        return path_call(Op::Symlink, p, active()->saved_.symlink(content, p), 0, 0, nullptr,
                         content);
    }

    std::string root_;
    Model initial_;
    VeskSyscalls saved_{};
    std::vector<Call> calls_;
    std::set<int> tracked_;  // descriptors opened below the root, still open
};

}  // namespace vesk_test

#endif
