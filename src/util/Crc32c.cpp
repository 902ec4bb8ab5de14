/*
 * CRC-32C, by the CPU's instruction where there is one (SSE 4.2 on x86-64,
 * the CRC extension on ARMv8), else by tables.
 */
#include "util/Crc32c.h"

#include <cstring>
#if defined(__aarch64__)
#include <arm_acle.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

const uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

// kTable[k][b]: the CRC of byte b followed by k zero bytes, so eight
// bytes are folded in with eight lookups and no carried dependency.
struct Tables {
    uint32_t t[8][256];
    Tables() {
        for (uint32_t b = 0; b < 256; b++) {
            uint32_t c = b;
            for (int i = 0; i < 8; i++) c = (c >> 1) ^ ((c & 1) ? kPoly : 0);
            t[0][b] = c;
        }
        for (uint32_t b = 0; b < 256; b++)
            for (int k = 1; k < 8; k++)
                t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

uint64_t load_le64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Shifting a CRC register over kStripe zero bytes, by table: the register
// times x^(8 kStripe) mod P, which is linear in its four bytes. Defined
// below, with the polynomial arithmetic it is built from.
constexpr size_t kStripe = 4096;
uint32_t shift_stripe(uint32_t c);

#if defined(__x86_64__)
#define VESK_CRC_TARGET __attribute__((target("sse4.2")))
VESK_CRC_TARGET inline uint32_t crc_u64(uint32_t c, uint64_t v) {
    return (uint32_t)__builtin_ia32_crc32di(c, v);
}
VESK_CRC_TARGET inline uint32_t crc_u8(uint32_t c, unsigned char b) {
    return __builtin_ia32_crc32qi(c, b);
}

bool cpu_has_sse42() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2");
}
#elif defined(__aarch64__)
#define VESK_CRC_TARGET __attribute__((target("+crc")))
VESK_CRC_TARGET inline uint32_t crc_u64(uint32_t c, uint64_t v) { return __crc32cd(c, v); }
VESK_CRC_TARGET inline uint32_t crc_u8(uint32_t c, unsigned char b) { return __crc32cb(c, b); }
#endif

#if defined(__x86_64__) || defined(__aarch64__)
// The register `c` (not inverted) carried over n bytes. The instruction
// takes a few cycles to give its result but can start one every cycle, so
// long runs are cut into three stripes whose registers advance side by
// side and are joined afterwards: three times the speed of one chain.
VESK_CRC_TARGET uint32_t hw_crc(uint32_t c, const unsigned char *p, size_t n) {
    while (n > 0 && ((uintptr_t)p & 7) != 0) {
        c = crc_u8(c, *p++);
        n--;
    }
    while (n >= 3 * kStripe) {
        uint32_t a = c, b = 0, d = 0;
        for (size_t i = 0; i < kStripe; i += 8) {
            a = crc_u64(a, load_le64(p + i));
            b = crc_u64(b, load_le64(p + kStripe + i));
            d = crc_u64(d, load_le64(p + 2 * kStripe + i));
        }
        // The register after A B D is A's moved past B and D, B's moved
        // past D, and D's.
        c = shift_stripe(shift_stripe(a) ^ b) ^ d;
        p += 3 * kStripe;
        n -= 3 * kStripe;
    }
    while (n >= 8) {
        c = crc_u64(c, load_le64(p));
        p += 8;
        n -= 8;
    }
    while (n > 0) {
        c = crc_u8(c, *p++);
        n--;
    }
    return c;
}
#endif

// Polynomials modulo the CRC polynomial, bit-reflected (x^0 is the top
// bit): a * b mod P.
uint32_t mult_mod_p(uint32_t a, uint32_t b) {
    uint32_t m = 1u << 31, p = 0;
    for (;;) {
        if (a & m) {
            p ^= b;
            if ((a & (m - 1)) == 0) break;
        }
        m >>= 1;
        b = (b & 1) ? (b >> 1) ^ kPoly : b >> 1;
    }
    return p;
}

// x^(n * 2^k) mod P.
uint32_t x2n_mod_p(size_t n, unsigned k) {
    static const struct Powers {
        uint32_t x2n[32];  // x^(2^i) mod P
        Powers() {
            uint32_t p = 1u << 30;  // x^1
            for (int i = 0; i < 32; i++) {
                x2n[i] = p;
                p = mult_mod_p(p, p);
            }
        }
    } pw;
    uint32_t p = 1u << 31;  // x^0
    while (n) {
        if (n & 1) p = mult_mod_p(pw.x2n[k & 31], p);
        n >>= 1;
        k++;
    }
    return p;
}

uint32_t shift_stripe(uint32_t c) {
    static const struct Shift {
        uint32_t t[4][256];  // t[i][b]: byte b in byte i of the register, shifted
        Shift() {
            uint32_t k = x2n_mod_p(kStripe, 3);
            for (int i = 0; i < 4; i++)
                for (uint32_t b = 0; b < 256; b++) t[i][b] = mult_mod_p(k, b << (8 * i));
        }
    } sh;
    return sh.t[0][c & 0xff] ^ sh.t[1][(c >> 8) & 0xff] ^ sh.t[2][(c >> 16) & 0xff] ^
           sh.t[3][c >> 24];
}

using CrcFn = uint32_t (*)(uint32_t, const void *, size_t);

CrcFn choose() {
    return vesk_crc32c_hw_available() ? vesk_crc32c_hw : vesk_crc32c_table;
}

}  // namespace

uint32_t vesk_crc32c_table(uint32_t crc, const void *data, size_t size) {
    const Tables &T = tables();
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t c = ~crc;
    while (size >= 8) {
        uint64_t v = load_le64(p) ^ c;
        c = T.t[7][v & 0xff] ^ T.t[6][(v >> 8) & 0xff] ^ T.t[5][(v >> 16) & 0xff] ^
            T.t[4][(v >> 24) & 0xff] ^ T.t[3][(v >> 32) & 0xff] ^
            T.t[2][(v >> 40) & 0xff] ^ T.t[1][(v >> 48) & 0xff] ^ T.t[0][v >> 56];
        p += 8;
        size -= 8;
    }
    while (size-- > 0) c = (c >> 8) ^ T.t[0][(c ^ *p++) & 0xff];
    return ~c;
}

bool vesk_crc32c_hw_available() {
#if defined(__x86_64__)
    static const bool has = cpu_has_sse42();
    return has;
#elif defined(__aarch64__)
    static const bool has = (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
    return has;
#else
    return false;
#endif
}

uint32_t vesk_crc32c_hw(uint32_t crc, const void *data, size_t size) {
#if defined(__x86_64__) || defined(__aarch64__)
    return ~hw_crc(~crc, static_cast<const unsigned char *>(data), size);
#else
    return vesk_crc32c_table(crc, data, size);
#endif
}

uint32_t vesk_crc32c_combine(uint32_t crc_a, uint32_t crc_b, size_t len_b) {
    // Appending len_b bytes multiplies A's remainder by x^(8 len_b); the
    // pre- and post-inversions cancel out between the two parts.
    return mult_mod_p(x2n_mod_p(len_b, 3), crc_a) ^ crc_b;
}

uint32_t vesk_crc32c(uint32_t crc, const void *data, size_t size) {
    static const CrcFn fn = choose();
    return fn(crc, data, size);
}
