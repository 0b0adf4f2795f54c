// The shared counter block, the status page and the request counting
// (metrics.h).
//
// The block is one anonymous shared memory segment made by the parent at
// its first configuration pass and kept as userdata of the process pool:
// the children inherit the mapping when they are forked, and a graceful
// restart (which unloads and reloads the module) finds the same segment
// again, so the counters only start from zero with a new server process.
#define KALDER_SOURCE "mod_kalder"
#include "counters.h"

#include <cstring>
#include <new>
#include <string>

#include "apr_shm.h"
#include "credential.h"
#include "http_protocol.h"
#include "module.h"

namespace {

constexpr const char *SHM_KEY = "kalder_metrics_shm";
constexpr const char *COUNTED_NOTE = "kalder-counted";
constexpr const char *STATUS_HANDLER = "kalder-status";

// Set in the parent before the children are forked; read-only afterwards.
Metrics *shared_metrics = nullptr;

}  // namespace

Metrics *kalder_metrics()
{
    return shared_metrics;
}

void kalder_metrics_mark(request_rec *r)
{
    if (shared_metrics)
        apr_table_setn(r->notes, COUNTED_NOTE, "1");
}

extern "C" int mod_kalder_metrics_post_config(apr_pool_t *, apr_pool_t *, apr_pool_t *, server_rec *s)
{
    apr_pool_t *process_pool = s->process->pool;
    void *found = nullptr;
    apr_pool_userdata_get(&found, SHM_KEY, process_pool);
    auto *shm = static_cast<apr_shm_t *>(found);
    if (!shm) {
        apr_status_t rv = apr_shm_create(&shm, sizeof(Metrics), nullptr, process_pool);
        if (rv != APR_SUCCESS) {
            // The gateway serves as before, only without counting.
            ap_log_error(KALDER_MARK, APLOG_WARNING, rv, s,
                         "Failed to create the shared memory of the counters; kalder-status will answer 503");
            shared_metrics = nullptr;
            return OK;
        }
        std::memset(apr_shm_baseaddr_get(shm), 0, sizeof(Metrics));
        apr_pool_userdata_set(shm, SHM_KEY, apr_pool_cleanup_null, process_pool);
    }
    shared_metrics = static_cast<Metrics *>(apr_shm_baseaddr_get(shm));
    return OK;
}

extern "C" int mod_kalder_status_handler(request_rec *r)
{
    if (!r->handler || std::strcmp(r->handler, STATUS_HANDLER) != 0)
        return DECLINED;
    r->allowed = AP_METHOD_BIT << M_GET;
    if (r->method_number != M_GET)
        return HTTP_METHOD_NOT_ALLOWED;
    if (!shared_metrics)
        return HTTP_SERVICE_UNAVAILABLE;
    // Each process has its own credential pool: the gauge is this one's.
    const MetricsGauges gauges{dcsc_pool_depth(DATA_CHANNEL_KEY_P256),
                               dcsc_pool_depth(DATA_CHANNEL_KEY_RSA2048)};
    std::string text;
    try {
        text = metrics_format(*shared_metrics, gauges);
    } catch (const std::bad_alloc &) {
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    ap_set_content_type(r, "text/plain; version=0.0.4; charset=utf-8");
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
    ap_set_content_length(r, static_cast<apr_off_t>(text.size()));
    if (!r->header_only)
        ap_rwrite(text.data(), static_cast<int>(text.size()), r);
    return OK;
}

extern "C" int mod_kalder_metrics_log_transaction(request_rec *r)
{
    if (!shared_metrics)
        return DECLINED;
    // The final status and body are those of the last internal redirect;
    // any request of the chain may be the gateway's.
    const request_rec *last = r;
    bool marked = apr_table_get(r->notes, COUNTED_NOTE) != nullptr;
    for (; last->next; last = last->next) marked = marked || apr_table_get(last->next->notes, COUNTED_NOTE);
    if (!marked)
        return DECLINED;
    const MetricMethod method = metric_method(r->method, r->header_only != 0);
    metrics_count_request(shared_metrics, method, last->status,
                          r->read_length > 0 ? static_cast<uint64_t>(r->read_length) : 0,
                          last->bytes_sent > 0 ? static_cast<uint64_t>(last->bytes_sent) : 0);
    return DECLINED;
}
