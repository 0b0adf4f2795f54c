// Identity-service calls (introspection, dependent tokens, code exchange)
// and identity sets for the request at hand; the documents and sets are
// built by the core (identity.h), with their lines in the main server's log.
#define KALDER_SOURCE "auth"
#include "auth.h"

#include <cstring>
#include <ctime>

#include "apr_strings.h"
#include "http_main.h"
#include "kalder.h"
#include "log_sinks.h"

// ---------------------------------------------------------------------------
// Token introspection

static const char *const INTROSPECT_PREFIX = "kalder:introspect";

IntrospectDoc *auth_introspect_token(request_rec *r, const char *token)
{
    ServerConfig *conf = kalder_server_config(r->server);

    if (const char *cached = mod_kalder_get_keyutils_value(r, INTROSPECT_PREFIX, token)) {
        IntrospectDoc *doc = nullptr;
        if (kalder::JsonPtr json{json_from_text(cached)})
            doc = parse_introspect_doc(r, json.get());
        if (doc) {
            ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Using cached introspect result: %s",
                         auth_redact_tokens(r->pool, cached));
            return doc;
        }
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Unable to deserialize saved introspect doc string: %s",
                     auth_redact_tokens(r->pool, cached));
    }

    KALDER_ASSERT(conf != NULL);
    const char *url = apr_psprintf(r->pool, "%s/oauth2/token/introspect", conf->auth_api_endpoint);
    if (!url) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate introspect URI");
        return nullptr;
    }
    const char *escaped = form_escape(r->pool, token);
    if (!escaped) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the access token");
        return nullptr;
    }
    const char *post_data =
        apr_psprintf(r->pool, "token=%s&include=session_info,identity_set_detail", escaped);
    if (!post_data) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate introspect post data");
        return nullptr;
    }

    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, post_data, conf->connect_timeout, conf->client_id,
                            conf->client_secret, nullptr, &status, &body);
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to fetch the token introspection: %d",
                     rc);
        return nullptr;
    }
    if (status != 200) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Failed to fetch the token introspection. http_status=%ld%s%s", status,
                     body ? " reply=" : "", body ? auth_redact_tokens(r->pool, body) : "");
        return nullptr;
    }
    if (!body) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Failed to fetch the token introspection, response was empty");
        return nullptr;
    }
    kalder::JsonPtr json(json_from_text(body));
    if (!json) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Failed to fetch the token introspection, could not deserialize response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    IntrospectDoc *doc = parse_introspect_doc(r, json.get());
    json.reset();
    if (!doc) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Unexpected introspect response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    mod_kalder_set_keyutils_value(r, INTROSPECT_PREFIX, token, body, std::strlen(body) + 1);
    ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Using introspect result: %s",
                 auth_redact_tokens(r->pool, body));
    return doc;
}

// ---------------------------------------------------------------------------
// Dependent tokens

static const char *const TOKEN_PREFIX = "kalder:token";

int auth_get_dependent_tokens(request_rec *r, const char *token, TokenDoc **out)
{
    ServerConfig *conf = kalder_server_config(r->server);

    if (const char *cached = mod_kalder_get_keyutils_value(r, TOKEN_PREFIX, token)) {
        TokenDoc *doc = nullptr;
        if (kalder::JsonPtr json{json_from_text(cached)})
            doc = parse_token_doc(r, json.get());
        *out = doc;
        if (doc)
            return 0;
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Unable to deserialize the saved token doc string: %s",
                     auth_redact_tokens(r->pool, cached));
    }

    KALDER_ASSERT(conf != NULL);
    const char *url = apr_psprintf(r->pool, "%s/oauth2/token", conf->auth_api_endpoint);
    if (!url) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate token URI");
        return 2;
    }
    const char *escaped = form_escape(r->pool, token);
    if (!escaped) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the access_token");
        return 2;
    }
    const char *post_data = apr_psprintf(r->pool,
                                         "grant_type=urn:kalder:auth:grant_type:dependent_token&token=%s"
                                         "&scope=urn:kalder:auth:scope:" TRANSFER_RESOURCE_SERVER ":all",
                                         escaped);
    if (!post_data) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate token post_data");
        return 2;
    }

    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, post_data, conf->connect_timeout, conf->client_id,
                            conf->client_secret, nullptr, &status, &body);
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to fetch dependent tokens: %d", rc);
        return 2;
    }
    // Only this exact answer means the caller's token expired or was revoked.
    if (status == 400 && body && std::strcmp(body, "{\"error\":\"invalid_grant\"}") == 0) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Failed to fetch dependent tokens, token has expired");
        return 1;
    }
    if (status == 200) {
        if (!body) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to fetch dependent_tokens, response was empty");
            return 2;
        }
        kalder::JsonPtr json(json_from_text(body));
        if (!json) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to fetch dependent tokens, could not deserialize response: %s",
                         auth_redact_tokens(r->pool, body));
            return 2;
        }
        TokenDoc *doc = parse_token_doc(r, json.get());
        json.reset();
        *out = doc;
        if (!doc) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Unexpected token response: %s",
                         auth_redact_tokens(r->pool, body));
            return 2;
        }
        mod_kalder_set_keyutils_value(r, TOKEN_PREFIX, token, body, std::strlen(body) + 1);
        return 0;
    }
    ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                 "Failed to fetch dependent tokens. http_status=%ld%s%s", status, body ? " reply=" : "",
                 body ? auth_redact_tokens(r->pool, body) : "");
    return 2;
}

// ---------------------------------------------------------------------------
// Authorization code exchange

TokenResponseDoc *auth_exchange_code(request_rec *r, const char *code, const char *redirect_uri)
{
    ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != NULL);
    // Required at start-up only of servers with a collection type.
    if (!conf->auth_api_endpoint) {
        ap_log_error(
            KALDER_MARK, APLOG_ERR, 0, r->server,
            "KalderAuthAPIEndpoint is not set for server %s; the authorization code cannot be exchanged",
            r->server->server_hostname ? r->server->server_hostname : "(unnamed)");
        return nullptr;
    }

    const char *url = apr_psprintf(r->pool, "%s/oauth2/token", conf->auth_api_endpoint);
    if (!url) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate the token URI");
        return nullptr;
    }
    const char *escaped_code = form_escape(r->pool, code);
    if (!escaped_code) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the access token");
        return nullptr;
    }
    const char *escaped_uri = form_escape(r->pool, redirect_uri);
    if (!escaped_uri) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the redirect uri");
        return nullptr;
    }
    const char *post_data = apr_psprintf(r->pool, "code=%s&redirect_uri=%s&grant_type=authorization_code",
                                         escaped_code, escaped_uri);
    if (!post_data) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate the token post data");
        return nullptr;
    }

    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, post_data, conf->connect_timeout, conf->client_id,
                            conf->client_secret, nullptr, &status, &body);
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Authorization code exchange failed: %d", rc);
        return nullptr;
    }
    if (status != 200) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Authorization code exchange failed: http_status=%ld%s%s", status, body ? " reply=" : "",
                     body ? auth_redact_tokens(r->pool, body) : "");
        return nullptr;
    }
    if (!body) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Authorization code exchange failed, response was empty");
        return nullptr;
    }
    kalder::JsonPtr json(json_from_text(body));
    if (!json) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Authorization code exchange failed, could not deserialize response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    TokenResponseDoc *doc = parse_token_response(r->pool, json.get(), server_log_sink(nullptr));
    json.reset();
    if (!doc) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Unexpected token response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    return doc;
}

// ---------------------------------------------------------------------------
// Documents and identity sets

IntrospectDoc *parse_introspect_doc(request_rec *r, const json_t *doc)
{
    return parse_introspect_doc(r->pool, doc, server_log_sink(nullptr));
}

TokenDoc *parse_token_doc(request_rec *r, const json_t *doc)
{
    return parse_token_doc(r->pool, doc, server_log_sink(nullptr));
}

char *auth_get_access_token(request_rec *r, const TokenResponseDoc *doc, const char *resource_server)
{
    return auth_get_access_token(r->pool, doc, resource_server, server_log_sink(nullptr));
}

IdentitySet auth_identity_set_filter_domain(request_rec *r, const IdentitySet set, const char *domain)
{
    return auth_identity_set_filter_domain(r->pool, set, domain, server_log_sink(nullptr));
}

IdentitySet auth_identity_set_filter_recent(request_rec *r, const IdentitySet set,
                                            AuthenticationRecord **authentications, int timeout_minutes,
                                            bool use_authentications, bool require_mfa)
{
    return auth_identity_set_filter_recent(
        r->pool, set, authentications, timeout_minutes, use_authentications, require_mfa,
        static_cast<int64_t>(std::time(nullptr)), server_log_sink(nullptr));
}

IdentitySet auth_identity_set_union(request_rec *r, const IdentitySet accumulated, const IdentitySet added)
{
    return auth_identity_set_union(r->pool, accumulated, added, server_log_sink(nullptr));
}

IdentitySet auth_identity_set_intersect(request_rec *r, const IdentitySet first, const IdentitySet second)
{
    return auth_identity_set_intersect(r->pool, first, second, server_log_sink(nullptr));
}

bool auth_identity_sets_match(const IdentitySet first, const IdentitySet second)
{
    return auth_identity_sets_match(first, second, server_log_sink(nullptr));
}

char *auth_identity_set_usernames(request_rec *r, const IdentitySet set)
{
    return auth_identity_set_usernames(r->pool, set, server_log_sink(nullptr));
}

char *auth_identity_set_subs(request_rec *r, const IdentitySet set)
{
    return auth_identity_set_subs(r->pool, set, server_log_sink(nullptr));
}
