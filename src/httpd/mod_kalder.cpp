// The module record and its registrations. What each piece does lives
// elsewhere: the configuration record and the directives in config.cpp,
// the start-up and child set-up in lifecycle.cpp, the connection peek in
// bucket_tls_peek.cpp, and the request hooks and filters in their own files.
#define KALDER_SOURCE "mod_kalder"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "invariant.h"
#include "module.h"
#include "access_hooks.h"
#include "content_handler.h"

#include "ap_provider.h"
#include "http_core.h"
#include "http_protocol.h"

#include "lifecycle.h"
#include "counters.h"
#include "tls_peek.h"

namespace {

void report_broken_invariant(const char *cond, const char *file, int line)
{
    ap_log_error(KALDER_MARK, APLOG_CRIT, 0, nullptr, "Assertion failed: %s (%s:%d)", cond, file, line);
}

const authz_provider kalder_authz_provider = {
    &mod_kalder_authz_hook,
    nullptr,
};

void mod_kalder_register_hooks(apr_pool_t *p)
{
    // A broken invariant is logged as a critical error.
    kalder_set_assert_reporter(report_broken_invariant);
    // Strips extended-block headers and frames byte ranges.
    ap_register_output_filter("MODE_E_FILTER", mode_e_filter, nullptr, AP_FTYPE_RESOURCE);
    // Collection check, hand-off table, keyring self-test, configuration-directory watcher.
    ap_hook_post_config(mod_kalder_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    // The counters' shared memory, made once per server start.
    ap_hook_post_config(mod_kalder_metrics_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Toolkit activation and the data channel's driver stack.
    ap_hook_child_init(mod_kalder_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Serves the collection's data through the back end.
    ap_hook_handler(mod_kalder_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    // "SetHandler kalder-status": the counters in the Prometheus text format.
    ap_hook_handler(mod_kalder_status_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Counts the gateway's requests by method and status, with their bytes.
    ap_hook_log_transaction(mod_kalder_metrics_log_transaction, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Bearer tokens and the browser login cookie.
    ap_hook_check_authn(mod_kalder_authn_hook, nullptr, nullptr, APR_HOOK_MIDDLE, AP_AUTH_INTERNAL_PER_CONF);
    // "Require kalderacl".
    ap_register_auth_provider(p, AUTHZ_PROVIDER_GROUP, "kalderacl", AUTHZ_PROVIDER_VERSION,
                              &kalder_authz_provider, AP_AUTH_INTERNAL_PER_URI);
    // Peeks at the ClientHello to hand connections off by ALPN.
    ap_hook_insert_network_bucket(mod_kalder_insert_network_bucket, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Turns 401 and 403 into bearer challenges or login redirects.
    ap_register_output_filter("MOD_KALDER_REPLY_FILTER", mod_kalder_reply_filter, nullptr,
                              AP_FTYPE_CONTENT_SET);
    // Puts that filter on error replies.
    ap_hook_insert_error_filter(mod_kalder_insert_error_filter, nullptr, nullptr, APR_HOOK_LAST);
}

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA kalder_module = {
    MODULE_MAGIC_NUMBER_MAJOR,
    MODULE_MAGIC_NUMBER_MINOR,
    -1,
    "mod_kalder.cpp",
    nullptr,
    nullptr,
    MODULE_MAGIC_COOKIE,
    nullptr,
    nullptr,  // no per-directory configuration
    nullptr,
    mod_kalder_create_server_config,
    mod_kalder_merge_server_config,
    kalder_cmds,
    mod_kalder_register_hooks,
    0,
};
}
