#include "fuse/DebugInfo.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "LogMessage.h"
#include "vesk.h"

namespace veskfs {

int fnv1a64_file(const std::string &path, uint64_t *sum) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    uint64_t h = 1469598103934665603ULL;
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            return -e;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; i++) {
            h ^= (unsigned char)buf[i];
            h *= 1099511628211ULL;
        }
    }
    ::close(fd);
    *sum = h;
    return 0;
}

std::string library_path() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&vesk_tag), &info) == 0 || !info.dli_fname)
        return "";
    return info.dli_fname;
}

namespace {

// The library file does not change under a running daemon: sum it once.
std::string checksum_line() {
    static std::once_flag once;
    static std::string line;
    std::call_once(once, [] {
        std::string lib = library_path();
        uint64_t sum = 0;
        int rc = lib.empty() ? -ENOENT : fnv1a64_file(lib, &sum);
        char buf[64];
        if (rc == 0) {
            snprintf(buf, sizeof buf, "%016" PRIx64, sum);
            line = "Library checksum (fnv1a64): " + std::string(buf) + " " + lib;
        } else {
            line = "Library checksum (fnv1a64): unavailable (" +
                   (lib.empty() ? std::string("libvesk not found") : lib) + ")";
        }
    });
    return line;
}

// One line per figure: a trace text may hold line feeds or NULs.
std::string one_line(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) out += (c == '\n' || c == '\r' || c == '\0') ? ' ' : c;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace

std::string debug_text(const Served &served, const LiveFigures &live) {
    std::string t;
    t += std::string("Version: ") + vesk_tag() + " (revision " + vesk_version() + ")\n";
    t += std::string("Build time: ") + vesk_buildtime() + "\n";
    t += checksum_line() + "\n";
    t += "mount point: " + served.mount + "\n";
    t += std::string("layout: ") + layout_name(served.layout) + "\n";
    t += "backends:";
    for (const std::string &b : served.backends) t += " " + b;
    t += "\n";
    t += "served from: " +
         (served.builtin ? std::string("command line") : served.config_file) + "\n";
    vesk_counters s{};
    vesk_get_counters(&s);
    t += "open files: " + std::to_string(live.open_files) + "\n";
    t += "bytes written: " + std::to_string(s.bytes_written) + "\n";
    t += "bytes read: " + std::to_string(s.bytes_read) + "\n";
    t += "opens: " + std::to_string(s.opens) + " closes: " + std::to_string(s.closes) +
         " reads: " + std::to_string(s.reads) + " writes: " + std::to_string(s.writes) + "\n";
    t += "last trace: " + one_line(LogMessage::Dump()) + "\n";
    return t;
}

}  // namespace veskfs
