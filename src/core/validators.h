// Validators of a stored file (ETag, Last-Modified), HTTP dates, and the
// decision on a request's preconditions (RFC 9110 §8.8, §13).
#ifndef KALDER_CORE_VALIDATORS_H
#define KALDER_CORE_VALIDATORS_H

#include <cstdint>
#include <string>
#include <string_view>

// What a stat of the file says about its identity and version.
struct FileValidator {
    uint64_t dev, ino;
    int64_t size, mtime;
    long mtime_nsec;
};

// The file's strong entity tag, quotes included:
// "INODE-SIZE-NANOSECONDS" in lower-case hexadecimal without leading zeros,
// where NANOSECONDS is mtime * 10^9 + mtime_nsec.
std::string strong_etag(const FileValidator &file);

// IMF-fixdate of the time ("Sun, 06 Nov 1994 08:49:37 GMT"). Times before
// 1970 are written as the epoch and times after year 9999 as its last
// second: the format has four year digits, and no stored file is that old.
std::string http_date(int64_t seconds);

// Reads an HTTP-date in any of the three forms a recipient must accept
// (RFC 9110 §5.6.7): IMF-fixdate, RFC 850 and asctime. The two-digit year
// of RFC 850 is taken within 50 years of the current one, preferring the
// past (a year more than 50 years ahead is the one a century earlier).
// Day and month names are case-sensitive, the whole text must be the
// date. False (and *out untouched) for anything else.
bool parse_http_date(std::string_view text, int64_t *out);

// How a list of entity tags ("If-Match", "If-None-Match") relates to the
// current one.
enum EtagListMatch {
    ETAG_LIST_MATCH,
    ETAG_LIST_NO_MATCH,
    ETAG_LIST_MALFORMED,  // not "*" nor a list of entity tags
};

// Matches `list` against `current` (a strong tag with its quotes; empty
// when the file does not exist, which no tag and not "*" match). Strong
// comparison: a weak tag in the list never matches; weak comparison: the
// opaque parts are compared whatever "W/" says.
EtagListMatch match_etag_list(std::string_view list, std::string_view current, bool weak_comparison);

enum RequestMethod { METHOD_GET, METHOD_HEAD, METHOD_PUT, METHOD_DELETE };

// The request's precondition headers as received: null when absent.
struct ConditionalRequest {
    RequestMethod method;
    const char *if_match;
    const char *if_none_match;
    const char *if_modified_since;
    const char *if_unmodified_since;
    const char *if_range;
    bool has_range;  // a "Range" header is present
};

enum PreconditionDecision {
    PRECONDITION_PROCEED,
    PRECONDITION_NOT_MODIFIED,  // 304: GET and HEAD only
    PRECONDITION_FAILED,        // 412: nothing is done
};

// What the back end must re-check when it commits a change (the values
// match the IPC validator kinds).
enum BackendPrecondition {
    BACKEND_PRECONDITION_NONE = 0,
    BACKEND_PRECONDITION_SAME = 1,    // the file must still be the one evaluated
    BACKEND_PRECONDITION_ABSENT = 2,  // the target must still not exist
};

struct PreconditionResult {
    PreconditionDecision decision;
    // GET with "Range": whether the ranges are served (false: the whole
    // file, because If-Range did not match). False for every other request.
    bool range_applies;
    // PUT and DELETE that proceed: what the back end re-checks so the
    // decision still holds at commit.
    BackendPrecondition backend;
};

// Evaluates the preconditions in the order of RFC 9110 §13.2.2 against the
// file (null when it does not exist): If-Match (strong comparison; a
// malformed list fails), else If-Unmodified-Since; If-None-Match (weak
// comparison; a match answers 304 to GET and HEAD and 412 to changes, a
// malformed list matches nothing), else If-Modified-Since (GET and HEAD
// only); then If-Range.
// A date is ignored when unparsable, when the file has none (it is absent)
// and, for If-Modified-Since, when it lies after the current time.
PreconditionResult evaluate_preconditions(const ConditionalRequest &request, const FileValidator *file);

#endif
