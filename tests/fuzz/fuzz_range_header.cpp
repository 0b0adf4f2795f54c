// Range header values and request paths from clients: the parser must
// accept or refuse any text without reading past it, every accepted range
// must be well formed, no list may hold more than HANDLER_MAX_RANGES, and
// the Content-Disposition value must stay a valid header value (printable,
// no CR/LF).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "apr_general.h"
#include "ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] { return apr_initialize() == APR_SUCCESS; }();
    if (!ready)
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);  // NUL-terminated copy
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);

    apr_array_header_t *ranges = nullptr;
    RangeParse kind = handler_parse_range(pool, text.c_str(), &ranges);
    if (kind == RANGE_LIST) {
        if (!ranges || ranges->nelts < 1 || ranges->nelts > HANDLER_MAX_RANGES)
            std::abort();
        for (int i = 0; i < ranges->nelts; ++i) {
            const ByteRange &r = APR_ARRAY_IDX(ranges, i, ByteRange);
            bool open = r.length == -1;
            if (r.offset < 0 || (!open && r.length < 1) || (!open && r.length - 1 > INT64_MAX - r.offset))
                std::abort();
            if (open && i != ranges->nelts - 1)
                std::abort();
        }
    }

    const char *value = handler_content_disposition(pool, text.c_str(), true, true);
    for (const char *p = value; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7f)
            std::abort();
    }
    apr_pool_destroy(pool);
    return 0;
}
