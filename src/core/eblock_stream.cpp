// Extended-block stream decoder.
#include "eblock_stream.h"

#include <cstring>

size_t eblock_stream_next(EblockStream *s, const char *data, size_t length, EblockPiece *piece)
{
    *piece = EblockPiece{EBLOCK_NONE, 0, 0, nullptr, 0, false};
    if (s->finished || length == 0)
        return 0;
    if (s->in_block) {
        size_t take = length < s->remaining ? length : static_cast<size_t>(s->remaining);
        s->remaining -= take;
        if (s->remaining == 0)
            s->in_block = false;
        piece->kind = EBLOCK_DATA;
        piece->data = data;
        piece->length = take;
        return take;
    }
    size_t want = KALDER_EBLOCK_HEADER_SIZE - s->header_len;
    size_t take = length < want ? length : want;
    std::memcpy(s->header + s->header_len, data, take);
    s->header_len += take;
    if (s->header_len < KALDER_EBLOCK_HEADER_SIZE)
        return take;
    s->header_len = 0;
    const kalder_eblock_header_t h = kalder_eblock_decode(s->header);
    if (h.flags & KALDER_EBLOCK_EOF) {
        uint64_t markers_left = h.offset;
        if (h.flags & KALDER_EBLOCK_EOD)
            markers_left -= 1;
        s->finished = true;
        piece->kind = EBLOCK_END;
        piece->complete = markers_left == 0;
        return take;
    }
    s->remaining = h.count;
    s->in_block = h.count != 0;
    piece->kind = EBLOCK_PART;
    piece->offset = h.offset;
    piece->count = h.count;
    return take;
}
