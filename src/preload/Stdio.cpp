/*
 * stdio on vesk files. libc's streams write through internal calls that no
 * preload can reach, so a vesk file's stream is a cookie stream whose
 * functions call the wrappers; fileno() gives its descriptor back.
 */
#include "preload/Preload.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <unordered_map>

using namespace vp;

namespace {

struct Cookie {
    int fd;
};

std::mutex g_streams_mu;
// Cookie stream -> descriptor. Built on first use: the wrappers may run
// before this library's static constructors.
std::unordered_map<const FILE *, int> &streams() {
    static std::unordered_map<const FILE *, int> m;
    return m;
}
std::atomic<int> g_nstreams{0};
std::atomic<bool> g_std_swapped[3];

ssize_t c_read(void *c, char *buf, size_t n) {
    ssize_t r = read(static_cast<Cookie *>(c)->fd, buf, n);
    return r;
}

ssize_t c_write(void *c, const char *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = write(static_cast<Cookie *>(c)->fd, buf + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return done ? (ssize_t)done : -1;
        }
        if (r == 0) break;
        done += (size_t)r;
    }
    return (ssize_t)done;
}

int c_seek(void *c, off64_t *pos, int whence) {
    off_t r = lseek(static_cast<Cookie *>(c)->fd, *pos, whence);
    if (r < 0) return -1;
    *pos = r;
    return 0;
}

int c_close(void *c) {
    Cookie *k = static_cast<Cookie *>(c);
    int r = close(k->fd);
    delete k;
    return r;
}

FILE *cookie_stream(int fd, const char *mode) {
    Cookie *k = new Cookie{fd};
    cookie_io_functions_t io{c_read, c_write, c_seek, c_close};
    // The stream's own mode: what fopencookie understands.
    char m[8];
    size_t j = 0;
    for (const char *p = mode; *p && j + 1 < sizeof m; p++)
        if (strchr("rwa+b", *p)) m[j++] = *p;
    m[j] = '\0';
    FILE *fp = fopencookie(k, m, io);
    if (!fp) {
        delete k;
        return nullptr;
    }
    std::lock_guard<std::mutex> g(g_streams_mu);
    streams()[fp] = fd;
    g_nstreams.fetch_add(1);
    return fp;
}

// Open flags of an fopen mode.
int mode_flags(const char *mode) {
    int acc, extra = 0;
    switch (mode[0]) {
    case 'r': acc = O_RDONLY; break;
    case 'w': acc = O_WRONLY; extra = O_CREAT | O_TRUNC; break;
    case 'a': acc = O_WRONLY; extra = O_CREAT | O_APPEND; break;
    default: return -1;
    }
    for (const char *p = mode + 1; *p; p++) {
        if (*p == '+') acc = O_RDWR;
        if (*p == 'e') extra |= O_CLOEXEC;
        if (*p == 'x') extra |= O_EXCL;
    }
    return acc | extra;
}

FILE *vfopen(const std::string &abs, const char *mode) {
    int flags = mode_flags(mode);
    if (flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = vopen(abs, flags, 0666);
    if (fd < 0) {
        errno = -fd;
        return nullptr;
    }
    FILE *fp = cookie_stream(fd, mode);
    if (!fp) close(fd);
    return fp;
}

int stream_fd(const FILE *fp) {
    if (g_nstreams.load(std::memory_order_relaxed) == 0) return -1;
    std::lock_guard<std::mutex> g(g_streams_mu);
    auto it = streams().find(fp);
    return it == streams().end() ? -1 : it->second;
}

}  // namespace

namespace vp {

void std_stream_check(int fd) {
    if (fd < 0 || fd > 2 || g_std_swapped[fd].exchange(true)) return;
    // The stream stays correct whatever the descriptor later becomes: its
    // functions go through the wrappers, which pass other descriptors on.
    static const char *modes[3] = {"r", "w", "w"};
    FILE **slot = fd == 0 ? &stdin : fd == 1 ? &stdout : &stderr;
    fflush(*slot);
    Cookie *k = new Cookie{fd};
    cookie_io_functions_t io{c_read, c_write, c_seek, c_close};
    FILE *fp = fopencookie(k, modes[fd], io);
    if (!fp) {
        delete k;
        g_std_swapped[fd].store(false);
        return;
    }
    if (fd == 2) setvbuf(fp, nullptr, _IONBF, 0);
    {
        std::lock_guard<std::mutex> g(g_streams_mu);
        streams()[fp] = fd;
        g_nstreams.fetch_add(1);
    }
    *slot = fp;
}

}  // namespace vp

VP_EXPORT FILE *fopen(const char *path, const char *mode) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(fopen)(path, mode);
    return vfopen(abs, mode);
}
VP_EXPORT FILE *fopen64(const char *path, const char *mode) {
    std::string abs;
    if (!classify(path, &abs)) return VP_REAL(fopen64)(path, mode);
    return vfopen(abs, mode);
}

VP_EXPORT FILE *fdopen(int fd, const char *mode) {
    if (!is_vesk(fd)) return VP_REAL(fdopen)(fd, mode);
    return cookie_stream(fd, mode);
}

VP_EXPORT FILE *freopen(const char *path, const char *mode, FILE *stream) {
    std::string abs;
    bool ours = stream_fd(stream) >= 0;
    if (!ours && (!path || !classify(path, &abs))) return VP_REAL(freopen)(path, mode, stream);
    if (!path) {
        errno = EINVAL;  // reopening a vesk stream with a new mode
        return nullptr;
    }
    if (abs.empty() && !classify(path, &abs)) {
        // A cookie stream onto a plain file: a libc stream replaces it.
        fclose(stream);
        return VP_REAL(fopen)(path, mode);
    }
    int stdfd = stream == stdin ? 0 : stream == stdout ? 1 : stream == stderr ? 2 : -1;
    fflush(stream);
    if (stdfd >= 0) {
        // The standard streams keep their descriptor numbers.
        int flags = mode_flags(mode);
        int fd = flags < 0 ? -EINVAL : vopen(abs, flags, 0666);
        if (fd < 0) {
            errno = -fd;
            return nullptr;
        }
        dup2(fd, stdfd);
        close(fd);
        FILE **slot = stdfd == 0 ? &stdin : stdfd == 1 ? &stdout : &stderr;
        return *slot;
    }
    fclose(stream);
    return vfopen(abs, mode);
}
VP_EXPORT FILE *freopen64(const char *path, const char *mode, FILE *stream) {
    return freopen(path, mode, stream);
}

VP_EXPORT int fileno(FILE *fp) {
    int fd = stream_fd(fp);
    return fd >= 0 ? fd : VP_REAL(fileno)(fp);
}
VP_EXPORT int fileno_unlocked(FILE *fp) {
    int fd = stream_fd(fp);
    return fd >= 0 ? fd : VP_REAL(fileno_unlocked)(fp);
}

VP_EXPORT int fclose(FILE *fp) {
    if (g_nstreams.load(std::memory_order_relaxed) != 0) {
        std::lock_guard<std::mutex> g(g_streams_mu);
        if (streams().erase(fp)) g_nstreams.fetch_sub(1);
    }
    return VP_REAL(fclose)(fp);
}
