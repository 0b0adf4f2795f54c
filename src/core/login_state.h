// The browser login's values: the text of the sealed login cookie, the
// sealed login state sent along to the login page, and the checks the login
// return makes of them.
//
// The cookie holds the login's step, the tokens once logged in, and while
// the browser is away at the login page a random "login" value that the
// sealed login state carries as well. A cookie that does not open reads as
// no cookie (state OIDC_STATE_NONE, 0).
#ifndef KALDER_CORE_LOGIN_STATE_H
#define KALDER_CORE_LOGIN_STATE_H

#include <cstddef>

#include "apr_pools.h"
#include "log_sink.h"

// Length in random bytes of the login value shared by the login state and
// the REDIRECT cookie.
constexpr size_t LOGIN_VALUE_BYTES = 16;

// The browser flow cannot seal or open anything without the virtual host's
// secret; says which directive is missing for the named server.
void log_missing_state_key(const LogSink &log, const char *server_name);

// The sealed cookie value of this step (an OidcState) with the tokens and
// the login value that are not null; null on failure (logged). `key` is the
// virtual host's secret, null when none is configured.
char *oidc_cookie_seal(apr_pool_t *pool, const LogSink &log, const char *key, const char *server_name,
                       int state, const char *auth_token, const char *transfer_token, const char *login);
// Reads a cookie value (null for no cookie) into the outputs that are not
// null, each set to null when absent, state to OIDC_STATE_NONE unless
// read. Returns 0 for a usable value, for none and for one that does not
// open; 1 for a value that opens but is not a login cookie, or without a key.
int oidc_cookie_open(apr_pool_t *pool, const LogSink &log, const char *key, const char *server_name,
                     const char *sealed, int *state, const char **auth_token, const char **transfer_token,
                     const char **login);

// The sealed login state: the login value, a blank and the URI to return
// to (as the client sent it, any bytes but NUL).
char *seal_login_state(apr_pool_t *pool, const LogSink &log, const char *key, const char *uri,
                       const char *login);
// Opens a login state; false when it does not open or is not one.
bool open_login_state(apr_pool_t *pool, const LogSink &log, const char *key, const char *sealed,
                      const char **uri, const char **login);
// Whether the cookie's and the state's login values are one, compared in
// constant time; an absent or empty value matches nothing.
bool same_login(const char *cookie_login, const char *state_login);
// Whether an opened login state may be sent as "Location": a local path.
bool oidc_is_local_redirect(const char *uri);

#endif
