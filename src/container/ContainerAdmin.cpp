/*
 * Recovery and administration of containers: listing the index's pieces,
 * the format version, and repair after a crash.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "config/Config.h"
#include "container/ContainerPrivate.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "container/WriteFile.h"
#include "mlog.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

using vesk_cont::host;
using namespace vesk_cfile;

int container_index_entries(const char *path, std::vector<ContainerIndexEntry> &out) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k == K_DIR) return -EISDIR;
    if (k != K_CONTAINER) return -EBADF;
    // a merge that missed what this process buffers would drop it
    int fr = flush_in_process(dir);
    if (fr != 0) return fr;
    Index idx(dir);
    r = idx.readIndex(dir);
    if (r != 0) return r;
    if (!idx.damage().empty()) return -EIO;
    for (auto &kv : idx.entries()) {
        const ContainerEntry &e = kv.second;
        ContainerIndexEntry x;
        x.logical_offset = e.logical_offset;
        x.length = e.length;
        x.writer = e.id;
        x.data_path = idx.chunks()[e.original_chunk].path;
        x.physical_offset = e.physical_offset;
        out.push_back(x);
    }
    return 0;
}

int container_file_version(const char *path, const char **version) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k != K_CONTAINER) return -EINVAL;
    uint32_t v;
    r = vesk_cont::read_marker(dir, &v);
    if (r != 0) return r;
    *version = v == vesk_fmt::kOldVersion ? "1" : VESK_CONTAINER_VERSION_TEXT;
    return 0;
}

int container_recover(const char *path) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    // Renames a crash interrupted come first: finishing one may put the
    // file in place under this very name.
    // What dead processes left in their slots is tidied on the way: it
    // belongs to no file, so it is no repair of this one.
    int staged = 0;
    vesk::Resolved res;
    if (vesk::resolve(path, &res) == 0) {
        for (const std::string &b : res.mount->backends) {
            r = finish_staged(b, &staged);
            if (r == 0) r = sweep_slots(b);
            if (r != 0) return r;
        }
    }
    Kind k;
    struct stat st;
    r = classify(dir, &k, &st);
    if (r != 0) return r;
    if (k == K_NONE) return staged ? 0 : -ENOENT;
    if (k == K_FILE || k == K_LINK || k == K_OTHER) return staged ? 0 : -EEXIST;
    bool repaired = staged > 0;
    if (k == K_DIR) {
        // A directory with a container's insides lost its marker.
        std::vector<IndexLogInfo> logs;
        index_list_logs(dir, logs);
        bool insides = !logs.empty() || Util::exists((dir + "/" + vesk_cont::kMetaDir).c_str()) ||
                       Util::exists((dir + "/" + vesk_cont::kOpenWritersDir).c_str());
        if (!insides) return -EISDIR;
        mode_t bits = st.st_mode & 0666;
        r = vesk_cont::write_marker(dir, bits, true);
        if (r == 0 && Util::Chmod(vesk_cont::marker(dir).c_str(), (int)bits) < 0) r = -errno;
        if (r != 0) return r;
        repaired = true;
    } else {
        uint32_t v;
        if (vesk_cont::read_marker(dir, &v) == -EIO) {
            r = vesk_cont::repair_marker(dir);
            if (r != 0) return r;
            repaired = true;
        }
    }
    // Writers of this host that no longer run are open no more.
    std::vector<vesk_cont::OpenWriter> open;
    vesk_cont::list_open_writers(dir, open);
    bool live = false;
    for (const vesk_cont::OpenWriter &w : open) {
        if (writer_alive(w)) {
            live = true;
            continue;
        }
        std::string f = dir + "/" + vesk_cont::kOpenWritersDir + "/" + w.name;
        if (Util::Unlink(f.c_str()) == 0) repaired = true;
    }
    // A flattened index that no longer matches the logs is dropped.
    // a merge that missed what this process buffers would drop it
    int fr = flush_in_process(dir);
    if (fr != 0) return fr;
    std::string gidx = dir + "/" + vesk_cont::kGlobalIndexName;
    Index idx(dir);
    r = idx.readIndex(dir);
    if (r != 0) return r;
    // what no repair here could mend stays for a person to see
    if (!idx.damage().empty()) return -EIO;
    if (Util::exists(gidx.c_str()) && !idx.usedFlattened()) {
        Util::Unlink(gidx.c_str());
        repaired = true;
    }
    if (!live) {
        Figures f;
        if (!size_from_meta(dir, &f) || f.size != idx.lastOffset()) {
            refresh_meta(dir, idx);
            repaired = true;
        }
    }
    if (mlog_filter(kInfo)) mlog(kInfo, "recover %s: %s", dir.c_str(), repaired ? "repaired" : "sound");
    return repaired ? 0 : -EEXIST;
}
