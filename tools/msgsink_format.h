// msgsink's handling of one datagram: the split into fields and the output
// line.  Kept apart from the socket loop so that tests and the fuzzer can
// drive it with arbitrary bytes; stand-alone like msgsink itself.

#ifndef VESK_TOOLS_MSGSINK_FORMAT_H
#define VESK_TOOLS_MSGSINK_FORMAT_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace msgsink {

// date, host, tag, facility, level, message
constexpr int kFields = 6;

inline bool isdigit_c(char c) { return c >= '0' && c <= '9'; }

// Printable ASCII and line feed pass through; every other byte becomes a
// backslash and three octal digits, so the output stays one line per
// message and can be read back unambiguously.
inline void safeputs(FILE *out, const char *s) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
         *p; p++) {
        unsigned c = *p;
        if ((c >= 0x20 && c <= 0x7e) || c == '\n') {
            putc(static_cast<int>(c), out);
        } else {
            putc('\\', out);
            putc('0' + static_cast<int>((c >> 6) & 7), out);
            putc('0' + static_cast<int>((c >> 3) & 7), out);
            putc('0' + static_cast<int>(c & 7), out);
        }
    }
}

// Splits msg in place into n fields separated by runs of spaces; the last
// field is the rest of the text.  Returns 0 on success, -1 on failure, in
// which case msg reads exactly as it did on entry.
inline int stringsplit(char *msg, int n, char **parts) {
    if (*msg == '\0')
        return -1;
    parts[0] = msg;
    int index = 0;
    char *p = msg;
    for (;;) {
        while (*p != '\0' && *p != ' ')
            p++;
        if (*p == '\0')
            break;
        *p++ = '\0';
        while (*p == ' ')
            p++;
        index++;
        if (*p == '\0')
            break;
        parts[index] = p;
        if (index == n - 1)
            return 0;
    }
    // p is on the text's own terminator; every NUL before it is one that
    // replaced the first space of a run.
    while (p != msg) {
        --p;
        if (*p == '\0')
            *p = ' ';
    }
    return -1;
}

// Writes the output line for the `len` (> 0) bytes received into buf,
// which must have room for one more byte.  The text is cut at its first
// NUL and loses one trailing line feed; it is split in place, so buf is
// changed.  `from` is the sender, for the 's' conversion.
inline void format_datagram(FILE *out, char *buf, size_t len, const char *fmt,
                            const struct sockaddr_in &from) {
    char *chunks[kFields];
    char tmpbuf[64];

    buf[len] = '\0';
    if (buf[len - 1] == '\n')
        buf[len - 1] = '\0';

    if (!isdigit_c(buf[0])) {
        safeputs(out, "INVALID-MSG: ");
        safeputs(out, buf);
    }

    // Fields never outlive their datagram: a failed split defines none.
    for (char *&c : chunks)
        c = nullptr;
    if (stringsplit(buf, kFields, chunks) != 0) {
        safeputs(out, "PARSE-ERR: ");
        safeputs(out, buf);
        for (char *&c : chunks)
            c = nullptr;
    }

    for (const char *f = fmt; *f; f++) {
        if (f != fmt)
            safeputs(out, " ");
        const char *field = nullptr;
        switch (*f) {
        case 'd': field = chunks[0]; break;
        case 'h': field = chunks[1]; break;
        case 'H':
            if (chunks[1]) {
                char *dot = strchr(chunks[1], '.');
                if (dot)
                    *dot = '\0';
            }
            field = chunks[1];
            break;
        case 't': field = chunks[2]; break;
        case 'f': field = chunks[3]; break;
        case 'l': field = chunks[4]; break;
        case 'm': field = chunks[5]; break;
        case 's':
            snprintf(tmpbuf, sizeof(tmpbuf), "%s:%d", inet_ntoa(from.sin_addr),
                     ntohs(from.sin_port));
            field = tmpbuf;
            break;
        default:
            break;
        }
        if (field)
            safeputs(out, field);
    }
    safeputs(out, "\n");
}

}  // namespace msgsink

#endif
