/*
 * Path expansion on top of the mount table.
 */
#include "config/Expand.h"
#include "config/Config.h"
#include "mlog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int vesk_expand_path(const char *logical, char **result) {
    vesk::Resolved r;
    int ret = vesk::resolve(logical, &r);
    if (ret < 0) {
        if (mlog_filter(MLOG_DBG1 | VESK_FAC_CONFIG))
            mlog(MLOG_DBG1 | VESK_FAC_CONFIG, "expand %s: %s", logical ? logical : "(null)",
                 strerror(-ret));
        errno = -ret;
        return ret;
    }
    char *p = strdup(r.backend_path.c_str());
    if (!p) {
        errno = ENOMEM;
        return -ENOMEM;
    }
    *result = p;
    return 0;
}

int find_all_expansions(const char *logical, std::vector<std::string> &list) {
    vesk::Resolved r;
    int ret = vesk::resolve(logical, &r);
    if (ret < 0) {
        errno = -ret;
        return ret;
    }
    for (const std::string &b : r.mount->backends)
        list.push_back(r.rel.empty() ? b : b + "/" + r.rel);
    return 0;
}
