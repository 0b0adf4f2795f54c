// The content handler's decisions over plain inputs: Range parsing and
// satisfiability, Content-Disposition, session user strings and the guest
// path restriction.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "apr_strings.h"
#include "handler.h"
#include "testing.h"

using kalder::test::logged;
using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

using Ranges = std::vector<std::pair<int64_t, int64_t>>;

struct Parsed {
    RangeParse kind;
    Ranges ranges;
};

Parsed parse(const char *header)
{
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apr_array_header_t *out = nullptr;
    Parsed p{handler_parse_range(pool, header, &out), {}};
    if (out)
        for (int i = 0; i < out->nelts; ++i)
            p.ranges.emplace_back(APR_ARRAY_IDX(out, i, ByteRange).offset,
                                  APR_ARRAY_IDX(out, i, ByteRange).length);
    apr_pool_destroy(pool);
    return p;
}

TEST(RangeHeader, AcceptsCommaBlankAndMixedSeparatorsInHeaderOrder)
{
    for (const char *h : {"bytes=0-9,20-29", "bytes=0-9 20-29", "bytes=0-9, 20-29", "bytes=0-9\t,\t20-29",
                          "BYTES=0-9,,20-29", "bytes=0-9 ,20-29"}) {
        Parsed p = parse(h);
        ASSERT_EQ(p.kind, RANGE_LIST) << h;
        EXPECT_EQ(p.ranges, (Ranges{{0, 10}, {20, 10}})) << h;
    }
    // Merging is the range list's business: the parser keeps the order given.
    EXPECT_EQ(parse("bytes=10-19,0-9").ranges, (Ranges{{10, 10}, {0, 10}}));
}

TEST(RangeHeader, OpenRangeOnlyAsTheLast)
{
    EXPECT_EQ(parse("bytes=900-").ranges, (Ranges{{900, -1}}));
    EXPECT_EQ(parse("bytes=0-9,900-").ranges, (Ranges{{0, 10}, {900, -1}}));
    EXPECT_EQ(parse("bytes=0-,5-9").kind, RANGE_INVALID);
    EXPECT_EQ(parse("bytes=5-5").ranges, (Ranges{{5, 1}}));
}

TEST(RangeHeader, SyntaxErrorsAnswer416)
{
    for (const char *h : {"bytes=-500", "bytes=5-2", "bytes=a-b", "bytes=", "bytes=0-9,", "bytes=0-9;",
                          "bytes= 0-9", "bytes=0 -9", "bytes=0-9x", "bytes=1-2-3", "bytes=0-0x10"}) {
        EXPECT_EQ(parse(h).kind, RANGE_INVALID) << h;
    }
}

TEST(RangeHeader, NumbersBeyondSignedSixtyFourBitsAnswer416)
{
    // These used to wrap around silently and name other parts of the file.
    EXPECT_EQ(parse("bytes=9223372036854775807-").kind, RANGE_LIST);
    EXPECT_EQ(parse("bytes=9223372036854775808-").kind, RANGE_INVALID);
    EXPECT_EQ(parse("bytes=0-18446744073709551615").kind, RANGE_INVALID);
    EXPECT_EQ(parse("bytes=0-99999999999999999999999999").kind, RANGE_INVALID);
    // last - first + 1 would overflow.
    EXPECT_EQ(parse("bytes=0-9223372036854775807").kind, RANGE_INVALID);
    EXPECT_EQ(parse("bytes=0-9223372036854775806").ranges, (Ranges{{0, INT64_MAX}}));
}

TEST(RangeHeader, OtherUnitsAndNoHeaderMeanTheWholeFile)
{
    EXPECT_EQ(parse(nullptr).kind, RANGE_WHOLE);
    EXPECT_EQ(parse("items=0-5").kind, RANGE_WHOLE);
    EXPECT_EQ(parse("byte=0-5").kind, RANGE_WHOLE);
}

// "bytes=0-0,2-2,4-4,..." with n ranges; `separator` between them.
std::string many_ranges(int n, const char *separator = ",")
{
    std::string header = "bytes=";
    for (int i = 0; i < n; ++i)
        header += (i ? separator : "") + std::to_string(2 * i) + "-" + std::to_string(2 * i);
    return header;
}

TEST(RangeHeader, MoreThanTwoHundredRangesMeanTheWholeFile)
{
    Parsed at_limit = parse(many_ranges(200).c_str());
    ASSERT_EQ(at_limit.kind, RANGE_LIST);
    ASSERT_EQ(at_limit.ranges.size(), 200u);
    EXPECT_EQ(at_limit.ranges.back(), (std::pair<int64_t, int64_t>{398, 1}));

    for (const char *separator : {",", " ", ", ", "\t"})
        EXPECT_EQ(parse(many_ranges(201, separator).c_str()).kind, RANGE_WHOLE) << separator;
    // Ranges are counted, not separators: empty elements do not count.
    EXPECT_EQ(parse(many_ranges(200, ",, ,").c_str()).ranges.size(), 200u);
    EXPECT_EQ(parse((many_ranges(2000) + ",4000-").c_str()).kind, RANGE_WHOLE);
    // A syntax error still answers 416, however many ranges come before it.
    EXPECT_EQ(parse((many_ranges(300) + ",-5").c_str()).kind, RANGE_INVALID);
}

TEST(RangeSatisfiable, ClosedAndOpenRangesAgainstTheSize)
{
    int64_t served = 0;
    EXPECT_TRUE(handler_range_satisfiable(0, 100, 1000, &served));
    EXPECT_EQ(served, 100);
    EXPECT_TRUE(handler_range_satisfiable(900, -1, 1000, &served));
    EXPECT_EQ(served, 100);
    EXPECT_TRUE(handler_range_satisfiable(999, 1, 1000, &served));
    EXPECT_FALSE(handler_range_satisfiable(1000, -1, 1000, &served));
    EXPECT_FALSE(handler_range_satisfiable(999, 2, 1000, &served));
    EXPECT_FALSE(handler_range_satisfiable(0, -1, 0, &served));
    EXPECT_FALSE(handler_range_satisfiable(INT64_MAX, INT64_MAX, 1000, &served));
}

struct Pool {
    apr_pool_t *p = nullptr;
    Pool() { apr_pool_create(&p, nullptr); }
    ~Pool() { apr_pool_destroy(p); }
};

TEST(ContentDisposition, InlineUnlessDownloadIsAsked)
{
    Pool pool;
    EXPECT_STREQ(handler_content_disposition(pool.p, "/a/b.txt", false, false), "inline");
    EXPECT_STREQ(handler_content_disposition(pool.p, "/a/b.txt", true, false), "inline");
    EXPECT_STREQ(handler_content_disposition(pool.p, "/a/b.txt", true, true),
                 "attachment; filename=\"b.txt\"");
    EXPECT_STREQ(handler_content_disposition(pool.p, "/a/", true, true), "attachment; filename=\"download\"");
    EXPECT_STREQ(handler_content_disposition(pool.p, "noslash", true, true),
                 "attachment; filename=\"noslash\"");
}

TEST(ContentDisposition, NameIsAValidQuotedStringWithoutControlCharacters)
{
    Pool pool;
    // A quote used to end the value early and let the rest be read as
    // parameters.
    EXPECT_STREQ(handler_content_disposition(pool.p, "/a\"b\\c.txt", true, true),
                 "attachment; filename=\"a\\\"b\\\\c.txt\"");
    std::string v = handler_content_disposition(pool.p, "/x\r\nSet-Cookie: y\t.txt", true, true);
    for (char c : v) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << "control character in " << v;
    EXPECT_EQ(v, "attachment; filename=\"x__Set-Cookie: y_.txt\"");
}

TEST(ContentDisposition, NonAsciiNamesAlsoGoAsFilenameStar)
{
    Pool pool;
    EXPECT_STREQ(handler_content_disposition(pool.p, "/d/r\xC3\xA9sum\xC3\xA9 1.pdf", true, true),
                 "attachment; filename=\"r_sum_ 1.pdf\"; filename*=UTF-8''r%C3%A9sum%C3%A9%201.pdf");
    EXPECT_STREQ(handler_content_disposition(pool.p, "/\xE6\x97\xA5\".txt", true, true),
                 "attachment; filename=\"_\\\".txt\"; filename*=UTF-8''%E6%97%A5%22.txt");
    // Not UTF-8: only the ASCII fallback.
    EXPECT_STREQ(handler_content_disposition(pool.p, "/caf\xE9.txt", true, true),
                 "attachment; filename=\"caf_.txt\"");
    EXPECT_STREQ(handler_content_disposition(pool.p, "/\xC3", true, true), "attachment; filename=\"_\"");
}

struct SessionUser : ::testing::Test {
    TestServer srv;
    Identity alice{"11111111-aaaa-4aaa-8aaa-111111111111", "alice@example.org", 0};
    Identity bob{"22222222-bbbb-4bbb-8bbb-222222222222", "bob smith@example.edu", 0};
    Identity *both[3] = {&alice, &bob, nullptr};
    AclEntry read_a{"/a/", "r"};
    AclEntry write_b{"/b/", "rw"};
    AclEntry *entries[3] = {&read_a, &write_b, nullptr};
    AclEntry *none[1] = {nullptr};
    AclDoc acls{"access_list", "9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f", entries};

    void SetUp() override
    {
        srv.config()->collection_id = "5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11";
        srv.config()->collection_type = MAPPED_COLLECTION;
    }
    void TearDown() override { kalder::test::clear_log(); }

    std::string user(TestRequest &r, HandlerState *st, int expect_rc = 0)
    {
        char *out = nullptr;
        EXPECT_EQ(handler_session_user(r, st, &out), expect_rc) << kalder::test::dump_log();
        return out ? out : "";
    }
};

TEST_F(SessionUser, MappedCollectionListsEverySubAndEscapedName)
{
    TestRequest r(srv, "GET", "/f");
    r->user = apr_pstrdup(r->pool, "alice@example.org");
    get_request_state(r)->effective_id_set = both;
    HandlerState st{};
    EXPECT_EQ(user(r, &st),
              ":kalder-mapped-collection:ENDPOINT_ID=5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11;"
              "IDENTITY_IDS=11111111-aaaa-4aaa-8aaa-111111111111,22222222-bbbb-4bbb-8bbb-222222222222;"
              "IDENTITY_NAMES=alice%40example.org%2cbob+smith%40example.edu;HIGH_ASSURANCE=0;");
    EXPECT_EQ(st.restrict_paths, nullptr);
}

TEST_F(SessionUser, MappedAnonymousHasEmptyListsAndHighAssuranceBit)
{
    srv.config()->capability_flags = MOD_KALDER_HIGH_ASSURANCE | MOD_KALDER_REQUIRE_MFA;
    TestRequest r(srv, "GET", "/f");
    HandlerState st{};
    EXPECT_EQ(user(r, &st),
              ":kalder-mapped-collection:ENDPOINT_ID=5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11;IDENTITY_IDS=;"
              "IDENTITY_NAMES=;HIGH_ASSURANCE=1;");
}

TEST_F(SessionUser, GuestCollectionSharesUnderTheFirstIdentityWithRestrictions)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest r(srv, "PUT", "/b/f");
    r->user = apr_pstrdup(r->pool, "alice@example.org");
    get_request_state(r)->effective_id_set = both;
    get_request_state(r)->effective_acls = &acls;
    HandlerState st{};
    EXPECT_EQ(user(r, &st),
              ":kalder-sharing:ID=9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f;SHAREE=alice@example.org;"
              "SHAREE_IDS=11111111-aaaa-4aaa-8aaa-111111111111,22222222-bbbb-4bbb-8bbb-222222222222;HIGH_"
              "ASSURANCE=0;");
    EXPECT_STREQ(st.restrict_paths, "r/a/,rw/b/");
}

TEST_F(SessionUser, GuestAnonymousUsesTheAnonymousShareeAndEmptyRestriction)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest r(srv, "GET", "/f");
    acls.data = none;
    get_request_state(r)->effective_acls = &acls;
    HandlerState st{};
    EXPECT_EQ(user(r, &st),
              ":kalder-sharing:ID=9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f;SHAREE=:ANONYMOUS:;"
              "SHAREE_IDS=00000000-0000-0000-0000-000000000000;HIGH_ASSURANCE=0;");
    ASSERT_NE(st.restrict_paths, nullptr);
    EXPECT_STREQ(st.restrict_paths, "");
    acls.data = nullptr;
    HandlerState st2{};
    user(r, &st2);
    EXPECT_STREQ(st2.restrict_paths, "");
}

TEST_F(SessionUser, MissingRecordsOfAuthorizationAreLoggedFailures)
{
    TestRequest r(srv, "GET", "/f");
    r->user = apr_pstrdup(r->pool, "alice@example.org");
    HandlerState st{};
    user(r, &st, 1);
    EXPECT_TRUE(logged(APLOG_ERR, "Missing allowed identity set.")) << kalder::test::dump_log();

    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest g(srv, "GET", "/x/y");
    get_request_state(g)->effective_id_set = both;
    g->user = apr_pstrdup(g->pool, "alice@example.org");
    user(g, &st, 1);
    EXPECT_TRUE(logged(
        APLOG_ERR,
        "Missing value for ACL in request for /x/y on collection 5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11"))
        << kalder::test::dump_log();
}

}  // namespace
