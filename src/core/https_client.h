// One HTTPS request to the identity or transfer service and its answer.
// The module talks to the services through an HttpsClient so that its
// logic can be run against a scripted one; the real client is libcurl's.
#ifndef KALDER_CORE_HTTPS_CLIENT_H
#define KALDER_CORE_HTTPS_CLIENT_H

#include "apr_pools.h"
#include "log_sink.h"

struct HttpsRequest {
    const char *url;
    const char *post_fields;  // a form body (POST), or null (GET)
    long timeout;             // seconds for the whole exchange
    // Client credentials (Basic authentication) win over a bearer token.
    const char *client_id;
    const char *client_secret;
    const char *bearer_token;
};

class HttpsClient {
   public:
    virtual ~HttpsClient() = default;
    // 0 with the answer's status and body (in the pool, NUL-terminated;
    // null for an empty body), or 1 when no answer came; the outputs are
    // written only on success. Any status is an answer.
    virtual int exchange(apr_pool_t *pool, const HttpsRequest &request, long *http_status, char **body,
                         const LogSink &log) = 0;
};

// The client over libcurl: HTTPS only, also on redirects (at most five),
// the system's trusted certificate authorities, answers up to 1 MiB.
HttpsClient &curl_https_client();

// The HTTPS library's process-wide set-up and tear-down, once per process
// before any request and after the last.
void https_global_init();
void https_global_cleanup();

#endif
