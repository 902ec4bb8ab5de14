/*
 * Replacing one name by another in one step, as rename(2) does, where the
 * file system alone cannot: a container is a directory, and a directory
 * does not replace a non-empty one (or a file) by a plain rename.
 *
 * The moving entry goes into the staging directory of the target's
 * backend first, with a note beside it that names its target; then
 * renameat2(RENAME_EXCHANGE) swaps it with whatever holds the target name,
 * so that the name leads to the old file or the new one at every moment;
 * then the note goes and the displaced entry is removed. Moving the entry
 * away from its name first is what keeps concurrent renames from losing
 * files: the name it came from is free before anything lands on another,
 * so each rename acts on what it found, as if the renames ran one by one.
 *
 * A crash leaves at most one staged entry and its note; finish_staged()
 * (run by container_recover) completes the move when the note's inode is
 * still that of the entry, else removes the entry: it is the displaced
 * one.
 */
#include "Util.h"
#include "container/ContainerPrivate.h"
#include "container/Layout.h"
#include "container/Staging.h"
#include "mlog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace vesk_cfile;

namespace {

// A note: what was staged, where it goes, and who is moving it.
struct Note {
    unsigned long long ino = 0;
    std::string to;
    std::string host;
    long pid = 0;
};

const char kNoteSuffix[] = ".to";

int write_note(const std::string &path, const Note &n) {
    std::string text = std::to_string(n.ino) + "\n" + std::to_string(n.pid) + "\n" + n.host +
                       "\n" + n.to + "\n";
    std::string tmp = path + ".new";
    int fd = Util::Open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return -errno;
    int r = Util::WriteAll(fd, text.data(), text.size(), 0) < 0 ? -errno : 0;
    if (Util::Close(fd) < 0 && r == 0) r = -errno;
    if (r == 0 && Util::Rename(tmp.c_str(), path.c_str()) < 0) r = -errno;
    if (r != 0) Util::Unlink(tmp.c_str());
    return r;
}

int read_note(const std::string &path, Note *n) {
    int fd = Util::Open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return -errno;
    char buf[8192];
    ssize_t got = Util::ReadAll(fd, buf, sizeof buf - 1, 0);
    Util::Close(fd);
    if (got <= 0) return -EIO;
    buf[got] = '\0';
    std::vector<std::string> lines;
    std::string all(buf, (size_t)got);
    size_t at = 0;
    while (at < all.size()) {
        size_t nl = all.find('\n', at);
        if (nl == std::string::npos) return -EIO;  // torn
        lines.push_back(all.substr(at, nl - at));
        at = nl + 1;
    }
    if (lines.size() != 4 || lines[3].empty()) return -EIO;
    n->ino = strtoull(lines[0].c_str(), nullptr, 10);
    n->pid = strtol(lines[1].c_str(), nullptr, 10);
    n->host = lines[2];
    n->to = lines[3];
    return 0;
}

unsigned long long ino_of(const std::string &path) {
    struct stat st;
    return Util::Lstat(path.c_str(), &st) == 0 ? (unsigned long long)st.st_ino : 0;
}

int remove_entry(const std::string &path) {
    int r = vesk_cont::remove_tree(path);
    return r == -ENOENT ? 0 : r;
}

// Puts the staged entry at `dst`, swapping it with whatever is there.
// *displaced: whether something was, and is now at `staged`.
int place(const std::string &staged, const std::string &dst, bool *displaced) {
    for (int tries = 0; tries < 1000; tries++) {
        if (Util::Rename2(staged.c_str(), dst.c_str(), RENAME_EXCHANGE) == 0) {
            *displaced = true;
            return 0;
        }
        if (errno != ENOENT) return -errno;
        // nothing at the target: a rename that must not replace what
        // another process puts there meanwhile
        if (Util::Rename2(staged.c_str(), dst.c_str(), RENAME_NOREPLACE) == 0) {
            *displaced = false;
            return 0;
        }
        if (errno != EEXIST) return -errno;
    }
    return -EAGAIN;
}

}  // namespace

namespace vesk_cfile {

int replace_entry(const std::string &src, const std::string &dst, const std::string &root,
                  Kind kind) {
    std::string sd;
    int r = vesk_stage::staging_dir(root, &sd);
    if (r != 0) return r;
    const std::string staged = sd + "/" + vesk_stage::staging_name("mv");
    const std::string note = staged + kNoteSuffix;
    Note n;
    n.ino = ino_of(src);
    if (n.ino == 0) return -errno;
    n.to = dst;
    n.host = vesk_cont::host();
    n.pid = (long)getpid();
    r = write_note(note, n);
    if (r != 0) return r;

    // 1. the entry leaves its name
    bool copied = false;
    r = Util::retValue(Util::Rename(src.c_str(), staged.c_str()));
    if (r == -EXDEV) {
        // another file system: a copy is staged instead, the source goes
        // once the copy is in place
        if (kind == K_CONTAINER) r = vesk_cont::copy_tree(src, staged);
        else if (kind == K_LINK) r = Util::retValue(Util::CopyLink(src.c_str(), staged.c_str()));
        else r = Util::retValue(Util::CopyFile(src.c_str(), staged.c_str()));
        n.ino = ino_of(staged);
        if (r == 0) r = write_note(note, n);
        if (r != 0) remove_entry(staged);
        copied = true;
    }
    if (r != 0) {
        Util::Unlink(note.c_str());
        return r;
    }

    // 2. it takes the target name
    bool displaced = false;
    r = place(staged, dst, &displaced);
    if (r != 0) {
        // the entry goes back where it was
        if (copied) remove_entry(staged);
        else if (Util::Rename2(staged.c_str(), src.c_str(), RENAME_NOREPLACE) < 0 &&
                 mlog_filter(kErr))
            mlog(kErr, "rename %s: left at %s: %s", src.c_str(), staged.c_str(), strerror(errno));
        Util::Unlink(note.c_str());
        return r;
    }

    // 3. what is staged now is the displaced entry, or nothing
    if (Util::Unlink(note.c_str()) < 0 && mlog_filter(kErr))
        mlog(kErr, "rename %s: note %s: %s", dst.c_str(), note.c_str(), strerror(errno));
    // A displaced container this process holds open stays until its last
    // close, under a name of its own that no recovery of renames takes
    // for theirs.
    if (displaced && !keep_while_open(staged, sd + "/" + vesk_stage::staging_name("unlink"))) {
        int rr = remove_entry(staged);
        if (rr != 0 && mlog_filter(kErr))
            mlog(kErr, "rename over %s: the old file stays at %s: %s", dst.c_str(),
                 staged.c_str(), strerror(-rr));
    }
    if (copied) {
        // this process's holders of the file go on in the copy; the
        // source goes
        if (SharedFile *sh = pin_open(src)) {
            int rr = rebind_open(sh, dst);
            unpin(sh);
            if (rr != 0 && mlog_filter(kErr))
                mlog(kErr, "rename %s: open here, not moved to %s: %s", src.c_str(), dst.c_str(),
                     strerror(-rr));
        }
        int rr = remove_entry(src);
        if (rr != 0) return rr;
    }
    if (mlog_filter(kInfo))
        mlog(kInfo, "rename %s to %s%s%s", src.c_str(), dst.c_str(), displaced ? ", replaced" : "",
             copied ? ", copied" : "");
    return 0;
}

int sweep_slots(const std::string &root) {
    const std::string sd = root + "/" + vesk_stage::kStagingName;
    std::vector<std::string> slots;
    if (Util::ListDir(sd.c_str(), &slots) != 0) return errno == ENOENT ? 0 : -errno;
    int ret = 0;
    for (const std::string &slot : slots) {
        // Only this host's processes can be asked whether they still run;
        // another user's slot cannot be looked into (nor its entries
        // removed) but by that user or root.
        if (!vesk_stage::slot_of_this_host(slot)) continue;
        std::vector<std::string> names;
        if (Util::ListDir((sd + "/" + slot).c_str(), &names) != 0) continue;
        for (const std::string &name : names) {
            pid_t pid = vesk_stage::staged_by(name);
            if (pid == 0 || name.compare(0, 3, "mv.") == 0) continue;
            if (!(kill(pid, 0) < 0 && errno == ESRCH)) continue;  // it may still run
            std::string entry = sd + "/" + slot + "/" + name;
            int r = remove_entry(entry);
            if (r == 0 && mlog_filter(kInfo))
                mlog(kInfo, "removed %s: its process ended", entry.c_str());
            if (r != 0 && ret == 0) ret = r;
        }
    }
    return ret;
}

int finish_staged(const std::string &root, int *done) {
    std::string sd = root + "/" + vesk_stage::kStagingName;
    std::vector<std::string> names;
    if (Util::ListDir(sd.c_str(), &names) != 0) return errno == ENOENT ? 0 : -errno;
    const size_t sl = sizeof kNoteSuffix - 1;
    int ret = 0;
    auto is_note = [&](const std::string &s) {
        return s.size() > sl && s.compare(s.size() - sl, sl, kNoteSuffix) == 0;
    };
    for (const std::string &name : names) {
        // only the entries of renames are this code's to tidy
        if (name.compare(0, 3, "mv.") != 0) continue;
        std::string entry = sd + "/" + name;
        if (is_note(name)) {
            // a note whose entry is gone: the move ended or never began
            std::string staged = entry.substr(0, entry.size() - sl);
            if (!Util::exists(staged.c_str()) && Util::Unlink(entry.c_str()) == 0) (*done)++;
            continue;
        }
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0) {
            Util::Unlink(entry.c_str());
            continue;
        }
        Note n;
        bool has_note = read_note(entry + kNoteSuffix, &n) == 0;
        if (has_note) {
            // a mover of this host that still runs is left alone
            bool alive = n.host == vesk_cont::host() && !(kill((pid_t)n.pid, 0) < 0 &&
                                                          errno == ESRCH);
            struct stat ns;
            if (n.host != vesk_cont::host() &&
                Util::Lstat((entry + kNoteSuffix).c_str(), &ns) == 0 &&
                time(nullptr) - ns.st_mtime < 600)
                alive = true;  // another host's: given time to finish
            if (alive) continue;
        }
        int r = 0;
        if (has_note && ino_of(entry) == n.ino) {
            // the move stopped before the entry took its name: finish it
            bool displaced = false;
            r = place(entry, n.to, &displaced);
            if (r == 0 && displaced) r = remove_entry(entry);
            if (mlog_filter(kInfo))
                mlog(kInfo, "finished the rename to %s: %s", n.to.c_str(), strerror(-r));
        } else {
            r = remove_entry(entry);
        }
        if (r == 0 && has_note) Util::Unlink((entry + kNoteSuffix).c_str());
        if (r == 0) (*done)++;
        else if (ret == 0) ret = r;
    }
    return ret;
}

}  // namespace vesk_cfile
