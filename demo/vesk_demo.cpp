/*
 * vesk_demo: a short tour of the library on a configuration it writes
 * itself, in a fresh temporary directory: a flat mount and a container
 * mount over the same two backend directories.
 */
#include "vesk.h"
#include "LogicalFD.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>


namespace {

std::string g_root;

int fail(const char *what, long ret) {
    fprintf(stderr, "vesk_demo: %s: %s\n", what, strerror((int)-ret));
    exit(1);
}

void check(const char *what, long ret) {
    if (ret < 0) fail(what, ret);
}

int show_entry(const char *path, const struct stat *st, int type, struct FTW *) {
    std::string p(path);
    if (p.size() <= g_root.size()) return 0;
    std::string rel = p.substr(g_root.size() + 1);
    if (type == FTW_D) printf("  %-48s/\n", rel.c_str());
    else if (type == FTW_SL) printf("  %-48s -> link\n", rel.c_str());
    else printf("  %-48s %8lld bytes\n", rel.c_str(), (long long)st->st_size);
    return 0;
}

void write_whole(const char *path, const std::string &text) {
    Vesk_fd *fd = nullptr;
    check("open for writing", vesk_open(&fd, path, O_CREAT | O_TRUNC | O_WRONLY, getpid(), 0644));
    check("write", vesk_write(fd, text.data(), text.size(), 0, getpid()));
    check("close", vesk_close(fd, getpid(), getuid(), O_WRONLY));
}

std::string read_whole(const char *path) {
    Vesk_fd *fd = nullptr;
    check("open for reading", vesk_open(&fd, path, O_RDONLY, getpid(), 0));
    std::string out;
    char buf[65536];
    off_t off = 0;
    for (;;) {
        ssize_t n = vesk_read(fd, buf, sizeof buf, off);
        check("read", n);
        if (n == 0) break;
        out.append(buf, (size_t)n);
        off += n;
    }
    vesk_close(fd, getpid(), getuid(), O_RDONLY);
    return out;
}

void list(const char *dir) {
    Vesk_dirents e;
    check("readdir", vesk_readdir(dir, &e));
    printf("ls %s:", dir);
    for (const std::string &n : e) printf(" %s", n.c_str());
    printf("\n");
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/vesk-demo-XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp");
        return 1;
    }
    g_root = tmpl;
    std::string b0 = g_root + "/backend0", b1 = g_root + "/backend1";
    mkdir(b0.c_str(), 0755);
    mkdir(b1.c_str(), 0755);
    std::string conf = g_root + "/vesk.conf";
    FILE *f = fopen(conf.c_str(), "w");
    fprintf(f,
            "[mount /demo/flat]\nbackends = %s/flat %s/flat\nlayout = flat\n\n"
            "[mount /demo/ckpt]\nbackends = %s/ckpt %s/ckpt\nlayout = container\n",
            b0.c_str(), b1.c_str(), b0.c_str(), b1.c_str());
    fclose(f);
    for (const std::string &b : {b0, b1}) {
        mkdir((b + "/flat").c_str(), 0755);
        mkdir((b + "/ckpt").c_str(), 0755);
    }
    setenv("VESK_CONFIG", conf.c_str(), 1);
    char conf_err[1024];
    if (vesk_config_check(conf_err, sizeof conf_err) != 0) {
        fprintf(stderr, "vesk_demo: %s\n", conf_err);
        return 1;
    }
    printf("vesk %s (%s, built %s)\nconfiguration %s:\n", vesk_tag(), vesk_version(),
           vesk_buildtime(), conf.c_str());
    system(("sed 's/^/  /' " + conf).c_str());

    // Flat files: one backend file each, spread over the backends by name.
    printf("\n== flat layout ==\n");
    check("mkdir", vesk_mkdir("/demo/flat/notes", 0755));
    const char *names[] = {"/demo/flat/notes/a.txt", "/demo/flat/notes/b.txt",
                           "/demo/flat/notes/c.txt", "/demo/flat/notes/d.txt"};
    for (const char *n : names) write_whole(n, std::string("contents of ") + n + "\n");
    for (const char *n : names) printf("read %s: %s", n, read_whole(n).c_str());
    check("rename", vesk_rename("/demo/flat/notes/a.txt", "/demo/flat/notes/renamed.txt"));
    printf("renamed a.txt to renamed.txt: %s", read_whole("/demo/flat/notes/renamed.txt").c_str());
    list("/demo/flat/notes");

    // A container: four processes write interleaved blocks of one file,
    // each to logs of its own.
    printf("\n== container layout: 4 writers, interleaved 4 KiB blocks ==\n");
    const char *ckpt = "/demo/ckpt/checkpoint";
    const int writers = 4, blocks = 64, bs = 4096;
    {
        Vesk_fd *fd = nullptr;
        check("create", vesk_open(&fd, ckpt, O_CREAT | O_TRUNC | O_WRONLY, getpid(), 0644));
        check("close", vesk_close(fd, getpid(), getuid(), O_WRONLY));
    }
    for (int w = 0; w < writers; w++) {
        pid_t child = fork();
        if (child == 0) {
            Vesk_fd *fd = nullptr;
            check("open", vesk_open(&fd, ckpt, O_WRONLY, getpid(), 0644));
            std::vector<char> block(bs);
            for (int k = 0; k < blocks; k++) {
                memset(block.data(), 'A' + w, bs);
                snprintf(block.data(), bs, "writer %d block %d\n", w, k);
                off_t off = (off_t)(k * writers + w) * bs;
                check("write", vesk_write(fd, block.data(), bs, off, getpid()));
            }
            check("close", vesk_close(fd, getpid(), getuid(), O_WRONLY));
            _exit(0);
        }
    }
    int status, bad = 0;
    while (wait(&status) > 0) bad += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (bad) {
        fprintf(stderr, "vesk_demo: %d writers failed\n", bad);
        return 1;
    }
    std::string all = read_whole(ckpt);
    int wrong = 0;
    for (int i = 0; i < writers * blocks; i++) {
        char want[64];
        snprintf(want, sizeof want, "writer %d block %d\n", i % writers, i / writers);
        if (all.compare((size_t)i * bs, strlen(want), want) != 0) wrong++;
    }
    printf("read back %zu bytes; %d of %d blocks wrong\n", all.size(), wrong, writers * blocks);
    struct stat st;
    check("getattr", vesk_getattr(nullptr, ckpt, &st, 0));
    printf("getattr: regular file %s, %lld bytes\n", S_ISREG(st.st_mode) ? "yes" : "no",
           (long long)st.st_size);
    list("/demo/ckpt");

    printf("\n== what landed on the backends (%s) ==\n", g_root.c_str());
    nftw(g_root.c_str(), show_entry, 16, FTW_PHYS);
    int rc = wrong == 0 && all.size() == (size_t)writers * blocks * bs ? 0 : 1;
    if (!getenv("VESK_DEMO_KEEP")) system(("rm -rf '" + g_root + "'").c_str());
    else printf("kept %s\n", g_root.c_str());
    printf("\n%s\n", rc == 0 ? "demo finished: all data verified" : "demo FAILED");
    return rc;
}
