/* Helpers shared by the tests: temporary directories and configurations. */
#ifndef VESK_TEST_UTIL_H
#define VESK_TEST_UTIL_H

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "config/Config.h"
#include "container/Staging.h"

namespace vesk_test {

/* A fresh directory under $TMPDIR (or /tmp), removed with its contents. */
class TempDir {
public:
    explicit TempDir(const std::string &base = "") {
        std::string root = base;
        if (root.empty()) {
            const char *t = getenv("TMPDIR");
            root = t && *t ? t : "/tmp";
        }
        std::string tmpl = root + "/vesk-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data())) path_ = buf.data();
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string sub(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/* The names in directory `dir` (none when it cannot be read). */
inline std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    return out;
}

/* What is staged on the backend directory `backend`: the entries of its
 * staging directory and of the processes' slots there (as "SLOT/NAME");
 * the slots themselves stay, and are not listed. */
inline std::vector<std::string> staged_entries(const std::string &backend) {
    std::string sd = backend + "/" + vesk_stage::kStagingName;
    std::vector<std::string> out;
    for (const std::string &n : dir_entries(sd)) {
        if (!vesk_stage::is_slot_name(n)) {
            out.push_back(n);
            continue;
        }
        for (const std::string &in : dir_entries(sd + "/" + n)) out.push_back(n + "/" + in);
    }
    return out;
}

/* Writes `text` as the configuration, points $VESK_CONFIG at it and makes
 * the library read it anew. */
inline std::shared_ptr<const vesk::Config> use_config(const std::string &file,
                                                      const std::string &text) {
    write_file(file, text);
    setenv("VESK_CONFIG", file.c_str(), 1);
    return vesk::config_reload();
}

/* A configuration of one mount point over the given backends (created). */
inline std::string mount_config(const std::string &mount,
                                const std::vector<std::string> &backends,
                                const std::string &layout) {
    std::string text = "[mount " + mount + "]\nbackends =";
    for (const std::string &b : backends) {
        mkdir(b.c_str(), 0755);
        text += " " + b;
    }
    text += "\nlayout = " + layout + "\n";
    return text;
}

}  // namespace vesk_test

#endif
