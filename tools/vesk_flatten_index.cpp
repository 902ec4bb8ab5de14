/* vesk_flatten_index: writes one global index for a container file. */
#include <cstdio>
#include <cstring>

#include "vesk.h"
#include "vesk_tool_common.h"

int main(int argc, char **argv) {
    vesk_handle_version_arg(argc, argv[1]);
    if (argc < 2) {
        // Never hand a missing path to the library.
        fprintf(stderr, "Usage: %s <filename>\n", argv[0]);
        return 1;
    }
    const char *path = argv[1];
    int ret = vesk_flatten_index(nullptr, path);
    vesk_report_config_error(ret);
    if (ret == 0) printf("Successfully flattened index of %s\n", path);
    else fprintf(stderr, "Couldn't read index from %s: %s\n", path, strerror(-ret));
    return ret;
}
