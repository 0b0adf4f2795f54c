// The hooks and filters of access control registered by mod_kalder: the
// authentication hook, the kalderacl provider and the error reply filter.
#ifndef KALDER_HTTPD_ACCESS_HOOKS_H
#define KALDER_HTTPD_ACCESS_HOOKS_H

#include "httpd.h"
#include "mod_auth.h"
#include "util_filter.h"

// The AuthType under which the hooks and the filter act.
inline constexpr const char *KALDER_AUTH_TYPE = "kalder-auth";

int mod_kalder_authn_hook(request_rec *r);
authz_status mod_kalder_authz_hook(request_rec *r, const char *require_line, const void *parsed_require_line);
void mod_kalder_insert_error_filter(request_rec *r);
apr_status_t mod_kalder_reply_filter(ap_filter_t *f, apr_bucket_brigade *bb);

#endif
