#include "util/NormalizePath.h"

#include <climits>
#include <unistd.h>
#include <vector>

namespace vesk {

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

}  // namespace vesk
