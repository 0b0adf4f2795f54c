// The counters and their text: what a few counts look like in the
// Prometheus text format, and that adds from many threads at once all land.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"

namespace {

// The lines of one family: from its HELP line up to the next family's.
std::string family(const std::string &text, const std::string &name)
{
    const size_t start = text.find("# HELP " + name + " ");
    if (start == std::string::npos)
        return "<no family " + name + ">";
    const size_t end = text.find("# HELP ", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

struct FormatCase {
    const char *what;
    std::function<void(Metrics *)> count;
    const char *family;
    const char *text;
};

TEST(Metrics, FormatsEachFamilyExactly)
{
    const FormatCase cases[] = {
        {"requests: only the combinations seen, HEAD apart from GET, unknown statuses as other",
         [](Metrics *m) {
             for (int i = 0; i < 3; ++i) metrics_count_request(m, metric_method("GET", false), 200, 0, 10);
             metrics_count_request(m, metric_method("GET", true), 200, 0, 0);
             metrics_count_request(m, metric_method("DELETE", false), 418, 0, 0);
             metrics_count_request(m, metric_method("OPTIONS", false), 200, 0, 0);
         },
         "kalder_requests_total",
         "# HELP kalder_requests_total Requests the gateway authenticated or served, by method and final "
         "status.\n"
         "# TYPE kalder_requests_total counter\n"
         "kalder_requests_total{method=\"GET\",status=\"200\"} 3\n"
         "kalder_requests_total{method=\"HEAD\",status=\"200\"} 1\n"
         "kalder_requests_total{method=\"DELETE\",status=\"other\"} 1\n"},
        {"bytes of every counted request add up",
         [](Metrics *m) {
             metrics_count_request(m, METRIC_PUT, 204, 1000, 0);
             metrics_count_request(m, METRIC_GET, 206, 0, 4294967296ull);
         },
         "kalder_response_bytes_sent_total",
         "# HELP kalder_response_bytes_sent_total Response body bytes sent to clients.\n"
         "# TYPE kalder_response_bytes_sent_total counter\n"
         "kalder_response_bytes_sent_total 4294967296\n"},
        {"the code exchange is never cached, so it counts no miss",
         [](Metrics *m) {
             metrics_count_cache(m, METRIC_CALL_INTROSPECT, false);
             metrics_count_cache(m, METRIC_CALL_ACLS, false);
             metrics_count_cache(m, METRIC_CALL_ACLS, false);
             metrics_count_cache(m, METRIC_CALL_CODE_EXCHANGE, false);
             metrics_count_cache(m, METRIC_CALL_DEPENDENT_TOKENS, true);
         },
         "kalder_answer_cache_misses_total",
         "# HELP kalder_answer_cache_misses_total Service answers not found (or not readable) in the answer "
         "cache.\n"
         "# TYPE kalder_answer_cache_misses_total counter\n"
         "kalder_answer_cache_misses_total{kind=\"introspect\"} 1\n"
         "kalder_answer_cache_misses_total{kind=\"dependent_tokens\"} 0\n"
         "kalder_answer_cache_misses_total{kind=\"acls\"} 2\n"},
        {"latency buckets are cumulative, bounds inclusive, the sum in seconds",
         [](Metrics *m) {
             metrics_count_call(m, METRIC_CALL_DEPENDENT_TOKENS, 5000);   // exactly 5 ms
             metrics_count_call(m, METRIC_CALL_INTROSPECT, 5001);         // just over
             metrics_count_call(m, METRIC_CALL_CODE_EXCHANGE, 30000000);  // beyond the last bound
             metrics_count_call(m, METRIC_CALL_ACLS, 700000);
         },
         "kalder_service_call_duration_seconds",
         "# HELP kalder_service_call_duration_seconds Time of the exchanges with the identity and transfer "
         "services.\n"
         "# TYPE kalder_service_call_duration_seconds histogram\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.005\"} 1\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.01\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.025\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.05\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.1\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.25\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"0.5\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"1\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"2.5\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"5\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"10\"} 2\n"
         "kalder_service_call_duration_seconds_bucket{service=\"identity\",le=\"+Inf\"} 3\n"
         "kalder_service_call_duration_seconds_sum{service=\"identity\"} 30.010001\n"
         "kalder_service_call_duration_seconds_count{service=\"identity\"} 3\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.005\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.01\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.025\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.05\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.1\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.25\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"0.5\"} 0\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"1\"} 1\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"2.5\"} 1\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"5\"} 1\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"10\"} 1\n"
         "kalder_service_call_duration_seconds_bucket{service=\"transfer\",le=\"+Inf\"} 1\n"
         "kalder_service_call_duration_seconds_sum{service=\"transfer\"} 0.700000\n"
         "kalder_service_call_duration_seconds_count{service=\"transfer\"} 1\n"},
        {"hand-offs by outcome", [](Metrics *m) { metrics_count_handoff(m, METRIC_HANDOFF_FAILED); },
         "kalder_tls_handoffs_total",
         "# HELP kalder_tls_handoffs_total New connections by what the ClientHello peek did with them.\n"
         "# TYPE kalder_tls_handoffs_total counter\n"
         "kalder_tls_handoffs_total{outcome=\"handed_off\"} 0\n"
         "kalder_tls_handoffs_total{outcome=\"passed_to_tls\"} 0\n"
         "kalder_tls_handoffs_total{outcome=\"failed\"} 1\n"},
        {"the credential gauge", [](Metrics *) {}, "kalder_credentials_ready",
         "# HELP kalder_credentials_ready Data-channel credentials ready in the pool of the process that "
         "answered, by key type.\n"
         "# TYPE kalder_credentials_ready gauge\n"
         "kalder_credentials_ready{key=\"p256\"} 3\n"
         "kalder_credentials_ready{key=\"rsa2048\"} 0\n"},
    };
    for (const FormatCase &c : cases) {
        Metrics m{};
        c.count(&m);
        const std::string text = metrics_format(m, MetricsGauges{3, 0});
        EXPECT_EQ(family(text, c.family), c.text) << c.what;
        // Every line is a comment or "name[{labels}] value": nothing else.
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            EXPECT_TRUE(line.rfind("# HELP kalder_", 0) == 0 || line.rfind("# TYPE kalder_", 0) == 0 ||
                        (line.rfind("kalder_", 0) == 0 && line.find(' ') != std::string::npos))
                << c.what << ": " << line;
        }
        EXPECT_EQ(start, text.size()) << c.what << ": the text ends in a line feed";
    }
    // Nothing counts without a block.
    metrics_count_request(nullptr, METRIC_GET, 200, 1, 1);
    metrics_count_call(nullptr, METRIC_CALL_ACLS, 1);
    EXPECT_EQ(metrics_label_escape("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

TEST(Metrics, AddsFromManyThreadsSumExactly)
{
    Metrics m{};
    constexpr int THREADS = 8, ROUNDS = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&m, t] {
            for (int i = 0; i < ROUNDS; ++i) {
                metrics_count_request(&m, t % 2 ? METRIC_PUT : METRIC_GET, 200, 3, 5);
                metrics_count_call(&m, METRIC_CALL_INTROSPECT, 1);
                metrics_count_cache(&m, METRIC_CALL_ACLS, i % 2 == 0);
            }
        });
    for (std::thread &t : threads) t.join();
    const uint64_t total = uint64_t{THREADS} * ROUNDS;
    EXPECT_EQ(m.requests[METRIC_GET][metric_status_index(200)], total / 2);
    EXPECT_EQ(m.requests[METRIC_PUT][metric_status_index(200)], total / 2);
    EXPECT_EQ(m.bytes_in, 3 * total);
    EXPECT_EQ(m.bytes_out, 5 * total);
    EXPECT_EQ(m.call_latency[METRIC_IDENTITY][0], total);
    EXPECT_EQ(m.call_latency_us[METRIC_IDENTITY], total);
    EXPECT_EQ(m.cache_hits[METRIC_CACHE_ACLS] + m.cache_misses[METRIC_CACHE_ACLS], total);
    EXPECT_EQ(m.cache_hits[METRIC_CACHE_ACLS], total / 2);
}

}  // namespace
