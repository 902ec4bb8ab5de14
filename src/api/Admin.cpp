/*
 * The administration entry points: index dump, recovery, flattening and
 * the format version of a file. Only containers have an index; a flat
 * file answers -ENOTSUP where an index is asked for.
 */
#include "vesk.h"

#include "api/Scrub.h"

#include "LogicalFD.h"
#include "config/Config.h"
#include "container/Container.h"
#include "mlog.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace {

// The layout serving `path`; minus errno when no mount serves it.
int layout_of(const char *path, vesk::Layout *layout) {
    if (!path) return -EINVAL;
    vesk::Resolved r;
    int ret = vesk::resolve(path, &r);
    if (ret != 0) return ret;
    *layout = r.mount->layout;
    return 0;
}

// For a flat file: 0 when something is at the path, else minus errno.
int flat_exists(const char *path) {
    struct stat st;
    return vesk_getattr(nullptr, path, &st, 0);
}

}  // namespace

int vesk_dump_index(FILE *out, const char *path, int /*compress*/) {
    vesk::Layout layout;
    int ret = layout_of(path, &layout);
    if (ret != 0) return ret;
    if (layout == vesk::Layout::Flat) {
        ret = flat_exists(path);
        return ret != 0 ? ret : -ENOTSUP;
    }
    std::vector<ContainerIndexEntry> entries;
    ret = container_index_entries(path, entries);
    if (ret == -EBADF) return -ENOTSUP;  // a plain file or a link: no index
    if (ret != 0) return ret;
    fprintf(out, "# Index of %s\n", path);
    fprintf(out, "# %18s %12s %8s %18s  %s\n", "logical_offset", "length", "writer",
            "physical_offset", "data_log");
    unsigned long long bytes = 0;
    off_t end = 0;
    std::set<std::string> logs;
    for (const ContainerIndexEntry &e : entries) {
        fprintf(out, "  %18lld %12zu %8d %18lld  %s\n", (long long)e.logical_offset, e.length,
                (int)e.writer, (long long)e.physical_offset, e.data_path.c_str());
        bytes += e.length;
        logs.insert(e.data_path);
        if (e.logical_offset + (off_t)e.length > end) end = e.logical_offset + (off_t)e.length;
    }
    fprintf(out, "# Totals: %zu entries, %llu bytes mapped, %zu data logs, extent end %lld\n",
            entries.size(), bytes, logs.size(), (long long)end);
    fflush(out);
    return 0;
}

int vesk_recover(const char *path) {
    vesk::Layout layout;
    int ret = layout_of(path, &layout);
    if (ret != 0) return ret;
    if (layout == vesk::Layout::Flat) {
        // A flat file has nothing to rebuild: it is sound when it is there.
        ret = flat_exists(path);
        return ret != 0 ? ret : -EEXIST;
    }
    // What the scrub can mend first (torn tails, records failing their
    // checks), then the recovery, which rebuilds the size records from
    // what is left.
    std::vector<Vesk_scrub_problem> problems;
    int recovered = -EEXIST;
    ret = vesk::scrub_file(path, true, problems, nullptr, &recovered);
    if (ret != 0) return container_recover(path);  // what recovery alone can do
    bool mended = false;
    for (const Vesk_scrub_problem &p : problems) mended = mended || p.repaired;
    ret = recovered;
    return ret == -EEXIST && mended ? 0 : ret;
}

int vesk_flatten_index(Vesk_fd *fd, const char *path) {
    if (!path) return -EINVAL;
    if (fd) return fd->compress_metadata(path);
    Vesk_fd *own = nullptr;
    int ret = vesk_open(&own, path, O_RDONLY, getpid(), 0);
    if (ret != 0) return ret;
    ret = own->compress_metadata(path);
    vesk_close(own, getpid(), getuid(), O_RDONLY);
    return ret;
}

int vesk_file_version(const char *path, const char **version) {
    if (!version) return -EINVAL;
    vesk::Layout layout;
    int ret = layout_of(path, &layout);
    if (ret != 0) return ret;
    if (layout == vesk::Layout::Flat) {
        ret = flat_exists(path);
        if (ret != 0) return ret;
        *version = "flat file (no container format)";
        return 0;
    }
    return container_file_version(path, version);
}

int vesk_mount_point(size_t i, char *buf, size_t size) {
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    if (i >= cfg->mounts.size()) return -ENOENT;
    const std::string &m = cfg->mounts[i].path;
    if (!buf || m.size() + 1 > size) return -ERANGE;
    memcpy(buf, m.c_str(), m.size() + 1);
    return (int)m.size();
}

void vesk_log_error(const char *text) {
    if (text) mlog(VESK_FAC_API | MLOG_ERR, "%s", text);
}
