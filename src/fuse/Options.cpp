/*
 * veskfs's command line and the choice of what it serves.
 */
#include "fuse/Options.h"
#include "util/NormalizePath.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <memory>
#include <sstream>
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

// Options of an fstab line meant for mount(8) alone; libfuse refuses them.
bool mount_only_option(const std::string &o) {
    static const char *const kWords[] = {"defaults", "_netdev", "nofail", "auto", "noauto",
                                         "user",     "nouser",  "users",  "owner", "group",
                                         "nonempty"};
    for (const char *w : kWords)
        if (o == w) return true;
    return o.compare(0, 2, "x-") == 0 || o.compare(0, 8, "comment=") == 0;
}

int add_backend(const char *dir, void *arg) {
    static_cast<std::vector<std::string> *>(arg)->push_back(dir);
    return 0;
}

bool inside(const std::string &path, const std::string &dir) {
    if (dir == "/") return true;
    return path == dir || path.compare(0, dir.size() + 1, dir + "/") == 0;
}

}  // namespace

void print_usage(const char *prog) {
    printf("usage: %s [options] MOUNTPOINT\n"
           "       %s SOURCE MOUNTPOINT [-o opt,...]   (mount -t fuse.veskfs)\n"
           "\n"
           "Serves the vesk mount point MOUNTPOINT of the configuration\n"
           "(SOURCE when it is a file, else $VESK_CONFIG, ~/.veskrc or\n"
           "/etc/vesk.conf). A configuration file that has errors or lacks\n"
           "MOUNTPOINT is refused. Only when there is no configuration file at\n"
           "all, a built-in mount point is served, described by:\n"
           "    --backend DIR          a backend directory (repeatable; default\n"
           "                           one under $XDG_DATA_HOME/vesk or\n"
           "                           ~/.local/share/vesk)\n"
           "    --layout container|flat  (default container)\n"
           "\n"
           "veskfs options:\n"
           "    --writeback            let the kernel cache writes (see veskfs(8))\n"
           "    -h, --help             this text\n"
           "    -V, --version          the library's version\n"
           "    -f                     stay in the foreground\n"
           "    -d                     debug output (implies -f)\n"
           "    -s                     single-threaded\n"
           "    -o opt[,opt...]        mount options passed to FUSE; fstab-only\n"
           "                           ones (defaults, _netdev, noauto, ...) are\n"
           "                           dropped, and so are suid and dev in the\n"
           "                           SOURCE MOUNTPOINT form\n"
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
           prog, prog);
}

std::string filter_mount_options(const std::string &opts) {
    std::string out;
    std::istringstream in(opts);
    std::string o;
    while (std::getline(in, o, ',')) {
        if (o.empty() || mount_only_option(o)) continue;
        out += (out.empty() ? "" : ",") + o;
    }
    return out;
}

int parse_cmdline(int argc, char **argv, CmdLine *out, std::string *err) {
    out->fuse_args.clear();
    out->fuse_args.push_back(argc > 0 ? argv[0] : "veskfs");
    std::vector<std::string> operands;
    bool only_args = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (only_args || a.empty() || a[0] != '-') {
            operands.push_back(a);
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
        if (a == "-o" || a.compare(0, 2, "-o") == 0) {
            std::string opts;
            if (a == "-o") {
                if (i + 1 >= argc) {
                    *err = "option -o needs an argument";
                    return -EINVAL;
                }
                opts = argv[++i];
            } else {
                opts = a.substr(2);
            }
            opts = filter_mount_options(opts);
            if (!opts.empty()) {
                out->fuse_args.push_back("-o");
                out->fuse_args.push_back(opts);
            }
            continue;
        }
        if (a == "-f" || a == "-d") out->foreground = true;
        // -s and whatever else libfuse understands.
        out->fuse_args.push_back(a);
    }
    if (operands.size() > 2) {
        *err = "too many operands: expected [SOURCE] MOUNTPOINT";
        return -EINVAL;
    }
    if (operands.size() == 2) {
        out->source = operands[0];
        // mount.fuse3 adds suid and dev to every mount root makes, asked
        // for or not: in this form they say nothing, and veskfs keeps its
        // nosuid and nodev.
        std::vector<std::string> &fa = out->fuse_args;
        for (size_t k = 1; k + 1 < fa.size();) {
            if (fa[k] != "-o") {
                k++;
                continue;
            }
            std::string kept;
            std::istringstream in(fa[k + 1]);
            std::string o;
            while (std::getline(in, o, ','))
                if (o != "suid" && o != "dev") kept += (kept.empty() ? "" : ",") + o;
            if (kept.empty()) {
                fa.erase(fa.begin() + k, fa.begin() + k + 2);
            } else {
                fa[k + 1] = kept;
                k += 2;
            }
        }
    }
    if (!operands.empty()) out->mountpoint = operands.back();
    if (!out->source.empty()) {
        struct stat st;
        if (::stat(out->source.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                *err = "source " + out->source + " is not a configuration file";
                return -EINVAL;
            }
            out->config = out->source;
        } else if (out->source.find('/') != std::string::npos) {
            // A path that names nothing is a mistake, not a placeholder.
            *err = "configuration file " + out->source + ": " + strerror(errno);
            return -EINVAL;
        }
        // Any other word ("none", "vesk") only fills fstab's first column.
    }
    if (out->mountpoint.empty() && !out->help && !out->version) {
        *err = "no mount point given";
        return -EINVAL;
    }
    return 0;
}

const char *layout_name(vesk_layout l) { return l == VESK_LAYOUT_FLAT ? "flat" : "container"; }

int setup_mount(const CmdLine &cmd, Served *out, std::string *err) {
    out->mount = vesk::normalize_path(cmd.mountpoint);
    char msg[PATH_MAX + 512];
    if (vesk_config_check(msg, sizeof msg) != 0) {
        *err = std::string("configuration error: ") + msg;
        return -EINVAL;
    }
    char file[PATH_MAX];
    if (vesk_config_file(file, sizeof file) == 0) {
        out->config_file = file;
        out->builtin = false;
        if (!cmd.backends.empty() || !cmd.layout.empty()) {
            *err = "--backend and --layout describe a built-in mount point, but " +
                   out->config_file + " is the configuration: describe " + out->mount +
                   " there";
            return -EINVAL;
        }
        int rc = vesk_mount_info(out->mount.c_str(), &out->layout, add_backend, &out->backends);
        if (rc == -ENOENT) {
            *err = out->config_file + " has no mount point " + out->mount + " (no [mount " +
                   out->mount + "] section)";
            return rc;
        }
        if (rc != 0) {
            *err = "cannot read mount point " + out->mount + ": " + strerror(-rc);
            return rc;
        }
        for (const std::string &b : out->backends) {
            struct stat st;
            if (::stat(b.c_str(), &st) != 0) {
                int e = errno;
                *err = "backend " + b + " of " + out->mount + " (" + out->config_file +
                       "): " + strerror(e) +
                       (e == ENOENT ? " (vesk_check_config -mkdir creates it)" : "");
                return -e;
            }
            if (!S_ISDIR(st.st_mode)) {
                *err = "backend " + b + " of " + out->mount + " (" + out->config_file +
                       ") is not a directory";
                return -ENOTDIR;
            }
        }
    } else {
        out->builtin = true;
        out->layout = cmd.layout == "flat" ? VESK_LAYOUT_FLAT : VESK_LAYOUT_CONTAINER;
        if (cmd.backends.empty()) {
            out->backends.push_back(default_backend(out->mount));
        } else {
            for (const std::string &b : cmd.backends) out->backends.push_back(vesk::normalize_path(b));
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

    std::vector<const char *> dirs;
    for (const std::string &b : out->backends) {
        int rc = mkdir_p(b);
        if (rc != 0) {
            *err = "cannot create backend " + b + ": " + strerror(-rc);
            return rc;
        }
        dirs.push_back(b.c_str());
    }
    int rc = vesk_mount_builtin(out->mount.c_str(), out->layout, dirs.data(), dirs.size());
    if (rc != 0) {
        *err = "cannot serve " + out->mount + ": " + strerror(-rc);
        return rc;
    }
    return 0;
}

}  // namespace veskfs
