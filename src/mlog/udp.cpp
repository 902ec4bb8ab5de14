/*
 * The log's UDP channel: every message that passes the filter is sent as
 * one datagram in the console's wire format,
 *
 *     <date> <host> <tag> <facility> <level> <message>
 *
 * The socket is non-blocking and each send is a single sendto() with
 * MSG_DONTWAIT: a full socket buffer or an absent listener drops the
 * message rather than slowing or failing the operation being logged.
 */
#include "mlog/mlog_sink.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class UdpSink : public MlogSink {
public:
    UdpSink(int fd, const sockaddr_storage &addr, socklen_t len)
        : fd_(fd), addr_(addr), len_(len) {}
    ~UdpSink() override { ::close(fd_); }

    void write(const MlogRecord &rec) override {
        std::string d = mlog_format_time(rec.time);
        d += ' ';
        d += rec.host;
        d += ' ';
        d += rec.tag;
        d += ' ';
        d += rec.facility;
        d += ' ';
        d += rec.level;
        d += ' ';
        // The console needs a non-empty message field.
        d += *rec.message ? rec.message : "-";
        if (d.size() > 65507) d.resize(65507);  // largest UDP payload
        (void)::sendto(fd_, d.data(), d.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                       (const sockaddr *)&addr_, len_);
    }

private:
    int fd_;
    sockaddr_storage addr_;
    socklen_t len_;
};

}  // namespace

/* target is "host:port" (or "[v6addr]:port"). Sets *err to minus errno
 * when the target cannot be used. */
std::unique_ptr<MlogSink> mlog_make_udp_sink(const char *target, int *err) {
    *err = -EINVAL;
    std::string t(target);
    size_t colon = t.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == t.size())
        return nullptr;
    std::string host = t.substr(0, colon), port = t.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res)
        return nullptr;
    int fd = ::socket(res->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = -errno;
        freeaddrinfo(res);
        return nullptr;
    }
    sockaddr_storage addr;
    memset(&addr, 0, sizeof addr);
    memcpy(&addr, res->ai_addr, res->ai_addrlen);
    socklen_t len = res->ai_addrlen;
    freeaddrinfo(res);
    *err = 0;
    return std::make_unique<UdpSink>(fd, addr, len);
}
