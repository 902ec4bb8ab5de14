/*
 * Reading the configuration file and resolving logical paths against it.
 */
#include "config/Config.h"
#include "mlog.h"
#include "mlog/mlog_sink.h"

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
// g_config's `trace`, or -1 before the first load: asked at every read and
// write, where taking the configuration (a lock, two reference counts)
// cost more than the rest of the question.
std::atomic<int> g_trace{-1};

void publish(const std::shared_ptr<const Config> &c) {
    std::atomic_store(&g_config, c);
    g_trace.store(c->trace ? 1 : 0, std::memory_order_release);
}

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

// What is wrong with a value of a log setting; empty when it is sound.
std::string check_log_value(const std::string &key, const std::string &v) {
    if (v.empty()) return key + " needs a value";
    if (key == "log_level") {
        if (mlog_checkmasks(v.c_str()) != 0)
            return "unknown log level or facility in '" + v +
                   "' (levels: crit err warn info dbg1 dbg2 dbg3 none all)";
    } else if (key == "log_stderr") {
        if (mlog_level_mask(v.c_str()) < 0) return "unknown log level '" + v + "'";
    } else if (key == "log_file") {
        if (v[0] != '/') return "log_file must be an absolute path: " + v;
    } else if (key == "log_udp") {
        size_t colon = v.rfind(':');
        std::string port = colon == std::string::npos ? "" : v.substr(colon + 1);
        char *end = nullptr;
        long p = port.empty() ? 0 : strtol(port.c_str(), &end, 10);
        if (colon == 0 || port.empty() || *end || p < 1 || p > 65535)
            return "log_udp must be host:port, not '" + v + "'";
    } else if (key == "log_syslog") {
        if (v != "none" && mlog_syslog_facility(v.c_str()) < 0)
            return "log_syslog must be daemon, user, local0..local7 or none, not '" + v + "'";
    }
    return "";
}

void apply_env(Config &c) {
    struct {
        const char *var, *key;
        std::string *field;
    } logs[] = {{"VESK_LOG", "log_level", &c.log_level},
                {"VESK_LOG_FILE", "log_file", &c.log_file},
                {"VESK_LOG_UDP", "log_udp", &c.log_udp},
                {"VESK_LOG_STDERR", "log_stderr", &c.log_stderr},
                {"VESK_LOG_SYSLOG", "log_syslog", &c.log_syslog}};
    for (auto &l : logs) {
        const char *e = getenv(l.var);
        if (!e) continue;
        std::string bad = check_log_value(l.key, e);
        if (bad.empty()) *l.field = e;
        else c.errors.push_back(std::string("$") + l.var + ": " + bad);
    }
    struct {
        const char *var;
        bool *field;
    } flags[] = {{"VESK_TRACE", &c.trace}, {"VESK_DEBUG", &c.debug}};
    for (auto &f : flags) {
        const char *e = getenv(f.var);
        if (e && !parse_bool(e, f.field))
            c.errors.push_back(std::string("$") + f.var + ": must be 0 or 1, not '" + e + "'");
    }
}

// Opens the log when the configuration asks for any of it, or when it has
// an error to report: a broken configuration always leaves one message.
void setup_log(const Config &c) {
    if (c.log_level.empty() && c.log_file.empty() && c.log_udp.empty() &&
        c.log_stderr.empty() && c.log_syslog.empty() && c.errors.empty())
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
    o.syslog_facility =
        c.log_syslog.empty() || c.log_syslog == "none" ? nullptr : c.log_syslog.c_str();
    o.msgbuf_size = c.log_buffer;
    if (mlog_open("vesk", &o) != 0) {
        // No file or target to write to: keep at least the in-memory ring.
        o.logfile = nullptr;
        o.udp_target = nullptr;
        if (mlog_open("vesk", &o) != 0) return;
    }
    if (!c.log_level.empty()) mlog_setmasks(c.log_level.c_str());
    if (c.errors.empty()) return;
    // Whatever the masks say, the configuration's error is not hidden.
    int fac = MLOG_ERR | VESK_FAC_CONFIG;
    if (!mlog_filter(fac)) mlog_setmasks("CONF=err");
    std::string more;
    if (c.errors.size() > 1) more = " (and " + std::to_string(c.errors.size() - 1) + " more)";
    mlog(fac, "%s%s; no mount point is served", c.errors[0].c_str(), more.c_str());
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
    if (!c->errors.empty()) c->mounts.clear();
    setup_log(*c);
    return c;
}

}  // namespace

const char *layout_name(Layout l) { return l == Layout::Flat ? "flat" : "container"; }

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
    std::vector<std::pair<std::string, int>> seen;  // settings of the section
    auto first_seen = [&](const std::string &key) {
        for (auto &k : seen)
            if (k.first == key) {
                err(lineno, "setting '" + key + "' given twice (first on line " +
                                std::to_string(k.second) + ")");
                return false;
            }
        seen.emplace_back(key, lineno);
        return true;
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
            seen.clear();
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
        if (!first_seen(key)) continue;
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
        std::string *log_field = key == "log_level"    ? &c->log_level
                                 : key == "log_file"   ? &c->log_file
                                 : key == "log_udp"    ? &c->log_udp
                                 : key == "log_stderr" ? &c->log_stderr
                                 : key == "log_syslog" ? &c->log_syslog
                                                       : nullptr;
        if (log_field) {
            std::string bad = check_log_value(key, val);
            if (bad.empty()) *log_field = val;
            else err(lineno, bad);
        } else if (key == "log_buffer") {
            char *end = nullptr;
            long v = strtol(val.c_str(), &end, 0);
            if (val.empty() || *end || v < -1 || v > (64L << 20))
                err(lineno, "log_buffer must be a byte count up to 64 MiB");
            else c->log_buffer = (int)v;
        } else if (key == "trace" || key == "debug" || key == "verify") {
            bool b = false;
            if (!parse_bool(val, &b)) err(lineno, key + " must be 0 or 1");
            else if (key == "trace") c->trace = b;
            else if (key == "verify") c->verify = b;
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
    publish(c);
    return c;
}

bool tracing() {
    int t = g_trace.load(std::memory_order_acquire);
    return t < 0 ? config()->trace : t == 1;
}

std::shared_ptr<const Config> config_reload() {
    std::lock_guard<std::mutex> g(g_load_mu);
    std::shared_ptr<const Config> c = load();
    publish(c);
    return c;
}

void config_install(std::shared_ptr<const Config> cfg) {
    std::lock_guard<std::mutex> g(g_load_mu);
    setup_log(*cfg);
    publish(cfg);
}

int config_default_syslog(const std::string &facility) {
    if (mlog_syslog_facility(facility.c_str()) < 0) return -EINVAL;
    std::shared_ptr<const Config> cur = config();
    if (!cur->log_syslog.empty() || !cur->errors.empty()) return 0;
    auto mine = std::make_shared<Config>(*cur);
    mine->log_syslog = facility;
    config_install(mine);
    return 0;
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

std::string backend_path(const Mount &m, const std::string &rel) {
    // Only the last component picks the backend: renaming a directory
    // then leaves every file below it on the backend it is on.
    size_t slash = rel.rfind('/');
    std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    return m.backends[backend_for(name, m.backends.size())] + (rel.empty() ? "" : "/" + rel);
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
    if (!cfg->errors.empty()) return -EINVAL;  // logged when it was read
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
    out->backend = backend_for(below.empty() ? rel : below.back(), best->backends.size());
    out->backend_path = backend_path(*best, rel);
    if (out->backend_path.size() >= PATH_MAX) return -ENAMETOOLONG;
    return 0;
}

}  // namespace vesk
