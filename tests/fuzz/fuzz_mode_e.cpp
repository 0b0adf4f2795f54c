// The extended-block stream of the back end, cut into pieces at arbitrary
// places, through the decoder: it must never read outside its input, use
// more than it is given, stall on input it has not finished, hand out data
// beyond the count its block announced, or take input after the end.
#include <cstdint>
#include <cstdlib>

#include "eblock_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    ++data;
    --size;
    EblockStream s{};
    uint64_t announced = 0;  // data bytes the block headers so far announced
    uint64_t passed = 0;
    bool ended = false;
    for (size_t at = 0; at < size; at += piece) {
        const size_t n = size - at < piece ? size - at : piece;
        const char *chunk = reinterpret_cast<const char *>(data + at);
        size_t pos = 0;
        while (pos < n) {
            EblockPiece p;
            const size_t used = eblock_stream_next(&s, chunk + pos, n - pos, &p);
            if (used > n - pos)
                std::abort();
            if (used == 0) {
                if (!s.finished || p.kind != EBLOCK_NONE)
                    std::abort();
                break;
            }
            if (ended)
                std::abort();
            if (p.kind == EBLOCK_PART)
                announced = p.count > UINT64_MAX - announced ? UINT64_MAX : announced + p.count;
            if (p.kind == EBLOCK_DATA) {
                if (p.data != chunk + pos || p.length != used)
                    std::abort();
                passed += p.length;
                if (passed > announced)
                    std::abort();
            }
            if (p.kind == EBLOCK_END)
                ended = true;
            pos += used;
        }
    }
    if (passed > size)
        std::abort();
    return 0;
}
