// Identity-service calls (introspection, dependent tokens, code exchange)
// and identity sets for the request at hand; the documents and sets are
// built by the core (identity.h), with their lines in the main server's log.
#define KALDER_SOURCE "auth"
#include "auth.h"

#include <ctime>

#include "identity_calls.h"

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "documents.h"
#include "invariant.h"
#include "module.h"
#include "server_config.h"
#include "key_utils.h"
#include "log_sinks.h"

// ---------------------------------------------------------------------------
// Identity-service calls

namespace {

IdentityService identity_service(const ServerConfig *conf)
{
    return IdentityService{conf->auth_api_endpoint, conf->client_id, conf->client_secret,
                           conf->connect_timeout};
}

}  // namespace

IntrospectDoc *auth_introspect_token(request_rec *r, const char *token)
{
    ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != NULL);
    return identity_introspect(r->pool, request_service_env(r), identity_service(conf), token,
                               server_log_sink(nullptr));
}

int auth_get_dependent_tokens(request_rec *r, const char *token, TokenDoc **out)
{
    ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != NULL);
    return identity_dependent_tokens(r->pool, request_service_env(r), identity_service(conf), token, out,
                                     server_log_sink(nullptr));
}

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
    return identity_exchange_code(r->pool, request_service_env(r), identity_service(conf), code, redirect_uri,
                                  server_log_sink(nullptr));
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
