// The identity service's calls: token introspection and dependent tokens
// (both cached under the caller's token) and the authorization code
// exchange (never cached).
#ifndef KALDER_CORE_IDENTITY_CALLS_H
#define KALDER_CORE_IDENTITY_CALLS_H

#include "documents.h"
#include "service_call.h"

// The identity service and the module's client registration there.
struct IdentityService {
    const char *endpoint;  // base URL
    const char *client_id;
    const char *client_secret;
    long timeout;  // seconds
};

// The token's introspection (active or not); null on failure.
IntrospectDoc *identity_introspect(apr_pool_t *pool, const ServiceEnv &env, const IdentityService &service,
                                   const char *token, const LogSink &log);
// The tokens the caller's token stands for at other resource servers.
ServiceResult identity_dependent_tokens(apr_pool_t *pool, const ServiceEnv &env,
                                        const IdentityService &service, const char *token, TokenDoc **out,
                                        const LogSink &log);
// The tokens a login's authorization code is worth; null on failure.
TokenResponseDoc *identity_exchange_code(apr_pool_t *pool, const ServiceEnv &env,
                                         const IdentityService &service, const char *code,
                                         const char *redirect_uri, const LogSink &log);

#endif
