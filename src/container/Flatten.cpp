/*
 * Flattening: the merged index of a container written to global.index, on
 * request and after the last writer of a file written by several closes,
 * so that later opens (a restart reading its checkpoint) read one file
 * instead of merging every writer's log.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "config/Config.h"
#include "container/ContainerPrivate.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "mlog.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace vesk_cfile;

namespace {

// Writes `idx` to the flattened index of `dir` under a temporary name,
// synced, then renamed over the old one: a crash leaves the old file, the
// new one whole, or none, never a torn one that a scrub would report.
int write_flattened(const std::string &dir, Index &idx) {
    std::string file = dir + "/" + vesk_cont::kGlobalIndexName;
    std::string tmp = file + ".tmp." + std::to_string(getpid());
    int out = Util::Open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return -errno;
    int r = idx.global_to_file(out);
    if (r == 0 && Util::Fsync(out) < 0) r = -errno;
    Util::Close(out);
    if (r == 0 && Util::Rename(tmp.c_str(), file.c_str()) < 0) r = -errno;
    if (r != 0) Util::Unlink(tmp.c_str());
    return r;
}

}  // namespace

int container_flatten_index(Container_OpenFile *fd, const char *path) {
    std::string dir;
    int lr = locate_open(fd, path, dir);
    if (lr != 0) return lr;
    if (!container_is_container(dir)) return Util::exists(dir.c_str()) ? -EINVAL : -ENOENT;
    // a merge that missed what this process buffers would drop it
    int fr = flush_in_process(dir);
    if (fr != 0) return fr;
    std::string file = dir + "/" + vesk_cont::kGlobalIndexName;
    // An existing flattened index would be read back; merge the logs.
    Util::Unlink(file.c_str());
    Index idx(dir);
    int r = idx.readIndex(dir);
    if (r != 0) return r;
    // A flattened index would hide the damage from every later reader.
    if (!idx.damage().empty()) return -EIO;
    idx.compress();
    r = write_flattened(dir, idx);
    // The old flattened index was unlinked above: until the directory is
    // synced, a crash may bring it back (stale, so unused) or lose the new.
    if (r == 0 && Util::FsyncDir(dir.c_str()) < 0) r = -errno;
    if (r == 0 && !any_open_writer(dir)) refresh_meta(dir, idx);
    if (mlog_filter(kInfo))
        mlog(kInfo, "flatten %s: %zu pieces: %d", dir.c_str(), idx.entries().size(), r);
    return r;
}

namespace vesk_cfile {

void flatten_after_close(const std::string &dir) {
    // Readers that check every write's bytes merge the logs, which hold
    // the checksums: a flattened index would only cost the writer.
    if (vesk::config()->verify) return;
    if (any_open_writer(dir)) return;  // its close will do it
    std::vector<IndexLogInfo> logs;
    if (index_list_logs(dir, logs) != 0 || logs.size() < 2) return;
    Index idx(dir);
    int r = idx.readIndex(dir);
    // Current already (another writer's close got there first), or damaged:
    // a flattened index would hide the damage from every later reader.
    if (r != 0 || idx.usedFlattened() || !idx.damage().empty()) return;
    idx.compress();
    r = write_flattened(dir, idx);
    // Nothing is lost when it fails: readers merge the logs as before.
    if (r != 0 && mlog_filter(kErr))
        mlog(kErr, "flatten %s after the last close: %s", dir.c_str(), strerror(-r));
    else if (mlog_filter(kDbg))
        mlog(kDbg, "flatten %s after the last close: %zu pieces", dir.c_str(),
             idx.entries().size());
}

}  // namespace vesk_cfile
