// msgsink's datagram handling: the split into six fields and the output
// line, for any bytes and any format.
//
// Input: one byte choosing the format (high bit: the default "dhtflm";
// otherwise its low bits give the length of a format read from the next
// bytes), six bytes of sender address and port, then the datagram.
//
// The line msgsink writes is compared with one built here from a plain
// string model of the split, so a wrong field boundary, a lost space, a
// text not restored after a failed split or a byte that escapes unescaped
// all show up, not only crashes.
#include "fuzz/fuzz_common.h"
#include "msgsink_format.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz_msgsink {

std::string escaped(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 0x20 && c <= 0x7e) || c == '\n') {
            out += (char)c;
        } else {
            out += '\\';
            out += (char)('0' + ((c >> 6) & 7));
            out += (char)('0' + ((c >> 3) & 7));
            out += (char)('0' + (c & 7));
        }
    }
    return out;
}

// The six fields of `text`, or false when it does not split into six.
bool model_split(const std::string &text, std::vector<std::string> &fields) {
    fields.clear();
    if (text.empty()) return false;
    size_t pos = 0;
    for (int i = 0; i < msgsink::kFields - 1; i++) {
        size_t sp = text.find(' ', pos);
        if (sp == std::string::npos) return false;
        fields.push_back(text.substr(pos, sp - pos));
        pos = text.find_first_not_of(' ', sp);
        if (pos == std::string::npos) return false;
    }
    fields.push_back(text.substr(pos));
    return true;
}

std::string expected_line(const std::string &datagram, const std::string &fmt,
                          const sockaddr_in &from) {
    std::string text = datagram;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);

    std::string raw;
    if (text.empty() || text[0] < '0' || text[0] > '9') raw += "INVALID-MSG: " + text;
    std::vector<std::string> fields;
    bool split = model_split(text, fields);
    if (!split) {
        raw += "PARSE-ERR: " + text;
        fields.assign(msgsink::kFields, "");
    }
    std::string host = fields[1];
    for (size_t i = 0; i < fmt.size(); i++) {
        if (i) raw += ' ';
        switch (fmt[i]) {
        case 'd': raw += fields[0]; break;
        case 'h': raw += host; break;
        case 'H':
            // shortened in place: a later 'h' prints the short form too
            host = host.substr(0, host.find('.'));
            raw += host;
            break;
        case 't': raw += fields[2]; break;
        case 'f': raw += fields[3]; break;
        case 'l': raw += fields[4]; break;
        case 'm': raw += fields[5]; break;
        case 's': {
            const unsigned char *a = reinterpret_cast<const unsigned char *>(&from.sin_addr);
            raw += std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                   std::to_string(a[2]) + "." + std::to_string(a[3]) + ":" +
                   std::to_string(ntohs(from.sin_port));
            break;
        }
        default: break;
        }
    }
    raw += '\n';
    return escaped(raw);
}

void run(const uint8_t *data, size_t size) {
    vesk_fuzz::Reader in(data, size);
    uint8_t sel = in.u8();
    std::string fmt = "dhtflm";
    if (!(sel & 0x80)) {
        fmt = in.bytes(sel % 12);
        fmt.resize(strnlen(fmt.c_str(), fmt.size()));  // a C string in msgsink
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    uint32_t addr = in.u32();
    memcpy(&from.sin_addr, &addr, 4);
    from.sin_port = (uint16_t)(in.u8() | (in.u8() << 8));
    std::string datagram = in.rest();
    if (datagram.empty()) return;  // a zero-length datagram ends msgsink instead

    // msgsink's buffer: the bytes received and room for the terminator.
    std::vector<char> buf(datagram.begin(), datagram.end());
    buf.push_back('\x7f');  // must be overwritten by the terminator
    char *out = nullptr;
    size_t outlen = 0;
    FILE *fp = open_memstream(&out, &outlen);
    FUZZ_CHECK(fp != nullptr);
    msgsink::format_datagram(fp, buf.data(), datagram.size(), fmt.c_str(), from);
    fclose(fp);
    std::string got(out, outlen);
    free(out);

    FUZZ_CHECK(buf[datagram.size()] == '\0');
    for (unsigned char c : got) FUZZ_CHECK((c >= 0x20 && c <= 0x7e) || c == '\n');
    FUZZ_CHECK(!got.empty() && got.back() == '\n');
    FUZZ_CHECK(got == expected_line(datagram, fmt, from));
}

}  // namespace fuzz_msgsink

inline void vesk_fuzz_msgsink(const uint8_t *data, size_t size) { fuzz_msgsink::run(data, size); }

VESK_FUZZ_ENTRY(vesk_fuzz_msgsink)
