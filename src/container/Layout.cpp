#include "container/Layout.h"
#include "util/Crc32c.h"

#include "Util.h"
#include "container/Container.h"
#include "container/Format.h"
#include "container/Staging.h"
#include "mlog.h"

#include <cerrno>
#include <climits>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vesk_cont {

const char *const kGlobalIndexName = "global.index";
const char *const kOpenWritersDir = "openwriters";
const char *const kMetaDir = "meta";

namespace {

// The marker's first line names the format version; the second carries
// the CRC-32C of the first (line feed included) as 8 lowercase hex digits,
// so that a changed bit anywhere shows. Markers made before the checksum
// line are the first line alone.
const char kMarkerLine[] = "vesk-container " VESK_CONTAINER_VERSION_TEXT "\n";
const char kMarkerCrcWord[] = "crc32c ";

std::string marker_text() {
    char crc[16];
    snprintf(crc, sizeof crc, "%08x",
             (unsigned)vesk_crc32c(0, kMarkerLine, sizeof kMarkerLine - 1));
    return std::string(kMarkerLine) + kMarkerCrcWord + crc + "\n";
}

// The version a marker's text names, 0 when it is not a marker this
// system wrote: exactly a first line of a known version, then either
// nothing or the checksum line matching it.
uint32_t marker_version(const std::string &text) {
    size_t nl = text.find('\n');
    if (nl == std::string::npos) return 0;
    const std::string line = text.substr(0, nl + 1);
    uint32_t v = 0;
    if (line == "vesk-container 1\n") v = vesk_fmt::kOldVersion;
    else if (line == kMarkerLine) v = vesk_fmt::kVersion;
    else return 0;
    if (text.size() == line.size()) return v;
    char crc[16];
    snprintf(crc, sizeof crc, "%08x", (unsigned)vesk_crc32c(0, line.data(), line.size()));
    return text.compare(line.size(), std::string::npos,
                        std::string(kMarkerCrcWord) + crc + "\n") == 0 ? v : 0;
}

int list_names(const std::string &dir, std::vector<std::string> &out) {
    return Util::ListDir(dir.c_str(), &out) == 0 ? 0 : -errno;
}

int make_empty(const std::string &path, mode_t mode) {
    int fd = Util::Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) return -errno;
    Util::Close(fd);
    return 0;
}

// Makes the record directory `dir` of a container (and tolerates it being
// there already) with the container directory's own bits: writable, and
// sticky, exactly where the file lets others write.
int ensure_dir(const std::string &dir) {
    struct stat st;
    std::string container = dir.substr(0, dir.rfind('/'));
    mode_t mode = Util::Lstat(container.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                      ? st.st_mode & 07777 : 0755;
    return make_member_dir(dir, mode);
}

}  // namespace

const std::string &host() {
    static const std::string name = [] {
        std::string h = Util::hostname();
        for (char &c : h)
            if (c == '/' || c == ' ' || c == '\0') c = '_';
        if (h.empty()) h = "localhost";
        return h;
    }();
    return name;
}

std::string hostdir(const std::string &c, const std::string &h) { return c + "/hostdir." + h; }

std::string data_log(const std::string &c, const std::string &h, pid_t pid) {
    return hostdir(c, h) + "/data." + std::to_string(pid);
}

std::string index_log(const std::string &c, const std::string &h, pid_t pid) {
    return hostdir(c, h) + "/index." + std::to_string(pid);
}

std::string marker(const std::string &c) { return c + "/" VESK_CONTAINER_MARKER; }

mode_t dir_mode(mode_t mode) {
    // Search permission for all, so that anyone may stat the marker as
    // anyone may stat a file; the logs keep the file's own bits. Who may
    // read the file may list its logs, who may write it may add some;
    // the sticky bit keeps them from removing or swapping anyone else's.
    mode_t d = 0711 | (mode & 0066);
    if (mode & 0022) d |= S_ISVTX;
    return d;
}

int has_marker(const std::string &dir) {
    struct stat st;
    if (Util::Lstat(marker(dir).c_str(), &st) < 0) return errno == ENOENT ? 0 : -errno;
    // Its text is not read here: that would touch the file's access time,
    // which the marker carries. read_marker tells a sound one from a
    // damaged one, which recovery rewrites.
    return S_ISREG(st.st_mode) ? 1 : 0;
}

mode_t log_mode(mode_t mode) { return (mode & 0444) | 0600; }

int make_member_dir(const std::string &dir, mode_t bits) {
    if (Util::Mkdir(dir.c_str(), 0700) < 0) return errno == EEXIST ? 0 : -errno;
    return Util::Chmod(dir.c_str(), (int)bits) < 0 ? -errno : 0;
}

int write_marker(const std::string &dir, mode_t mode, bool durable) {
    std::string m = marker(dir);
    int fd = Util::Open(m.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode & 07777);
    if (fd < 0) return -errno;
    int r = 0;
    // The bits pass through the umask, as open(2) would pass them.
    const std::string text = marker_text();
    if (Util::WriteAll(fd, text.data(), text.size(), 0) < 0) r = -errno;
    // A new file's marker is synced by the file's first sync or rename
    // (sync_marker), not here: a file made and removed unsynced (MPI-IO's
    // lock test at every open, temporary files) then costs no disk flush.
    if (r == 0 && durable && Util::Fsync(fd) < 0) r = -errno;
    Util::Close(fd);
    return r;
}

int sync_marker(const std::string &dir) {
    int fd = Util::Open(marker(dir).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return errno == ENOENT ? 0 : -errno;
    int r = Util::Fsync(fd) < 0 ? -errno : 0;
    Util::Close(fd);
    return r;
}

// Renames the container built at `tmp` to `dir`, which must not exist:
// whatever took the name meanwhile (an empty directory too, which rename(2)
// would replace) makes it -EEXIST.
static int rename_into_place(const std::string &tmp, const std::string &dir) {
    if (Util::Rename2(tmp.c_str(), dir.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int r = -errno;
    if (r == -EINVAL || r == -ENOSYS) {
        // a file system without RENAME_NOREPLACE (some network ones)
        if (Util::exists(dir.c_str())) return -EEXIST;
        r = Util::Rename(tmp.c_str(), dir.c_str()) == 0 ? 0 : -errno;
    }
    if (r == -ENOTEMPTY || r == -EISDIR || r == -ENOTDIR) r = -EEXIST;
    return r;
}

int create_container(const std::string &dir, mode_t mode) {
    // Built in the backend's staging directory, out of every listing and
    // under a short name whatever the length of the file's own.
    std::string tmp;
    struct stat ps;
    int sr = vesk_stage::staging_path_for(dir, "new", &tmp, &ps);
    if (sr < 0) return sr;
    if (Util::Mkdir(tmp.c_str(), 0700) < 0) return -errno;
    int r = write_marker(tmp, mode, false);
    // The directory follows the bits the marker got past the umask.
    struct stat ms;
    if (r == 0 && Util::Lstat(marker(tmp).c_str(), &ms) < 0) r = -errno;
    // Made away from its directory, it takes the group it would have got
    // there: a set-group-ID directory's. The owner's chown clears set-ID
    // bits, which the file keeps. Best effort, as the kernel's own rule.
    bool parent_known = ps.st_ino != 0 || Util::Lstat(Util::dirName(dir).c_str(), &ps) == 0;
    if (r == 0 && parent_known && (ps.st_mode & S_ISGID) && ms.st_gid != ps.st_gid &&
        Util::Lchown(marker(tmp).c_str(), (uid_t)-1, ps.st_gid) == 0) {
        Util::Lchown(tmp.c_str(), (uid_t)-1, ps.st_gid);
        Util::Chmod(marker(tmp).c_str(), (int)(ms.st_mode & 07777));
    }
    if (r == 0 && Util::Chmod(tmp.c_str(), (int)dir_mode(ms.st_mode)) < 0) r = -errno;
    if (r == 0) r = rename_into_place(tmp, dir);
    if (r != 0) remove_tree(tmp);
    return r;
}

int read_whole(const std::string &path, std::string &out) {
    int fd = Util::Open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return -errno;
    struct stat st;
    if (Util::Fstat(fd, &st) < 0) {
        int r = -errno;
        Util::Close(fd);
        return r;
    }
    out.resize((size_t)st.st_size);
    ssize_t n = st.st_size ? Util::ReadAll(fd, &out[0], out.size(), 0) : 0;
    int r = n < 0 ? -errno : 0;
    if (n >= 0) out.resize((size_t)n);
    Util::Close(fd);
    return r;
}

int read_marker(const std::string &dir, uint32_t *version) {
    std::string text;
    int r = read_whole(marker(dir), text);
    if (r != 0) return r;
    // Empty: made and never synced when the machine stopped (its name was
    // made durable by a sync of the directory for another file).
    uint32_t v = text.empty() ? vesk_fmt::kVersion : text.size() <= 64 ? marker_version(text) : 0;
    if (v == 0) {
        if (mlog_filter(MLOG_ERR | VESK_FAC_CONTAINER))
            mlog(MLOG_ERR | VESK_FAC_CONTAINER, "%s: unrecognised container marker (%s)",
                 dir.c_str(),
                 text.compare(0, 15, "vesk-container ") == 0 ? "checksum or text damaged"
                                                             : "no marker text");
        return -EIO;
    }
    *version = v;
    return 0;
}

int repair_marker(const std::string &dir) {
    // The marker carries the file's bits and times: both outlive the
    // rewrite (its text is all that changes).
    std::string m = marker(dir);
    struct stat ms;
    bool had = Util::Lstat(m.c_str(), &ms) == 0 && S_ISREG(ms.st_mode);
    mode_t bits = had ? ms.st_mode & 07777 : 0644;
    int r = write_marker(dir, bits, true);
    if (r == 0 && Util::Chmod(m.c_str(), (int)bits) < 0) r = -errno;
    if (r == 0 && had) {
        struct timespec ts[2] = {ms.st_atim, ms.st_mtim};
        if (Util::Utimens(m.c_str(), ts, AT_SYMLINK_NOFOLLOW) < 0) r = -errno;
    }
    return r;
}

/* --- open writers --------------------------------------------------------- */

int add_open_writer(const std::string &dir, pid_t pid) {
    std::string d = dir + "/" + kOpenWritersDir;
    int r = ensure_dir(d);
    if (r != 0) return r;
    return make_empty(d + "/" + std::to_string(pid) + "." + host(), 0644);
}

int remove_open_writer(const std::string &dir, pid_t pid) {
    std::string f = dir + "/" + kOpenWritersDir + "/" + std::to_string(pid) + "." + host();
    if (Util::Unlink(f.c_str()) < 0 && errno != ENOENT) return -errno;
    return 0;
}

int list_open_writers(const std::string &dir, std::vector<OpenWriter> &out) {
    std::vector<std::string> names;
    int r = list_names(dir + "/" + kOpenWritersDir, names);
    if (r == -ENOENT) return 0;
    if (r != 0) return r;
    for (const std::string &n : names) {
        char *end = nullptr;
        long pid = strtol(n.c_str(), &end, 10);
        if (!end || *end != '.' || !pid_in_range(pid)) continue;
        out.push_back(OpenWriter{(pid_t)pid, std::string(end + 1), n});
    }
    return 0;
}

/* --- size records --------------------------------------------------------- */

uint64_t to_us(double t) { return t <= 0 ? 0 : (uint64_t)(t * 1e6); }

// Records of the current format carry a CRC-32C of their fields:
// "<kind>2.<crc, 8 hex digits>.<fields>". The fields of a record whose
// checksum matches (or of an older record without one, "<kind>.<fields>")
// are returned in `fields` with the "<kind>." prefix the parsers expect;
// false for a damaged one.
static bool meta_fields(const std::string &n, char kind, std::string &fields) {
    if (n.size() > 2 && n[0] == kind && n[1] == '.') {
        fields = n;
        return true;
    }
    if (n.size() < 12 || n[0] != kind || n[1] != '2' || n[2] != '.' || n[11] != '.')
        return false;
    char *end = nullptr;
    unsigned long crc = strtoul(n.c_str() + 3, &end, 16);
    if (end != n.c_str() + 11) return false;
    const std::string rest = n.substr(12);
    if ((uint32_t)crc != vesk_crc32c(0, rest.data(), rest.size())) return false;
    fields = std::string(1, kind) + "." + rest;
    return true;
}

bool meta_name_damaged(const std::string &n) {
    std::string f;
    if (n.size() < 3 || (n[0] != 'w' && n[0] != 't') || n[1] != '2' || n[2] != '.') return false;
    return !meta_fields(n, n[0], f);
}

static std::string meta_name(char kind, const std::string &rest) {
    char crc[16];
    snprintf(crc, sizeof crc, "%08x", (unsigned)vesk_crc32c(0, rest.data(), rest.size()));
    return std::string(1, kind) + "2." + crc + "." + rest;
}

int list_meta(const std::string &dir, std::vector<WriterMeta> &writers, TruncMeta &trunc) {
    std::vector<std::string> names;
    int r = list_names(dir + "/" + kMetaDir, names);
    if (r == -ENOENT) return 0;
    if (r != 0) return r;
    for (const std::string &n : names) {
        std::string f;
        if (meta_fields(n, 'w', f)) {
            WriterMeta m;
            unsigned long long eof, bytes, isize, since;
            long pid;
            int used = 0;
            if (sscanf(f.c_str(), "w.%llu.%llu.%llu.%llu.%ld.%n", &eof, &bytes, &isize, &since,
                       &pid, &used) != 5 || used == 0 || !pid_in_range(pid) ||
                eof >= vesk_fmt::kMaxOffset || isize >= vesk_fmt::kMaxOffset)
                continue;
            m.eof = (off_t)eof;
            m.bytes = bytes;
            m.isize = (off_t)isize;
            m.since_us = since;
            m.pid = (pid_t)pid;
            m.host = f.substr((size_t)used);
            m.name = n;
            writers.push_back(m);
        } else if (meta_fields(n, 't', f)) {
            unsigned long long len, when;
            if (sscanf(f.c_str(), "t.%llu.%llu", &len, &when) != 2 ||
                len >= vesk_fmt::kMaxOffset)
                continue;
            // several only after a crash between write and removal: the
            // latest counts
            if (!trunc.present || when > trunc.when_us) {
                trunc.present = true;
                trunc.length = (off_t)len;
                trunc.when_us = when;
                trunc.name = n;
            }
        }
    }
    return 0;
}

int remove_writer_meta(const std::string &dir, pid_t pid, const std::string &h) {
    std::vector<WriterMeta> ws;
    TruncMeta t;
    int r = list_meta(dir, ws, t);
    if (r != 0) return r;
    for (const WriterMeta &w : ws) {
        if (w.pid == pid && w.host == h) {
            std::string f = dir + "/" + kMetaDir + "/" + w.name;
            if (Util::Unlink(f.c_str()) < 0 && errno != ENOENT) r = -errno;
        }
    }
    return r;
}

int write_writer_meta(const std::string &dir, const WriterMeta &m) {
    std::string d = dir + "/" + kMetaDir;
    int r = ensure_dir(d);
    if (r != 0) return r;
    r = remove_writer_meta(dir, m.pid, m.host);
    if (r != 0) return r;
    char fields[256];
    snprintf(fields, sizeof fields, "%llu.%llu.%llu.%llu.%ld.%s", (unsigned long long)m.eof,
             (unsigned long long)m.bytes, (unsigned long long)m.isize,
             (unsigned long long)m.since_us, (long)m.pid, m.host.c_str());
    return make_empty(d + "/" + meta_name('w', fields), 0644);
}

int write_trunc_meta(const std::string &dir, off_t length, uint64_t when_us) {
    std::string d = dir + "/" + kMetaDir;
    int r = ensure_dir(d);
    if (r != 0) return r;
    std::vector<WriterMeta> ws;
    TruncMeta old;
    list_meta(dir, ws, old);
    char fields[96];
    snprintf(fields, sizeof fields, "%llu.%llu", (unsigned long long)length,
             (unsigned long long)when_us);
    std::string name = meta_name('t', fields);
    r = make_empty(d + "/" + name, 0644);
    if (r == 0 && old.present && old.name != name) {
        std::string f = d + "/" + old.name;
        Util::Unlink(f.c_str());
    }
    return r;
}

/* --- trees ---------------------------------------------------------------- */

int remove_tree(const std::string &path) {
    struct stat st;
    if (Util::Lstat(path.c_str(), &st) < 0) return -errno;
    if (!S_ISDIR(st.st_mode)) return Util::Unlink(path.c_str()) < 0 ? -errno : 0;
    std::vector<std::string> names;
    int r = list_names(path, names);
    if (r != 0) return r;
    for (const std::string &n : names) {
        int rr = remove_tree(path + "/" + n);
        if (rr != 0 && rr != -ENOENT) r = rr;
    }
    if (Util::Rmdir(path.c_str()) < 0 && errno != ENOENT) r = -errno;
    return r;
}

int copy_tree(const std::string &from, const std::string &to) {
    struct stat st;
    if (Util::Lstat(from.c_str(), &st) < 0) return -errno;
    if (S_ISREG(st.st_mode)) return Util::CopyFile(from.c_str(), to.c_str()) < 0 ? -errno : 0;
    if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        ssize_t n = Util::Readlink(from.c_str(), buf, sizeof buf - 1);
        if (n < 0) return -errno;
        buf[n] = '\0';
        return Util::Symlink(buf, to.c_str()) < 0 ? -errno : 0;
    }
    if (!S_ISDIR(st.st_mode)) return -ENOSYS;
    if (Util::Mkdir(to.c_str(), 0700) < 0) return -errno;
    std::vector<std::string> names;
    int r = list_names(from, names);
    for (size_t i = 0; r == 0 && i < names.size(); i++)
        r = copy_tree(from + "/" + names[i], to + "/" + names[i]);
    // The owner as far as the caller may give it (the files keep theirs
    // through CopyFile); then the bits, which a change of owner may clear.
    if (r == 0 && Util::Lchown(to.c_str(), st.st_uid, st.st_gid) < 0)
        Util::Lchown(to.c_str(), (uid_t)-1, st.st_gid);
    if (r == 0 && Util::Chmod(to.c_str(), (int)(st.st_mode & 07777)) < 0) r = -errno;
    return r;
}

}  // namespace vesk_cont

#include "config/Config.h"

namespace vesk_cont {
std::string backend_of(const std::string &path) {
    vesk::Resolved r;
    if (vesk::resolve(path.c_str(), &r) == 0) return r.backend_path;
    return path;
}

namespace {
const char kHeldPrefix[] = "/proc/self/fd/";
}

std::string held_path(int dirfd) { return kHeldPrefix + std::to_string(dirfd) + "/."; }

bool is_held_path(const std::string &path) {
    return path.compare(0, sizeof kHeldPrefix - 1, kHeldPrefix) == 0;
}

bool is_held_dir(const std::string &path) {
    if (!is_held_path(path)) return false;
    size_t i = sizeof kHeldPrefix - 1, digits = i;
    while (i < path.size() && path[i] >= '0' && path[i] <= '9') i++;
    return i > digits && path.compare(i, std::string::npos, "/.") == 0;
}

std::string current_path(const std::string &path) {
    if (!is_held_path(path)) return path;
    std::string link = path.substr(0, path.rfind('/'));  // without the "/."
    char buf[PATH_MAX];
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return path;
    std::string now(buf, (size_t)n);
    if (now[0] != '/' || now.find(" (deleted)") != std::string::npos) return path;
    return now;
}
}  // namespace vesk_cont
