// The request's state record, its classification and the sealed values, on
// a request of the web server.
#ifndef KALDER_HTTPD_REQUEST_UTILS_H
#define KALDER_HTTPD_REQUEST_UTILS_H

#include <cstddef>

#include "httpd.h"
#include "request_state.h"
#include "sealed.h"

RequestState *get_request_state(request_rec *r);
bool is_oauth_request(request_rec *r);
char *get_bearer_token(request_rec *r);
bool is_anonymous(request_rec *r);
bool is_guest(request_rec *r);
bool is_mapped(request_rec *r);
bool is_client_identity(request_rec *r);
bool is_browser_request(request_rec *r);
const char *build_scope(apr_pool_t *pool, server_rec *s, const char *suffix);

// Seals the text (authenticated encryption, base64url); null on failure.
char *encrypt_value(request_rec *r, const char *secret, SealPurpose purpose, const char *text);
// The text sealed for this purpose under this secret, or null for any value
// that does not open (logged alike whatever the reason).
char *decrypt_value(request_rec *r, const char *secret, SealPurpose purpose, const char *sealed);
unsigned char *url_safe_base64_decode(request_rec *r, const char *text, size_t *out_length);

#endif
