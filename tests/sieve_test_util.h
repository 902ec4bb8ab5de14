/* Two processes taking turns at a read-patch-write of one range under a
 * record lock, as MPI-IO's data sieving does, each keeping the file open. */
#ifndef VESK_SIEVE_TEST_UTIL_H
#define VESK_SIEVE_TEST_UTIL_H

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace vesk_test {

inline int set_lock(int fd, short type) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_len = 0;
    return fcntl(fd, F_SETLKW, &fl);
}

/* One turn: lock, read the range, put `mine` into the 512-byte sectors of
 * the given parity, write the range back, unlock. */
inline bool sieve_turn(int fd, size_t len, char mine, size_t parity) {
    std::string b(len, '\0');
    if (set_lock(fd, F_WRLCK) != 0 || pread(fd, &b[0], len, 0) != (ssize_t)len) return false;
    for (size_t s = 0; s < len / 512; s++)
        if (s % 2 == parity) memset(&b[s * 512], mine, 512);
    return pwrite(fd, b.data(), len, 0) == (ssize_t)len && set_lock(fd, F_UNLCK) == 0;
}

/* Fills `path` with zeros and has a child (even sectors, 'c') and this
 * process (odd sectors, 'p') take turns, each with the file open all along,
 * then the child checks both under a read lock. "" when both sets of bytes
 * survived, else what went wrong. */
inline std::string sieve_two_processes(const std::string &path, size_t len = 8192) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return "open: " + std::string(strerror(errno));
    std::string buf(len, '0');
    if (pwrite(fd, buf.data(), len, 0) != (ssize_t)len || pread(fd, &buf[0], len, 0) != (ssize_t)len)
        return "first write or read";
    int turn[2], back[2];
    if (pipe(turn) != 0 || pipe(back) != 0) return "pipe";
    pid_t pid = fork();
    if (pid == 0) {
        int c = open(path.c_str(), O_RDWR);
        char ch;
        int code = 0;
        if (c < 0 || !sieve_turn(c, len, 'c', 0)) code |= 1;
        if (write(back[1], "1", 1) != 1 || read(turn[0], &ch, 1) != 1) code |= 2;
        std::string b(len, '\0');
        if (set_lock(c, F_RDLCK) != 0 || pread(c, &b[0], len, 0) != (ssize_t)len) code |= 4;
        for (size_t s = 0; s < len / 512 && !(code & 8); s++)
            if (b[s * 512] != (s % 2 ? 'p' : 'c') || b[s * 512 + 511] != b[s * 512]) code |= 8;
        set_lock(c, F_UNLCK);
        close(c);
        _exit(code);
    }
    std::string why;
    char ch;
    if (read(back[0], &ch, 1) != 1) why = "the child's turn did not end";
    else if (!sieve_turn(fd, len, 'p', 1)) why = "this process's turn failed";
    if (write(turn[1], "1", 1) != 1 && why.empty()) why = "pipe";
    int st = 0;
    waitpid(pid, &st, 0);
    int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    if (why.empty() && code == 8) why = "the child read lost or stale bytes";
    else if (why.empty() && code != 0) why = "the child failed (" + std::to_string(code) + ")";
    if (why.empty()) {
        if (pread(fd, &buf[0], len, 0) != (ssize_t)len) why = "last read";
        for (size_t s = 0; s < len / 512 && why.empty(); s++)
            if (buf[s * 512] != (s % 2 ? 'p' : 'c'))
                why = "sector " + std::to_string(s) + " lost its holder's bytes";
    }
    close(fd);
    for (int f : {turn[0], turn[1], back[0], back[1]}) close(f);
    return why;
}

}  // namespace vesk_test

#endif
