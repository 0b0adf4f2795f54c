// Range header parsing and the Content-Disposition value of a download.
#include "ranges.h"

#include <strings.h>

#include <climits>
#include <cstring>

#include "apr_strings.h"
#include "utf8.h"

// ---------------------------------------------------------------------------
// Range header
//
//   Range: bytes=<first>-[<last>][{","|" "|"\t"}+ <first>-[<last>]]*
//
// Ranges may be separated by commas, blanks or both; an open range
// ("500-") only as the last one; suffix ranges ("-500") are refused. A
// syntax error anywhere answers 416 however many ranges there are; more
// than HANDLER_MAX_RANGES well-formed ones mean the whole file (the header's
// length, bounded by LimitRequestFieldSize, bounds the parse itself).

RangeParse handler_parse_range(apr_pool_t *pool, const char *header, apr_array_header_t **out)
{
    *out = nullptr;
    if (!header || strncasecmp(header, "bytes=", 6) != 0)
        return RANGE_WHOLE;
    apr_array_header_t *ranges = apr_array_make(pool, 4, sizeof(ByteRange));
    const char *p = header + 6;

    auto read_number = [&p](int64_t *value) {
        if (*p < '0' || *p > '9')
            return false;
        int64_t v = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            int digit = *p - '0';
            if (v > (INT64_MAX - digit) / 10)
                return false;  // beyond the signed 64-bit range
            v = v * 10 + digit;
        }
        *value = v;
        return true;
    };
    auto skip_blanks = [&p]() {
        while (*p == ' ' || *p == '\t') ++p;
    };

    for (;;) {
        while (*p == ',') {
            ++p;
            skip_blanks();
        }
        int64_t first = 0;
        if (!read_number(&first) || *p != '-')
            return RANGE_INVALID;
        ++p;
        if (*p == '\0') {
            APR_ARRAY_PUSH(ranges, ByteRange) = {first, -1};
            break;
        }
        int64_t last = 0;
        if (!read_number(&last) || last < first || last == INT64_MAX)
            return RANGE_INVALID;
        APR_ARRAY_PUSH(ranges, ByteRange) = {first, last - first + 1};
        skip_blanks();
        if (*p == '\0')
            break;
    }
    if (ranges->nelts > HANDLER_MAX_RANGES)
        return RANGE_WHOLE;
    *out = ranges;
    return RANGE_LIST;
}

bool handler_range_satisfiable(int64_t offset, int64_t length, int64_t size, int64_t *served)
{
    if (offset < 0 || size < 0)
        return false;
    if (length == -1) {
        if (offset >= size)
            return false;
        *served = size - offset;
        return true;
    }
    if (length < 0 || offset > size || length > size - offset)
        return false;
    *served = length;
    return true;
}

// ---------------------------------------------------------------------------
// Content-Disposition

const char *handler_content_disposition(apr_pool_t *pool, const char *uri, bool has_query, bool download)
{
    if (!has_query || !download)
        return "inline";
    const char *slash = std::strrchr(uri, '/');
    const char *name = slash ? slash + 1 : uri;
    if (*name == '\0')
        name = "download";

    // filename: a quoted string of printable ASCII ('"' and '\' escaped);
    // control characters and bytes outside ASCII become "_". filename*:
    // the name in UTF-8, percent-encoded (RFC 8187), when it is not plain
    // ASCII and is valid UTF-8.
    size_t length = std::strlen(name);
    auto *quoted = static_cast<char *>(apr_palloc(pool, 2 * length + 1));
    auto *encoded = static_cast<char *>(apr_palloc(pool, 3 * length + 1));
    char *q = quoted;
    char *e = encoded;
    bool plain = true;
    bool valid_utf8 = true;
    static constexpr char hex[] = "0123456789ABCDEF";
    const auto *s = reinterpret_cast<const unsigned char *>(name);
    while (*s) {
        unsigned char c = *s;
        if (c < 0x20 || c == 0x7F) {
            // Control characters never reach the header.
            *q++ = '_';
            *e++ = '_';
            ++s;
            continue;
        }
        if (c >= 0x80) {
            plain = false;
            const size_t n = utf8_sequence_length(std::string_view(
                reinterpret_cast<const char *>(s), name + length - reinterpret_cast<const char *>(s)));
            if (n == 0) {
                valid_utf8 = false;
                *q++ = '_';
                ++s;
                continue;
            }
            *q++ = '_';
            for (size_t i = 0; i < n; ++i) {
                *e++ = '%';
                *e++ = hex[s[i] >> 4];
                *e++ = hex[s[i] & 0x0F];
            }
            s += n;
            continue;
        }
        if (c == '"' || c == '\\')
            *q++ = '\\';
        *q++ = static_cast<char>(c);
        // attr-char of RFC 8187: ALPHA / DIGIT / "!#$&+-.^_`|~"
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            std::strchr("!#$&+-.^_`|~", c)) {
            *e++ = static_cast<char>(c);
        } else {
            *e++ = '%';
            *e++ = hex[c >> 4];
            *e++ = hex[c & 0x0F];
        }
        ++s;
    }
    *q = '\0';
    *e = '\0';
    if (plain || !valid_utf8)
        return apr_psprintf(pool, "attachment; filename=\"%s\"", quoted);
    return apr_psprintf(pool, "attachment; filename=\"%s\"; filename*=UTF-8''%s", quoted, encoded);
}
