// Classification of a request from its header values and the virtual
// host's configuration: program or browser, the bearer token, the kind of
// collection, client identities, and the scope URLs a token must hold.
#ifndef KALDER_CORE_CLASSIFY_H
#define KALDER_CORE_CLASSIFY_H

#include "apr_pools.h"
#include "log_sink.h"
#include "server_config.h"

// The text after "Bearer " (any case) and its white space in an
// Authorization value, or null when the value (null for no header) is no
// bearer credential or holds no token.
const char *bearer_token_start(const char *authorization);
// The token itself: from its start to the first blank or the end.
char *bearer_token_copy(apr_pool_t *pool, const LogSink &log, const char *start);
// Whether the headers say a program rather than a browser session sent the
// request: a bearer token, or X-Requested-With "XMLHttpRequest".
bool is_program_request(const char *authorization, const char *requested_with);
// Whether a User-Agent value (null for none) is a browser's.
bool is_browser_agent(const char *agent);
// Whether the user name is an application acting for itself.
bool is_client_username(const char *user);

bool is_guest_collection(const ServerConfig *conf);
bool is_mapped_collection(const ServerConfig *conf);
// Whether a token must hold the data_access scope besides the https one:
// mapped collections that are not high assurance.
bool requires_data_access_scope(const ServerConfig *conf);

// The URL of the collection's scope with this suffix ("https",
// "data_access"), or null (logged, naming the server) when the virtual host
// has no client id.
const char *scope_url(apr_pool_t *pool, const LogSink &log, const ServerConfig *conf, const char *server_name,
                      const char *suffix);

#endif
