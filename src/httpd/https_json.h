// The HTTPS exchange over the default client and JSON member access, with
// their lines in the main server's error log.
#ifndef KALDER_HTTPD_HTTPS_JSON_H
#define KALDER_HTTPD_HTTPS_JSON_H

#include <cstdint>

#include "httpd.h"
#include "json_access.h"

int https_exchange(apr_pool_t *pool, const char *url, const char *post_fields, long timeout,
                   const char *client_id, const char *client_secret, const char *bearer_token,
                   long *http_status, char **response);

json_t *json_get_field(const json_t *object, const char *name);
int json_get_string(request_rec *r, const json_t *object, const char *name, const char **out);
int json_get_integer(const json_t *object, const char *name, int64_t *out, bool allow_null);
int json_get_boolean(const json_t *object, const char *name, bool *out);

#endif
