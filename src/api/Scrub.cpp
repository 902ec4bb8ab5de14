/*
 * vesk_scrub: the check behind vesk_fsck, for one logical file.
 */
#include "vesk.h"

#include "api/Scrub.h"
#include "config/Config.h"
#include "container/Container.h"
#include "container/ContainerPrivate.h"
#include "container/Scrub.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace vesk_cfile;

namespace {

// A flat file has no checksums: it is sound when every byte reads.
int scrub_flat(const char *path, std::vector<Vesk_scrub_problem> &out, uint64_t *bytes) {
    Vesk_fd *fd = nullptr;
    int r = vesk_open(&fd, path, O_RDONLY, getpid(), 0);
    if (r != 0) return r;
    static const size_t kChunk = 1 << 20;
    std::unique_ptr<char[]> buf(new char[kChunk]);
    off_t off = 0;
    for (;;) {
        ssize_t n = vesk_read(fd, buf.get(), kChunk, off);
        if (n < 0) {
            out.push_back(Vesk_scrub_problem{path, "", (long long)off, -1,
                                             std::string("unreadable: ") + strerror((int)-n),
                                             false});
            break;
        }
        if (n == 0) break;
        off += n;
    }
    if (bytes) *bytes += (uint64_t)off;
    vesk_close(fd, getpid(), getuid(), O_RDONLY);
    return 0;
}

}  // namespace

int vesk_scrub(const char *path, int repair, std::vector<Vesk_scrub_problem> &problems,
               uint64_t *bytes_checked) {
    return vesk::scrub_file(path, repair != 0, problems, bytes_checked, nullptr);
}

int vesk::scrub_file(const char *path, bool repair, std::vector<Vesk_scrub_problem> &problems,
                     uint64_t *bytes_checked, int *recovered) {
    if (recovered) *recovered = -EEXIST;
    if (!path) return -EINVAL;
    vesk::Resolved res;
    int r = vesk::resolve(path, &res);
    if (r != 0) return r;
    if (res.mount->layout == vesk::Layout::Flat) return scrub_flat(path, problems, bytes_checked);
    std::string dir;
    r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k == K_DIR) return -EISDIR;
    if (k != K_CONTAINER) return 0;  // a link: nothing stored to check
    std::vector<VeskScrubProblem> found;
    VeskScrubStats stats;
    r = container_scrub(dir, repair, found, &stats);
    if (bytes_checked) *bytes_checked += stats.data_bytes;
    if (r == 0 && repair) {
        // What the scrub set aside changed the logs: the size records and
        // the rest are rebuilt from what is left.
        int rr = container_recover(path);
        if (recovered) *recovered = rr;
        if (rr == 0)
            for (VeskScrubProblem &p : found)
                if (p.part.compare(0, 5, "meta/") == 0 || p.what.find("size record") != std::string::npos)
                    p.repaired = true;
    }
    for (const VeskScrubProblem &p : found)
        problems.push_back(Vesk_scrub_problem{path, p.part, (long long)p.begin, (long long)p.end,
                                              p.what, p.repaired});
    return r;
}
