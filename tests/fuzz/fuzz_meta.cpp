// The container's small metadata readers: the marker (read_marker), the
// size records in meta/ (list_meta) and the open-writer records in
// openwriters/ (list_open_writers), whose contents are their file names.
//
// Input: one byte giving the marker's length, the marker text, then file
// names one per line (a '/' or NUL in a name becomes '_').  Each name is
// made both as a size record and as an open-writer record.
//
// Checked: the marker is accepted exactly when it is a version line this
// system wrote, alone or followed by its checksum line (an independent
// model), and a repair of a rejected one leaves a sound marker; the
// listings succeed, return only names that were made, with fields in
// range; a size record or truncation record written back from what was
// read lists again with the same fields.
#include "fuzz/fuzz_common.h"
#include "container/Format.h"
#include "container/Layout.h"
#include "util/Crc32c.h"

#include <dirent.h>
#include <fcntl.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fuzz_meta {

void put_file(const std::string &path, const std::string &bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size());
    close(fd);
}

void fresh_dir(const std::string &d) {
    std::error_code ec;
    std::filesystem::remove_all(d, ec);
    FUZZ_CHECK(mkdir(d.c_str(), 0700) == 0);
}

void run(const uint8_t *data, size_t size) {
    vesk_fuzz::Reader in(data, size);
    const std::string root = vesk_fuzz::scratch_dir();
    const std::string dir = root + "/m";
    fresh_dir(dir);

    std::string marker = in.bytes(in.u8());
    put_file(vesk_cont::marker(dir), marker);
    uint32_t version = 77;
    int r = vesk_cont::read_marker(dir, &version);
    FUZZ_CHECK(r == 0 || r == -EIO);
    // Sound: a version line this system wrote, alone (markers made before
    // the checksum line) or followed by exactly its checksum line; or
    // nothing at all (a file made and never synced when the machine
    // stopped), read as the current version.
    uint32_t want = marker.empty() ? vesk_fmt::kVersion : 0;
    for (uint32_t v : {vesk_fmt::kOldVersion, vesk_fmt::kVersion}) {
        std::string line = "vesk-container " + std::to_string(v) + "\n";
        char crc[32];
        snprintf(crc, sizeof crc, "crc32c %08x\n",
                 (unsigned)vesk_crc32c(0, line.data(), line.size()));
        if (marker == line || marker == line + crc) want = v;
    }
    FUZZ_CHECK(r == (want ? 0 : -EIO));
    FUZZ_CHECK(version == (want ? want : 77u));
    if (!want) {
        // a repair leaves a marker that reads as the current version
        FUZZ_CHECK(vesk_cont::repair_marker(dir) == 0);
        uint32_t again = 0;
        FUZZ_CHECK(vesk_cont::read_marker(dir, &again) == 0 && again == vesk_fmt::kVersion);
    }

    std::set<std::string> made;
    std::string rest = in.rest();
    FUZZ_CHECK(mkdir((dir + "/" + vesk_cont::kMetaDir).c_str(), 0700) == 0);
    FUZZ_CHECK(mkdir((dir + "/" + vesk_cont::kOpenWritersDir).c_str(), 0700) == 0);
    size_t pos = 0;
    while (pos < rest.size() && made.size() < 32) {
        size_t nl = rest.find('\n', pos);
        if (nl == std::string::npos) nl = rest.size();
        std::string name = rest.substr(pos, std::min<size_t>(nl - pos, 255));
        pos = nl + 1;
        for (char &c : name)
            if (c == '/' || c == '\0') c = '_';
        if (name.empty() || name == "." || name == "..") continue;
        put_file(dir + "/" + vesk_cont::kMetaDir + "/" + name, "");
        put_file(dir + "/" + vesk_cont::kOpenWritersDir + "/" + name, "");
        made.insert(name);
    }

    std::vector<vesk_cont::WriterMeta> ws;
    vesk_cont::TruncMeta t;
    FUZZ_CHECK(vesk_cont::list_meta(dir, ws, t) == 0);
    FUZZ_CHECK(ws.size() <= made.size());
    for (const vesk_cont::WriterMeta &w : ws) {
        FUZZ_CHECK(made.count(w.name) == 1 &&
                   (w.name.compare(0, 2, "w.") == 0 || w.name.compare(0, 3, "w2.") == 0));
        FUZZ_CHECK(!vesk_cont::meta_name_damaged(w.name));
        FUZZ_CHECK(w.pid > 0);
        FUZZ_CHECK(w.eof >= 0 && (uint64_t)w.eof < vesk_fmt::kMaxOffset);
        FUZZ_CHECK(w.isize >= 0 && (uint64_t)w.isize < vesk_fmt::kMaxOffset);
        FUZZ_CHECK(w.name.size() >= w.host.size() &&
                   w.name.compare(w.name.size() - w.host.size(), w.host.size(), w.host) == 0);
    }
    if (t.present) {
        FUZZ_CHECK(made.count(t.name) == 1 &&
                   (t.name.compare(0, 2, "t.") == 0 || t.name.compare(0, 3, "t2.") == 0));
        FUZZ_CHECK(t.length >= 0 && (uint64_t)t.length < vesk_fmt::kMaxOffset);
    }

    // Write each record back in a fresh container: it must list the same.
    const std::string again = root + "/m2";
    for (size_t i = 0; i < ws.size() && i < 4; i++) {
        const vesk_cont::WriterMeta &w = ws[i];
        fresh_dir(again);
        if (w.host.size() > 150) continue;  // the canonical name must fit
        if (w.pid <= 0) continue;           // the known fault above
        FUZZ_CHECK(vesk_cont::write_writer_meta(again, w) == 0);
        std::vector<vesk_cont::WriterMeta> ws2;
        vesk_cont::TruncMeta t2;
        FUZZ_CHECK(vesk_cont::list_meta(again, ws2, t2) == 0);
        FUZZ_CHECK(ws2.size() == 1 && !t2.present);
        const vesk_cont::WriterMeta &x = ws2[0];
        FUZZ_CHECK(x.eof == w.eof && x.bytes == w.bytes && x.isize == w.isize &&
                   x.since_us == w.since_us && x.pid == w.pid && x.host == w.host);
    }
    if (t.present) {
        fresh_dir(again);
        FUZZ_CHECK(vesk_cont::write_trunc_meta(again, t.length, t.when_us) == 0);
        std::vector<vesk_cont::WriterMeta> ws2;
        vesk_cont::TruncMeta t2;
        FUZZ_CHECK(vesk_cont::list_meta(again, ws2, t2) == 0);
        FUZZ_CHECK(ws2.empty() && t2.present && t2.length == t.length && t2.when_us == t.when_us);
    }

    std::vector<vesk_cont::OpenWriter> ow;
    FUZZ_CHECK(vesk_cont::list_open_writers(dir, ow) == 0);
    for (const vesk_cont::OpenWriter &o : ow) {
        FUZZ_CHECK(made.count(o.name) == 1);
        FUZZ_CHECK(o.pid > 0);
        size_t dot = o.name.find('.');
        FUZZ_CHECK(dot != std::string::npos && o.host == o.name.substr(dot + 1));
    }
}

}  // namespace fuzz_meta

inline void vesk_fuzz_meta(const uint8_t *data, size_t size) { fuzz_meta::run(data, size); }

VESK_FUZZ_ENTRY(vesk_fuzz_meta)
