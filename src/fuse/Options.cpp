#include "fuse/Options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace veskfs {

namespace {

bool take_value(const std::string &a, const char *name, int argc, char **argv,
                int *i, std::string *value, bool *matched, std::string *err) {
    std::string n(name);
    if (a == n) {
        *matched = true;
        if (*i + 1 >= argc) {
            *err = "option " + n + " needs an argument";
            return false;
        }
        *value = argv[++*i];
        return true;
    }
    if (a.compare(0, n.size() + 1, n + "=") == 0) {
        *matched = true;
        *value = a.substr(n.size() + 1);
        return true;
    }
    *matched = false;
    return true;
}

int mkdir_p(const std::string &dir) {
    std::string cur;
    size_t pos = 1;
    while (pos <= dir.size()) {
        size_t slash = dir.find('/', pos);
        if (slash == std::string::npos) slash = dir.size();
        cur = dir.substr(0, slash);
        pos = slash + 1;
        if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

// One directory per mount point, so that two built-in mounts never share
// their files.
std::string default_backend(const std::string &mount) {
    std::string base;
    const char *xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') {
        base = std::string(xdg) + "/vesk";
    } else {
        const char *home = getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + "/.local/share/vesk";
    }
    std::string name;
    for (char c : mount.substr(1)) name += (c == '/') ? '_' : c;
    if (name.empty()) name = "root";
    return base + "/" + name;
}

bool inside(const std::string &path, const std::string &dir) {
    if (dir == "/") return true;
    return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

}  // namespace

void print_usage(const char *prog) {
    printf("usage: %s [options] MOUNTPOINT\n"
           "\n"
           "Serves the vesk mount point MOUNTPOINT of the configuration\n"
           "($VESK_CONFIG, ~/.veskrc or /etc/vesk.conf). Without one of that\n"
           "name, serves a built-in mount point described by:\n"
           "    --backend DIR          a backend directory (repeatable; default\n"
           "                           one under $XDG_DATA_HOME/vesk or\n"
           "                           ~/.local/share/vesk)\n"
           "    --layout container|flat  (default container)\n"
           "\n"
           "veskfs options:\n"
           "    --writeback            let the kernel cache writes (see README)\n"
           "    -h, --help             this text\n"
           "    -V, --version          the library's version\n"
           "    -f                     stay in the foreground\n"
           "    -d                     debug output (implies -f)\n"
           "    -s                     single-threaded\n"
           "    -o opt[,opt...]        mount options passed to FUSE\n"
           "\n"
           "Permissions: veskfs always mounts with default_permissions, so the\n"
           "kernel checks mode bits, owner, group and the sticky bit of every\n"
           "request, whatever options are given; and with nosuid and nodev\n"
           "unless -o suid or -o dev asks otherwise. Run by root, veskfs makes\n"
           "what a user creates that user's, on the backends too; run by anyone\n"
           "else, it owns every file. With -o allow_other, keep the backends\n"
           "out of other users' reach (mode 0700 on them or above them): there\n"
           "they would bypass these checks.\n"
           "\n",
           prog);
}

int parse_cmdline(int argc, char **argv, CmdLine *out, std::string *err) {
    out->fuse_args.clear();
    out->fuse_args.push_back(argc > 0 ? argv[0] : "veskfs");
    bool only_args = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (only_args || a.empty() || a[0] != '-') {
            if (!out->mountpoint.empty()) {
                *err = "more than one mount point given: " + out->mountpoint + ", " + a;
                return -EINVAL;
            }
            out->mountpoint = a;
            continue;
        }
        if (a == "--") {
            only_args = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            out->help = true;
            continue;
        }
        if (a == "-V" || a == "--version") {
            out->version = true;
            continue;
        }
        if (a == "--writeback") {
            out->writeback = true;
            continue;
        }
        std::string v;
        bool matched = false;
        if (!take_value(a, "--backend", argc, argv, &i, &v, &matched, err)) return -EINVAL;
        if (matched) {
            if (v.empty()) {
                *err = "--backend needs a directory";
                return -EINVAL;
            }
            out->backends.push_back(v);
            continue;
        }
        if (!take_value(a, "--layout", argc, argv, &i, &v, &matched, err)) return -EINVAL;
        if (matched) {
            if (v != "container" && v != "flat") {
                *err = "--layout must be container or flat, not '" + v + "'";
                return -EINVAL;
            }
            out->layout = v;
            continue;
        }
        if (a == "-o") {
            if (i + 1 >= argc) {
                *err = "option -o needs an argument";
                return -EINVAL;
            }
            out->fuse_args.push_back(a);
            out->fuse_args.push_back(argv[++i]);
            continue;
        }
        // -f, -d, -s, -oOPT and whatever else libfuse understands.
        out->fuse_args.push_back(a);
    }
    if (out->mountpoint.empty() && !out->help && !out->version) {
        *err = "no mount point given";
        return -EINVAL;
    }
    return 0;
}

int setup_mount(const CmdLine &cmd, Served *out, std::vector<std::string> *notes,
                std::string *err) {
    out->mount = vesk::normalize_path(cmd.mountpoint);
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    out->config_file = cfg->file;
    if (!cfg->file.empty()) {
        for (const vesk::Mount &m : cfg->mounts) {
            if (m.path != out->mount) continue;
            out->layout = m.layout;
            out->backends = m.backends;
            out->builtin = false;
            if (!cmd.backends.empty() || !cmd.layout.empty())
                notes->push_back("--backend/--layout ignored: " + cfg->file +
                                 " describes " + out->mount);
            break;
        }
        if (out->backends.empty()) {
            for (const std::string &e : cfg->errors) notes->push_back(e);
            notes->push_back(cfg->file + " has no mount point " + out->mount +
                             "; serving a built-in one");
        }
    }
    if (out->backends.empty()) {
        out->builtin = true;
        out->layout = cmd.layout == "flat" ? vesk::Layout::Flat : vesk::Layout::Container;
        if (cmd.backends.empty()) {
            out->backends.push_back(default_backend(out->mount));
        } else {
            for (const std::string &b : cmd.backends)
                out->backends.push_back(vesk::normalize_path(b));
        }
    }
    for (const std::string &b : out->backends) {
        // The daemon would call into itself and hang.
        if (inside(b, out->mount)) {
            *err = "backend " + b + " lies inside the mount point " + out->mount;
            return -EINVAL;
        }
    }
    if (!out->builtin) return 0;

    for (const std::string &b : out->backends) {
        int rc = mkdir_p(b);
        if (rc != 0) {
            *err = "cannot create backend " + b + ": " + strerror(-rc);
            return rc;
        }
    }
    // Keep the log settings of a file that lacked only this mount point;
    // its mount points stay served too.
    auto mine = std::make_shared<vesk::Config>();
    if (!cfg->file.empty()) *mine = *cfg;
    mine->errors.clear();
    vesk::Mount m;
    m.path = out->mount;
    m.backends = out->backends;
    m.layout = out->layout;
    mine->mounts.push_back(m);
    vesk::config_install(mine);
    return 0;
}

}  // namespace veskfs
