// Range header parsing and satisfiability, and the Content-Disposition
// value of a download.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ranges.h"
#include "test_pool.h"

namespace {

using Ranges = std::vector<std::pair<int64_t, int64_t>>;

struct Parsed {
    RangeParse kind;
    Ranges ranges;
};

Parsed parse(const std::string *header)
{
    TestPool pool;
    apr_array_header_t *out = nullptr;
    Parsed p{handler_parse_range(pool, header ? header->c_str() : nullptr, &out), {}};
    if (out)
        for (int i = 0; i < out->nelts; ++i)
            p.ranges.emplace_back(APR_ARRAY_IDX(out, i, ByteRange).offset,
                                  APR_ARRAY_IDX(out, i, ByteRange).length);
    return p;
}

Parsed parse(const std::string &header)
{
    return parse(&header);
}

// "bytes=0-0,2-2,4-4,..." with n ranges; `separator` between them.
std::string many_ranges(int n, const char *separator = ",")
{
    std::string header = "bytes=";
    for (int i = 0; i < n; ++i)
        header += (i ? separator : "") + std::to_string(2 * i) + "-" + std::to_string(2 * i);
    return header;
}

struct RangeCase {
    std::string header;
    RangeParse kind;
    Ranges ranges;  // checked for RANGE_LIST
};

TEST(RangeHeader, ParsesAsTheTableSays)
{
    const Ranges two{{0, 10}, {20, 10}};
    const RangeCase cases[] = {
        // Commas, blanks or both separate; the header order is kept (merging
        // is the range list's business).
        {"bytes=0-9,20-29", RANGE_LIST, two},
        {"bytes=0-9 20-29", RANGE_LIST, two},
        {"bytes=0-9, 20-29", RANGE_LIST, two},
        {"bytes=0-9\t,\t20-29", RANGE_LIST, two},
        {"BYTES=0-9,,20-29", RANGE_LIST, two},
        {"bytes=0-9 ,20-29", RANGE_LIST, two},
        {"bytes=10-19,0-9", RANGE_LIST, {{10, 10}, {0, 10}}},
        // An open range only as the last one.
        {"bytes=900-", RANGE_LIST, {{900, -1}}},
        {"bytes=0-9,900-", RANGE_LIST, {{0, 10}, {900, -1}}},
        {"bytes=0-,5-9", RANGE_INVALID, {}},
        {"bytes=5-5", RANGE_LIST, {{5, 1}}},
        // Syntax errors answer 416.
        {"bytes=-500", RANGE_INVALID, {}},
        {"bytes=5-2", RANGE_INVALID, {}},
        {"bytes=a-b", RANGE_INVALID, {}},
        {"bytes=", RANGE_INVALID, {}},
        {"bytes=0-9,", RANGE_INVALID, {}},
        {"bytes=0-9;", RANGE_INVALID, {}},
        {"bytes= 0-9", RANGE_INVALID, {}},
        {"bytes=0 -9", RANGE_INVALID, {}},
        {"bytes=0-9x", RANGE_INVALID, {}},
        {"bytes=1-2-3", RANGE_INVALID, {}},
        {"bytes=0-0x10", RANGE_INVALID, {}},
        // Numbers beyond signed 64 bits answer 416 (they used to wrap around
        // silently and name other parts of the file); so does a last byte
        // whose length would overflow.
        {"bytes=9223372036854775807-", RANGE_LIST, {{INT64_MAX, -1}}},
        {"bytes=9223372036854775808-", RANGE_INVALID, {}},
        {"bytes=0-18446744073709551615", RANGE_INVALID, {}},
        {"bytes=0-99999999999999999999999999", RANGE_INVALID, {}},
        {"bytes=0-9223372036854775807", RANGE_INVALID, {}},
        {"bytes=0-9223372036854775806", RANGE_LIST, {{0, INT64_MAX}}},
        // Other units mean the whole file.
        {"items=0-5", RANGE_WHOLE, {}},
        {"byte=0-5", RANGE_WHOLE, {}},
        // More than 200 ranges mean the whole file, whatever separates them;
        // ranges are counted, not separators. A syntax error still answers
        // 416, however many ranges come before it.
        {many_ranges(201, ","), RANGE_WHOLE, {}},
        {many_ranges(201, " "), RANGE_WHOLE, {}},
        {many_ranges(201, ", "), RANGE_WHOLE, {}},
        {many_ranges(201, "\t"), RANGE_WHOLE, {}},
        {many_ranges(2000) + ",4000-", RANGE_WHOLE, {}},
        {many_ranges(300) + ",-5", RANGE_INVALID, {}},
    };
    for (const auto &c : cases) {
        Parsed p = parse(c.header);
        EXPECT_EQ(p.kind, c.kind) << c.header.substr(0, 80);
        if (c.kind == RANGE_LIST)
            EXPECT_EQ(p.ranges, c.ranges) << c.header;
        else
            EXPECT_TRUE(p.ranges.empty()) << c.header.substr(0, 80);
    }
    EXPECT_EQ(parse(nullptr).kind, RANGE_WHOLE);
}

TEST(RangeHeader, TwoHundredRangesAreStillAList)
{
    Parsed at_limit = parse(many_ranges(200));
    ASSERT_EQ(at_limit.kind, RANGE_LIST);
    ASSERT_EQ(at_limit.ranges.size(), 200u);
    EXPECT_EQ(at_limit.ranges.back(), (std::pair<int64_t, int64_t>{398, 1}));
    EXPECT_EQ(parse(many_ranges(200, ",, ,")).ranges.size(), 200u);
}

TEST(RangeSatisfiable, ClosedAndOpenRangesAgainstTheSize)
{
    struct {
        int64_t offset, length, size;
        bool ok;
        int64_t served;
    } cases[] = {
        {0, 100, 1000, true, 100},
        {900, -1, 1000, true, 100},
        {999, 1, 1000, true, 1},
        {1000, -1, 1000, false, 0},
        {999, 2, 1000, false, 0},
        {0, -1, 0, false, 0},
        {INT64_MAX, INT64_MAX, 1000, false, 0},
    };
    for (const auto &c : cases) {
        int64_t served = 0;
        EXPECT_EQ(handler_range_satisfiable(c.offset, c.length, c.size, &served), c.ok)
            << c.offset << "+" << c.length << " of " << c.size;
        if (c.ok) {
            EXPECT_EQ(served, c.served) << c.offset << "+" << c.length;
        }
    }
}

TEST(ContentDisposition, ValuesAsTheTableSays)
{
    struct {
        const char *uri;
        bool has_query, download;
        const char *value;
    } cases[] = {
        // Inline unless a download is asked for.
        {"/a/b.txt", false, false, "inline"},
        {"/a/b.txt", true, false, "inline"},
        {"/a/b.txt", true, true, "attachment; filename=\"b.txt\""},
        {"/a/", true, true, "attachment; filename=\"download\""},
        {"noslash", true, true, "attachment; filename=\"noslash\""},
        // A valid quoted string (a quote used to end the value early and let
        // the rest be read as parameters), without control characters.
        {"/a\"b\\c.txt", true, true, "attachment; filename=\"a\\\"b\\\\c.txt\""},
        {"/x\r\nSet-Cookie: y\t.txt", true, true, "attachment; filename=\"x__Set-Cookie: y_.txt\""},
        // Names outside ASCII also go as filename* when they are UTF-8, else
        // only the ASCII fallback.
        {"/d/r\xC3\xA9sum\xC3\xA9 1.pdf", true, true,
         "attachment; filename=\"r_sum_ 1.pdf\"; filename*=UTF-8''r%C3%A9sum%C3%A9%201.pdf"},
        {"/\xE6\x97\xA5\".txt", true, true,
         "attachment; filename=\"_\\\".txt\"; filename*=UTF-8''%E6%97%A5%22.txt"},
        {"/caf\xE9.txt", true, true, "attachment; filename=\"caf_.txt\""},
        {"/\xC3", true, true, "attachment; filename=\"_\""},
    };
    TestPool pool;
    for (const auto &c : cases)
        EXPECT_STREQ(handler_content_disposition(pool, c.uri, c.has_query, c.download), c.value) << c.uri;
}

}  // namespace
