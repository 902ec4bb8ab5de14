/*
 * Reading the configuration file and resolving logical paths against it.
 */
#include "config/Config.h"
#include "mlog.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace vesk {

namespace {

std::mutex g_load_mu;
std::shared_ptr<const Config> g_config;  // read with std::atomic_load

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::vector<std::string> words(const std::string &s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool parse_bool(const std::string &v, bool *out) {
    if (v == "1" || v == "yes" || v == "true" || v == "on") {
        *out = true;
        return true;
    }
    if (v == "0" || v == "no" || v == "false" || v == "off") {
        *out = false;
        return true;
    }
    return false;
}

void apply_env(Config &c) {
    if (const char *e = getenv("VESK_LOG")) c.log_level = e;
    if (const char *e = getenv("VESK_LOG_FILE")) c.log_file = e;
    if (const char *e = getenv("VESK_LOG_UDP")) c.log_udp = e;
    if (const char *e = getenv("VESK_LOG_STDERR")) c.log_stderr = e;
    if (const char *e = getenv("VESK_TRACE")) parse_bool(e, &c.trace);
    if (const char *e = getenv("VESK_DEBUG")) parse_bool(e, &c.debug);
}

// Opens the log when the configuration asks for any of it.
void setup_log(const Config &c) {
    if (c.log_level.empty() && c.log_file.empty() && c.log_udp.empty() &&
        c.log_stderr.empty())
        return;
    mlog_options o;
    memset(&o, 0, sizeof o);
    o.default_mask = MLOG_MASK_WARN;
    if (!c.log_stderr.empty()) {
        int m = mlog_level_mask(c.log_stderr.c_str());
        o.stderr_mask = m > 0 ? m : MLOG_MASK_ERR;
    }
    o.logfile = c.log_file.empty() ? nullptr : c.log_file.c_str();
    o.udp_target = c.log_udp.empty() ? nullptr : c.log_udp.c_str();
    o.msgbuf_size = c.log_buffer;
    if (mlog_open("vesk", &o) != 0) {
        // No file or target to write to: keep at least the in-memory ring.
        o.logfile = nullptr;
        o.udp_target = nullptr;
        if (mlog_open("vesk", &o) != 0) return;
    }
    if (!c.log_level.empty()) mlog_setmasks(c.log_level.c_str());
    if (mlog_filter(MLOG_ERR | VESK_FAC_CONFIG))
        for (const std::string &e : c.errors) mlog(MLOG_ERR | VESK_FAC_CONFIG, "%s", e.c_str());
}

std::shared_ptr<const Config> load() {
    std::string where = config_locate();
    std::shared_ptr<Config> c;
    if (where.empty()) {
        c = std::make_shared<Config>();
    } else {
        std::ifstream in(where);
        if (!in) {
            c = std::make_shared<Config>();
            c->file = where;
            c->errors.push_back(where + ":0: cannot read: " + strerror(errno));
        } else {
            std::stringstream ss;
            ss << in.rdbuf();
            c = config_parse(ss.str(), where);
        }
    }
    apply_env(*c);
    setup_log(*c);
    return c;
}

}  // namespace

const char *layout_name(Layout l) { return l == Layout::Flat ? "flat" : "container"; }

std::string normalize_path(const std::string &p) {
    std::string full = p;
    if (full.empty() || full[0] != '/') {
        char cwd[PATH_MAX];
        std::string base = getcwd(cwd, sizeof cwd) ? cwd : "/";
        full = base + "/" + full;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < full.size()) {
        size_t slash = full.find('/', pos);
        if (slash == std::string::npos) slash = full.size();
        std::string comp = full.substr(pos, slash - pos);
        pos = slash + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(comp);
    }
    std::string out;
    for (const std::string &c : parts) out += "/" + c;
    return out.empty() ? "/" : out;
}

std::shared_ptr<Config> config_parse(const std::string &text, const std::string &name) {
    auto c = std::make_shared<Config>();
    c->file = name;
    c->found = true;
    std::istringstream in(text);
    std::string raw;
    int lineno = 0;
    Mount *cur = nullptr;
    bool cur_has_backends = false;
    auto err = [&](int line, const std::string &msg) {
        c->errors.push_back(name + ":" + std::to_string(line) + ": " + msg);
    };
    auto finish_mount = [&]() {
        if (cur && !cur_has_backends) err(cur->line, "mount " + cur->path + " has no backends");
    };
    while (std::getline(in, raw)) {
        lineno++;
        size_t hash = raw.find('#');
        std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') {
                err(lineno, "unterminated section header");
                continue;
            }
            finish_mount();
            std::vector<std::string> w = words(line.substr(1, line.size() - 2));
            if (w.size() != 2 || w[0] != "mount") {
                err(lineno, "expected [mount /path]");
                cur = nullptr;
                continue;
            }
            if (w[1].empty() || w[1][0] != '/') {
                err(lineno, "mount point must be an absolute path: " + w[1]);
                cur = nullptr;
                continue;
            }
            std::string mp = normalize_path(w[1]);
            for (const Mount &m : c->mounts)
                if (m.path == mp) err(lineno, "mount point " + mp + " named twice");
            c->mounts.emplace_back();
            cur = &c->mounts.back();
            cur->path = mp;
            cur->line = lineno;
            cur_has_backends = false;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            err(lineno, "expected key = value");
            continue;
        }
        std::string key = trim(line.substr(0, eq));
        std::string val = trim(line.substr(eq + 1));
        if (cur) {
            if (key == "backends") {
                std::vector<std::string> b = words(val);
                if (b.empty()) err(lineno, "backends needs at least one directory");
                for (const std::string &d : b) {
                    if (d[0] != '/') {
                        err(lineno, "backend must be an absolute path: " + d);
                        continue;
                    }
                    std::string nd = normalize_path(d);
                    for (const std::string &have : cur->backends)
                        if (have == nd) err(lineno, "backend " + nd + " named twice");
                    cur->backends.push_back(nd);
                }
                cur_has_backends = !cur->backends.empty();
            } else if (key == "layout") {
                if (val == "flat") cur->layout = Layout::Flat;
                else if (val == "container") cur->layout = Layout::Container;
                else err(lineno, "layout must be flat or container, not '" + val + "'");
            } else {
                err(lineno, "unknown mount setting '" + key + "'");
            }
            continue;
        }
        if (key == "log_level") {
            c->log_level = val;
        } else if (key == "log_file") {
            c->log_file = val;
        } else if (key == "log_udp") {
            c->log_udp = val;
        } else if (key == "log_stderr") {
            c->log_stderr = val;
        } else if (key == "log_buffer") {
            char *end = nullptr;
            long v = strtol(val.c_str(), &end, 0);
            if (val.empty() || *end || v < -1 || v > (64L << 20))
                err(lineno, "log_buffer must be a byte count up to 64 MiB");
            else c->log_buffer = (int)v;
        } else if (key == "trace" || key == "debug") {
            bool b = false;
            if (!parse_bool(val, &b)) err(lineno, key + " must be 0 or 1");
            else if (key == "trace") c->trace = b;
            else c->debug = b;
        } else {
            err(lineno, "unknown setting '" + key + "'");
        }
    }
    finish_mount();
    if (!c->errors.empty()) c->mounts.clear();  // a broken file serves nothing
    return c;
}

std::string config_locate() {
    if (const char *e = getenv("VESK_CONFIG")) {
        if (*e) return e;
    }
    if (const char *h = getenv("HOME")) {
        std::string p = std::string(h) + "/.veskrc";
        if (access(p.c_str(), F_OK) == 0) return p;
    }
    if (access("/etc/vesk.conf", F_OK) == 0) return "/etc/vesk.conf";
    return "";
}

std::shared_ptr<const Config> config() {
    std::shared_ptr<const Config> c = std::atomic_load(&g_config);
    if (c) return c;
    std::lock_guard<std::mutex> g(g_load_mu);
    c = std::atomic_load(&g_config);
    if (c) return c;
    c = load();
    std::atomic_store(&g_config, c);
    return c;
}

std::shared_ptr<const Config> config_reload() {
    std::lock_guard<std::mutex> g(g_load_mu);
    std::shared_ptr<const Config> c = load();
    std::atomic_store(&g_config, c);
    return c;
}

void config_install(std::shared_ptr<const Config> cfg) {
    std::lock_guard<std::mutex> g(g_load_mu);
    setup_log(*cfg);
    std::atomic_store(&g_config, cfg);
}

size_t backend_for(const std::string &rel, size_t nbackends) {
    if (nbackends <= 1) return 0;
    uint64_t h = 1469598103934665603ULL;  // FNV-1a, stable across builds
    for (unsigned char ch : rel) {
        h ^= ch;
        h *= 1099511628211ULL;
    }
    return (size_t)(h % nbackends);
}

int resolve(const char *logical, Resolved *out) {
    if (!logical || !*logical) return -ENOENT;
    if (strlen(logical) >= PATH_MAX) return -ENAMETOOLONG;
    std::string path(logical);
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return -errno;
        path = std::string(cwd) + "/" + path;
    }
    // Raw components, "." and empty ones dropped; ".." kept for now.
    std::vector<std::string> comps;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string comp = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp.size() > NAME_MAX) return -ENAMETOOLONG;
        comps.push_back(comp);
    }
    std::shared_ptr<const Config> cfg = config();
    const Mount *best = nullptr;
    size_t best_len = 0;
    for (const Mount &m : cfg->mounts) {
        std::vector<std::string> mc;
        size_t p = 1;
        while (p < m.path.size()) {
            size_t s = m.path.find('/', p);
            if (s == std::string::npos) s = m.path.size();
            mc.push_back(m.path.substr(p, s - p));
            p = s + 1;
        }
        if (mc.size() > comps.size()) continue;
        bool match = true;
        for (size_t i = 0; i < mc.size() && match; i++) match = (mc[i] == comps[i]);
        // A ".." inside the mount prefix would make the match a lie.
        if (match && (!best || mc.size() > best_len)) {
            best = &m;
            best_len = mc.size();
        }
    }
    if (!best) return -ENOENT;
    std::vector<std::string> below;
    for (size_t i = best_len; i < comps.size(); i++) {
        if (comps[i] == "..") {
            if (below.empty()) return -EINVAL;  // climbs above the mount point
            below.pop_back();
        } else {
            below.push_back(comps[i]);
        }
    }
    std::string rel;
    for (const std::string &c : below) rel += (rel.empty() ? "" : "/") + c;
    out->cfg = cfg;
    out->mount = best;
    out->rel = rel;
    // Only the last component picks the backend: renaming a directory
    // then leaves every file below it on the backend it is on.
    out->backend = backend_for(below.empty() ? rel : below.back(), best->backends.size());
    out->backend_path = best->backends[out->backend] + (rel.empty() ? "" : "/" + rel);
    if (out->backend_path.size() >= PATH_MAX) return -ENAMETOOLONG;
    return 0;
}

}  // namespace vesk
