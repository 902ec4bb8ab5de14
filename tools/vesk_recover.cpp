/* vesk_recover: repairs a container file left damaged by a crash. */
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vesk.h"
#include "vesk_tool_common.h"

int main(int argc, char **argv) {
    vesk_handle_version_arg(argc, argv[1]);
    if (argc < 2) {
        fprintf(stderr, "Usage: %s [filename | -version]\n", argv[0]);
        return -1;
    }
    const char *path = argv[1];
    int ret = vesk_recover(path);
    vesk_report_config_error(ret);
    if (ret == 0) {
        printf("Successfully recovered %s\n", path);
        return 0;
    }
    if (ret == -EEXIST) {
        printf("%s already exists.\n", path);
        return 0;
    }
    fprintf(stderr, "Couldn't recover %s: %s\n", path, strerror(-ret));
    return ret;
}
