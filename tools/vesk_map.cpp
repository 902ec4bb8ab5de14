/* vesk_map: writes the index of a logical file to standard error. */
#include <cstdio>
#include <cstring>

#include "vesk.h"
#include "vesk_tool_common.h"

static void show_usage(const char *app_name) {
    fprintf(stderr, "Usage: %s [-version] <filename>\n", app_name);
}

int main(int argc, char **argv) {
    const char *target = nullptr;
    bool found_target = false;
    for (int i = 1; i < argc; i++) {
        vesk_handle_version_arg(argc, argv[i]);
        if (strcmp(argv[i], "-nc") == 0) continue;  // accepted, changes nothing
        if (found_target) {
            show_usage(argv[0]);
            return 1;
        }
        target = argv[i];
        found_target = true;
    }
    if (!found_target) {
        show_usage(argv[0]);
        return 1;
    }
    int ret = vesk_dump_index(stderr, target, 0);
    vesk_report_config_error(ret);
    if (ret != 0) fprintf(stderr, "Couldn't read index from %s: %s\n", target, strerror(-ret));
    return ret;
}
