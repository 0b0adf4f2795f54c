// Challenge reply texts (see replies.h).
#define KALDER_SOURCE "oauth_replies"
#include "replies.h"

#include <cstdio>
#include <cstring>

#include "apr_strings.h"
#include "classify.h"
#include "domains.h"
#include "request_state.h"

namespace {

constexpr int UNAUTHORIZED = 401;
constexpr int FORBIDDEN = 403;

}  // namespace

const ReplyText *reply_text(uint32_t reason)
{
    static const ReplyText replies[] = {
        {"_set_response_to_authentication_required", nullptr, nullptr, "AuthenticationRequired",
         "You must authenticate to access this collection.", UNAUTHORIZED},
        {"_set_response_to_invalid_token", "invalid_token", "Bearer token is not valid.", "InvalidToken",
         "Bearer token is not valid.", UNAUTHORIZED},
        {"_set_response_to_insufficient_scope", "insufficient_scope",
         "Bearer token is missing a required scope.", "InsufficientScope",
         "Bearer token is missing a required scope.", FORBIDDEN},
        {"_set_response_to_insufficient_session", "insufficient_session",
         "You must authenticate to access this collection.", "InsufficientSession",
         "You must authenticate to access this collection.", FORBIDDEN},
        {"_set_response_to_access_denied", "access_denied", "You do not have the proper access rights.",
         "AccessDenied", "You do not have the proper access rights.", FORBIDDEN},
    };
    if (reason < REPLY_AUTHENTICATION_REQUIRED || reason > REPLY_ACCESS_DENIED)
        return nullptr;
    return &replies[reason - REPLY_AUTHENTICATION_REQUIRED];
}

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

SessionRequirement session_requirement(const ServerConfig *conf)
{
    if (conf->auth_policy_id)
        return {conf->auth_policy_id, nullptr, false};
    if (is_mapped_collection(conf) && domains_restricted(conf->allowed_domains))
        return {nullptr, conf->allowed_domains, (conf->capability_flags & MOD_KALDER_REQUIRE_MFA) != 0};
    return {nullptr, nullptr, false};
}

const char *authorization_parameters_json(apr_pool_t *pool, const ServerConfig *conf, const char *message,
                                          const char *https_scope, const char *data_scope)
{
    const char *params = apr_pstrcat(pool, "{\"session_message\": ", json_quote(pool, message), nullptr);
    SessionRequirement required = session_requirement(conf);
    if (required.policy_id) {
        params = apr_pstrcat(pool, params, ", \"session_required_policies\": [",
                             json_quote(pool, required.policy_id), "]", nullptr);
    } else if (required.single_domain) {
        const char *domains = "";
        domains_walk(required.single_domain, [&](const char *domain) {
            domains = apr_pstrcat(pool, domains, *domains ? "," : "", json_quote(pool, domain), nullptr);
            return true;
        });
        params = apr_pstrcat(pool, params, ", \"session_required_single_domain\": [", domains, "]", nullptr);
        if (required.mfa)
            params = apr_pstrcat(pool, params, ", \"session_required_mfa\": true", nullptr);
    }
    const char *scopes = json_quote(pool, https_scope);
    if (data_scope)
        scopes = apr_pstrcat(pool, scopes, ",", json_quote(pool, data_scope), nullptr);
    return apr_pstrcat(pool, params, ", \"required_scopes\": [", scopes, "]", ", \"prompt\": \"login\"}",
                       nullptr);
}

const char *bearer_challenge(apr_pool_t *pool, const char *realm, const char *error, const char *description)
{
    const char *challenge = apr_psprintf(pool, "Bearer realm=\"%s\"", realm);
    if (error)
        challenge = apr_pstrcat(pool, challenge, ", error=\"", error, "\"", nullptr);
    if (description)
        challenge = apr_pstrcat(pool, challenge, ", error_description=\"", description, "\"", nullptr);
    return challenge;
}

const char *challenge_body(apr_pool_t *pool, const char *code, const char *message, const char *parameters)
{
    return apr_psprintf(pool, "{\"code\": %s, \"message\": %s, \"authorization_parameters\": %s}",
                        json_quote(pool, code), json_quote(pool, message), parameters);
}
