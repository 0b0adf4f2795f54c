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
#include "content_handler.h"

#endif
