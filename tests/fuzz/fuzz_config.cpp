// The configuration parser, vesk::config_parse, over any text.
//
// Checked: every error names the file and a line that exists; a text with
// errors serves no mount point; a clean one serves only normalized absolute
// mount points, each named once and with at least one backend, each
// backend normalized, absolute and named once in its mount; numbers stay in
// their documented range; and the configuration written back out as text
// parses again, cleanly, to the same settings.
#include "fuzz/fuzz_common.h"
#include "config/Config.h"

#include <set>
#include <string>

namespace fuzz_config {

const char *const kName = "fuzz.conf";

bool normal_absolute(const std::string &p) {
    return !p.empty() && p[0] == '/' && vesk::normalize_path(p) == p;
}

std::string render(const vesk::Config &c) {
    std::string t;
    auto kv = [&](const char *k, const std::string &v) { t += std::string(k) + " = " + v + "\n"; };
    kv("log_level", c.log_level);
    kv("log_file", c.log_file);
    kv("log_udp", c.log_udp);
    kv("log_stderr", c.log_stderr);
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
               again->log_udp == c->log_udp && again->log_stderr == c->log_stderr);
    FUZZ_CHECK(again->log_buffer == c->log_buffer && again->trace == c->trace &&
               again->debug == c->debug);
    FUZZ_CHECK(again->mounts.size() == c->mounts.size());
    for (size_t i = 0; i < c->mounts.size(); i++) {
        FUZZ_CHECK(again->mounts[i].path == c->mounts[i].path);
        FUZZ_CHECK(again->mounts[i].backends == c->mounts[i].backends);
        FUZZ_CHECK(again->mounts[i].layout == c->mounts[i].layout);
    }
}

}  // namespace fuzz_config

inline void vesk_fuzz_config(const uint8_t *data, size_t size) { fuzz_config::run(data, size); }

VESK_FUZZ_ENTRY(vesk_fuzz_config)
