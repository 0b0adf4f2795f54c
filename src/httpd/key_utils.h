// The answer cache in the kernel keyring, shared by all server processes,
// for the request at hand (answer_cache.h).
#ifndef KALDER_HTTPD_KEY_UTILS_H
#define KALDER_HTTPD_KEY_UTILS_H

#include <cstddef>

#include "httpd.h"
#include "answer_cache.h"
#include "service_call.h"

// The kernel keyring with the timeout of the request's server.
AnswerCache request_answer_cache(request_rec *r);
// The services' client and that cache for a call made for the request; the
// cache's and the client's lines go to the main server's log.
ServiceEnv request_service_env(request_rec *r);

void mod_kalder_set_keyutils_value(request_rec *r, const char *prefix, const char *key_source,
                                   const void *value, size_t length);
char *mod_kalder_get_keyutils_value(request_rec *r, const char *prefix, const char *key_source);
char *keyutils_key_hash(apr_pool_t *pool, const char *source);
// Makes the secret that seals cache entries (kept in the process pool
// across graceful restarts), in the parent, before the children are forked.
void keyutils_cache_secret_init(apr_pool_t *process_pool);

#endif
