/*
 * The scratch a benchmark runs in: a fresh directory under a given one
 * holding a backend, a plain directory beside it on the same file system,
 * and a configuration of one container mount, /bench, over the backend,
 * which $VESK_CONFIG names. Removed with everything in it.
 */
#ifndef VESK_BENCH_SCRATCH_H
#define VESK_BENCH_SCRATCH_H

#include "vesk.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace bench_scratch {

inline void remove_all(const std::string &dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}

class Scratch {
public:
    const char *const mount = "/bench";
    std::string root, backend, plain;

    // Made below `dir`; `program` names the messages. ok() tells.
    Scratch(const std::string &dir, const char *program) {
        std::string tmpl = dir + "/vesk-bench-XXXXXX";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        if (!mkdtemp(name.data())) {
            perror("mkdtemp");
            return;
        }
        root = name.data();
        backend = root + "/backend";
        plain = root + "/plain";
        empty();
        std::string conf = root + "/vesk.conf";
        FILE *f = fopen(conf.c_str(), "w");
        if (!f) {
            perror(conf.c_str());
            return;
        }
        fprintf(f, "[mount %s]\nbackends = %s\nlayout = container\n", mount, backend.c_str());
        fclose(f);
        setenv("VESK_CONFIG", conf.c_str(), 1);
        char err[1024];
        if (vesk_config_check(err, sizeof err) != 0) {
            fprintf(stderr, "%s: %s\n", program, err);
            return;
        }
        ok_ = true;
    }
    ~Scratch() {
        if (!root.empty()) remove_all(root);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    bool ok() const { return ok_; }
    // The backend and the plain directory emptied, for the next run.
    void empty() const {
        remove_all(backend);
        remove_all(plain);
        mkdir(backend.c_str(), 0755);
        mkdir(plain.c_str(), 0755);
    }

private:
    bool ok_ = false;
};

}  // namespace bench_scratch

#endif
