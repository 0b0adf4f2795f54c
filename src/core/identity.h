// The identity service's answers and the identity sets built from them.
// Everything lives in the pool it is given; lines go to the log sink.
#ifndef KALDER_CORE_IDENTITY_H
#define KALDER_CORE_IDENTITY_H

#include <cstdint>

#include "apr_pools.h"
#include "documents.h"
#include "json_access.h"
#include "log_sink.h"

// --- answers ---------------------------------------------------------------

// Each returns the document, or null (with the reason logged) when the JSON
// does not have the answer's shape.
IntrospectDoc *parse_introspect_doc(apr_pool_t *pool, const json_t *doc, const LogSink &log);
TokenDoc *parse_token_doc(apr_pool_t *pool, const json_t *doc, const LogSink &log);
// The code exchange's answer.
TokenResponseDoc *parse_token_response(apr_pool_t *pool, const json_t *doc, const LogSink &log);

// A copy of the access token for this resource server: the top-level one
// if it is for that server, else the first of the other tokens; null when
// there is none.
char *auth_get_access_token(apr_pool_t *pool, const TokenResponseDoc *doc, const char *resource_server,
                            const LogSink &log);

// A service answer made fit for the error log: the value of every
// "access_token", "refresh_token" and "id_token" member is cut to its first
// four characters and "...". Works on any text, JSON or not, so a malformed
// answer is redacted as well as a well-formed one. Null for null.
const char *auth_redact_tokens(apr_pool_t *pool, const char *text);

// --- identity sets -----------------------------------------------------------

int auth_get_identity_count(const IdentitySet set);
bool auth_identity_set_empty(const IdentitySet set);
// The identities whose username's text after the last '@' is the domain,
// compared without regard to case.
IdentitySet auth_identity_set_filter_domain(apr_pool_t *pool, const IdentitySet set, const char *domain,
                                            const LogSink &log);
// The identities authenticated at most timeout_minutes before `now` (a
// time_t): by the identity's last authentication, or with
// use_authentications by the session's first record for its sub, which
// with require_mfa must also list the method "mfa".
IdentitySet auth_identity_set_filter_recent(apr_pool_t *pool, const IdentitySet set,
                                            AuthenticationRecord **authentications, int timeout_minutes,
                                            bool use_authentications, bool require_mfa, int64_t now,
                                            const LogSink &log);
// Every sub once, the first occurrence kept, accumulated before added.
IdentitySet auth_identity_set_union(apr_pool_t *pool, const IdentitySet accumulated, const IdentitySet added,
                                    const LogSink &log);
// The identities of the first set whose sub the second has, in order.
IdentitySet auth_identity_set_intersect(apr_pool_t *pool, const IdentitySet first, const IdentitySet second,
                                        const LogSink &log);
// Whether both hold the same subs, in any order (empty and null alike).
bool auth_identity_sets_match(const IdentitySet first, const IdentitySet second, const LogSink &log);
// The usernames (subs) joined by ","; "" for an empty set.
char *auth_identity_set_usernames(apr_pool_t *pool, const IdentitySet set, const LogSink &log);
char *auth_identity_set_subs(apr_pool_t *pool, const IdentitySet set, const LogSink &log);

#endif
