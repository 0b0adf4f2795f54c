// Counting into the shared block and writing it out (metrics.h).
#include "metrics.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

void add(uint64_t &counter, uint64_t n)
{
    __atomic_fetch_add(&counter, n, __ATOMIC_RELAXED);
}

uint64_t load(const uint64_t &counter)
{
    return __atomic_load_n(&counter, __ATOMIC_RELAXED);
}

constexpr MetricService SERVICE_OF[METRIC_CALLS] = {METRIC_IDENTITY, METRIC_IDENTITY, METRIC_IDENTITY,
                                                    METRIC_TRANSFER};
// The answer-cache kind of a call; METRIC_CACHE_KINDS for one never cached.
constexpr MetricCacheKind CACHE_OF[METRIC_CALLS] = {METRIC_CACHE_INTROSPECT, METRIC_CACHE_DEPENDENT_TOKENS,
                                                    METRIC_CACHE_KINDS, METRIC_CACHE_ACLS};

constexpr const char *METHOD_NAMES[METRIC_METHODS] = {"GET", "HEAD", "PUT", "DELETE"};
constexpr const char *CACHE_NAMES[METRIC_CACHE_KINDS] = {"introspect", "dependent_tokens", "acls"};
constexpr const char *SERVICE_NAMES[METRIC_SERVICES] = {"identity", "transfer"};
constexpr const char *FAILURE_NAMES[METRIC_CALL_FAILURES] = {"no_answer", "http_status", "parse",
                                                             "token_expired"};
constexpr const char *SESSION_NAMES[METRIC_SESSION_FAILURES] = {"open_failed", "broke", "transfer_failed"};
constexpr const char *HANDOFF_NAMES[METRIC_HANDOFFS] = {"handed_off", "passed_to_tls", "failed"};

uint64_t ready(int depth)
{
    return depth > 0 ? static_cast<uint64_t>(depth) : 0;
}

bool valid_call(MetricCall call)
{
    return call >= 0 && call < METRIC_CALLS;
}

// Appends the text of one family.
class Writer {
   public:
    explicit Writer(std::string &out) : out_(out) {}

    void family(const char *name, const char *type, const char *help)
    {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }

    // name{label="value",...} value; labels come in pairs, null-terminated.
    void sample(const char *name, std::initializer_list<const char *> labels, const char *value)
    {
        out_ += name;
        if (labels.size() > 0) {
            out_ += '{';
            const char *const *l = labels.begin();
            for (size_t i = 0; i + 1 < labels.size(); i += 2) {
                if (i > 0)
                    out_ += ',';
                out_ += l[i];
                out_ += "=\"";
                out_ += metrics_label_escape(l[i + 1]);
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }

    void sample(const char *name, std::initializer_list<const char *> labels, uint64_t value)
    {
        char text[24];
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
        sample(name, labels, text);
    }

   private:
    std::string &out_;
};

void write_latency(Writer &w, const Metrics &m)
{
    const char *name = "kalder_service_call_duration_seconds";
    w.family(name, "histogram", "Time of the exchanges with the identity and transfer services.");
    for (int s = 0; s < METRIC_SERVICES; ++s) {
        uint64_t cumulative = 0;
        char le[16];
        for (int b = 0; b < METRIC_LATENCY_BUCKETS; ++b) {
            cumulative += load(m.call_latency[s][b]);
            if (b + 1 < METRIC_LATENCY_BUCKETS)
                std::snprintf(le, sizeof le, "%g", static_cast<double>(METRIC_LATENCY_BOUNDS[b]) / 1e6);
            else
                std::strcpy(le, "+Inf");
            w.sample("kalder_service_call_duration_seconds_bucket", {"service", SERVICE_NAMES[s], "le", le},
                     cumulative);
        }
        char sum[32];
        const uint64_t us = load(m.call_latency_us[s]);
        std::snprintf(sum, sizeof sum, "%llu.%06llu", static_cast<unsigned long long>(us / 1000000),
                      static_cast<unsigned long long>(us % 1000000));
        w.sample("kalder_service_call_duration_seconds_sum", {"service", SERVICE_NAMES[s]}, sum);
        w.sample("kalder_service_call_duration_seconds_count", {"service", SERVICE_NAMES[s]}, cumulative);
    }
}

}  // namespace

MetricMethod metric_method(const char *method, bool header_only)
{
    if (!method)
        return METRIC_METHODS;
    if (std::strcmp(method, "GET") == 0)
        return header_only ? METRIC_HEAD : METRIC_GET;
    if (std::strcmp(method, "HEAD") == 0)
        return METRIC_HEAD;
    if (std::strcmp(method, "PUT") == 0)
        return METRIC_PUT;
    if (std::strcmp(method, "DELETE") == 0)
        return METRIC_DELETE;
    return METRIC_METHODS;
}

int metric_status_index(int status)
{
    for (int i = 0; i + 1 < METRIC_STATUSES; ++i)
        if (METRIC_STATUS_CODES[i] == status)
            return i;
    return METRIC_STATUSES - 1;
}

void metrics_count_request(Metrics *m, MetricMethod method, int status, uint64_t bytes_in, uint64_t bytes_out)
{
    if (!m || method < 0 || method >= METRIC_METHODS)
        return;
    add(m->requests[method][metric_status_index(status)], 1);
    if (bytes_in)
        add(m->bytes_in, bytes_in);
    if (bytes_out)
        add(m->bytes_out, bytes_out);
}

void metrics_count_cache(Metrics *m, MetricCall call, bool hit)
{
    if (!m || !valid_call(call) || CACHE_OF[call] == METRIC_CACHE_KINDS)
        return;
    add((hit ? m->cache_hits : m->cache_misses)[CACHE_OF[call]], 1);
}

void metrics_count_call(Metrics *m, MetricCall call, apr_time_t latency)
{
    if (!m || !valid_call(call))
        return;
    if (latency < 0)
        latency = 0;
    int bucket = 0;
    while (bucket + 1 < METRIC_LATENCY_BUCKETS && latency > METRIC_LATENCY_BOUNDS[bucket]) ++bucket;
    add(m->call_latency[SERVICE_OF[call]][bucket], 1);
    add(m->call_latency_us[SERVICE_OF[call]], static_cast<uint64_t>(latency));
}

void metrics_count_call_failure(Metrics *m, MetricCall call, MetricCallFailure failure)
{
    if (m && valid_call(call) && failure >= 0 && failure < METRIC_CALL_FAILURES)
        add(m->call_failures[SERVICE_OF[call]][failure], 1);
}

void metrics_count_session_failure(Metrics *m, MetricSessionFailure failure)
{
    if (m && failure >= 0 && failure < METRIC_SESSION_FAILURES)
        add(m->session_failures[failure], 1);
}

void metrics_count_handoff(Metrics *m, MetricHandoff outcome)
{
    if (m && outcome >= 0 && outcome < METRIC_HANDOFFS)
        add(m->handoffs[outcome], 1);
}

std::string metrics_label_escape(const char *value)
{
    std::string out;
    for (const char *c = value; *c; ++c) {
        if (*c == '\\')
            out += "\\\\";
        else if (*c == '"')
            out += "\\\"";
        else if (*c == '\n')
            out += "\\n";
        else
            out += *c;
    }
    return out;
}

std::string metrics_format(const Metrics &m, const MetricsGauges &gauges)
{
    std::string out;
    out.reserve(8192);
    Writer w(out);

    // Only the combinations that occurred: most never do.
    w.family("kalder_requests_total", "counter",
             "Requests the gateway authenticated or served, by method and final status.");
    for (int method = 0; method < METRIC_METHODS; ++method)
        for (int s = 0; s < METRIC_STATUSES; ++s)
            if (const uint64_t n = load(m.requests[method][s])) {
                char status[8];
                if (s + 1 < METRIC_STATUSES)
                    std::snprintf(status, sizeof status, "%d", METRIC_STATUS_CODES[s]);
                else
                    std::strcpy(status, "other");
                w.sample("kalder_requests_total", {"method", METHOD_NAMES[method], "status", status}, n);
            }
    w.family("kalder_request_bytes_received_total", "counter", "Request body bytes read from clients.");
    w.sample("kalder_request_bytes_received_total", {}, load(m.bytes_in));
    w.family("kalder_response_bytes_sent_total", "counter", "Response body bytes sent to clients.");
    w.sample("kalder_response_bytes_sent_total", {}, load(m.bytes_out));

    w.family("kalder_answer_cache_hits_total", "counter", "Service answers found in the answer cache.");
    for (int k = 0; k < METRIC_CACHE_KINDS; ++k)
        w.sample("kalder_answer_cache_hits_total", {"kind", CACHE_NAMES[k]}, load(m.cache_hits[k]));
    w.family("kalder_answer_cache_misses_total", "counter",
             "Service answers not found (or not readable) in the answer cache.");
    for (int k = 0; k < METRIC_CACHE_KINDS; ++k)
        w.sample("kalder_answer_cache_misses_total", {"kind", CACHE_NAMES[k]}, load(m.cache_misses[k]));

    write_latency(w, m);
    w.family("kalder_service_call_failures_total", "counter",
             "Service exchanges that gave no usable answer, by service and kind.");
    for (int s = 0; s < METRIC_SERVICES; ++s)
        for (int f = 0; f < METRIC_CALL_FAILURES; ++f)
            w.sample("kalder_service_call_failures_total",
                     {"service", SERVICE_NAMES[s], "kind", FAILURE_NAMES[f]}, load(m.call_failures[s][f]));

    w.family("kalder_backend_session_failures_total", "counter", "Back-end sessions that failed, by kind.");
    for (int f = 0; f < METRIC_SESSION_FAILURES; ++f)
        w.sample("kalder_backend_session_failures_total", {"kind", SESSION_NAMES[f]},
                 load(m.session_failures[f]));

    w.family("kalder_tls_handoffs_total", "counter",
             "New connections by what the ClientHello peek did with them.");
    for (int h = 0; h < METRIC_HANDOFFS; ++h)
        w.sample("kalder_tls_handoffs_total", {"outcome", HANDOFF_NAMES[h]}, load(m.handoffs[h]));

    w.family("kalder_credentials_ready", "gauge",
             "Data-channel credentials ready in the pool of the process that answered, by key type.");
    w.sample("kalder_credentials_ready", {"key", "p256"}, ready(gauges.credentials_ready_p256));
    w.sample("kalder_credentials_ready", {"key", "rsa2048"}, ready(gauges.credentials_ready_rsa2048));
    return out;
}
