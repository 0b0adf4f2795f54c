// The gateway's counters, summed over all server processes: one Metrics
// block in memory that every process shares, counted into with relaxed
// atomic adds (no lock anywhere on the request path) and read whole by the
// status page, which writes it in the Prometheus text format (0.0.4).
//
// Every counting function takes the block's address; a null block counts
// nothing (a process without the shared block, the unit tests).
#ifndef KALDER_CORE_METRICS_H
#define KALDER_CORE_METRICS_H

#include <cstdint>
#include <string>

#include "apr_time.h"

enum MetricMethod : int32_t { METRIC_GET, METRIC_HEAD, METRIC_PUT, METRIC_DELETE, METRIC_METHODS };

// The statuses counted on their own; every other one is counted as "other".
inline constexpr int METRIC_STATUS_CODES[] = {200, 204, 206, 301, 304, 400, 401,
                                              403, 404, 412, 416, 500, 502, 503};
inline constexpr int METRIC_STATUSES = sizeof METRIC_STATUS_CODES / sizeof METRIC_STATUS_CODES[0] + 1;

// The service calls (service_call.h); each belongs to one service, and the
// cached ones to one kind of answer-cache entry.
enum MetricCall : int32_t {
    METRIC_CALL_INTROSPECT,
    METRIC_CALL_DEPENDENT_TOKENS,
    METRIC_CALL_CODE_EXCHANGE,  // never cached
    METRIC_CALL_ACLS,
    METRIC_CALLS,
};
enum MetricCacheKind : int32_t {
    METRIC_CACHE_INTROSPECT,
    METRIC_CACHE_DEPENDENT_TOKENS,
    METRIC_CACHE_ACLS,
    METRIC_CACHE_KINDS
};
enum MetricService : int32_t { METRIC_IDENTITY, METRIC_TRANSFER, METRIC_SERVICES };

// How a call that was sent ended, other than with a usable answer.
enum MetricCallFailure : int32_t {
    METRIC_FAIL_NO_ANSWER,      // no connection, a timeout, a broken exchange
    METRIC_FAIL_HTTP_STATUS,    // an answer other than 200
    METRIC_FAIL_PARSE,          // a 200 answer that is empty, not JSON, or not the document
    METRIC_FAIL_TOKEN_EXPIRED,  // the answer that means the caller's token expired
    METRIC_CALL_FAILURES,
};

// Upper bounds of the call-latency buckets, in microseconds (5 ms to 10 s);
// one more bucket counts everything slower.
inline constexpr apr_time_t METRIC_LATENCY_BOUNDS[] = {5000,   10000,   25000,   50000,   100000,  250000,
                                                       500000, 1000000, 2500000, 5000000, 10000000};
inline constexpr int METRIC_LATENCY_BUCKETS =
    sizeof METRIC_LATENCY_BOUNDS / sizeof METRIC_LATENCY_BOUNDS[0] + 1;

enum MetricSessionFailure : int32_t {
    METRIC_SESSION_OPEN_FAILED,      // the back-end session did not open
    METRIC_SESSION_BROKE,            // the open session broke
    METRIC_SESSION_TRANSFER_FAILED,  // the data transfer failed
    METRIC_SESSION_FAILURES,
};

enum MetricHandoff : int32_t {
    METRIC_HANDOFF_HANDED_OFF,  // the connection went to a local service
    METRIC_HANDOFF_PASSED,      // it went on to TLS in this server
    METRIC_HANDOFF_FAILED,      // a local service was chosen but did not take it
    METRIC_HANDOFFS,
};

// The shared block: counters only, zero at creation. Plain integers that
// are only ever changed by atomic adds and read by atomic loads.
struct Metrics {
    uint64_t requests[METRIC_METHODS][METRIC_STATUSES];
    uint64_t bytes_in;
    uint64_t bytes_out;
    uint64_t cache_hits[METRIC_CACHE_KINDS];
    uint64_t cache_misses[METRIC_CACHE_KINDS];
    uint64_t call_latency[METRIC_SERVICES][METRIC_LATENCY_BUCKETS];
    uint64_t call_latency_us[METRIC_SERVICES];  // sum of the latencies
    uint64_t call_failures[METRIC_SERVICES][METRIC_CALL_FAILURES];
    uint64_t session_failures[METRIC_SESSION_FAILURES];
    uint64_t handoffs[METRIC_HANDOFFS];
};

// Values that are not counters but read from the answering process when the
// page is made.
struct MetricsGauges {
    int credentials_ready_p256;
    int credentials_ready_rsa2048;
};

// A request's method, for a HEAD request too; METRIC_METHODS for any other.
MetricMethod metric_method(const char *method, bool header_only);
// The status's index in a row of Metrics::requests.
int metric_status_index(int status);

void metrics_count_request(Metrics *m, MetricMethod method, int status, uint64_t bytes_in,
                           uint64_t bytes_out);
void metrics_count_cache(Metrics *m, MetricCall call, bool hit);
// A call that was sent, with how long the exchange took (also for a failure).
void metrics_count_call(Metrics *m, MetricCall call, apr_time_t latency);
void metrics_count_call_failure(Metrics *m, MetricCall call, MetricCallFailure failure);
void metrics_count_session_failure(Metrics *m, MetricSessionFailure failure);
void metrics_count_handoff(Metrics *m, MetricHandoff outcome);

// The label value as the text format quotes it: backslash, double quote and
// line feed escaped.
std::string metrics_label_escape(const char *value);

// The block and the gauges in the Prometheus text format, version 0.0.4.
// Throws only std::bad_alloc.
std::string metrics_format(const Metrics &m, const MetricsGauges &gauges);

#endif
