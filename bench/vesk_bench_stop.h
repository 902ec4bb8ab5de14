/*
 * vesk_bench's answer to SIGINT and SIGTERM: its writer and reader
 * processes are killed and reaped and its scratch directory removed
 * before it dies of the signal, so an interrupted run leaves neither
 * gigabytes of files nor orphaned writers behind. The handler uses only
 * async-signal-safe calls (kill, waitpid, fork, execv, _exit).
 */
#ifndef VESK_BENCH_STOP_H
#define VESK_BENCH_STOP_H

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace bench_stop {

constexpr int kSlots = 4096;
inline volatile pid_t g_kids[kSlots];
inline volatile sig_atomic_t g_nkids = 0;
inline char g_root[4096];

inline void on_signal(int sig) {
    for (int i = 0; i < g_nkids; i++) {
        pid_t p = g_kids[i];
        if (p > 0) kill(p, SIGKILL);
    }
    for (int i = 0; i < g_nkids; i++) {
        pid_t p = g_kids[i];
        if (p > 0) waitpid(p, nullptr, 0);
    }
    if (g_root[0]) {
        pid_t rm = fork();
        if (rm == 0) {
            char *const argv[] = {const_cast<char *>("rm"), const_cast<char *>("-rf"),
                                  const_cast<char *>("--"), g_root, nullptr};
            execv("/bin/rm", argv);
            _exit(127);
        }
        if (rm > 0) waitpid(rm, nullptr, 0);
    }
    // Die of the signal itself, as the shell expects of an interrupted run.
    signal(sig, SIG_DFL);
    raise(sig);
}

/* From the moment `root` exists until the run removes it itself. */
inline void install(const char *root) {
    size_t n = strlen(root);
    if (n >= sizeof g_root) n = sizeof g_root - 1;
    memcpy(g_root, root, n);
    g_root[n] = '\0';
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigfillset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

/* The run removes the directory itself from here on. */
inline void uninstall() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_root[0] = '\0';
}

/* Held around each fork and the add() of its child, so that no child
 * escapes the list: the stop signals wait until it is listed. */
class Hold {
public:
    Hold() {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGINT);
        sigaddset(&s, SIGTERM);
        sigprocmask(SIG_BLOCK, &s, &old_);
    }
    ~Hold() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

/* In a child just forked (under a Hold): the parent cleans up, the child
 * just dies. */
inline void in_child() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_nkids = 0;
    g_root[0] = '\0';
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &s, nullptr);
}

/* In the parent, for each child it forks, still under the Hold. */
inline void add(pid_t p) {
    for (int i = 0; i < g_nkids; i++)
        if (g_kids[i] <= 0) {
            g_kids[i] = p;
            return;
        }
    if (g_nkids < kSlots) {
        g_kids[g_nkids] = p;
        g_nkids = g_nkids + 1;
    }
}

/* After the parent reaped `p`: its pid may be reused by anyone. */
inline void forget(pid_t p) {
    for (int i = 0; i < g_nkids; i++)
        if (g_kids[i] == p) g_kids[i] = 0;
}

}  // namespace bench_stop

#endif
