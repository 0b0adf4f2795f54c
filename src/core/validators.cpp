// File validators, HTTP dates and the evaluation of request preconditions.
#include "validators.h"

#include <cstdio>
#include <ctime>

namespace {

// ---------------------------------------------------------------------------
// Calendar arithmetic on the proleptic Gregorian calendar, independent of
// time_t's range and of the process's time zone.

constexpr int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day;
};

constexpr Civil civil_from_days(int64_t z)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);
static_assert(civil_from_days(11017).month == 3);

constexpr bool is_leap(int64_t y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

constexpr unsigned days_in_month(int64_t y, unsigned m)
{
    constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

constexpr std::string_view short_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view long_days[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
constexpr std::string_view months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr int64_t FIRST_DATE = 0;            // 1970-01-01 00:00:00
constexpr int64_t LAST_DATE = 253402300799;  // 9999-12-31 23:59:59

// A reader of the fixed-width pieces of a date.
struct DateReader {
    std::string_view s;

    bool literal(std::string_view what)
    {
        if (s.substr(0, what.size()) != what)
            return false;
        s.remove_prefix(what.size());
        return true;
    }
    bool digits(int count, int64_t *value)
    {
        if (s.size() < static_cast<size_t>(count))
            return false;
        int64_t v = 0;
        for (int i = 0; i < count; ++i) {
            if (s[i] < '0' || s[i] > '9')
                return false;
            v = v * 10 + (s[i] - '0');
        }
        s.remove_prefix(count);
        *value = v;
        return true;
    }
    // One of the names; *index its position.
    template <size_t N>
    bool name(const std::string_view (&names)[N], unsigned *index)
    {
        for (size_t i = 0; i < N; ++i)
            if (literal(names[i])) {
                *index = static_cast<unsigned>(i);
                return true;
            }
        return false;
    }
    // hour ":" minute ":" second (a leap second allowed)
    bool time_of_day(int64_t *seconds)
    {
        int64_t h, m, sec;
        if (!digits(2, &h) || !literal(":") || !digits(2, &m) || !literal(":") || !digits(2, &sec))
            return false;
        if (h > 23 || m > 59 || sec > 60)
            return false;
        *seconds = h * 3600 + m * 60 + sec;
        return true;
    }
};

bool to_seconds(int64_t year, unsigned month, int64_t day, int64_t time_of_day, int64_t *out)
{
    if (day < 1 || day > days_in_month(year, month + 1))
        return false;
    *out = days_from_civil(year, month + 1, static_cast<unsigned>(day)) * 86400 + time_of_day;
    return true;
}

int64_t current_year()
{
    return civil_from_days(static_cast<int64_t>(std::time(nullptr)) / 86400).year;
}

// The year of a two-digit RFC 850 year: within (now - 50, now + 50].
int64_t full_year(int64_t two_digits)
{
    const int64_t now = current_year();
    int64_t year = now - now % 100 + two_digits;
    if (year > now + 50)
        year -= 100;
    else if (year <= now - 50)
        year += 100;
    return year;
}

// ---------------------------------------------------------------------------
// Entity tags (RFC 9110 §8.8.3)
//
//   entity-tag = [ "W/" ] DQUOTE *etagc DQUOTE
//   etagc      = %x21 / %x23-7E / obs-text

bool is_ows(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim_ows(std::string_view s)
{
    while (!s.empty() && is_ows(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ows(s.back())) s.remove_suffix(1);
    return s;
}

// Reads one entity tag at the start of s: *opaque is the quoted part.
bool read_etag(std::string_view *s, std::string_view *opaque, bool *weak)
{
    std::string_view t = *s;
    *weak = t.substr(0, 2) == "W/";
    if (*weak)
        t.remove_prefix(2);
    if (t.empty() || t.front() != '"')
        return false;
    size_t i = 1;
    for (; i < t.size() && t[i] != '"'; ++i) {
        const auto c = static_cast<unsigned char>(t[i]);
        if (c < 0x21 || c == 0x7F)
            return false;
    }
    if (i == t.size())
        return false;
    *opaque = t.substr(0, i + 1);
    s->remove_prefix(s->size() - t.size() + i + 1);
    return true;
}

// If-Range (RFC 9110 §13.1.5): a strong tag equal to the current one, or a
// date equal to Last-Modified. A weak tag never matches; neither does a
// value that is neither. A date of the current second does not match
// either: the file may change again within that second under the same
// date, and the range of the new version would be spliced onto the old one
// (a date is a strong validator only for a file older than its second,
// RFC 9110 §8.8.2.2).
bool if_range_matches(std::string_view value, const FileValidator *file)
{
    if (!file)
        return false;
    value = trim_ows(value);
    if (!value.empty() && (value.front() == '"' || value.substr(0, 2) == "W/")) {
        std::string_view opaque;
        bool weak = false;
        std::string_view rest = value;
        return read_etag(&rest, &opaque, &weak) && rest.empty() && !weak && opaque == strong_etag(*file);
    }
    int64_t date = 0;
    return parse_http_date(value, &date) && date == file->mtime &&
           file->mtime < static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

std::string strong_etag(const FileValidator &file)
{
    // The nanosecond count wraps like the unsigned arithmetic it is: only
    // its equality matters.
    const uint64_t nanoseconds =
        static_cast<uint64_t>(file.mtime) * 1000000000u + static_cast<uint64_t>(file.mtime_nsec);
    char buffer[3 * 16 + 5];
    std::snprintf(buffer, sizeof buffer, "\"%llx-%llx-%llx\"", static_cast<unsigned long long>(file.ino),
                  static_cast<unsigned long long>(file.size), static_cast<unsigned long long>(nanoseconds));
    return buffer;
}

std::string http_date(int64_t seconds)
{
    if (seconds < FIRST_DATE)
        seconds = FIRST_DATE;
    if (seconds > LAST_DATE)
        seconds = LAST_DATE;
    const int64_t days = seconds / 86400;
    const int64_t rest = seconds % 86400;
    const Civil c = civil_from_days(days);
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04lld %02lld:%02lld:%02lld GMT",
                  short_days[(days + 4) % 7].data(), c.day, months[c.month - 1].data(),
                  static_cast<long long>(c.year), static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return buffer;
}

bool parse_http_date(std::string_view text, int64_t *out)
{
    unsigned weekday = 0, month = 0;
    int64_t day = 0, year = 0, time_of_day = 0, result = 0;

    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
    DateReader r{text};
    if (r.name(short_days, &weekday) && r.literal(", ")) {
        if (r.digits(2, &day) && r.literal(" ") && r.name(months, &month) && r.literal(" ") &&
            r.digits(4, &year) && r.literal(" ") && r.time_of_day(&time_of_day) && r.literal(" GMT") &&
            r.s.empty() && to_seconds(year, month, day, time_of_day, &result)) {
            *out = result;
            return true;
        }
        return false;
    }

    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    r = DateReader{text};
    if (r.name(long_days, &weekday) && r.literal(", ")) {
        if (r.digits(2, &day) && r.literal("-") && r.name(months, &month) && r.literal("-") &&
            r.digits(2, &year) && r.literal(" ") && r.time_of_day(&time_of_day) && r.literal(" GMT") &&
            r.s.empty() && to_seconds(full_year(year), month, day, time_of_day, &result)) {
            *out = result;
            return true;
        }
        return false;
    }

    // asctime: "Sun Nov  6 08:49:37 1994" (a one-digit day after a blank)
    r = DateReader{text};
    if (r.name(short_days, &weekday) && r.literal(" ") && r.name(months, &month) && r.literal(" ") &&
        (r.literal(" ") ? r.digits(1, &day) : r.digits(2, &day)) && r.literal(" ") &&
        r.time_of_day(&time_of_day) && r.literal(" ") && r.digits(4, &year) && r.s.empty() &&
        to_seconds(year, month, day, time_of_day, &result)) {
        *out = result;
        return true;
    }
    return false;
}

EtagListMatch match_etag_list(std::string_view list, std::string_view current, bool weak_comparison)
{
    list = trim_ows(list);
    if (list == "*")
        return current.empty() ? ETAG_LIST_NO_MATCH : ETAG_LIST_MATCH;
    // #entity-tag: empty elements and blanks around commas are allowed
    // (RFC 9110 §5.6.1); anything else makes the whole list malformed, so a
    // match found early still needs the rest to parse.
    bool matched = false;
    for (;;) {
        while (!list.empty() && (is_ows(list.front()) || list.front() == ',')) list.remove_prefix(1);
        if (list.empty())
            break;
        std::string_view opaque;
        bool weak = false;
        if (!read_etag(&list, &opaque, &weak))
            return ETAG_LIST_MALFORMED;
        if (!current.empty() && opaque == current && (weak_comparison || !weak))
            matched = true;
        while (!list.empty() && is_ows(list.front())) list.remove_prefix(1);
        if (!list.empty() && list.front() != ',')
            return ETAG_LIST_MALFORMED;
    }
    return matched ? ETAG_LIST_MATCH : ETAG_LIST_NO_MATCH;
}

PreconditionResult evaluate_preconditions(const ConditionalRequest &request, const FileValidator *file)
{
    const bool safe = request.method == METHOD_GET || request.method == METHOD_HEAD;
    const std::string etag = file ? strong_etag(*file) : std::string();
    PreconditionResult result{PRECONDITION_PROCEED, false, BACKEND_PRECONDITION_NONE};
    const PreconditionResult failed{PRECONDITION_FAILED, false, BACKEND_PRECONDITION_NONE};
    // Whether the decision rests on the file as it is now (so a change
    // must re-check it at commit).
    bool evaluated = false;
    int64_t date = 0;

    // 1. If-Match (strong comparison); 2. else If-Unmodified-Since, which
    // a file without a modification date (an absent one) ignores.
    if (request.if_match) {
        evaluated = true;
        if (match_etag_list(request.if_match, etag, false) != ETAG_LIST_MATCH)
            return failed;
    } else if (request.if_unmodified_since && file && parse_http_date(request.if_unmodified_since, &date)) {
        evaluated = true;
        if (file->mtime > date)
            return failed;
    }

    // 3. If-None-Match (weak comparison); 4. else If-Modified-Since for GET
    // and HEAD.
    if (request.if_none_match) {
        evaluated = true;
        if (match_etag_list(request.if_none_match, etag, true) == ETAG_LIST_MATCH)
            return safe ? PreconditionResult{PRECONDITION_NOT_MODIFIED, false, BACKEND_PRECONDITION_NONE}
                        : failed;
    } else if (safe && request.if_modified_since && file &&
               parse_http_date(request.if_modified_since, &date) && file->mtime <= date &&
               date <= static_cast<int64_t>(std::time(nullptr))) {
        // A date after the current time is invalid (RFC 9110 §13.1.3):
        // honoured, it would hide every change until then.
        return {PRECONDITION_NOT_MODIFIED, false, BACKEND_PRECONDITION_NONE};
    }

    // 5. If-Range counts only for a GET with a Range.
    if (request.method == METHOD_GET && request.has_range)
        result.range_applies = !request.if_range || if_range_matches(request.if_range, file);

    if (evaluated && file && (request.method == METHOD_PUT || request.method == METHOD_DELETE))
        result.backend = BACKEND_PRECONDITION_SAME;
    else if (evaluated && !file && request.method == METHOD_PUT)
        result.backend = BACKEND_PRECONDITION_ABSENT;
    return result;
}
