// Entry points of mod_kalder's httpd shell; the records it shares with the
// server-free core are in src/core.
//
// Every source file of the module defines KALDER_SOURCE (its own file name
// without extension) before including this header; log lines carry it as
// their source through KALDER_MARK.
#ifndef MOD_KALDER_KALDER_H
#define MOD_KALDER_KALDER_H

#include <cstdint>

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "mod_auth.h"
#include "apr_buckets.h"
#include "apr_tables.h"

#include <jansson.h>

#include "documents.h"
#include "invariant.h"
#include "request_state.h"
#include "server_config.h"

extern "C" module AP_MODULE_DECLARE_DATA kalder_module;

#ifdef KALDER_SOURCE
APLOG_USE_MODULE(kalder);
#define KALDER_MARK KALDER_SOURCE, __LINE__, APLOG_MODULE_INDEX
#endif

// ---------------------------------------------------------------------------
// Configuration

ServerConfig *kalder_server_config(const server_rec *s);

void *mod_kalder_create_server_config(apr_pool_t *pool, server_rec *s);
void *mod_kalder_merge_server_config(apr_pool_t *pool, void *base, void *add);

// ---------------------------------------------------------------------------
// utils: HTTPS exchange, JSON access, request classification, sealed values

int https_exchange(apr_pool_t *pool, const char *url, const char *post_fields, long timeout,
                   const char *client_id, const char *client_secret, const char *bearer_token,
                   long *http_status, char **response);

json_t *json_get_field(const json_t *object, const char *name);
int json_get_string(request_rec *r, const json_t *object, const char *name, const char **out);
int json_get_integer(const json_t *object, const char *name, int64_t *out, bool allow_null);
int json_get_boolean(const json_t *object, const char *name, bool *out);

#include "request_utils.h"

// key_utils: the kernel-keyring cache shared by all server processes
void mod_kalder_set_keyutils_value(request_rec *r, const char *prefix, const char *key_source,
                                   const void *value, size_t length);
char *mod_kalder_get_keyutils_value(request_rec *r, const char *prefix, const char *key_source);
char *keyutils_key_hash(apr_pool_t *pool, const char *source);
// Makes the secret that seals cache entries (kept in the process pool
// across graceful restarts), in the parent, before the children are forked.
void keyutils_cache_secret_init(apr_pool_t *process_pool);

// auth: identity-service calls and identity sets
IntrospectDoc *auth_introspect_token(request_rec *r, const char *token);
IntrospectDoc *parse_introspect_doc(request_rec *r, const json_t *doc);
int auth_get_dependent_tokens(request_rec *r, const char *token, TokenDoc **out);
TokenDoc *parse_token_doc(request_rec *r, const json_t *doc);
TokenResponseDoc *auth_exchange_code(request_rec *r, const char *code, const char *redirect_uri);
char *auth_get_access_token(request_rec *r, const TokenResponseDoc *doc, const char *resource_server);
// A service answer fit for the log: the values of "access_token",
// "refresh_token" and "id_token" members cut to four characters and "...".
const char *auth_redact_tokens(apr_pool_t *pool, const char *text);

int auth_get_identity_count(const IdentitySet set);
bool auth_identity_set_empty(const IdentitySet set);
IdentitySet auth_identity_set_filter_domain(request_rec *r, const IdentitySet set, const char *domain);
IdentitySet auth_identity_set_filter_recent(request_rec *r, const IdentitySet set,
                                            AuthenticationRecord **authentications, int timeout_minutes,
                                            bool use_authentications, bool require_mfa);
IdentitySet auth_identity_set_union(request_rec *r, const IdentitySet accumulated, const IdentitySet added);
IdentitySet auth_identity_set_intersect(request_rec *r, const IdentitySet first, const IdentitySet second);
bool auth_identity_sets_match(const IdentitySet first, const IdentitySet second);
char *auth_identity_set_usernames(request_rec *r, const IdentitySet set);
char *auth_identity_set_subs(request_rec *r, const IdentitySet set);

// transfer: effective permissions of guest collections
enum AclPermit { ACL_PERMITTED, ACL_NOT_PERMITTED, ACL_ERROR };
int transfer_get_acls(request_rec *r, const char *token, AclDoc **out);
AclDoc *parse_acl_doc(request_rec *r, const json_t *doc);
AclPermit transfer_acls_permit(request_rec *r, const AclDoc *acls);

#include "authz_params.h"
#include "oauth_replies.h"
#include "oidc_replies.h"

// Start-up check of every virtual host that serves a collection: refuses a
// configuration the gateway could not work with (run by post-config).
int mod_kalder_check_collections(server_rec *main_server);

// ---------------------------------------------------------------------------
// Hooks, filters and buckets registered by mod_kalder

#include "access_hooks.h"
int mod_kalder_handler(request_rec *r);
apr_status_t mode_e_filter(ap_filter_t *f, apr_bucket_brigade *bb);
// Child init of the content handler: sizes the per-process key pool (its
// filler thread starts with the first request that needs a key) and stops
// it with the child pool.
void kalder_handler_child_init(apr_pool_t *pchild, server_rec *s);
// Returns AP_DECLINED (not DECLINED) to leave the connection to the core.
apr_status_t mod_kalder_insert_network_bucket(conn_rec *c, apr_bucket_brigade *bb, apr_socket_t *socket);

#endif
