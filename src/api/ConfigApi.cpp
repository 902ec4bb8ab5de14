/*
 * The configuration as programs see it through the public interface: its
 * soundness, its file, one mount point's description, and the built-in
 * mount a program may describe when there is no configuration file.
 */
#include "vesk.h"

#include "api/Stats.h"
#include "config/Config.h"
#include "mlog/mlog_sink.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace {

int copy_out(const std::string &s, char *buf, size_t size) {
    if (!buf || size <= s.size()) {
        if (buf && size > 0) {
            memcpy(buf, s.data(), size - 1);
            buf[size - 1] = '\0';
        }
        return -ERANGE;
    }
    memcpy(buf, s.c_str(), s.size() + 1);
    return 0;
}

}  // namespace

int vesk_config_check(char *msg, size_t size) {
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    if (cfg->errors.empty()) {
        if (msg && size > 0) msg[0] = '\0';
        return 0;
    }
    if (msg && size > 0) copy_out(cfg->errors[0], msg, size);
    return -EINVAL;
}

int vesk_config_file(char *buf, size_t size) {
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    if (cfg->file.empty()) return -ENOENT;
    return copy_out(cfg->file, buf, size);
}

int vesk_mount_info(const char *mount, vesk_layout *layout, vesk_backend_fn fn, void *arg) {
    if (!mount || *mount != '/') return -EINVAL;
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    if (!cfg->errors.empty()) return -EINVAL;
    std::string want = vesk::normalize_path(mount);
    for (const vesk::Mount &m : cfg->mounts) {
        if (m.path != want) continue;
        if (layout)
            *layout = m.layout == vesk::Layout::Flat ? VESK_LAYOUT_FLAT : VESK_LAYOUT_CONTAINER;
        if (!fn) return 0;
        for (const std::string &b : m.backends) {
            int ret = fn(b.c_str(), arg);
            if (ret != 0) return ret;
        }
        return 0;
    }
    return -ENOENT;
}

int vesk_mount_builtin(const char *mount, vesk_layout layout, const char *const *backends,
                       size_t count) {
    if (!mount || *mount != '/' || !backends || count == 0) return -EINVAL;
    if (layout != VESK_LAYOUT_FLAT && layout != VESK_LAYOUT_CONTAINER) return -EINVAL;
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    if (!cfg->file.empty()) return -EEXIST;
    if (!cfg->errors.empty()) return -EINVAL;  // a bad setting in the environment
    vesk::Mount m;
    m.path = vesk::normalize_path(mount);
    m.layout = layout == VESK_LAYOUT_FLAT ? vesk::Layout::Flat : vesk::Layout::Container;
    for (size_t i = 0; i < count; i++) {
        if (!backends[i] || backends[i][0] != '/') return -EINVAL;
        m.backends.push_back(vesk::normalize_path(backends[i]));
    }
    // The environment's log settings stay; only the mount table is new.
    auto mine = std::make_shared<vesk::Config>(*cfg);
    mine->mounts.assign(1, m);
    vesk::config_install(mine);
    return 0;
}

int vesk_log_syslog(const char *facility) {
    return vesk::config_default_syslog(facility ? facility : "");
}

int vesk_get_counters(vesk_counters *out) {
    if (!out) return -EINVAL;
    vesk::Stats &s = vesk::stats();
    out->opens = s.opens.load();
    out->closes = s.closes.load();
    out->reads = s.reads.load();
    out->writes = s.writes.load();
    out->bytes_read = s.bytes_read.load();
    out->bytes_written = s.bytes_written.load();
    return 0;
}
