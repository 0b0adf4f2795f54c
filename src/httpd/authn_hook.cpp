// Authentication hook: bearer tokens and the browser login cookie.
#define KALDER_SOURCE "authn_hook"
#include "access_hooks.h"

#include <cstring>

#include "apr_strings.h"
#include "http_core.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "documents.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"
#include "auth.h"
#include "request_utils.h"
#include "oidc_replies.h"
#include "counters.h"

namespace {

int finish(request_rec *r, const IntrospectDoc *doc)
{
    r->ap_auth_type = const_cast<char *>(KALDER_AUTH_TYPE);
    // The identity service promises at least one identity for an active
    // token; a document without one cannot name the user.
    const Identity *first = doc->identity_set_detail ? doc->identity_set_detail[0] : nullptr;
    if (!first || !first->username || !*first->username) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                      "Introspection of an active token lists no identity with a user name");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    r->user = apr_pstrdup(r->pool, first->username);
    if (!r->user) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to get allocate r->user");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    return OK;
}

int bearer_path(request_rec *r, RequestState *state)
{
    const char *token = get_bearer_token(r);
    if (!token) {
        // get_bearer_token finds no token both when the header is missing
        // and when the header holds none; it logs only an allocation failure,
        // which cannot return here (pool allocation aborts).
        state->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
        return HTTP_UNAUTHORIZED;
    }
    IntrospectDoc *doc = auth_introspect_token(r, token);
    if (!doc) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to get the bearer token during OAuth processing");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (!doc->active) {
        state->reply_reason = REPLY_INVALID_TOKEN;
        return HTTP_UNAUTHORIZED;
    }
    state->introspect_doc = doc;
    if (!is_guest(r))
        return finish(r, doc);

    TokenDoc *tokens = nullptr;
    int rc = auth_get_dependent_tokens(r, token, &tokens);
    if (rc == 1) {
        state->reply_reason = REPLY_INVALID_TOKEN;
        return HTTP_UNAUTHORIZED;
    }
    if (rc != 0)
        return HTTP_INTERNAL_SERVER_ERROR;
    for (TokenEntry **entry = tokens && tokens->tokens ? tokens->tokens : nullptr; entry && *entry; ++entry) {
        if ((*entry)->resource_server && (*entry)->access_token &&
            std::strcmp((*entry)->resource_server, TRANSFER_RESOURCE_SERVER) == 0) {
            state->transfer_token = apr_pstrdup(r->pool, (*entry)->access_token);
            return finish(r, doc);
        }
    }
    ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Dependent Transfer token missing in OAuth processing");
    return HTTP_INTERNAL_SERVER_ERROR;
}

int browser_path(request_rec *r, ServerConfig *conf, RequestState *state)
{
    if (!conf->oidc_state_key) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                      "KalderOIDCStateKey is not set for server %s; the browser login is not available",
                      r->server->server_hostname ? r->server->server_hostname : "(unnamed)");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    int oidc_state = OIDC_STATE_NONE;
    const char *auth_token = nullptr;
    const char *transfer_token = nullptr;
    const char *login = nullptr;
    if (get_oidc_state(r, conf->oidc_state_key, &oidc_state, &auth_token, &transfer_token, &login) != 0 ||
        oidc_state == OIDC_STATE_NONE) {
        state->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
        return HTTP_UNAUTHORIZED;
    }
    if (oidc_state == OIDC_STATE_AUTH_REDIRECT) {
        if (r->uri && std::strcmp(r->uri, "/redirect") == 0)
            return oidc_process_auth_flow(r, conf, login);
        state->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
        return HTTP_UNAUTHORIZED;
    }
    bool guest = is_guest(r);
    if (!auth_token || (guest && !transfer_token)) {
        state->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
        return HTTP_UNAUTHORIZED;
    }
    IntrospectDoc *doc = auth_introspect_token(r, auth_token);
    if (!doc) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to introspect OIDC access_token");
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    if (!doc->active) {
        state->reply_reason = REPLY_INVALID_TOKEN;
        return HTTP_UNAUTHORIZED;
    }
    state->introspect_doc = doc;
    if (guest)
        state->transfer_token = transfer_token;
    return finish(r, doc);
}

}  // namespace

int mod_kalder_authn_hook(request_rec *r)
{
    const char *type = ap_auth_type(r);
    ServerConfig *conf = kalder_server_config(r->server);
    if (!type || std::strcmp(type, KALDER_AUTH_TYPE) != 0 || !conf)
        return DECLINED;
    kalder_metrics_mark(r);
    RequestState *state = get_request_state(r);
    if (is_oauth_request(r))
        return bearer_path(r, state);
    return browser_path(r, conf, state);
}
