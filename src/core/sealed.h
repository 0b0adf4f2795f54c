// Sealed values: texts the gateway hands to browsers to keep (the login
// cookie and the login state) and reads back only as it sealed them, and
// the unpadded base64url they are written in.
#ifndef KALDER_CORE_SEALED_H
#define KALDER_CORE_SEALED_H

#include <cstddef>

#include "apr_pools.h"
#include "log_sink.h"

// What a sealed value is for. Each purpose seals under a key of its own
// (derived from the secret), so a value sealed for one never opens as the
// other.
enum SealPurpose { SEAL_COOKIE, SEAL_STATE };

// Seals the text (authenticated encryption, base64url); null on failure.
char *seal_value(apr_pool_t *pool, const LogSink &log, const char *secret, SealPurpose purpose,
                 const char *text);
// The text sealed for this purpose under this secret, or null for any value
// that does not open (logged alike whatever the reason).
char *open_sealed_value(apr_pool_t *pool, const LogSink &log, const char *secret, SealPurpose purpose,
                        const char *sealed);

// Unpadded base64url of the bytes.
char *url_safe_base64_encode(apr_pool_t *pool, const unsigned char *data, size_t length);
// The bytes of unpadded base64url text, followed by a NUL; null (logged)
// for text of an impossible length or with a character outside the
// alphabet. The surplus low bits of a final group are ignored.
unsigned char *base64url_decode(apr_pool_t *pool, const LogSink &log, const char *text, size_t *out_length);
// Base64url of that many random bytes; null on failure.
char *random_base64url(apr_pool_t *pool, size_t bytes);

#endif
