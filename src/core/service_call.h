// One call of the identity or transfer service: the answer cache, the
// HTTPS exchange, the status, the parse of the answer and its storing, with
// the lines of each outcome. The calls differ only in what a ServiceCall
// holds.
#ifndef KALDER_CORE_SERVICE_CALL_H
#define KALDER_CORE_SERVICE_CALL_H

#include "answer_cache.h"
#include "apr_pools.h"
#include "https_client.h"
#include "json_access.h"
#include "log_sink.h"
#include "metrics.h"

// Where the calls go and where their answers are kept; the cache's and the
// exchange's own lines go to `log`, which may differ from the call's.
struct ServiceEnv {
    HttpsClient &https;
    AnswerCache cache;
    LogSink log;
    Metrics *metrics = nullptr;  // counted into unless null
};

enum ServiceResult { SERVICE_OK = 0, SERVICE_TOKEN_EXPIRED = 1, SERVICE_FAILED = 2 };

// The lines of a call: printf formats with the arguments noted; a null
// format writes no line.
struct ServiceMessages {
    const char *cached_used;        // debug; the cached answer (%s)
    const char *cached_unreadable;  // at cached_unreadable_level; the cached text (%s)
    int cached_unreadable_level;
    const char *no_answer;      // error; the exchange's result (%d)
    const char *token_expired;  // debug
    const char *http_status;    // debug; the status (%ld), " reply=" or "" (%s), the body or "" (%s)
    const char *empty;          // error
    const char *not_json;       // error; the body (%s)
    const char *unexpected;     // error; the body (%s)
    const char *used;           // debug; the body (%s)
};

struct ServiceCall {
    const char *source;  // log source of the call's lines
    HttpsRequest request;
    const char *cache_prefix;  // null: answers are neither looked up nor stored
    const char *cache_key;     // key source of the entry (a token); null: the prefix alone
    // Reads a JSON answer; null (with the reason logged) when it is not the
    // document. Lines about single members may go to member_log (the
    // environment's), the others go to log (the call's).
    void *(*parse)(apr_pool_t *pool, const json_t *doc, const LogSink &log, const LogSink &member_log);
    // An answer of this status, and unless null with exactly this body,
    // means the caller's token expired or was revoked; 0 for none.
    long expired_status;
    const char *expired_body;
    // How answers appear in the log (e.g. with their tokens cut); null: as
    // they are.
    const char *(*shown)(apr_pool_t *pool, const char *text);
    ServiceMessages messages;
    MetricCall metric;  // what the call counts as
};

// SERVICE_OK with *doc set (from the cache when it holds an entry that
// parses, else from a 200 answer that parses, which is then cached);
// SERVICE_TOKEN_EXPIRED for the expired answer; else SERVICE_FAILED.
// Failures are never cached. *doc is written only on success.
ServiceResult service_call(apr_pool_t *pool, const ServiceEnv &env, const ServiceCall &call, void **doc,
                           const LogSink &log);

#endif
