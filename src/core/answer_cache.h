// The answer cache: service answers kept in a Keyring (keyring.h), shared by
// all server processes, expired by the keyring after a timeout.
// Descriptions hold only a SHA-256 digest of the key source (a bearer
// token), never the token itself.
//
// Every process started under the server possesses that keyring (CGI
// programs and whatever they start included), so payloads are sealed
// (aead.h) under a secret the parent makes at each start, in memory only,
// which its children inherit by fork and exec'd programs never see; the key
// description is the associated data, so an entry cannot be moved to
// another description either. An entry that does not open (forged,
// tampered, or sealed by an earlier start) is a miss: it is unlinked, the
// answer is fetched again and stored anew.
#ifndef KALDER_CORE_ANSWER_CACHE_H
#define KALDER_CORE_ANSWER_CACHE_H

#include <cstddef>
#include <cstdint>

#include "apr_pools.h"
#include "keyring.h"
#include "log_sink.h"

// Where and for how long answers are kept.
struct AnswerCache {
    Keyring &keyring;
    int32_t timeout;  // seconds; 0 never expires, a negative one is very long
};

// Lower-case hexadecimal SHA-256 of the text; null on failure.
char *answer_cache_key_hash(apr_pool_t *pool, const char *source, const LogSink &log);

// Stores the value under "prefix:sha256hex(key_source)", or the prefix
// alone without a key source. An answer the keyring refuses (too large,
// over the quota) is simply not cached; that is logged as a warning.
void answer_cache_put(apr_pool_t *pool, const AnswerCache &cache, const char *prefix, const char *key_source,
                      const void *value, size_t length, const LogSink &log);

// The stored value, NUL-terminated one byte past what was stored, or null
// for a miss.
char *answer_cache_get(apr_pool_t *pool, const AnswerCache &cache, const char *prefix, const char *key_source,
                       const LogSink &log);

// Makes the sealing secret, once per server start, in the parent before the
// children are forked; kept in the process pool so that a graceful restart
// (which reloads the module) keeps it and the cache survives. Without this
// call the first use makes one. Without a secret nothing is sealed or
// opened.
void answer_cache_secret_init(apr_pool_t *process_pool, const LogSink &log);

#endif
