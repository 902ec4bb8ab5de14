/*
 * CRC-32C (Castagnoli polynomial 0x1EDC6F41, reflected 0x82F63B78, initial
 * value and final xor 0xFFFFFFFF): the checksum of every record the
 * container layer writes and of the data of every write.
 *
 * On x86-64 CPUs with SSE 4.2 (or ARMv8 CPUs with the CRC extension) the
 * CPU's crc32c instruction does the work; the choice is made once, at run
 * time, from what the CPU reports. Elsewhere a slicing-by-8 table does it.
 * Both give the same values.
 */
#ifndef VESK_CRC32C_H
#define VESK_CRC32C_H

#include <cstddef>
#include <cstdint>

/* CRC-32C of `size` bytes. `crc` is the value returned for the bytes before
 * them (0 for none), so a checksum can be computed piecewise:
 * vesk_crc32c(vesk_crc32c(0, a, n), b, m) == vesk_crc32c(0, ab, n + m). */
uint32_t vesk_crc32c(uint32_t crc, const void *data, size_t size);

/* The CRC-32C of A followed by B, from crc_a = CRC of A, crc_b = CRC of
 * B and B's length, without the bytes. */
uint32_t vesk_crc32c_combine(uint32_t crc_a, uint32_t crc_b, size_t len_b);

/* The two implementations, for tests and benchmarks. The hardware one must
 * only be called when vesk_crc32c_hw_available() is true. */
uint32_t vesk_crc32c_table(uint32_t crc, const void *data, size_t size);
uint32_t vesk_crc32c_hw(uint32_t crc, const void *data, size_t size);
bool vesk_crc32c_hw_available();

#endif
