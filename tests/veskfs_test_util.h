/* Running veskfs from a test: a daemon in the foreground in a child
 * process, and the shell helpers the mount tests drive it with. */
#ifndef VESKFS_TEST_UTIL_H
#define VESKFS_TEST_UTIL_H

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vesk_test_util.h"

namespace veskfs_test {

inline const std::string &veskfs_binary() {
    static const std::string path = VESK_BINARY_DIR "/tools/veskfs";
    return path;
}

/* Why FUSE mounts cannot be tested here, or "". */
inline std::string no_fuse_reason() {
    if (access(veskfs_binary().c_str(), X_OK) != 0)
        return veskfs_binary() + " not built (libfuse 3 missing at configure time?)";
    int fd = open("/dev/fuse", O_RDWR);
    if (fd < 0) return std::string("/dev/fuse cannot be opened: ") + strerror(errno);
    close(fd);
    if (system("command -v fusermount3 >/dev/null 2>&1") != 0) return "fusermount3 not installed";
    return "";
}

inline int sh(const std::string &cmd) {
    int rc = system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

inline std::string run(const std::string &cmd, int *status = nullptr) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

inline std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

/* The line of /proc/mounts whose mount point is `dir`, or "". */
inline std::string mount_line(const std::string &dir) {
    std::ifstream in("/proc/mounts");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string dev, mp;
        ss >> dev >> mp;
        if (mp == dir) return line;
    }
    return "";
}

inline bool wait_for(const std::function<bool()> &cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

/* One veskfs daemon in the foreground, in a child process; `config` is
 * the configuration file it reads, or "" for none at all (not named, none
 * at home). */
class Daemon {
public:
    Daemon(std::string mnt, std::string log, std::vector<std::string> args, std::string config)
        : mnt_(std::move(mnt)), log_(std::move(log)), args_(std::move(args)),
          config_(std::move(config)) {}
    ~Daemon() { stop(); }

    // Starts it and waits until the mount is listed.
    bool start(std::string *why) {
        pid_ = fork();
        if (pid_ < 0) {
            *why = strerror(errno);
            return false;
        }
        if (pid_ == 0) {
            if (config_.empty()) {
                unsetenv("VESK_CONFIG");
                setenv("HOME", log_.substr(0, log_.rfind('/')).c_str(), 1);
            } else {
                setenv("VESK_CONFIG", config_.c_str(), 1);
            }
            int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(veskfs_binary().c_str()));
            argv.push_back(const_cast<char *>("-f"));
            for (std::string &a : args_) argv.push_back(&a[0]);
            argv.push_back(&mnt_[0]);
            argv.push_back(nullptr);
            execv(veskfs_binary().c_str(), argv.data());
            _exit(127);
        }
        bool up = wait_for([&] { return !mount_line(mnt_).empty() || exited(); }, 10000);
        if (!up || exited()) {
            *why = "no mount appeared; daemon log:\n" + vesk_test::read_file(log_);
            stop();
            return false;
        }
        return true;
    }

    bool exited() {
        if (pid_ <= 0) return true;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = st;
            pid_ = -1;
            return true;
        }
        return false;
    }

    // Unmounts as a user would; true when the daemon then ended by itself
    // with status 0.
    bool stop() {
        if (pid_ <= 0 && mount_line(mnt_).empty()) return status_ == 0;
        if (!mount_line(mnt_).empty()) {
            std::string u = "fusermount3 -u '" + mnt_ + "' 2>/dev/null";
            if (!wait_for([&] { return sh(u) == 0 || mount_line(mnt_).empty(); }, 5000))
                sh("fusermount3 -u -z '" + mnt_ + "' 2>/dev/null");
        }
        bool clean = wait_exit(20000);
        return clean && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    }

    // Waits (bounded) for the daemon to end; false when it had to be killed.
    bool wait_exit(int ms) {
        if (wait_for([&] { return exited(); }, ms)) return true;
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        return false;
    }

    pid_t pid() const { return pid_; }
    const std::string &log() const { return log_; }

private:
    std::string mnt_, log_;
    std::vector<std::string> args_;
    std::string config_;
    pid_t pid_ = -1;
    int status_ = 0;
};

// n bytes of a repeatable pseudo-random sequence: file contents that no
// block of zeros or of another offset can stand in for.
inline std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = gen();
        memcpy(&s[i], &v, std::min<size_t>(8, n - i));
    }
    return s;
}

}  // namespace veskfs_test

#endif
