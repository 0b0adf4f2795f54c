// The sentence that tells a refused caller which identity would let it in.
#ifndef KALDER_HTTPD_AUTHZ_PARAMS_H
#define KALDER_HTTPD_AUTHZ_PARAMS_H

#include "httpd.h"

const char *authz_session_message(request_rec *r);
// The session message of the request's refusal reply: the consent request
// for a missing scope, else authz_session_message.
const char *reply_session_message(request_rec *r);

#endif
