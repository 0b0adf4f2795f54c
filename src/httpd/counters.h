// The shell of the gateway's counters (core/metrics.h): the block shared by
// all server processes, the status page that writes it out, and the
// request counting.
#ifndef KALDER_HTTPD_COUNTERS_H
#define KALDER_HTTPD_COUNTERS_H

#include "httpd.h"
#include "metrics.h"

// The shared block, or null when it could not be made (nothing is counted).
Metrics *kalder_metrics();

// The request is the gateway's: its method, status and bytes are counted
// when it is logged. Set by the authentication hook and the content handler.
void kalder_metrics_mark(request_rec *r);

// Makes the shared block in the parent, once per server start: it is kept
// in the process pool so that graceful restarts keep the counts.
extern "C" int mod_kalder_metrics_post_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp,
                                              server_rec *s);
// "SetHandler kalder-status": the block in the Prometheus text format.
extern "C" int mod_kalder_status_handler(request_rec *r);
// Counts a marked request by method and final status, with its bytes.
extern "C" int mod_kalder_metrics_log_transaction(request_rec *r);

#endif
