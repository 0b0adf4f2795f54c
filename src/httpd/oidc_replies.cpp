// The browser login: the sealed state cookie, the return from the identity
// service's login page, the page that reloads the data after login, and the
// login redirect sent to a refused browser.
#define KALDER_SOURCE "oidc_replies"
#include "oidc_replies.h"

#include <cstring>

#include "apr_strings.h"
#include "http_core.h"
#include "http_protocol.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "documents.h"
#include "invariant.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"
#include "auth.h"
#include "request_utils.h"
#include "authz_params.h"
#include "util_cookies.h"
#include "util_script.h"

#include "log_sinks.h"
#include "replies.h"

namespace {

constexpr const char *OIDC_COOKIE_NAME = "mod_kalder_OIDC";
constexpr const char *OIDC_COOKIE_ATTRIBUTES = "HttpOnly;Secure;Version=1;Path=/;SameSite=Lax";

// Appends "&name=value" with the value path-escaped.
const char *query_pair(apr_pool_t *pool, const char *name, const char *value)
{
    return apr_pstrcat(pool, "&", name, "=", ap_os_escape_path(pool, value, 1), nullptr);
}

// Sends the reload page as the whole response.
void send_reload_page(request_rec *r, const char *suffix)
{
    const char *path = r->uri ? r->uri : "/";
    const char *target = apr_psprintf(r->pool, "https://%s%s%s", r->server->server_hostname,
                                      ap_os_escape_path(r->pool, path, 1), suffix);
    char *page = oidc_reload_page(r->pool, target, path);
    ap_set_content_type(r, "text/html");
    apr_bucket_alloc_t *alloc = r->connection->bucket_alloc;
    apr_bucket_brigade *bb = apr_brigade_create(r->pool, alloc);
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_pool_create(page, std::strlen(page), r->pool, alloc));
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(alloc));
    if (ap_pass_brigade(r->output_filters, bb) != APR_SUCCESS)
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Sending the OIDC reload page was cut short");
}

}  // namespace

// ---------------------------------------------------------------------------
// OIDC state cookie

int set_oidc_state(request_rec *r, const char *key, int state, const char *auth_token,
                   const char *transfer_token, const char *login)
{
    char *sealed = oidc_cookie_seal(r->pool, request_log_sink(r), key, r->server->server_hostname, state,
                                    auth_token, transfer_token, login);
    if (!sealed)
        return 1;
    // Both tables: the cookie must go out with normal and error responses.
    apr_status_t status = ap_cookie_write(r, OIDC_COOKIE_NAME, sealed, OIDC_COOKIE_ATTRIBUTES, 0,
                                          r->headers_out, r->err_headers_out, nullptr);
    if (status != APR_SUCCESS) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to store the OIDC state: %d", status);
        return 1;
    }
    return 0;
}

int get_oidc_state(request_rec *r, const char *key, int *state, const char **auth_token,
                   const char **transfer_token, const char **login)
{
    // The reader's status is not examined: a refused cookie header (for
    // example the cookie sent twice with different values) is no cookie.
    const char *sealed = nullptr;
    (void)ap_cookie_read(r, OIDC_COOKIE_NAME, &sealed, 0);
    return oidc_cookie_open(r->pool, request_log_sink(r), key, r->server->server_hostname, sealed, state,
                            auth_token, transfer_token, login);
}

// ---------------------------------------------------------------------------
// Login return

int oidc_process_auth_flow(request_rec *r, ServerConfig *conf, const char *login)
{
    auto fail = [r](const char *message) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "%s", message);
        return HTTP_INTERNAL_SERVER_ERROR;
    };
    if (!r->args)
        return fail("OIDC Auth redirect missing query args in response");
    apr_table_t *args = nullptr;
    ap_args_to_table(r, &args);
    if (apr_table_get(args, "error"))
        return fail("OIDC Auth redirect encountered error in response");
    const char *code = apr_table_get(args, "code");
    if (!code)
        return fail("OIDC Auth redirect missing code in response");

    const char *redirect_uri = apr_psprintf(r->pool, "https://%s%s", ap_get_server_name(r), "/redirect");
    if (!redirect_uri) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Could not allocate memory for the redirect URI");
        return fail("Unable to allocate the redirect URI.");
    }
    TokenResponseDoc *tokens = auth_exchange_code(r, code, redirect_uri);
    if (!tokens)
        return fail("OIDC flow was unable to complete the code exchange.");
    const char *auth_token = auth_get_access_token(r, tokens, AUTH_RESOURCE_SERVER);
    if (!auth_token)
        return fail("OIDC code exchange is missing the Auth token.");
    const char *transfer_token = nullptr;
    if (is_guest(r)) {
        transfer_token = auth_get_access_token(r, tokens, TRANSFER_RESOURCE_SERVER);
        if (!transfer_token)
            return fail("OIDC code exchange is missing the Transfer token.");
    }
    if (!tokens->state)
        return fail("OIDC code exchange is missing the state field.");
    const char *uri = nullptr;
    const char *state_login = nullptr;
    if (!open_login_state(r->pool, request_log_sink(r), conf->oidc_state_key, tokens->state, &uri,
                          &state_login))
        return fail("Failed to decode the token state value.");
    // The state opens only as this server sealed it, but the URI it holds
    // is the request's as the client sent it ("//host/..." included).
    if (!oidc_is_local_redirect(uri))
        return fail("The token state value is not a local path; refusing to redirect.");
    // Only the browser that was sent to log in holds the login value of
    // the state: a code and state brought from another browser's login
    // (another site logging this browser in as someone else) stop here,
    // before any token is stored.
    if (!same_login(login, state_login))
        return fail("The login state was started by another browser; refusing to complete the login.");
    if (set_oidc_state(r, conf->oidc_state_key, OIDC_STATE_AUTH_FLOW_FINISH, auth_token, transfer_token,
                       nullptr) != 0)
        return fail("Failed to set FINISH OIDC Auth flow state.");
    apr_table_set(r->headers_out, "Location", uri);
    return HTTP_TEMPORARY_REDIRECT;
}

// ---------------------------------------------------------------------------
// First data request after login

bool oidc_auth_flow_done(request_rec *r, bool download)
{
    if (is_oauth_request(r) || !is_browser_request(r))
        return false;
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    const char *suffix = download ? "?download" : "";

    int state = OIDC_STATE_NONE;
    const char *auth_token = nullptr;
    const char *transfer_token = nullptr;
    if (get_oidc_state(r, conf->oidc_state_key, &state, &auth_token, &transfer_token, nullptr) == 0 &&
        state == OIDC_STATE_AUTH_FLOW_FINISH) {
        if (set_oidc_state(r, conf->oidc_state_key, OIDC_STATE_AUTH_COMPLETE, auth_token, transfer_token,
                           nullptr) != 0)
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to set COMPLETE OIDC Auth flow state.");
        send_reload_page(r, suffix);
        return true;
    }
    const char *referer = apr_table_get(r->headers_in, "Referer");
    if (referer && *referer)
        return false;
    if (download) {
        send_reload_page(r, suffix);
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Login redirect for a refused browser

OidcSkip oidc_skip_authz_check(request_rec *r)
{
    if (is_oauth_request(r) || r->user || !r->uri || std::strcmp(r->uri, "/redirect") != 0)
        return OIDC_SKIP_NO;
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    int state = OIDC_STATE_NONE;
    if (get_oidc_state(r, conf->oidc_state_key, &state, nullptr, nullptr, nullptr) != 0)
        return OIDC_SKIP_ERROR;
    return state == OIDC_STATE_AUTH_REDIRECT ? OIDC_SKIP_YES : OIDC_SKIP_NO;
}

apr_status_t oidc_set_reply(ap_filter_t *f, apr_bucket_brigade *bb)
{
    request_rec *r = f->r;
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    if (!conf->oidc_state_key) {
        // Without the secret no login can start; the browser gets the
        // internal error instead of a redirect it could never complete.
        log_missing_state_key(request_log_sink(r), r->server->server_hostname);
        r->status = HTTP_INTERNAL_SERVER_ERROR;
        return ap_pass_brigade(f->next, bb);
    }
    r->status = HTTP_TEMPORARY_REDIRECT;

    const char *redirect_uri = apr_psprintf(r->pool, "https://%s%s", ap_get_server_name(r), "/redirect");
    if (!redirect_uri) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Could not allocate memory for the redirect URI");
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to allocate the redirect URI.");
        return APR_ENOMEM;
    }
    const char *escaped_redirect_uri = ap_os_escape_path(r->pool, redirect_uri, 1);
    if (!escaped_redirect_uri) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to escape the redirect URI.");
        return APR_EGENERAL;
    }
    // The login value goes in the state and in the REDIRECT cookie: the
    // login return completes only where the two agree.
    const char *login = random_base64url(r->pool, LOGIN_VALUE_BYTES);
    if (!login) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to get random data for the login state.");
        return APR_EGENERAL;
    }
    const char *state = seal_login_state(r->pool, request_log_sink(r), conf->oidc_state_key,
                                         r->unparsed_uri ? r->unparsed_uri : "/", login);
    if (!state) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to encrypt the unparsed URI.");
        return APR_EGENERAL;
    }
    const char *message = reply_session_message(r);
    const char *params =
        apr_pstrcat(r->pool, "session_message=", ap_os_escape_path(r->pool, message, 1), nullptr);
    SessionRequirement required = session_requirement(conf);
    if (required.policy_id) {
        params = apr_pstrcat(r->pool, params,
                             query_pair(r->pool, "session_required_policies", required.policy_id), nullptr);
    } else if (required.single_domain) {
        const char *domains = apr_array_pstrcat(r->pool, required.single_domain, ',');
        params = apr_pstrcat(r->pool, params, query_pair(r->pool, "session_required_single_domain", domains),
                             nullptr);
        if (required.mfa)
            params = apr_pstrcat(r->pool, params, "&session_required_mfa=true", nullptr);
    }
    const char *scope = is_guest(r) ? "urn:kalder:auth:scope:" TRANSFER_RESOURCE_SERVER ":all openid profile"
                                    : "openid profile";
    params = apr_pstrcat(r->pool, params, query_pair(r->pool, "scope", scope), "&prompt=login", nullptr);
    if (!params) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                      "Unable to create the authorization parameters query string.");
        return APR_EGENERAL;
    }
    const char *location = apr_psprintf(
        r->pool,
        "%s/oauth2/authorize?response_type=code&client_id=%s&redirect_uri=%s&access_type=online&state=%s&%s",
        conf->auth_api_endpoint, conf->client_id, escaped_redirect_uri, state, params);
    if (!location) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to allocate the location URI.");
        return APR_EGENERAL;
    }
    apr_table_set(r->headers_out, "Location", location);
    if (set_oidc_state(r, conf->oidc_state_key, OIDC_STATE_AUTH_REDIRECT, nullptr, nullptr, login) != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to set REDIRECT OIDC Auth flow state.");
        return APR_EGENERAL;
    }
    return ap_pass_brigade(f->next, bb);
}
