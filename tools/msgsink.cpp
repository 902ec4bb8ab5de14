// msgsink: UDP log console.
//
// Listens on one UDP port and prints every datagram it receives as one line,
// laid out by a format string of one-letter conversions.  A datagram is
// "date host tag facility level message", fields separated by runs of
// spaces; the message is the rest of the text.  Output goes to standard
// output or, with -l, is appended to a log file that an operator can flush
// (SIGUSR2), truncate (SIGUSR1) or close (SIGINT/SIGTERM) while we run.
//
// Stand-alone on purpose: nothing here depends on the library.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msgsink_format.h"

using msgsink::isdigit_c;

namespace {

FILE *logfp = nullptr;                 // null: write to standard output
const char *fmt = "dhtflm";

// Set by the handlers, acted upon by the receive loop.  Handlers must not
// touch stdio: the loop may be in the middle of writing to the same stream.
volatile sig_atomic_t want_truncate = 0;
volatile sig_atomic_t want_flush = 0;
volatile sig_atomic_t want_exit = 0;

void truncatelog(int) { want_truncate = 1; }
void flushlog(int) { want_flush = 1; }
void exitlog(int) { want_exit = 1; }

void usage(const char *prog) {
    fprintf(stderr, "usage: %s [options]\n", prog);
    fprintf(stderr, "\t-a <addr> listen on addr (default=INADDR_ANY)\n");
    fprintf(stderr, "\t-p <port> listen on port (default=random)\n");
    fprintf(stderr, "\t-f <fmt>  output format\n");
    fprintf(stderr, "\t-l <log>  output logfile\n");
    fprintf(stderr, "\n\tformat: d=date, h=host, H=host (no domain),\n");
    fprintf(stderr, "\tt=tag, f=facility, l=level, m=message, s=src_ip\n");
}

// Acts on signals noted by the handlers.  The truncation leaves the stream's
// buffer alone: copy-then-truncate rotation copies what is on disk, and lines
// not yet written must open the new file rather than vanish with the cut.
// The stream appends, so they land at offset 0.
void handle_signals() {
    if (want_truncate) {
        want_truncate = 0;
        if (logfp) {
            if (ftruncate(fileno(logfp), 0) != 0) {
                // nothing sensible to do: the file simply keeps its contents
            }
        }
    }
    if (want_flush) {
        want_flush = 0;
        if (logfp)
            fflush(logfp);
    }
    if (want_exit) {
        if (logfp)
            fflush(logfp);
        exit(0);
    }
}

void install(int sig, void (*handler)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a waiting call must return EINTR
    sigaction(sig, &sa, nullptr);
}

char bigbuf[1024 * 1024];

}  // namespace

int main(int argc, char **argv) {
    struct sockaddr_in ip;
    socklen_t slen;
    int udpsock;
    const char *ipstr = nullptr, *portstr = nullptr, *logfile = nullptr;
    int errflg = 0;
    int ch;

    while ((ch = getopt(argc, argv, "a:p:f:l:")) != -1) {
        switch (ch) {
        case 'a':
            ipstr = optarg;
            break;
        case 'p': {
            portstr = optarg;
            bool ok = isdigit_c(optarg[0]);
            long v = 0;
            for (const char *q = optarg; ok && isdigit_c(*q); q++) {
                v = v * 10 + (*q - '0');
                if (v > 65535)
                    ok = false;
            }
            if (!ok) {
                fprintf(stderr, "invalid port: %s\n", optarg);
                errflg++;
            }
            break;
        }
        case 'f':
            fmt = optarg;
            break;
        case 'l':
            logfile = optarg;
            break;
        case '?':
        default:
            fprintf(stderr, "unknown option: -%c\n", optopt);
            errflg++;
            break;
        }
    }
    if (errflg) {
        usage(argv[0]);
        exit(1);
    }

    memset(&ip, 0, sizeof(ip));
    ip.sin_family = AF_INET;

    if (ipstr == nullptr) {
        ip.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (isdigit_c(ipstr[0])) {
        in_addr_t a = inet_addr(ipstr);
        // 0 and all ones are also what malformed text converts to
        if (a == 0 || a == 0xFFFFFFFFu) {
            fprintf(stderr, "msgsink: invalid host %s\n", ipstr);
            exit(1);
        }
        ip.sin_addr.s_addr = a;
    } else {
        struct hostent *he = gethostbyname(ipstr);
        if (he == nullptr || he->h_addrtype != AF_INET || he->h_length != 4 ||
            he->h_addr_list[0] == nullptr) {
            fprintf(stderr, "msgsink: invalid host %s\n", ipstr);
            exit(1);
        }
        memcpy(&ip.sin_addr, he->h_addr_list[0], 4);
    }

    if (portstr) {
        unsigned long v = 0;
        for (const char *q = portstr; isdigit_c(*q); q++)
            v = v * 10 + static_cast<unsigned long>(*q - '0');
        ip.sin_port = htons(static_cast<uint16_t>(v));
    }

    if (logfile) {
        logfp = fopen(logfile, "a");
        if (logfp == nullptr) {
            fprintf(stderr, "fopen: %s: %s\n", logfile, strerror(errno));
            exit(1);
        }
    }

    udpsock = socket(AF_INET, SOCK_DGRAM, 0);
    if (bind(udpsock, reinterpret_cast<struct sockaddr *>(&ip),
             sizeof(ip)) < 0) {
        fprintf(stderr, "msgsink: bind: %s\n", strerror(errno));
        exit(1);
    }
    slen = sizeof(ip);
    if (getsockname(udpsock, reinterpret_cast<struct sockaddr *>(&ip),
                    &slen) < 0) {
        fprintf(stderr, "msgsink: getsockname: %s\n", strerror(errno));
        exit(1);
    }

    // The four signals stay blocked except while we wait for a datagram:
    // a signal that comes while a datagram is being printed is acted upon
    // right after it, and one that comes just before the wait cannot slip
    // past it and leave us asleep with work pending.  Blocking starts before
    // the start-up line, so whoever reads that line may signal us at once.
    sigset_t blocked, waitmask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGUSR2);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waitmask);
    sigdelset(&waitmask, SIGUSR1);
    sigdelset(&waitmask, SIGUSR2);
    sigdelset(&waitmask, SIGINT);
    sigdelset(&waitmask, SIGTERM);

    printf("msgsink listening on %s:%d, logfile=%s, format=%s\n",
           ip.sin_addr.s_addr == htonl(INADDR_ANY) ? "*"
                                                   : inet_ntoa(ip.sin_addr),
           ntohs(ip.sin_port), logfile ? logfile : "<none>", fmt);
    // Whoever started us may be waiting on a pipe to learn the port.
    fflush(stdout);

    install(SIGUSR1, truncatelog);
    install(SIGUSR2, flushlog);
    install(SIGINT, exitlog);
    install(SIGTERM, exitlog);

    for (;;) {
        handle_signals();

        struct pollfd pfd;
        pfd.fd = udpsock;
        pfd.events = POLLIN;
        pfd.revents = 0;
        if (ppoll(&pfd, 1, nullptr, &waitmask) < 0 && errno == EINTR)
            continue;
        // Any other poll failure falls through: recvfrom reports the socket.

        slen = sizeof(ip);
        errno = 0;
        ssize_t rv = recvfrom(udpsock, bigbuf, sizeof(bigbuf) - 1, 0,
                              reinterpret_cast<struct sockaddr *>(&ip), &slen);
        if (rv <= 0) {
            if (rv < 0 && errno == EINTR)
                continue;
            if (rv == 0)
                fprintf(stderr, "recvfrom: returned zero/EOF?\n");
            else
                fprintf(stderr, "recvfrom: %s\n", strerror(errno));
            break;
        }

        msgsink::format_datagram(logfp ? logfp : stdout, bigbuf,
                                 static_cast<size_t>(rv), fmt, ip);
    }

    if (logfp) {
        fflush(logfp);
        fclose(logfp);
    }
    exit(1);
}
