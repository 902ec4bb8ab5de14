#define FUSE_USE_VERSION 31
#include "fuse/OpenFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace veskfs {

bool g_debug = false;

namespace {

std::mutex g_reg_mu;
std::map<OpenFile *, std::shared_ptr<OpenFile>> g_all;

}  // namespace

int publish_writers(OpenFile *h) {
    if (!h->unpublished || h->closed) return 0;
    int first = 0;
    VeskfsCreatorScope scope(h->creds);
    for (pid_t p : h->writers) {
        int rc = vesk_flush(h->fd, p);
        if (rc < 0 && first == 0) first = rc;
    }
    if (first == 0) h->unpublished = false;
    return first;
}

int sync_writers(OpenFile *h) {
    if (!h->dirty || h->closed) return 0;
    VeskfsCreatorScope scope(h->creds);
    int first = 0;
    for (pid_t p : h->writers) {
        int rc = vesk_sync(h->fd, p);
        if (rc < 0 && first == 0) first = rc;
    }
    if (first == 0) h->dirty = h->unpublished = false;
    return first;
}

int close_handle(OpenFile *h, bool durable) {
    if (h->closed || !h->fd) return 0;
    int rc = durable ? sync_writers(h) : publish_writers(h);
    VeskfsCreatorScope scope(h->creds);
    int left = vesk_close(h->fd, h->pid, h->uid, h->flags, nullptr);
    if (left < 0) {
        if (g_debug) fprintf(stderr, "veskfs: closing %s: %s\n", h->path.c_str(), strerror(-left));
        return left;
    }
    h->closed = true;
    h->fd = nullptr;
    if (rc < 0 && g_debug)
        fprintf(stderr, "veskfs: closing %s: %s\n", h->path.c_str(), strerror(-rc));
    return rc;
}

void register_open(const std::shared_ptr<OpenFile> &h) {
    std::lock_guard<std::mutex> g(g_reg_mu);
    g_all[h.get()] = h;
}

std::shared_ptr<OpenFile> unregister_open(OpenFile *h) {
    std::lock_guard<std::mutex> g(g_reg_mu);
    auto it = g_all.find(h);
    if (it == g_all.end()) return nullptr;
    std::shared_ptr<OpenFile> keep = it->second;
    g_all.erase(it);
    return keep;
}

std::vector<std::shared_ptr<OpenFile>> unregister_all() {
    std::map<OpenFile *, std::shared_ptr<OpenFile>> left;
    {
        std::lock_guard<std::mutex> g(g_reg_mu);
        left.swap(g_all);
    }
    std::vector<std::shared_ptr<OpenFile>> out;
    for (auto &e : left) out.push_back(e.second);
    return out;
}

std::vector<std::shared_ptr<OpenFile>> registered() {
    std::lock_guard<std::mutex> g(g_reg_mu);
    std::vector<std::shared_ptr<OpenFile>> out;
    for (auto &e : g_all) out.push_back(e.second);
    return out;
}

size_t open_count() {
    std::lock_guard<std::mutex> g(g_reg_mu);
    return g_all.size();
}

}  // namespace veskfs
