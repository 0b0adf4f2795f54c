// Challenge replies: the error filter that turns a 401 or 403 into a bearer
// challenge with a JSON body (programs) or a login redirect (browsers).
#define KALDER_SOURCE "oauth_replies"
#include "kalder.h"

#include <cstdio>
#include <cstring>

#include "apr_strings.h"
#include "http_core.h"
#include "http_protocol.h"

namespace {

constexpr const char *KALDER_AUTH_TYPE = "kalder-auth";
constexpr const char *REPLY_FILTER_NAME = "MOD_KALDER_REPLY_FILTER";

// The text as a JSON string literal, quotes included.
const char *json_quote(apr_pool_t *pool, const char *text)
{
    char *out = static_cast<char *>(apr_palloc(pool, 6 * std::strlen(text) + 3));
    char *o = out;
    *o++ = '"';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        switch (*p) {
            case '"':
                *o++ = '\\';
                *o++ = '"';
                break;
            case '\\':
                *o++ = '\\';
                *o++ = '\\';
                break;
            case '\n':
                *o++ = '\\';
                *o++ = 'n';
                break;
            case '\r':
                *o++ = '\\';
                *o++ = 'r';
                break;
            case '\t':
                *o++ = '\\';
                *o++ = 't';
                break;
            case '\b':
                *o++ = '\\';
                *o++ = 'b';
                break;
            case '\f':
                *o++ = '\\';
                *o++ = 'f';
                break;
            default:
                if (*p < 0x20) {
                    std::snprintf(o, 7, "\\u%04x", *p);
                    o += 6;
                } else {
                    *o++ = static_cast<char>(*p);
                }
        }
    }
    *o++ = '"';
    *o = '\0';
    return out;
}

// The realm of the challenge: the location's AuthName, or the virtual
// host's name where none is configured.
const char *challenge_realm(request_rec *r)
{
    const char *realm = ap_auth_name(r);
    if (realm)
        return realm;
    return r->server->server_hostname ? r->server->server_hostname : "";
}

struct ReplyText {
    const char *function;
    const char *error;
    const char *description;
    const char *code;
    const char *message;
    int status;
};

const ReplyText *reply_for(uint32_t reason)
{
    static const ReplyText replies[] = {
        {"_set_response_to_authentication_required", nullptr, nullptr, "AuthenticationRequired",
         "You must authenticate to access this collection.", HTTP_UNAUTHORIZED},
        {"_set_response_to_invalid_token", "invalid_token", "Bearer token is not valid.", "InvalidToken",
         "Bearer token is not valid.", HTTP_UNAUTHORIZED},
        {"_set_response_to_insufficient_scope", "insufficient_scope",
         "Bearer token is missing a required scope.", "InsufficientScope",
         "Bearer token is missing a required scope.", HTTP_FORBIDDEN},
        {"_set_response_to_insufficient_session", "insufficient_session",
         "You must authenticate to access this collection.", "InsufficientSession",
         "You must authenticate to access this collection.", HTTP_FORBIDDEN},
        {"_set_response_to_access_denied", "access_denied", "You do not have the proper access rights.",
         "AccessDenied", "You do not have the proper access rights.", HTTP_FORBIDDEN},
    };
    if (reason < REPLY_AUTHENTICATION_REQUIRED || reason > REPLY_ACCESS_DENIED)
        return nullptr;
    return &replies[reason - REPLY_AUTHENTICATION_REQUIRED];
}

}  // namespace

const char *oauth_authorization_parameters(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    const RequestState *state = get_request_state(r);
    const char *message =
        state->reply_reason == REPLY_INSUFFICIENT_SCOPE
            ? "You must consent to additional scopes in order to authorize the resource server "
              "to complete the request."
            : authz_session_message(r);
    apr_pool_t *p = r->pool;
    const char *params = apr_pstrcat(p, "{\"session_message\": ", json_quote(p, message), nullptr);
    if (conf->auth_policy_id) {
        params = apr_pstrcat(p, params, ", \"session_required_policies\": [",
                             json_quote(p, conf->auth_policy_id), "]", nullptr);
    } else if (is_mapped(r) && conf->allowed_domains && conf->allowed_domains->nelts > 0) {
        const char *domains = "";
        bool any = false;
        for (int i = 0; i < conf->allowed_domains->nelts; ++i) {
            const char *domain = APR_ARRAY_IDX(conf->allowed_domains, i, const char *);
            if (std::strcmp(domain, "*") == 0) {
                any = true;
                break;
            }
            domains = apr_pstrcat(p, domains, i ? "," : "", json_quote(p, domain), nullptr);
        }
        if (!any) {
            params = apr_pstrcat(p, params, ", \"session_required_single_domain\": [", domains, "]", nullptr);
            if (conf->capability_flags & MOD_KALDER_REQUIRE_MFA)
                params = apr_pstrcat(p, params, ", \"session_required_mfa\": true", nullptr);
        }
    }
    const char *https_scope = build_scope(p, r->server, "https");
    if (!https_scope)
        return nullptr;
    const char *scopes = json_quote(p, https_scope);
    if (is_mapped(r) && !(conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE)) {
        const char *data_scope = build_scope(p, r->server, "data_access");
        if (!data_scope)
            return nullptr;
        scopes = apr_pstrcat(p, scopes, ",", json_quote(p, data_scope), nullptr);
    }
    return apr_pstrcat(p, params, ", \"required_scopes\": [", scopes, "]", ", \"prompt\": \"login\"}",
                       nullptr);
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
    const char *challenge = apr_psprintf(r->pool, "Bearer realm=\"%s\"", challenge_realm(r));
    if (error)
        challenge = apr_pstrcat(r->pool, challenge, ", error=\"", error, "\"", nullptr);
    if (description)
        challenge = apr_pstrcat(r->pool, challenge, ", error_description=\"", description, "\"", nullptr);
    if (!challenge) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to allocate the OAuth response header");
        return APR_EGENERAL;
    }
    apr_table_set(r->headers_out, "WWW-Authenticate", challenge);

    const char *body =
        apr_psprintf(r->pool, "{\"code\": %s, \"message\": %s, \"authorization_parameters\": %s}",
                     json_quote(r->pool, code), json_quote(r->pool, message), params);
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
    const ReplyText *reply = reply_for(state->reply_reason);
    if (!reply)
        return ap_pass_brigade(f->next, bb);
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "%s: enter", reply->function);
    if (_set_oauth2_response(r, bb, reply->error, reply->description, reply->code, reply->message,
                             reply->status) != 0)
        return APR_EGENERAL;
    return ap_pass_brigade(f->next, bb);
}
