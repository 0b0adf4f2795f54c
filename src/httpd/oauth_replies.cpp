// Challenge replies: the error filter that turns a 401 or 403 into a bearer
// challenge with a JSON body (programs) or a login redirect (browsers).
#define KALDER_SOURCE "oauth_replies"
#include "oauth_replies.h"

#include <cstring>

#include "apr_strings.h"
#include "http_core.h"
#include "http_protocol.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "invariant.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"
#include "request_utils.h"
#include "authz_params.h"
#include "oidc_replies.h"
#include "access_hooks.h"

#include "classify.h"
#include "replies.h"

namespace {

constexpr const char *REPLY_FILTER_NAME = "MOD_KALDER_REPLY_FILTER";

// The realm of the challenge: the location's AuthName, or the virtual
// host's name where none is configured.
const char *challenge_realm(request_rec *r)
{
    const char *realm = ap_auth_name(r);
    if (realm)
        return realm;
    return r->server->server_hostname ? r->server->server_hostname : "";
}

}  // namespace

const char *oauth_authorization_parameters(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    const char *message = reply_session_message(r);
    const char *https_scope = build_scope(r->pool, r->server, "https");
    if (!https_scope)
        return nullptr;
    const char *data_scope = nullptr;
    if (requires_data_access_scope(conf)) {
        data_scope = build_scope(r->pool, r->server, "data_access");
        if (!data_scope)
            return nullptr;
    }
    return authorization_parameters_json(r->pool, conf, message, https_scope, data_scope);
}

int _set_oauth2_response(request_rec *r, apr_bucket_brigade *bb, const char *error, const char *description,
                         const char *code, const char *message, int status)
{
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "%s: enter", "_set_oauth2_response");
    const char *params = oauth_authorization_parameters(r);
    if (!params) {
        // Logged where it failed (a server without KalderAuthClientID): no
        // challenge the caller could act on, so the internal error instead.
        r->status = HTTP_INTERNAL_SERVER_ERROR;
        return 0;
    }
    r->status = status;
    const char *challenge = bearer_challenge(r->pool, challenge_realm(r), error, description);
    if (!challenge) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to allocate the OAuth response header");
        return APR_EGENERAL;
    }
    apr_table_set(r->headers_out, "WWW-Authenticate", challenge);

    const char *body = challenge_body(r->pool, code, message, params);
    if (!body) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to allocate the OAuth response body");
        return APR_EGENERAL;
    }
    ap_set_content_type(r, "application/json");
    apr_bucket *bucket = apr_bucket_transient_create(body, std::strlen(body), r->connection->bucket_alloc);
    if (!bucket) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to allocate bucket for OAuth response body");
        return APR_EGENERAL;
    }
    APR_BRIGADE_INSERT_HEAD(bb, bucket);
    return 0;
}

void mod_kalder_insert_error_filter(request_rec *r)
{
    const char *type = ap_auth_type(r);
    if (kalder_server_config(r->server) && type && std::strcmp(type, KALDER_AUTH_TYPE) == 0)
        ap_add_output_filter(REPLY_FILTER_NAME, nullptr, r, r->connection);
}

apr_status_t mod_kalder_reply_filter(ap_filter_t *f, apr_bucket_brigade *bb)
{
    request_rec *r = f->r;
    if ((r->status != HTTP_UNAUTHORIZED && r->status != HTTP_FORBIDDEN) || !kalder_server_config(r->server))
        return ap_pass_brigade(f->next, bb);
    const char *type = r->user ? r->ap_auth_type : ap_auth_type(r);
    if (!type || std::strcmp(type, KALDER_AUTH_TYPE) != 0)
        return ap_pass_brigade(f->next, bb);

    // The server's own error text goes in both branches.
    while (!APR_BRIGADE_EMPTY(bb) && !APR_BUCKET_IS_EOS(APR_BRIGADE_FIRST(bb)))
        apr_bucket_delete(APR_BRIGADE_FIRST(bb));

    if (!is_oauth_request(r))
        return oidc_set_reply(f, bb);

    bool had_state = ap_get_module_config(r->request_config, &kalder_module) != nullptr;
    const RequestState *state = get_request_state(r);
    if (!had_state)
        return ap_pass_brigade(f->next, bb);
    const ReplyText *reply = reply_text(state->reply_reason);
    if (!reply)
        return ap_pass_brigade(f->next, bb);
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "%s: enter", reply->function);
    if (_set_oauth2_response(r, bb, reply->error, reply->description, reply->code, reply->message,
                             reply->status) != 0)
        return APR_EGENERAL;
    return ap_pass_brigade(f->next, bb);
}
