/* CRC-32C: published check values, piecewise computation, and agreement of
 * the CPU instruction path with the table path on every length and
 * alignment the slicing loops treat differently. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "util/Crc32c.h"

namespace {

using CrcFn = uint32_t (*)(uint32_t, const void *, size_t);

std::vector<CrcFn> implementations() {
    std::vector<CrcFn> v{vesk_crc32c, vesk_crc32c_table};
    if (vesk_crc32c_hw_available()) v.push_back(vesk_crc32c_hw);
    return v;
}

TEST(Crc32c, KnownVectors) {
    // The check value of the Castagnoli CRC and the iSCSI test patterns.
    unsigned char zeros[32], ones[32], up[32], down[32];
    memset(zeros, 0, 32);
    memset(ones, 0xff, 32);
    for (int i = 0; i < 32; i++) {
        up[i] = (unsigned char)i;
        down[i] = (unsigned char)(31 - i);
    }
    for (CrcFn f : implementations()) {
        EXPECT_EQ(0u, f(0, "", 0));
        EXPECT_EQ(0xE3069283u, f(0, "123456789", 9));
        EXPECT_EQ(0x8A9136AAu, f(0, zeros, 32));
        EXPECT_EQ(0x62A8AB43u, f(0, ones, 32));
        EXPECT_EQ(0x46DD794Eu, f(0, up, 32));
        EXPECT_EQ(0x113FDB5Cu, f(0, down, 32));
        EXPECT_EQ(0x22620404u, f(0, "The quick brown fox jumps over the lazy dog", 43));
    }
}

TEST(Crc32c, PiecewiseEqualsWholeAndPathsAgree) {
    std::mt19937 rng(17);
    // Lengths around multiples of three 4 KiB stripes too: long runs are
    // checksummed as three interleaved chains joined at the end.
    std::vector<unsigned char> buf((1u << 17) + 16);
    for (auto &b : buf) b = (unsigned char)rng();
    const bool hw = vesk_crc32c_hw_available();
    if (!hw) std::cout << "[ note ] no CRC instruction on this CPU: table path only\n";
    for (size_t start = 0; start < 16; start++) {
        for (size_t len : {0ul, 1ul, 7ul, 8ul, 9ul, 15ul, 16ul, 63ul, 64ul, 65ul, 1000ul, 4096ul,
                           12287ul, 12288ul, 12289ul, 12288ul * 2 + 5, 40000ul, 1ul << 17}) {
            const unsigned char *p = buf.data() + start;
            uint32_t t = vesk_crc32c_table(0, p, len);
            EXPECT_EQ(t, vesk_crc32c(0, p, len)) << start << "+" << len;
            if (hw) {
                EXPECT_EQ(t, vesk_crc32c_hw(0, p, len)) << start << "+" << len;
            }
            // Any split point gives the same value as one pass.
            size_t cut = len / 3;
            EXPECT_EQ(t, vesk_crc32c(vesk_crc32c(0, p, cut), p + cut, len - cut));
            EXPECT_EQ(t, vesk_crc32c_table(vesk_crc32c_table(0, p, cut), p + cut, len - cut));
            // ... and so do two separate checksums combined.
            EXPECT_EQ(t, vesk_crc32c_combine(vesk_crc32c(0, p, cut),
                                             vesk_crc32c(0, p + cut, len - cut), len - cut));
        }
    }
}

TEST(Crc32c, EveryBitFlipChangesTheValue) {
    // A record checksum is only worth its cost if any single flipped bit
    // of a record-sized block is caught.
    unsigned char rec[64];
    for (int i = 0; i < 64; i++) rec[i] = (unsigned char)(i * 37 + 5);
    uint32_t good = vesk_crc32c(0, rec, sizeof rec);
    for (int bit = 0; bit < 64 * 8; bit++) {
        rec[bit / 8] ^= (unsigned char)(1u << (bit % 8));
        EXPECT_NE(good, vesk_crc32c(0, rec, sizeof rec)) << "bit " << bit;
        rec[bit / 8] ^= (unsigned char)(1u << (bit % 8));
    }
}

}  // namespace
