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

RequestState *get_request_state(request_rec *r);
bool is_oauth_request(request_rec *r);
char *get_bearer_token(request_rec *r);
bool is_anonymous(request_rec *r);
bool is_guest(request_rec *r);
bool is_mapped(request_rec *r);
bool is_client_identity(request_rec *r);
bool is_browser_request(request_rec *r);
const char *build_scope(apr_pool_t *pool, server_rec *s, const char *suffix);

// What a sealed value is for. Each purpose seals under a key of its own
// (derived from the secret), so a value sealed for one never opens as the
// other.
enum SealPurpose { SEAL_COOKIE, SEAL_STATE };
// Seals the text (authenticated encryption, base64url); null on failure.
char *encrypt_value(request_rec *r, const char *secret, SealPurpose purpose, const char *text);
// The text sealed for this purpose under this secret, or null for any value
// that does not open (logged alike whatever the reason).
char *decrypt_value(request_rec *r, const char *secret, SealPurpose purpose, const char *sealed);
// Base64url of that many random bytes; null on failure.
char *random_base64url(apr_pool_t *pool, size_t bytes);
char *url_safe_base64_encode(apr_pool_t *pool, const unsigned char *data, size_t length);
unsigned char *url_safe_base64_decode(request_rec *r, const char *text, size_t *out_length);

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

// oidc_replies: the sealed state cookie, the login return and the browser reply
//
// The cookie holds the login's step, the tokens once logged in, and while
// the browser is away at the login page a random "login" value that the
// sealed login state carries as well. A cookie that does not open reads as
// no cookie (state OIDC_STATE_NONE, 0).
int set_oidc_state(request_rec *r, const char *key, int state, const char *auth_token,
                   const char *transfer_token, const char *login);
int get_oidc_state(request_rec *r, const char *key, int *state, const char **auth_token,
                   const char **transfer_token, const char **login);
// The login return on "/redirect" of a browser whose cookie holds this
// login value: completes only the login that this browser started.
int oidc_process_auth_flow(request_rec *r, ServerConfig *conf, const char *login);
// Returns true when it answered the request itself (the handler returns OK).
bool oidc_auth_flow_done(request_rec *r, bool download);
apr_status_t oidc_set_reply(ap_filter_t *f, apr_bucket_brigade *bb);
// Whether a browser returning from the login may skip the anonymous pass.
enum OidcSkip { OIDC_SKIP_NO, OIDC_SKIP_YES, OIDC_SKIP_ERROR };
OidcSkip oidc_skip_authz_check(request_rec *r);
// The page that reloads the data URI after login; every inserted text is
// escaped for its place in the page.
char *oidc_reload_page(apr_pool_t *pool, const char *target, const char *path);
// Whether an opened login state may be sent as "Location": a local path.
bool oidc_is_local_redirect(const char *uri);

// authz_params
const char *authz_session_message(request_rec *r);

// oauth_replies: the authorization parameters of a program's JSON reply
const char *oauth_authorization_parameters(request_rec *r);
int _set_oauth2_response(request_rec *r, apr_bucket_brigade *bb, const char *error, const char *description,
                         const char *code, const char *message, int status);

// Start-up check of every virtual host that serves a collection: refuses a
// configuration the gateway could not work with (run by post-config).
int mod_kalder_check_collections(server_rec *main_server);

// ---------------------------------------------------------------------------
// Hooks, filters and buckets registered by mod_kalder

int mod_kalder_authn_hook(request_rec *r);
authz_status mod_kalder_authz_hook(request_rec *r, const char *require_line, const void *parsed_require_line);
void mod_kalder_insert_error_filter(request_rec *r);
apr_status_t mod_kalder_reply_filter(ap_filter_t *f, apr_bucket_brigade *bb);
// Returns AP_DECLINED (not DECLINED) to leave the connection to the core.
apr_status_t mod_kalder_insert_network_bucket(conn_rec *c, apr_bucket_brigade *bb, apr_socket_t *socket);

#endif
