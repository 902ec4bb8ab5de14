// The configuration parser, vesk::config_parse, over any text.
//
// Checked: every error names the file and a line that exists; a text with
// errors serves no mount point; a clean one serves only normalized absolute
// mount points, each named once and with at least one backend, each
// backend normalized, absolute and named once in its mount; numbers stay in
// their documented range; and the configuration written back out as text
// parses again, cleanly, to the same settings.  Then, with that
// configuration installed (its log settings dropped), every comment line
// "#/path" of the text is resolved as a logical path and checked
// against a plain model: the longest mount prefix on whole components, no
// ".." above the mount point, the backend that the file's name picks.
#include "fuzz/fuzz_common.h"
#include "config/Config.h"

#include <algorithm>

#include <climits>
#include <set>
#include <string>
#include <vector>

namespace fuzz_config {

const char *const kName = "fuzz.conf";

bool normal_absolute(const std::string &p) {
    return !p.empty() && p[0] == '/' && vesk::normalize_path(p) == p;
}

std::string render(const vesk::Config &c) {
    std::string t;
    auto kv = [&](const char *k, const std::string &v) {
        if (!v.empty()) t += std::string(k) + " = " + v + "\n";  // an empty value is an error
    };
    kv("log_level", c.log_level);
    kv("log_file", c.log_file);
    kv("log_udp", c.log_udp);
    kv("log_stderr", c.log_stderr);
    kv("log_syslog", c.log_syslog);
    kv("log_buffer", std::to_string(c.log_buffer));
    kv("trace", c.trace ? "1" : "0");
    kv("debug", c.debug ? "1" : "0");
    for (const vesk::Mount &m : c.mounts) {
        t += "[mount " + m.path + "]\nbackends =";
        for (const std::string &b : m.backends) t += " " + b;
        t += "\nlayout = " + std::string(vesk::layout_name(m.layout)) + "\n";
    }
    return t;
}

std::vector<std::string> components(const std::string &p, bool keep_dotdot) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= p.size()) {
        size_t slash = p.find('/', pos);
        if (slash == std::string::npos) slash = p.size();
        std::string c = p.substr(pos, slash - pos);
        pos = slash + 1;
        if (c.empty() || c == "." || (c == ".." && !keep_dotdot)) continue;
        out.push_back(c);
    }
    return out;
}

void check_resolve(const std::string &path, const vesk::Config &cfg) {
    vesk::Resolved r;
    int rc = vesk::resolve(path.c_str(), &r);
    FUZZ_CHECK(rc == 0 || rc == -ENOENT || rc == -EINVAL || rc == -ENAMETOOLONG);

    std::vector<std::string> comps = components(path, true);
    bool too_long = path.size() >= PATH_MAX;
    for (const std::string &c : comps) too_long |= c.size() > NAME_MAX;
    if (too_long) {
        FUZZ_CHECK(rc == -ENAMETOOLONG);
        return;
    }
    const vesk::Mount *best = nullptr;
    size_t best_n = 0;
    for (const vesk::Mount &m : cfg.mounts) {
        std::vector<std::string> mc = components(m.path, false);
        if (mc.size() > comps.size()) continue;
        if (!std::equal(mc.begin(), mc.end(), comps.begin())) continue;
        if (!best || mc.size() > best_n) best = &m, best_n = mc.size();
    }
    if (!best) {
        FUZZ_CHECK(rc == -ENOENT);
        return;
    }
    std::vector<std::string> below;
    for (size_t i = best_n; i < comps.size(); i++) {
        if (comps[i] != "..") {
            below.push_back(comps[i]);
        } else if (below.empty()) {
            FUZZ_CHECK(rc == -EINVAL);
            return;
        } else {
            below.pop_back();
        }
    }
    std::string rel;
    for (const std::string &c : below) rel += (rel.empty() ? "" : "/") + c;
    size_t b = vesk::backend_for(below.empty() ? "" : below.back(), best->backends.size());
    std::string bp = best->backends[b] + (rel.empty() ? "" : "/" + rel);
    if (bp.size() >= PATH_MAX) {
        FUZZ_CHECK(rc == -ENAMETOOLONG);
        return;
    }
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(r.mount != nullptr && r.mount->path == best->path);
    FUZZ_CHECK(r.rel == rel && r.backend == b && r.backend_path == bp);
}

void run(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::shared_ptr<vesk::Config> c = vesk::config_parse(text, kName);
    FUZZ_CHECK(c != nullptr);
    FUZZ_CHECK(c->file == kName && c->found);

    // Lines as the parser counts them (a last line needs no line feed).
    size_t lines = 0;
    for (char ch : text) lines += ch == '\n';
    if (!text.empty() && text.back() != '\n') lines++;

    const std::string prefix = std::string(kName) + ":";
    for (const std::string &e : c->errors) {
        FUZZ_CHECK(e.compare(0, prefix.size(), prefix) == 0);
        size_t colon = e.find(": ", prefix.size());
        FUZZ_CHECK(colon != std::string::npos && colon > prefix.size());
        std::string num = e.substr(prefix.size(), colon - prefix.size());
        FUZZ_CHECK(num.find_first_not_of("0123456789") == std::string::npos);
        unsigned long line = std::stoul(num);
        FUZZ_CHECK(line >= 1 && line <= lines);
    }
    if (!c->errors.empty()) {
        FUZZ_CHECK(c->mounts.empty());
        return;
    }

    std::set<std::string> mount_paths;
    for (const vesk::Mount &m : c->mounts) {
        FUZZ_CHECK(normal_absolute(m.path));
        FUZZ_CHECK(mount_paths.insert(m.path).second);
        FUZZ_CHECK(!m.backends.empty());
        FUZZ_CHECK(m.line >= 1 && (size_t)m.line <= lines);
        std::set<std::string> seen;
        for (const std::string &b : m.backends) {
            FUZZ_CHECK(normal_absolute(b));
            FUZZ_CHECK(seen.insert(b).second);
        }
    }
    FUZZ_CHECK(c->log_buffer >= -1 && c->log_buffer <= (64 << 20));

    std::shared_ptr<vesk::Config> again = vesk::config_parse(render(*c), kName);
    FUZZ_CHECK(again->errors.empty());
    FUZZ_CHECK(again->log_level == c->log_level && again->log_file == c->log_file &&
               again->log_udp == c->log_udp && again->log_stderr == c->log_stderr &&
               again->log_syslog == c->log_syslog);
    FUZZ_CHECK(again->log_buffer == c->log_buffer && again->trace == c->trace &&
               again->debug == c->debug);
    FUZZ_CHECK(again->mounts.size() == c->mounts.size());
    for (size_t i = 0; i < c->mounts.size(); i++) {
        FUZZ_CHECK(again->mounts[i].path == c->mounts[i].path);
        FUZZ_CHECK(again->mounts[i].backends == c->mounts[i].backends);
        FUZZ_CHECK(again->mounts[i].layout == c->mounts[i].layout);
    }

    if (c->mounts.empty()) return;
    // Installing opens the log when asked to: nothing here may write files.
    auto quiet = std::make_shared<vesk::Config>(*c);
    quiet->log_level.clear();
    quiet->log_file.clear();
    quiet->log_udp.clear();
    quiet->log_stderr.clear();
    quiet->log_syslog.clear();
    vesk::config_install(quiet);
    size_t pos = 0, tried = 0;
    while (pos < text.size() && tried < 16) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        // "#/path": a comment to the parser, a logical path to resolve
        if (line.size() < 2 || line[0] != '#' || line[1] != '/') continue;
        line = line.substr(1);
        check_resolve(line.substr(0, strnlen(line.c_str(), line.size())), *quiet);
        tried++;
    }
}

}  // namespace fuzz_config

inline void vesk_fuzz_config(const uint8_t *data, size_t size) { fuzz_config::run(data, size); }

VESK_FUZZ_ENTRY(vesk_fuzz_config)
