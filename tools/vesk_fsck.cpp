/* vesk_fsck: checks files of vesk mounts against their checksums.
 *
 *   vesk_fsck [--repair] PATH...
 *
 * Every file at or below each PATH (directories are walked) is checked;
 * each problem is one line "PATH: PART: [BEGIN, END): WHAT", then a
 * summary. Exit status: 0 clean, 1 damage found, 2 usage or system error.
 * --repair cuts torn tails and sets aside records that fail their checks
 * (in a side file beside the log), then names the byte ranges lost; it
 * rewrites a damaged marker. */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "vesk.h"
#include "vesk_tool_common.h"

namespace {

struct Totals {
    unsigned long files = 0, problems = 0, repaired = 0, errors = 0;
    uint64_t bytes = 0;
};

void check(const std::string &path, bool repair, Totals &t) {
    mode_t mode = 0;
    int r = vesk_mode(path.c_str(), &mode);
    if (r != 0) {
        fprintf(stderr, "%s: %s\n", path.c_str(), strerror(-r));
        t.errors++;
        return;
    }
    if (S_ISDIR(mode)) {
        Vesk_dirents entries;
        r = vesk_readdir(path.c_str(), &entries);
        if (r != 0) {
            fprintf(stderr, "%s: %s\n", path.c_str(), strerror(-r));
            t.errors++;
            return;
        }
        for (const std::string &e : entries) {
            if (e == "." || e == "..") continue;
            check(path == "/" ? "/" + e : path + "/" + e, repair, t);
        }
        return;
    }
    if (!S_ISREG(mode)) return;  // links and others hold no data of their own
    std::vector<Vesk_scrub_problem> found;
    r = vesk_scrub(path.c_str(), repair, found, &t.bytes);
    if (r != 0) {
        fprintf(stderr, "%s: %s\n", path.c_str(), strerror(-r));
        t.errors++;
        return;
    }
    t.files++;
    for (const Vesk_scrub_problem &p : found) {
        t.problems++;
        if (p.repaired) t.repaired++;
        // The container's marker describes no bytes: rewriting it loses none.
        const bool marker = p.part == ".vesk_container";
        std::string range = p.begin >= 0 ? "[" + std::to_string(p.begin) + ", " +
                                               std::to_string(p.end) + ")"
                            : marker     ? "[no bytes]"
                                         : "[all of this log's bytes]";
        const char *done = !p.repaired ? ""
                           : marker    ? " (repaired: rewritten)"
                                       : " (repaired: set aside, those bytes are lost)";
        printf("%s: %s: %s: %s%s\n", p.path.c_str(), p.part.empty() ? "-" : p.part.c_str(),
               range.c_str(), p.what.c_str(), done);
    }
}

}  // namespace

int main(int argc, char **argv) {
    vesk_handle_version_arg(argc, argv[1]);
    bool repair = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--repair") == 0) repair = true;
        else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
            paths.clear();
            break;
        } else paths.push_back(argv[i]);
    }
    if (paths.empty()) {
        fprintf(stderr, "Usage: %s [--repair] PATH...\n", argv[0]);
        return 2;
    }
    Totals t;
    for (const std::string &p : paths) check(p, repair, t);
    printf("%lu files checked, %llu data bytes verified, %lu problem(s)%s%s\n", t.files,
           (unsigned long long)t.bytes, t.problems,
           repair ? (", " + std::to_string(t.repaired) + " repaired").c_str() : "",
           t.errors ? (", " + std::to_string(t.errors) + " errors").c_str() : "");
    if (t.errors) return 2;
    return t.problems ? 1 : 0;
}
