// The browser login on a request: the sealed state cookie, the login
// return, the reload page after login and the redirect to the login page.
//
// The cookie holds the login's step, the tokens once logged in, and while
// the browser is away at the login page a random "login" value that the
// sealed login state carries as well. A cookie that does not open reads as
// no cookie (state OIDC_STATE_NONE, 0).
#ifndef KALDER_HTTPD_OIDC_REPLIES_H
#define KALDER_HTTPD_OIDC_REPLIES_H

#include "httpd.h"
#include "util_filter.h"

#include "login_page.h"
#include "login_state.h"
#include "server_config.h"

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

#endif
