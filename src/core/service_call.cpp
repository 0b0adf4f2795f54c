// The sequence shared by every service call (service_call.h).
#include "service_call.h"

#include <cstring>

// A line of the call's own source, unless the call has no such message;
// formats are the call's messages.
#define CALL_LOG(level, format, ...)                                                 \
    do {                                                                             \
        if ((format) && log_enabled(log, (level)))                                   \
            log_line(log, call.source, __LINE__, (level), 0, (format), __VA_ARGS__); \
    } while (0)

namespace {

// Parses answer text into the call's document; *json_ok tells whether it
// was JSON at all.
void *document_of(apr_pool_t *pool, const ServiceEnv &env, const ServiceCall &call, const char *text,
                  bool *json_ok, const LogSink &log)
{
    kalder::JsonPtr json(json_from_text(text));
    *json_ok = json != nullptr;
    return json ? call.parse(pool, json.get(), log, env.log) : nullptr;
}

}  // namespace

ServiceResult service_call(apr_pool_t *pool, const ServiceEnv &env, const ServiceCall &call, void **doc,
                           const LogSink &log)
{
    const ServiceMessages &m = call.messages;
    auto shown = [&](const char *text) { return call.shown ? call.shown(pool, text) : text; };

    if (call.cache_prefix) {
        if (const char *cached =
                answer_cache_get(pool, env.cache, call.cache_prefix, call.cache_key, env.log)) {
            bool json_ok = false;
            if (void *found = document_of(pool, env, call, cached, &json_ok, log)) {
                CALL_LOG(KLOG_DEBUG, m.cached_used, shown(cached));
                metrics_count_cache(env.metrics, call.metric, true);
                *doc = found;
                return SERVICE_OK;
            }
            CALL_LOG(m.cached_unreadable_level, m.cached_unreadable, shown(cached));
        }
        metrics_count_cache(env.metrics, call.metric, false);
    }

    long status = 0;
    char *body = nullptr;
    const apr_time_t started = env.metrics ? apr_time_now() : 0;
    int rc = env.https.exchange(pool, call.request, &status, &body, env.log);
    if (env.metrics)
        metrics_count_call(env.metrics, call.metric, apr_time_now() - started);
    auto failed = [&](MetricCallFailure failure) {
        metrics_count_call_failure(env.metrics, call.metric, failure);
        return failure == METRIC_FAIL_TOKEN_EXPIRED ? SERVICE_TOKEN_EXPIRED : SERVICE_FAILED;
    };
    if (rc != 0) {
        CALL_LOG(KLOG_ERR, m.no_answer, rc);
        return failed(METRIC_FAIL_NO_ANSWER);
    }
    if (call.expired_status && status == call.expired_status &&
        (!call.expired_body || (body && std::strcmp(body, call.expired_body) == 0))) {
        CALL_LOG(KLOG_DEBUG, m.token_expired ? "%s" : nullptr, m.token_expired);
        return failed(METRIC_FAIL_TOKEN_EXPIRED);
    }
    if (status != 200) {
        CALL_LOG(KLOG_DEBUG, m.http_status, status, body ? " reply=" : "", body ? shown(body) : "");
        return failed(METRIC_FAIL_HTTP_STATUS);
    }
    if (!body) {
        CALL_LOG(KLOG_ERR, m.empty ? "%s" : nullptr, m.empty);
        return failed(METRIC_FAIL_PARSE);
    }
    bool json_ok = false;
    void *found = document_of(pool, env, call, body, &json_ok, log);
    if (!json_ok) {
        CALL_LOG(KLOG_ERR, m.not_json, shown(body));
        return failed(METRIC_FAIL_PARSE);
    }
    if (!found) {
        CALL_LOG(KLOG_ERR, m.unexpected, shown(body));
        return failed(METRIC_FAIL_PARSE);
    }
    if (call.cache_prefix)
        answer_cache_put(pool, env.cache, call.cache_prefix, call.cache_key, body, std::strlen(body) + 1,
                         env.log);
    CALL_LOG(KLOG_DEBUG, m.used, shown(body));
    *doc = found;
    return SERVICE_OK;
}
