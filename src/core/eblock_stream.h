// Decoder of the extended-block stream a download of byte ranges arrives
// in: blocks of a 17-byte header (kalder_eblock.h) and data, ending with an
// end-of-file block. Bytes go in as they arrive, in pieces of any size; out
// come the start of each block (one part of the answer), its data and the
// end of the stream.
//
// In an end-of-file block the offset field holds the number of end-of-data
// markers still to come; the end-of-data flag on the same block counts as
// one of them. The stream is complete when none is left.
#ifndef KALDER_CORE_EBLOCK_STREAM_H
#define KALDER_CORE_EBLOCK_STREAM_H

#include <cstddef>
#include <cstdint>

#include "kalder_eblock.h"

// Zero-filled at the start of a stream.
struct EblockStream {
    unsigned char header[KALDER_EBLOCK_HEADER_SIZE];
    size_t header_len;   // header bytes collected so far
    bool in_block;       // passing the current block's data
    uint64_t remaining;  // data bytes of the current block still to come
    bool finished;       // the end-of-file block has come: nothing more is taken
};

enum EblockPieceKind {
    EBLOCK_NONE,  // the input was used up without completing a piece
    EBLOCK_PART,  // a data block starts: offset, count
    EBLOCK_DATA,  // data of the current block: data, length (points into the input)
    EBLOCK_END,   // the end-of-file block: complete
};

struct EblockPiece {
    EblockPieceKind kind;
    uint64_t offset;  // EBLOCK_PART: file offset of the block's data
    uint64_t count;   // EBLOCK_PART: its byte count (may be 0)
    const char *data;
    size_t length;
    bool complete;  // EBLOCK_END: no end-of-data marker is left to come
};

// Takes the next piece from data[0, length) into *piece and returns the
// bytes it used. After EBLOCK_END (and once finished) nothing is used.
size_t eblock_stream_next(EblockStream *s, const char *data, size_t length, EblockPiece *piece);

#endif
