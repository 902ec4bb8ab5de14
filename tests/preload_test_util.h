/* Running programs under the preload library against a container mount, a
 * flat mount and a plain directory. */
#ifndef VESK_PRELOAD_TEST_UTIL_H
#define VESK_PRELOAD_TEST_UTIL_H

#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "run_program.h"
#include "vesk_test_util.h"

#ifndef VESK_SANITIZER_RUNTIMES
#define VESK_SANITIZER_RUNTIMES ""
#endif

namespace vesk_test {

inline std::string preload_lib() {
    return std::string(VESK_BINARY_DIR) + "/src/preload/libvesk_preload.so";
}

/* LD_PRELOAD for a program under the preload: a sanitized build's runtimes
 * must come first. */
inline std::string preload_value() {
    std::string rt = VESK_SANITIZER_RUNTIMES;
    return rt.empty() ? preload_lib() : rt + ":" + preload_lib();
}

/* A container mount, a flat mount (neither exists in the kernel's file
 * system: a call that escapes the preload fails) and a plain directory. */
struct PreloadEnv {
    TempDir tmp;
    std::string conf, container, flat, plain;
    std::vector<std::string> backends;

    PreloadEnv() {
        conf = tmp.sub("vesk.conf");
        container = tmp.sub("mnt/ckpt");
        flat = tmp.sub("mnt/flat");
        plain = tmp.sub("plain");
        mkdir(plain.c_str(), 0755);
        backends = {tmp.sub("b1"), tmp.sub("b2"), tmp.sub("fb")};
        std::string text = mount_config(container, {backends[0], backends[1]}, "container") +
                           mount_config(flat, {backends[2]}, "flat");
        write_file(conf, text);
    }

    /* The environment of a preloaded program. Under a sanitized build the
     * programs are not ours: their leaks are not reported. Their reports go
     * to standard error, not to a report file (later options win): making
     * the report file's directory calls mkdir before the runtime is ready,
     * and that mkdir is the preload library's own, instrumented, which
     * cannot run yet. A report still fails the test: the sanitizer's exit
     * status changes the program's. */
    std::vector<std::pair<std::string, std::string>> env() const {
        const char *asan = getenv("ASAN_OPTIONS");
        std::string ao = asan && *asan ? std::string(asan) + ":" : "";
        ao += "detect_leaks=0:verify_asan_link_order=0:log_path=stderr";
        return {{"LD_PRELOAD", preload_value()},
                {"VESK_CONFIG", conf},
                {"ASAN_OPTIONS", ao},
                {"TMPDIR", tmp.path()}};
    }

    /* Runs `script` with bash, $D set to `dir`; preloaded when `preload`. */
    RunResult sh(const std::string &script, const std::string &dir, bool preload = true,
                 const std::vector<std::pair<std::string, std::string>> &extra = {}) const {
        std::vector<std::pair<std::string, std::string>> e;
        if (preload) e = env();
        e.push_back({"D", dir});
        e.push_back({"T", tmp.path()});
        e.insert(e.end(), extra.begin(), extra.end());
        return run_program({"/bin/bash", "-c", script}, e);
    }
};

/* Whether a program is installed (under /usr/bin or /bin). */
inline bool have(const std::string &prog) {
    struct stat st;
    return stat(("/usr/bin/" + prog).c_str(), &st) == 0 || stat(("/bin/" + prog).c_str(), &st) == 0;
}

}  // namespace vesk_test

#endif
