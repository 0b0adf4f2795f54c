// The browser login: the sealed state cookie, the return from the identity
// service's login page, the page that reloads the data after login, and the
// login redirect sent to a refused browser.
#define KALDER_SOURCE "oidc_replies"
#include "kalder.h"

#include <cstdio>
#include <cstring>

#include "apr_strings.h"
#include "http_core.h"
#include "http_protocol.h"
#include "util_cookies.h"
#include "util_script.h"

#include <openssl/crypto.h>

#include "raii.h"

namespace {

constexpr const char *OIDC_COOKIE_NAME = "mod_kalder_OIDC";
constexpr const char *OIDC_COOKIE_ATTRIBUTES = "HttpOnly;Secure;Version=1;Path=/;SameSite=Lax";

const char *oidc_state_text(int state)
{
    switch (state) {
        case OIDC_STATE_AUTH_FLOW_FINISH:
            return "FLOW_FINISH";
        case OIDC_STATE_AUTH_COMPLETE:
            return "COMPLETE";
        default:
            return "REDIRECT";
    }
}

// Copies a string member into the request pool. Returns 0 when the member
// is absent or copied, 1 when the copy failed.
int copy_optional_string(request_rec *r, const json_t *object, const char *name, const char **out)
{
    const json_t *member = json_object_get(object, name);
    if (!member || !json_is_string(member))
        return 0;
    *out = apr_pstrdup(r->pool, json_string_value(member));
    return *out ? 0 : 1;
}

// The browser flow cannot seal or open anything without the virtual host's
// secret; say which directive is missing.
void log_missing_state_key(request_rec *r)
{
    ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                  "KalderOIDCStateKey is not set for server %s; the browser login is not available",
                  r->server->server_hostname ? r->server->server_hostname : "(unnamed)");
}

// Appends "&name=value" with the value path-escaped.
const char *query_pair(apr_pool_t *pool, const char *name, const char *value)
{
    return apr_pstrcat(pool, "&", name, "=", ap_os_escape_path(pool, value, 1), nullptr);
}

bool allowed_domains_name_one(const ServerConfig *conf)
{
    if (!conf->allowed_domains || conf->allowed_domains->nelts == 0)
        return false;
    for (int i = 0; i < conf->allowed_domains->nelts; ++i)
        if (std::strcmp(APR_ARRAY_IDX(conf->allowed_domains, i, const char *), "*") == 0)
            return false;
    return true;
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

// Text for an HTML element or attribute.
const char *html_escape(apr_pool_t *pool, const char *text)
{
    size_t extra = 0;
    for (const char *p = text; *p; ++p)
        if (std::strchr("&<>\"'", *p))
            extra += 5;
    char *out = static_cast<char *>(apr_palloc(pool, std::strlen(text) + extra + 1));
    char *o = out;
    for (const char *p = text; *p; ++p) {
        const char *entity = nullptr;
        switch (*p) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                entity = "&quot;";
                break;
            case '\'':
                entity = "&#39;";
                break;
            default:
                break;
        }
        if (entity) {
            size_t n = std::strlen(entity);
            std::memcpy(o, entity, n);
            o += n;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

// Text for a double-quoted JavaScript string inside a script element:
// quotes, backslashes, control characters and the angle brackets that
// could end the element become \u escapes.
const char *script_string_escape(apr_pool_t *pool, const char *text)
{
    char *out = static_cast<char *>(apr_palloc(pool, 6 * std::strlen(text) + 1));
    char *o = out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7f || std::strchr("\"\\<>", *p)) {
            std::snprintf(o, 7, "\\u%04x", *p);
            o += 6;
        } else {
            *o++ = static_cast<char>(*p);
        }
    }
    *o = '\0';
    return out;
}

// Length in random bytes of the login value shared by the login state and
// the REDIRECT cookie.
constexpr size_t LOGIN_VALUE_BYTES = 16;

// The sealed login state: the login value, a blank and the URI to return
// to (as the client sent it, any bytes but NUL).
char *seal_login_state(request_rec *r, const char *key, const char *uri, const char *login)
{
    return encrypt_value(r, key, SEAL_STATE, apr_pstrcat(r->pool, login, " ", uri, nullptr));
}

// Opens a login state; false when it does not open or is not one.
bool open_login_state(request_rec *r, const char *key, const char *sealed, const char **uri,
                      const char **login)
{
    const char *text = decrypt_value(r, key, SEAL_STATE, sealed);
    const char *blank = text ? std::strchr(text, ' ') : nullptr;
    if (!blank)
        return false;
    *login = apr_pstrmemdup(r->pool, text, static_cast<size_t>(blank - text));
    *uri = blank + 1;
    return true;
}

// Whether the cookie's and the state's login values are one, compared in
// constant time.
bool same_login(const char *cookie_login, const char *state_login)
{
    if (!cookie_login || !state_login || !*cookie_login)
        return false;
    size_t n = std::strlen(cookie_login);
    return n == std::strlen(state_login) && CRYPTO_memcmp(cookie_login, state_login, n) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// OIDC state cookie

int set_oidc_state(request_rec *r, const char *key, int state, const char *auth_token,
                   const char *transfer_token, const char *login)
{
    if (!key) {
        log_missing_state_key(r);
        return 1;
    }
    const char *state_text = oidc_state_text(state);
    kalder::JsonPtr doc(json_object());
    if (!doc || json_object_set_new(doc.get(), "state", json_string(state_text)) != 0 ||
        (auth_token && json_object_set_new(doc.get(), "auth", json_string(auth_token)) != 0) ||
        (transfer_token && json_object_set_new(doc.get(), "transfer", json_string(transfer_token)) != 0) ||
        (login && json_object_set_new(doc.get(), "login", json_string(login)) != 0)) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to serialize the OIDC state");
        return 1;
    }
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Setting request's OIDC state to \"%s\".", state_text);
    kalder::MallocPtr<char> text(json_dumps(doc.get(), 0));
    if (!text) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to serialize the OIDC state");
        return 1;
    }
    char *sealed = encrypt_value(r, key, SEAL_COOKIE, text.get());
    if (!sealed) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to encode the OIDC state");
        return 1;
    }
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
    *state = OIDC_STATE_NONE;
    if (auth_token)
        *auth_token = nullptr;
    if (transfer_token)
        *transfer_token = nullptr;
    if (login)
        *login = nullptr;

    // The reader's status is not examined: a refused cookie header (for
    // example the cookie sent twice with different values) is no cookie.
    const char *sealed = nullptr;
    (void)ap_cookie_read(r, OIDC_COOKIE_NAME, &sealed, 0);
    if (!sealed) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "No OIDC state found for request.");
        return 0;
    }
    if (!key) {
        log_missing_state_key(r);
        return 1;
    }
    // A cookie that does not open, whatever the reason (tampered, sealed
    // under another secret or the earlier format, a login state), is no
    // cookie: the browser is sent to log in.
    char *text = decrypt_value(r, key, SEAL_COOKIE, sealed);
    if (!text) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "Failed to decode the OIDC state (was the vhost secret recently altered?)");
        return 0;
    }
    json_error_t error;
    kalder::JsonPtr doc(json_loads(text, 0, &error));
    if (!doc) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "Failed to deserialize the OIDC state (was mod-kalder updated recently?)");
        return 1;
    }
    if (!json_is_object(doc.get())) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Unexpected OIDC state contents");
        return 1;
    }
    const json_t *member = json_object_get(doc.get(), "state");
    if (!member || !json_is_string(member)) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Invalid OIDC state");
        return 1;
    }
    const char *value = json_string_value(member);
    int parsed;
    if (std::strcmp(value, "REDIRECT") == 0)
        parsed = OIDC_STATE_AUTH_REDIRECT;
    else if (std::strcmp(value, "FLOW_FINISH") == 0)
        parsed = OIDC_STATE_AUTH_FLOW_FINISH;
    else if (std::strcmp(value, "COMPLETE") == 0)
        parsed = OIDC_STATE_AUTH_COMPLETE;
    else {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Invalid OIDC state value");
        return 1;
    }
    *state = parsed;
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Request's OIDC state is \"%s\".", value);

    if (auth_token && copy_optional_string(r, doc.get(), "auth", auth_token) != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Failed to retrieve the Auth token from OIDC state");
        return 1;
    }
    if (transfer_token && copy_optional_string(r, doc.get(), "transfer", transfer_token) != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "Failed to duplicate the Transfer token from OIDC state");
        return 1;
    }
    if (login && copy_optional_string(r, doc.get(), "login", login) != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Failed to duplicate the login value from OIDC state");
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Login return

bool oidc_is_local_redirect(const char *uri)
{
    // A single "/" followed by anything but "/" or "\": a browser reads
    // "//host" and "/\host" as another site.
    if (!uri || uri[0] != '/' || uri[1] == '/' || uri[1] == '\\')
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(uri); *p; ++p)
        if (*p < 0x20 || *p == 0x7f || *p == '\\')
            return false;
    return true;
}

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
    if (!open_login_state(r, conf->oidc_state_key, tokens->state, &uri, &state_login))
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

char *oidc_reload_page(apr_pool_t *pool, const char *target, const char *path)
{
    return apr_psprintf(pool,
                        "<html><head><title>Redirecting to data</title><head><body>Redirecting to "
                        "<a href=\"%s\">%s</a>. Loading will begin momentarily."
                        "<script>window.location.replace(\"%s\");</script></body>",
                        html_escape(pool, target), html_escape(pool, path),
                        script_string_escape(pool, target));
}

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
        log_missing_state_key(r);
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
    const char *state =
        seal_login_state(r, conf->oidc_state_key, r->unparsed_uri ? r->unparsed_uri : "/", login);
    if (!state) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to encrypt the unparsed URI.");
        return APR_EGENERAL;
    }
    const char *message =
        get_request_state(r)->reply_reason == REPLY_INSUFFICIENT_SCOPE
            ? "You must consent to additional scopes in order to authorize the resource server "
              "to complete the request."
            : authz_session_message(r);

    const char *params =
        apr_pstrcat(r->pool, "session_message=", ap_os_escape_path(r->pool, message, 1), nullptr);
    if (conf->auth_policy_id) {
        params = apr_pstrcat(r->pool, params,
                             query_pair(r->pool, "session_required_policies", conf->auth_policy_id), nullptr);
    } else if (is_mapped(r) && allowed_domains_name_one(conf)) {
        const char *domains = apr_array_pstrcat(r->pool, conf->allowed_domains, ',');
        params = apr_pstrcat(r->pool, params, query_pair(r->pool, "session_required_single_domain", domains),
                             nullptr);
        if (conf->capability_flags & MOD_KALDER_REQUIRE_MFA)
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
