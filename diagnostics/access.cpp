/*
 * access: checks search permission on every level of a logical path, from
 * the top down, through the library, and prints one line per level.
 *
 *     access -t a/b/c      tries /a, /a/b and /a/b/c
 *
 * Every level is tried, also after a failure; the exit status is the last
 * failing level's result (minus errno), 0 when all succeed.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "Util.h"
#include "vesk.h"

// The line numbers are part of the output that scripts compare against;
// they stay as they are wherever the checks move in this file.
enum { kLineBadOption = 42, kLineNoTarget = 47 };

static void Usage(const char *prog, int line) {
    fprintf(stderr, "Usage (line %d): %s -t target\n", line, prog);
    exit(1);
}

int main(int argc, char **argv) {
    char *prog = strdup(argv[0]);
    const char *target = nullptr;
    int c;
    while ((c = getopt(argc, argv, "n:t:c:")) != -1) {
        switch (c) {
        case 't':
            target = optarg;
            break;
        default:
            Usage(prog, kLineBadOption);
        }
    }
    if (!target) Usage(prog, kLineNoTarget);

    std::vector<std::string> tokens;
    Util::tokenize(target, "/", tokens);
    std::string path;
    int final_ret = 0;
    for (const std::string &tok : tokens) {
        path += "/";
        path += tok;
        int ret = vesk_access(path.c_str(), 1);
        printf("access on %s: %s\n", path.c_str(), ret == 0 ? "success" : strerror(-ret));
        fflush(stdout);
        if (ret != 0) final_ret = ret;
    }
    if (final_ret != 0) fprintf(stderr, "%s FAILURE: %s\n", prog, strerror(-final_ret));
    exit(final_ret);
}
