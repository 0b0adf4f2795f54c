// Entry points of mod_kalder's httpd shell; the records it shares with the
// server-free core are in src/core.
//
// Every source file of the module defines KALDER_SOURCE (its own file name
// without extension) before including this header; log lines carry it as
// their source through KALDER_MARK.
#ifndef MOD_KALDER_KALDER_H
#define MOD_KALDER_KALDER_H

#include <cstdint>

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "mod_auth.h"
#include "apr_buckets.h"
#include "apr_tables.h"

#include "config.h"
#include "documents.h"
#include "invariant.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"

#include "auth.h"
#include "https_json.h"
#include "key_utils.h"
#include "transfer.h"

// ---------------------------------------------------------------------------
// Per-area headers of the shell

#include "request_utils.h"
#include "authz_params.h"
#include "oauth_replies.h"
#include "oidc_replies.h"

// ---------------------------------------------------------------------------
// Hooks, filters and buckets registered by mod_kalder

#include "access_hooks.h"
int mod_kalder_handler(request_rec *r);
apr_status_t mode_e_filter(ap_filter_t *f, apr_bucket_brigade *bb);
// Child init of the content handler: sizes the per-process key pool (its
// filler thread starts with the first request that needs a key) and stops
// it with the child pool.
void kalder_handler_child_init(apr_pool_t *pchild, server_rec *s);

#endif
