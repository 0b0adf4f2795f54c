// The HTTPS exchange and JSON member access for the shell: the core's
// functions (https_client.h, json_access.h) logging to the main server.
#define KALDER_SOURCE "utils"
#include "https_json.h"

#include "https_client.h"
#include "log_sinks.h"

int https_exchange(apr_pool_t *pool, const char *url, const char *post_fields, long timeout,
                   const char *client_id, const char *client_secret, const char *bearer_token,
                   long *http_status, char **response)
{
    const HttpsRequest request{url, post_fields, timeout, client_id, client_secret, bearer_token};
    return curl_https_client().exchange(pool, request, http_status, response, server_log_sink(nullptr));
}

json_t *json_get_field(const json_t *object, const char *name)
{
    return json_get_field(object, name, server_log_sink(nullptr));
}

int json_get_string(request_rec *r, const json_t *object, const char *name, const char **out)
{
    return json_get_string(r->pool, object, name, out, server_log_sink(nullptr));
}

int json_get_integer(const json_t *object, const char *name, int64_t *out, bool allow_null)
{
    return json_get_integer(object, name, out, allow_null, server_log_sink(nullptr));
}

int json_get_boolean(const json_t *object, const char *name, bool *out)
{
    return json_get_boolean(object, name, out, server_log_sink(nullptr));
}
