// Challenge replies on a request: the error filter that turns a 401 or 403
// into a bearer challenge with a JSON body (programs) or a login redirect
// (browsers).
#ifndef KALDER_HTTPD_OAUTH_REPLIES_H
#define KALDER_HTTPD_OAUTH_REPLIES_H

#include "httpd.h"
#include "util_filter.h"

// The authorization parameters of a program's JSON reply.
const char *oauth_authorization_parameters(request_rec *r);
int _set_oauth2_response(request_rec *r, apr_bucket_brigade *bb, const char *error, const char *description,
                         const char *code, const char *message, int status);

#endif
