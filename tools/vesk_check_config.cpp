/* vesk_check_config: prints and checks the library's configuration. */
#include <cstdio>
#include <cstring>

#include "vesk.h"
#include "vesk_tool_common.h"

int main(int argc, char **argv) {
    bool make_dir = false;
    for (int i = 1; i < argc; i++) {
        vesk_handle_version_arg(argc, argv[i]);
        if (strcmp(argv[i], "-mkdir") == 0) make_dir = true;
    }
    int ret = vesk_dump_config(1, make_dir ? 1 : 0);
    vesk_report_config_error(ret);
    fputs(ret == 0 ? "SUCCESS\n" : "ERROR\n", stdout);
    fflush(stdout);
    return ret;
}
