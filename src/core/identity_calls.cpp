// The identity service's calls (identity_calls.h) over the shared call
// sequence (service_call.h).
#define KALDER_SOURCE "auth"
#include "identity_calls.h"

#include "apr_strings.h"
#include "escape.h"
#include "identity.h"

namespace {

const char *const INTROSPECT_PREFIX = "kalder:introspect";
const char *const TOKEN_PREFIX = "kalder:token";

HttpsRequest form_post(const IdentityService &service, const char *url, const char *post_data)
{
    return HttpsRequest{url, post_data, service.timeout, service.client_id, service.client_secret, nullptr};
}

}  // namespace

IntrospectDoc *identity_introspect(apr_pool_t *pool, const ServiceEnv &env, const IdentityService &service,
                                   const char *token, const LogSink &log)
{
    const char *url = apr_psprintf(pool, "%s/oauth2/token/introspect", service.endpoint);
    if (!url) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate introspect URI");
        return nullptr;
    }
    const char *escaped = form_escape(pool, token);
    if (!escaped) {
        KLOG(log, KLOG_ERR, 0, "Failed to URI escape the access token");
        return nullptr;
    }
    const char *post_data = apr_psprintf(pool, "token=%s&include=session_info,identity_set_detail", escaped);
    if (!post_data) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate introspect post data");
        return nullptr;
    }
    const ServiceCall call{
        KALDER_SOURCE,
        form_post(service, url, post_data),
        INTROSPECT_PREFIX,
        token,
        [](apr_pool_t *p, const json_t *doc, const LogSink &l, const LogSink &) -> void * {
            return parse_introspect_doc(p, doc, l);
        },
        0,
        nullptr,
        auth_redact_tokens,
        {
            "Using cached introspect result: %s",
            "Unable to deserialize saved introspect doc string: %s",
            KLOG_DEBUG,
            "Failed to fetch the token introspection: %d",
            nullptr,
            "Failed to fetch the token introspection. http_status=%ld%s%s",
            "Failed to fetch the token introspection, response was empty",
            "Failed to fetch the token introspection, could not deserialize response: %s",
            "Unexpected introspect response: %s",
            "Using introspect result: %s",
        },
        METRIC_CALL_INTROSPECT,
    };
    void *doc = nullptr;
    return service_call(pool, env, call, &doc, log) == SERVICE_OK ? static_cast<IntrospectDoc *>(doc)
                                                                  : nullptr;
}

ServiceResult identity_dependent_tokens(apr_pool_t *pool, const ServiceEnv &env,
                                        const IdentityService &service, const char *token, TokenDoc **out,
                                        const LogSink &log)
{
    const char *url = apr_psprintf(pool, "%s/oauth2/token", service.endpoint);
    if (!url) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate token URI");
        return SERVICE_FAILED;
    }
    const char *escaped = form_escape(pool, token);
    if (!escaped) {
        KLOG(log, KLOG_ERR, 0, "Failed to URI escape the access_token");
        return SERVICE_FAILED;
    }
    const char *post_data = apr_psprintf(pool,
                                         "grant_type=urn:kalder:auth:grant_type:dependent_token&token=%s"
                                         "&scope=urn:kalder:auth:scope:" TRANSFER_RESOURCE_SERVER ":all",
                                         escaped);
    if (!post_data) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate token post_data");
        return SERVICE_FAILED;
    }
    const ServiceCall call{
        KALDER_SOURCE,
        form_post(service, url, post_data),
        TOKEN_PREFIX,
        token,
        [](apr_pool_t *p, const json_t *doc, const LogSink &l, const LogSink &) -> void * {
            return parse_token_doc(p, doc, l);
        },
        // Only this exact answer means the caller's token expired or was revoked.
        400,
        "{\"error\":\"invalid_grant\"}",
        auth_redact_tokens,
        {
            nullptr,
            "Unable to deserialize the saved token doc string: %s",
            KLOG_WARNING,
            "Failed to fetch dependent tokens: %d",
            "Failed to fetch dependent tokens, token has expired",
            "Failed to fetch dependent tokens. http_status=%ld%s%s",
            "Failed to fetch dependent_tokens, response was empty",
            "Failed to fetch dependent tokens, could not deserialize response: %s",
            "Unexpected token response: %s",
            nullptr,
        },
        METRIC_CALL_DEPENDENT_TOKENS,
    };
    void *doc = nullptr;
    ServiceResult result = service_call(pool, env, call, &doc, log);
    if (result == SERVICE_OK)
        *out = static_cast<TokenDoc *>(doc);
    return result;
}

TokenResponseDoc *identity_exchange_code(apr_pool_t *pool, const ServiceEnv &env,
                                         const IdentityService &service, const char *code,
                                         const char *redirect_uri, const LogSink &log)
{
    const char *url = apr_psprintf(pool, "%s/oauth2/token", service.endpoint);
    if (!url) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate the token URI");
        return nullptr;
    }
    const char *escaped_code = form_escape(pool, code);
    if (!escaped_code) {
        KLOG(log, KLOG_ERR, 0, "Failed to URI escape the access token");
        return nullptr;
    }
    const char *escaped_uri = form_escape(pool, redirect_uri);
    if (!escaped_uri) {
        KLOG(log, KLOG_ERR, 0, "Failed to URI escape the redirect uri");
        return nullptr;
    }
    const char *post_data = apr_psprintf(pool, "code=%s&redirect_uri=%s&grant_type=authorization_code",
                                         escaped_code, escaped_uri);
    if (!post_data) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate the token post data");
        return nullptr;
    }
    const ServiceCall call{
        KALDER_SOURCE,
        form_post(service, url, post_data),
        nullptr,
        nullptr,
        [](apr_pool_t *p, const json_t *doc, const LogSink &l, const LogSink &) -> void * {
            return parse_token_response(p, doc, l);
        },
        0,
        nullptr,
        auth_redact_tokens,
        {
            nullptr,
            nullptr,
            KLOG_DEBUG,
            "Authorization code exchange failed: %d",
            nullptr,
            "Authorization code exchange failed: http_status=%ld%s%s",
            "Authorization code exchange failed, response was empty",
            "Authorization code exchange failed, could not deserialize response: %s",
            "Unexpected token response: %s",
            nullptr,
        },
        METRIC_CALL_CODE_EXCHANGE,
    };
    void *doc = nullptr;
    return service_call(pool, env, call, &doc, log) == SERVICE_OK ? static_cast<TokenResponseDoc *>(doc)
                                                                  : nullptr;
}
