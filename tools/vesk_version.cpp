/*
 * vesk_version: the library's version, optionally a file's format version,
 * and the version lines of every mounted vesk file system.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Util.h"
#include "vesk.h"

namespace {

// The mount point as one shell word: in single quotes, each embedded
// quote closed, escaped and reopened, so nothing in it is interpreted.
std::string shell_quote(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        printf("Usage: %s [filepathi | -version]\n", argv[0]);
        return 0;
    }
    const char *built = vesk_buildtime();
    const char *version = vesk_version();
    const char *tag = vesk_tag();
    printf("VESK library:\n\t%s (SVN %s, Built %s)\n", tag, version, built);
    if (argc > 1) {
        if (strcmp(argv[1], "-version") == 0) return 0;
        printf("file: %s\n\t", argv[1]);
        const char *file_version = nullptr;
        int ret = vesk_file_version(argv[1], &file_version);
        if (ret == 0) printf("%s\n", file_version);
        else printf("Error: %s\n", strerror(-ret));
    }
    fflush(stdout);

    FILE *fpipe = popen("mount", "r");
    if (!fpipe) {
        perror("Problems with pipe");
        return 1;
    }
    char line[256];
    while (fgets(line, sizeof line, fpipe)) {
        if (!strstr(line, "vesk")) continue;
        std::vector<std::string> tokens;
        Util::tokenize(line, " ", tokens);
        if (tokens.size() < 3) continue;
        printf("mount: %s\n", tokens[2].c_str());
        fflush(stdout);
        char command2[1024];
        snprintf(command2, sizeof command2, "cat %s/.veskdebug",
                 shell_quote(tokens[2]).c_str());
        FILE *fpipe2 = popen(command2, "r");
        if (!fpipe2) {
            perror("Problems with pipe\n");
            return 1;
        }
        char line2[256];
        while (fgets(line2, sizeof line2, fpipe2)) {
            if (strstr(line2, "Version") || strstr(line2, "Build") || strstr(line2, "checksum"))
                printf("\t%s", line2);
        }
        fflush(stdout);
        pclose(fpipe2);
    }
    pclose(fpipe);
    return 0;
}
