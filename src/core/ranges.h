// Byte ranges of a download: the "Range" request header, whether a range
// fits the file, and the Content-Disposition value of the answer.
#ifndef KALDER_CORE_RANGES_H
#define KALDER_CORE_RANGES_H

#include <cstdint>

#include "apr_pools.h"
#include "apr_tables.h"

struct ByteRange {
    int64_t offset;
    int64_t length;  // -1: to the end of the file
};

// A header with more ranges than this is answered with the whole file, as
// httpd answers with its default "MaxRanges 200": each range costs work in
// the range list and the back end, and a client needs few.
constexpr int HANDLER_MAX_RANGES = 200;

enum RangeParse {
    RANGE_WHOLE,    // no "Range", not a "bytes=" range, or more than HANDLER_MAX_RANGES: the whole file
    RANGE_LIST,     // *out holds the ranges in header order (not merged)
    RANGE_INVALID,  // syntax error or a number beyond the signed 64-bit range: 416
};

// Parses a "Range" request header value (null when absent).
RangeParse handler_parse_range(apr_pool_t *pool, const char *header, apr_array_header_t **out);

// Whether (offset, length) can be served from a file of `size` bytes; on
// success *served is the byte count (an open range runs to the end).
bool handler_range_satisfiable(int64_t offset, int64_t length, int64_t size, int64_t *served);

// The Content-Disposition value of a download of `uri`.
const char *handler_content_disposition(apr_pool_t *pool, const char *uri, bool has_query, bool download);

#endif
