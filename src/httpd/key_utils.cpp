// The answer cache (answer_cache.h) in the kernel keyring, for the
// request at hand: its lines go to the main server's error log.
#define KALDER_SOURCE "key_utils"
#include "key_utils.h"

#include "answer_cache.h"
#include "https_client.h"
#include "invariant.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "module.h"
#include "config.h"
#include "server_config.h"
#include "log_sinks.h"
#include "counters.h"

AnswerCache request_answer_cache(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != NULL);
    return AnswerCache{kernel_keyring(), conf->keyutils_timeout};
}

ServiceEnv request_service_env(request_rec *r)
{
    return ServiceEnv{curl_https_client(), request_answer_cache(r), server_log_sink(nullptr),
                      kalder_metrics()};
}

void keyutils_cache_secret_init(apr_pool_t *process_pool)
{
    answer_cache_secret_init(process_pool, server_log_sink(nullptr));
}

char *keyutils_key_hash(apr_pool_t *pool, const char *source)
{
    return answer_cache_key_hash(pool, source, server_log_sink(nullptr));
}

void mod_kalder_set_keyutils_value(request_rec *r, const char *prefix, const char *key_source,
                                   const void *value, size_t length)
{
    answer_cache_put(r->pool, request_answer_cache(r), prefix, key_source, value, length,
                     server_log_sink(nullptr));
}

char *mod_kalder_get_keyutils_value(request_rec *r, const char *prefix, const char *key_source)
{
    return answer_cache_get(r->pool, request_answer_cache(r), prefix, key_source, server_log_sink(nullptr));
}
