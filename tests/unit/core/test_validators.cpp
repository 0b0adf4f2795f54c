// Entity tags, HTTP dates and the order in which preconditions decide.
#include <gtest/gtest.h>

#include <ctime>

#include <string>

#include "validators.h"

namespace {

TEST(Validators, StrongEtagIsLowerCaseHexWithoutLeadingZeros)
{
    const struct {
        FileValidator file;
        const char *etag;
    } cases[] = {
        {{1, 0x1234, 0, 0, 0}, "\"1234-0-0\""},
        {{1, 0x1234, 0x10, 784111777, 5}, "\"1234-10-ae1b981bc490a05\""},
        {{1, UINT64_MAX, INT64_MAX, 1700000000, 999999999},
         "\"ffffffffffffffff-7fffffffffffffff-17979cfe71c4c9ff\""},
    };
    for (const auto &c : cases) EXPECT_EQ(strong_etag(c.file), c.etag);
}

TEST(Validators, HttpDateWritesImfFixdateWithinFourYearDigits)
{
    const struct {
        int64_t seconds;
        const char *date;
    } cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {-5, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
        {INT64_MAX, "Fri, 31 Dec 9999 23:59:59 GMT"},
    };
    for (const auto &c : cases) EXPECT_EQ(http_date(c.seconds), c.date) << c.seconds;
    // What is written reads back, across leap years and month ends.
    for (int64_t s = 0; s < 253402300799; s += 86400 * 37 + 3607) {
        int64_t back = -1;
        ASSERT_TRUE(parse_http_date(http_date(s), &back)) << http_date(s);
        ASSERT_EQ(back, s) << http_date(s);
    }
}

TEST(Validators, ParseHttpDateAcceptsTheThreeFormsAndNothingElse)
{
    constexpr int64_t sunday = 784111777;
    const struct {
        const char *text;
        int64_t seconds;  // -1: rejected
    } cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", sunday},
        {"Sunday, 06-Nov-94 08:49:37 GMT", sunday},
        {"Sun Nov  6 08:49:37 1994", sunday},
        {"Sun Nov 06 08:49:37 1994", sunday},
        {"Wed Nov 16 08:49:37 1994", sunday + 10 * 86400},
        {"Thu, 29 Feb 2024 12:00:00 GMT", 1709208000},
        {"Sat, 30 Jun 2012 23:59:60 GMT", 1341100800},  // a leap second
        // Two-digit years stay within 50 years of now.
        {"Monday, 01-Jan-01 00:00:00 GMT", 978307200},
        {"Friday, 01-Jan-99 00:00:00 GMT", 915148800},
        // Impossible days and times.
        {"Wed, 29 Feb 2023 00:00:00 GMT", -1},
        {"Thu, 29 Feb 1900 00:00:00 GMT", -1},
        {"Sun, 31 Apr 1994 00:00:00 GMT", -1},
        {"Sun, 00 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
        {"Sun, 06 Nov 1994 08:60:00 GMT", -1},
        // Names are case-sensitive, the layout fixed, the text the date only.
        {"sun, 06 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
        {"Sun, 06 Nov 1994 08:49:37", -1},
        {"Sun, 06 Nov 1994 08:49:37 GMT ", -1},
        {" Sun, 06 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 6 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 Nov 94 08:49:37 GMT", -1},
        {"Sun, 06 Nov 1994 8:49:37 GMT", -1},
        {"Sunday, 06 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 06-Nov-94 08:49:37 GMT", -1},
        {"Sunday, 06-Nov-1994 08:49:37 GMT", -1},
        {"Sun Nov 6 08:49:37 1994", -1},
        {"Sun Nov  6 08:49:37 1994 GMT", -1},
        {"784111777", -1},
        {"", -1},
    };
    for (const auto &c : cases) {
        int64_t out = -1;
        EXPECT_EQ(parse_http_date(c.text, &out), c.seconds != -1) << c.text;
        EXPECT_EQ(out, c.seconds) << c.text;
    }
}

TEST(Validators, EtagListsMatchAsTheComparisonSays)
{
    const char *abc = "\"abc\"";
    const struct {
        const char *list;
        const char *current;
        bool weak;
        EtagListMatch match;
    } cases[] = {
        {"\"abc\"", abc, false, ETAG_LIST_MATCH},
        {" \"x\" ,\t\"abc\" ", abc, false, ETAG_LIST_MATCH},
        {",,\"abc\",", abc, false, ETAG_LIST_MATCH},
        {"\"x\", \"y\"", abc, true, ETAG_LIST_NO_MATCH},
        {"W/\"abc\"", abc, false, ETAG_LIST_NO_MATCH},
        {"W/\"abc\"", abc, true, ETAG_LIST_MATCH},
        {"\"ABC\"", abc, true, ETAG_LIST_NO_MATCH},
        {"\"\"", abc, true, ETAG_LIST_NO_MATCH},
        {"\"\xC3\xA9\"", abc, true, ETAG_LIST_NO_MATCH},  // obs-text is allowed
        {"", abc, true, ETAG_LIST_NO_MATCH},
        // "*" matches any existing file and must stand alone.
        {" * ", abc, false, ETAG_LIST_MATCH},
        {"*", "", false, ETAG_LIST_NO_MATCH},
        {"*, \"abc\"", abc, false, ETAG_LIST_MALFORMED},
        // No tag matches an absent file.
        {"\"abc\"", "", true, ETAG_LIST_NO_MATCH},
        // A fault anywhere spoils the list, also after a match.
        {"abc", abc, false, ETAG_LIST_MALFORMED},
        {"\"abc", abc, false, ETAG_LIST_MALFORMED},
        {"\"abc\" \"x\"", abc, false, ETAG_LIST_MALFORMED},
        {"\"abc\", x", abc, false, ETAG_LIST_MALFORMED},
        {"w/\"abc\"", abc, true, ETAG_LIST_MALFORMED},
        {"W/ \"abc\"", abc, true, ETAG_LIST_MALFORMED},
        {"\"a bc\"", abc, false, ETAG_LIST_MALFORMED},
        {"\"a\x7f\"", abc, false, ETAG_LIST_MALFORMED},
    };
    for (const auto &c : cases)
        EXPECT_EQ(match_etag_list(c.list, c.current, c.weak), c.match) << c.list << (c.weak ? " weak" : "");
}

// RFC 9110 §13.2.2: If-Match, then If-Unmodified-Since (only without
// If-Match), then If-None-Match, then If-Modified-Since (only without
// If-None-Match, GET and HEAD), then If-Range.
TEST(Validators, PreconditionsDecideInTheirOrder)
{
    const FileValidator file{1, 0x1234, 0x10, 784111777, 5};
    const std::string e = strong_etag(file);
    const std::string w = "W/" + e;
    const std::string lm = http_date(file.mtime);
    const std::string before = http_date(file.mtime - 1);
    const std::string after = http_date(file.mtime + 1);
    const char *E = e.c_str(), *W = w.c_str(), *LM = lm.c_str(), *BEFORE = before.c_str(),
               *AFTER = after.c_str(), *OTHER = "\"other\"", *FUTURE = "Fri, 01 Jan 2100 00:00:00 GMT";
    constexpr auto GET = METHOD_GET, HEAD = METHOD_HEAD, PUT = METHOD_PUT, DELETE = METHOD_DELETE;
    constexpr auto GO = PRECONDITION_PROCEED, NOT_MODIFIED = PRECONDITION_NOT_MODIFIED,
                   FAILED = PRECONDITION_FAILED;
    constexpr auto NONE = BACKEND_PRECONDITION_NONE, SAME = BACKEND_PRECONDITION_SAME,
                   ABSENT = BACKEND_PRECONDITION_ABSENT;
    const struct {
        ConditionalRequest request;  // method, If-Match, If-None-Match, IMS, IUS, If-Range, Range
        bool exists;
        PreconditionResult result;  // decision, range applies, back end
    } cases[] = {
        {{GET, nullptr, nullptr, nullptr, nullptr, nullptr, false}, true, {GO, false, NONE}},
        // If-None-Match compares weakly and answers 304 to GET and HEAD.
        {{GET, nullptr, E, nullptr, nullptr, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        {{HEAD, nullptr, W, nullptr, nullptr, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        {{GET, nullptr, "*", nullptr, nullptr, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        {{GET, nullptr, OTHER, nullptr, nullptr, nullptr, false}, true, {GO, false, NONE}},
        {{GET, nullptr, "garbage", nullptr, nullptr, nullptr, false}, true, {GO, false, NONE}},
        // If-Modified-Since: not when If-None-Match is there; unparsable ignored.
        {{GET, nullptr, OTHER, AFTER, nullptr, nullptr, false}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, LM, nullptr, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        {{HEAD, nullptr, nullptr, AFTER, nullptr, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        {{GET, nullptr, nullptr, BEFORE, nullptr, nullptr, false}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, "yesterday", nullptr, nullptr, false}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, FUTURE, nullptr, nullptr, false}, true, {GO, false, NONE}},
        // If-Match compares strongly and comes first.
        {{GET, OTHER, nullptr, nullptr, nullptr, nullptr, false}, true, {FAILED, false, NONE}},
        {{GET, W, nullptr, nullptr, nullptr, nullptr, false}, true, {FAILED, false, NONE}},
        {{GET, "garbage", nullptr, nullptr, nullptr, nullptr, false}, true, {FAILED, false, NONE}},
        {{GET, OTHER, E, nullptr, nullptr, nullptr, false}, true, {FAILED, false, NONE}},
        {{GET, E, E, nullptr, nullptr, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        // If-Unmodified-Since: not when If-Match is there.
        {{GET, E, nullptr, nullptr, BEFORE, nullptr, false}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, nullptr, BEFORE, nullptr, false}, true, {FAILED, false, NONE}},
        {{GET, nullptr, E, nullptr, LM, nullptr, false}, true, {NOT_MODIFIED, false, NONE}},
        // If-Range: a strong tag or the exact date; only a GET with a Range.
        {{GET, nullptr, nullptr, nullptr, nullptr, nullptr, true}, true, {GO, true, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, E, true}, true, {GO, true, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, LM, true}, true, {GO, true, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, W, true}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, OTHER, true}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, AFTER, true}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, "soon", true}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, nullptr, nullptr, E, false}, true, {GO, false, NONE}},
        {{HEAD, nullptr, nullptr, nullptr, nullptr, nullptr, true}, true, {GO, false, NONE}},
        {{GET, nullptr, nullptr, LM, nullptr, E, true}, true, {NOT_MODIFIED, false, NONE}},
        // Changes: 412 instead of 304, and what the back end re-checks.
        {{PUT, nullptr, nullptr, nullptr, nullptr, nullptr, false}, true, {GO, false, NONE}},
        {{PUT, E, nullptr, nullptr, nullptr, nullptr, false}, true, {GO, false, SAME}},
        {{PUT, nullptr, "*", nullptr, nullptr, nullptr, false}, true, {FAILED, false, NONE}},
        {{PUT, nullptr, OTHER, nullptr, nullptr, nullptr, false}, true, {GO, false, SAME}},
        {{PUT, nullptr, nullptr, nullptr, LM, nullptr, false}, true, {GO, false, SAME}},
        {{PUT, nullptr, nullptr, nullptr, "garbage", nullptr, false}, true, {GO, false, NONE}},
        {{PUT, nullptr, nullptr, BEFORE, nullptr, nullptr, false}, true, {GO, false, NONE}},
        {{DELETE, nullptr, W, nullptr, nullptr, nullptr, false}, true, {FAILED, false, NONE}},
        {{DELETE, E, nullptr, nullptr, nullptr, nullptr, false}, true, {GO, false, SAME}},
        // An absent file matches no If-Match, has no date, fits "*".
        {{PUT, "*", nullptr, nullptr, nullptr, nullptr, false}, false, {FAILED, false, NONE}},
        {{DELETE, E, nullptr, nullptr, nullptr, nullptr, false}, false, {FAILED, false, NONE}},
        {{PUT, nullptr, "*", nullptr, nullptr, nullptr, false}, false, {GO, false, ABSENT}},
        {{PUT, nullptr, E, nullptr, nullptr, nullptr, false}, false, {GO, false, ABSENT}},
        {{PUT, nullptr, nullptr, nullptr, BEFORE, nullptr, false}, false, {GO, false, NONE}},
        {{DELETE, nullptr, "*", nullptr, nullptr, nullptr, false}, false, {GO, false, NONE}},
    };
    // A file modified in the current second (or later; a few seconds ahead
    // here, so that the clock cannot pass it during the test): its date may
    // name two versions.
    {
        const FileValidator fresh{1, 0x1234, 0x10, static_cast<int64_t>(std::time(nullptr)) + 5, 0};
        const std::string date = http_date(fresh.mtime);
        const ConditionalRequest request{GET, nullptr, nullptr, nullptr, nullptr, date.c_str(), true};
        EXPECT_FALSE(evaluate_preconditions(request, &fresh).range_applies);
    }
    int row = 0;
    for (const auto &c : cases) {
        ++row;
        const PreconditionResult r = evaluate_preconditions(c.request, c.exists ? &file : nullptr);
        EXPECT_EQ(r.decision, c.result.decision) << "row " << row;
        EXPECT_EQ(r.range_applies, c.result.range_applies) << "row " << row;
        EXPECT_EQ(r.backend, c.result.backend) << "row " << row;
    }
}

}  // namespace
