// Identity-service calls and identity sets for the request at hand
// (identity.h holds the request-free forms).
#ifndef KALDER_HTTPD_AUTH_H
#define KALDER_HTTPD_AUTH_H

#include "httpd.h"
#include "identity.h"

IntrospectDoc *auth_introspect_token(request_rec *r, const char *token);
IntrospectDoc *parse_introspect_doc(request_rec *r, const json_t *doc);
// 0 with the document, 1 when the caller's token expired, 2 on failure.
int auth_get_dependent_tokens(request_rec *r, const char *token, TokenDoc **out);
TokenDoc *parse_token_doc(request_rec *r, const json_t *doc);
TokenResponseDoc *auth_exchange_code(request_rec *r, const char *code, const char *redirect_uri);
char *auth_get_access_token(request_rec *r, const TokenResponseDoc *doc, const char *resource_server);

IdentitySet auth_identity_set_filter_domain(request_rec *r, const IdentitySet set, const char *domain);
// Recent as of now.
IdentitySet auth_identity_set_filter_recent(request_rec *r, const IdentitySet set,
                                            AuthenticationRecord **authentications, int timeout_minutes,
                                            bool use_authentications, bool require_mfa);
IdentitySet auth_identity_set_union(request_rec *r, const IdentitySet accumulated, const IdentitySet added);
IdentitySet auth_identity_set_intersect(request_rec *r, const IdentitySet first, const IdentitySet second);
bool auth_identity_sets_match(const IdentitySet first, const IdentitySet second);
char *auth_identity_set_usernames(request_rec *r, const IdentitySet set);
char *auth_identity_set_subs(request_rec *r, const IdentitySet set);

#endif
