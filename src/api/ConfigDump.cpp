/*
 * vesk_dump_config: the configuration as the library sees it, on standard
 * output, with a check of every backend directory.
 */
#include "vesk.h"

#include "Util.h"
#include "config/Config.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// mkdir -p; 0 or minus errno.
int make_dirs(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
    }
    return Util::isDirectory(path.c_str()) ? 0 : -ENOTDIR;
}

// "ok", or what is wrong with the backend; *err gets minus errno.
std::string check_backend(const std::string &dir, bool make_dir, int *err) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        int e = errno;
        if (e == ENOENT && make_dir) {
            int r = make_dirs(dir);
            if (r == 0) return "created";
            *err = r;
            return std::string("cannot create: ") + strerror(-r);
        }
        *err = -e;
        return std::string(e == ENOENT ? "missing (vesk_check_config -mkdir creates it)"
                                       : strerror(e));
    }
    if (!S_ISDIR(st.st_mode)) {
        *err = -ENOTDIR;
        return "not a directory";
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        *err = -errno;
        return std::string("not writable: ") + strerror(errno);
    }
    if ((st.st_mode & 0022) && !(st.st_mode & S_ISVTX))
        return "ok, but writable by others without the sticky bit: any of them may rename or "
               "remove the files and containers of the rest (chmod +t it)";
    return "ok";
}

}  // namespace

int vesk_dump_config(int check_dirs, int make_dir) {
    std::shared_ptr<const vesk::Config> cfg = vesk::config_reload();
    int ret = 0;
    if (cfg->file.empty()) {
        printf("Config file: none found ($VESK_CONFIG, $HOME/.veskrc, /etc/vesk.conf)\n");
        return -ENOENT;
    }
    printf("Config file: %s\n", cfg->file.c_str());
    for (const std::string &e : cfg->errors) {
        printf("Error: %s\n", e.c_str());
        ret = -EINVAL;
    }
    if (ret != 0) return ret;
    if (cfg->mounts.empty()) {
        printf("Error: %s names no mount point\n", cfg->file.c_str());
        return -ENOENT;
    }
    for (const vesk::Mount &m : cfg->mounts) {
        printf("Mount point %s: layout %s, %zu backend%s\n", m.path.c_str(),
               vesk::layout_name(m.layout), m.backends.size(),
               m.backends.size() == 1 ? "" : "s");
        for (const std::string &b : m.backends) {
            if (!check_dirs) {
                printf("\tBackend %s\n", b.c_str());
                continue;
            }
            int err = 0;
            std::string state = check_backend(b, make_dir != 0, &err);
            printf("\tBackend %s: %s\n", b.c_str(), state.c_str());
            if (err) ret = err;
        }
    }
    printf("Log: level %s, file %s, udp %s, stderr %s, buffer %d bytes, trace %s\n",
           cfg->log_level.empty() ? "(closed)" : cfg->log_level.c_str(),
           cfg->log_file.empty() ? "-" : cfg->log_file.c_str(),
           cfg->log_udp.empty() ? "-" : cfg->log_udp.c_str(),
           cfg->log_stderr.empty() ? "-" : cfg->log_stderr.c_str(),
           cfg->log_buffer ? cfg->log_buffer : 262144, cfg->trace ? "on" : "off");
    fflush(stdout);
    return ret;
}
