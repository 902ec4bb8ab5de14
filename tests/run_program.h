/* Runs a built program and collects what it printed and its exit status. */
#ifndef VESK_RUN_PROGRAM_H
#define VESK_RUN_PROGRAM_H

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "vesk_test_util.h"

namespace vesk_test {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

/* Runs `argv` (argv[0] is the program's path) with `env` added to the
 * environment, in `cwd` when given; standard input is /dev/null. */
inline RunResult run_program(const std::vector<std::string> &argv,
                             const std::vector<std::pair<std::string, std::string>> &env = {},
                             const std::string &cwd = "") {
    TempDir io;
    std::string outf = io.sub("out"), errf = io.sub("err");
    RunResult r;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int o = open(outf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(errf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        for (auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    r.out = read_file(outf);
    r.err = read_file(errf);
    return r;
}

inline std::string tool(const std::string &name) {
    return std::string(VESK_BINARY_DIR) + "/tools/" + name;
}

}  // namespace vesk_test

#endif
