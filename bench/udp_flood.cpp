// udp_flood: sends numbered log datagrams to a UDP port at a steady rate.
//
//   udp_flood <ipv4-addr> <port> <count> <rate-per-second, 0 = unpaced>
//
// Datagrams look like what a log client sends msgsink:
//   "<seq> bench.host.example vesk 3 INFO benchmark message number <seq>"
// Pacing is done in 1 ms ticks with absolute sleeps, so the rate holds on
// average without spinning a core the receiver needs.  Prints one summary
// line: sent, send errors, seconds, achieved rate.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void add_ns(timespec &t, long ns) {
    t.tv_nsec += ns;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        t.tv_sec++;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s <ipv4-addr> <port> <count> <rate>\n", argv[0]);
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) {
        fprintf(stderr, "udp_flood: bad address %s\n", argv[1]);
        return 1;
    }
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    const long count = atol(argv[3]);
    const long rate = atol(argv[4]);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return 1;
    }

    // datagrams due per 1 ms tick, as a running fraction so any rate works
    const double per_tick = rate > 0 ? rate / 1000.0 : 0.0;
    double due = 0.0;
    timespec tick;
    clock_gettime(CLOCK_MONOTONIC, &tick);

    char buf[128];
    long sent = 0, errors = 0;
    const double t0 = now_s();
    while (sent + errors < count) {
        long batch = count - sent - errors;
        if (rate > 0) {
            due += per_tick;
            long n = static_cast<long>(due);
            due -= static_cast<double>(n);
            if (n < batch)
                batch = n;
        }
        for (long i = 0; i < batch; i++) {
            long seq = sent + errors + 1;
            int len = snprintf(buf, sizeof(buf),
                               "%ld bench.host.example vesk 3 INFO benchmark "
                               "message number %ld",
                               seq, seq);
            if (sendto(fd, buf, static_cast<size_t>(len), 0,
                       reinterpret_cast<sockaddr *>(&to), sizeof(to)) == len)
                sent++;
            else
                errors++;
        }
        if (rate > 0) {
            add_ns(tick, 1000000L);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
        }
    }
    const double secs = now_s() - t0;
    printf("sent=%ld errors=%ld seconds=%.3f rate=%.0f\n", sent, errors, secs,
           secs > 0 ? sent / secs : 0.0);
    close(fd);
    return 0;
}
