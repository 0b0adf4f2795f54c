/* The 17-byte header of an extended block on the data channel: one byte of
 * descriptor flags, then the byte count and the file offset of the block's
 * data, both big-endian 64-bit. The sender writes it, the module's filter
 * reads it; both use these two functions. */
#ifndef KALDER_EBLOCK_H
#define KALDER_EBLOCK_H

#include <cstddef>
#include <cstdint>

inline constexpr size_t KALDER_EBLOCK_HEADER_SIZE = 17;

/* Descriptor flags. */
inline constexpr uint8_t KALDER_EBLOCK_EOD = 0x08; /* end of data on this connection */
inline constexpr uint8_t KALDER_EBLOCK_EOF = 0x40; /* end of file: the offset field holds the EOD count */

struct kalder_eblock_header_t {
    uint8_t flags;
    uint64_t count;
    uint64_t offset;
};

inline void kalder_eblock_encode(const kalder_eblock_header_t &h,
                                 unsigned char out[KALDER_EBLOCK_HEADER_SIZE])
{
    out[0] = h.flags;
    for (int i = 0; i < 8; ++i) {
        out[1 + i] = static_cast<unsigned char>(h.count >> (56 - 8 * i));
        out[9 + i] = static_cast<unsigned char>(h.offset >> (56 - 8 * i));
    }
}

inline kalder_eblock_header_t kalder_eblock_decode(const unsigned char in[KALDER_EBLOCK_HEADER_SIZE])
{
    kalder_eblock_header_t h{in[0], 0, 0};
    for (int i = 0; i < 8; ++i) {
        h.count = (h.count << 8) | in[1 + i];
        h.offset = (h.offset << 8) | in[9 + i];
    }
    return h;
}

#endif
