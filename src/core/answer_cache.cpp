// Sealing, naming and reading of answer-cache entries (answer_cache.h).
#define KALDER_SOURCE "key_utils"
#include "answer_cache.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "aead.h"
#include "apr_strings.h"
#include "raii.h"

namespace {

// Sealed payload: a version byte, then the sealed value (aead.h).
constexpr unsigned char SEAL_VERSION = 1;
constexpr size_t SEAL_OVERHEAD = 1 + AEAD_OVERHEAD;

// Written once: by answer_cache_secret_init in the parent before any other
// thread exists, or under the once flag by the first use.
unsigned char cache_secret[AEAD_KEY];
bool cache_secret_ok = false;  // without a secret nothing is stored or opened
std::once_flag cache_secret_once;

void make_cache_secret(const LogSink &log)
{
    cache_secret_ok = RAND_bytes(cache_secret, sizeof cache_secret) == 1;
    if (!cache_secret_ok)
        KLOG(log, KLOG_ERR, 0, "Failed to make the key utils cache secret: nothing will be cached");
}

// The secret, or null when none could be made.
const unsigned char *secret(const LogSink &log)
{
    std::call_once(cache_secret_once, [&log] { make_cache_secret(log); });
    return cache_secret_ok ? cache_secret : nullptr;
}

// The sealed form of `value`, in `pool`; nullptr on failure.
unsigned char *seal(apr_pool_t *pool, const char *description, const void *value, size_t length,
                    size_t *sealed, const LogSink &log)
{
    const unsigned char *key = secret(log);
    if (length > INT32_MAX - SEAL_OVERHEAD || !key)
        return nullptr;
    auto *out = static_cast<unsigned char *>(apr_palloc(pool, length + SEAL_OVERHEAD));
    out[0] = SEAL_VERSION;
    *sealed = length + SEAL_OVERHEAD;
    return aead_seal(key, description, std::strlen(description), value, length, out + 1) == AEAD_OK ? out
                                                                                                    : nullptr;
}

// The opened payload, NUL-terminated, in `pool`; nullptr when it does not
// open for any reason.
char *open_sealed(apr_pool_t *pool, const char *description, const unsigned char *in, size_t length,
                  const LogSink &log)
{
    const unsigned char *key = secret(log);
    if (length < SEAL_OVERHEAD || in[0] != SEAL_VERSION || !key)
        return nullptr;
    const size_t body_length = length - SEAL_OVERHEAD;
    auto *out = static_cast<char *>(apr_palloc(pool, body_length + 1));
    if (aead_open(key, description, std::strlen(description), in + 1, length - 1,
                  reinterpret_cast<unsigned char *>(out)) != AEAD_OK)
        return nullptr;
    out[body_length] = '\0';
    return out;
}

// "prefix:sha256hex(key_source)", or the prefix alone without a key source.
const char *key_description(apr_pool_t *pool, const char *prefix, const char *key_source, const LogSink &log)
{
    if (!key_source)
        return prefix;
    const char *hash = answer_cache_key_hash(pool, key_source, log);
    if (!hash)
        return nullptr;
    return apr_psprintf(pool, "%s:%s", prefix, hash);
}

// The entry vanished or expired between two calls: an ordinary miss.
bool silent_miss(int error)
{
    return error == ENOKEY || error == EKEYEXPIRED || error == EKEYREVOKED;
}

}  // namespace

void answer_cache_secret_init(apr_pool_t *process_pool, const LogSink &log)
{
    // Marks the lazy fallback of secret() done: the secret set here counts.
    std::call_once(cache_secret_once, [] {});
    void *kept = nullptr;
    apr_pool_userdata_get(&kept, "kalder_cache_secret", process_pool);
    if (!kept) {
        make_cache_secret(log);
        if (!cache_secret_ok)
            return;
        void *copy = apr_pmemdup(process_pool, cache_secret, sizeof cache_secret);
        apr_pool_userdata_set(copy, "kalder_cache_secret", apr_pool_cleanup_null, process_pool);
    } else {
        std::memcpy(cache_secret, kept, sizeof cache_secret);
        cache_secret_ok = true;
    }
}

char *answer_cache_key_hash(apr_pool_t *pool, const char *source, const LogSink &log)
{
    static constexpr char digits[] = "0123456789abcdef";
    auto *hex = static_cast<char *>(apr_palloc(pool, 2 * 32 + 1));
    if (!hex) {
        KLOG(log, KLOG_WARNING, 0, "Failed to allocate memory for key hash: %d", errno);
        return nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    kalder::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), source, std::strlen(source)) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &digest_len) != 1 || digest_len != 32)
        return nullptr;
    for (unsigned int i = 0; i < digest_len; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    hex[2 * digest_len] = '\0';
    return hex;
}

void answer_cache_put(apr_pool_t *pool, const AnswerCache &cache, const char *prefix, const char *key_source,
                      const void *value, size_t length, const LogSink &log)
{
    const char *description = key_description(pool, prefix, key_source, log);
    if (!description) {
        KLOG(log, KLOG_WARNING, 0, "Failed to store value in key utils cache");
        return;
    }
    // An existing key of this type and description gets the new payload.
    // The kernel refuses payloads over 32767 bytes and keys beyond the
    // user's quota (kernel.keys.maxkeys / maxbytes): the answer then simply
    // isn't cached.
    size_t sealed_length = 0;
    const unsigned char *sealed =
        length ? seal(pool, description, value, length, &sealed_length, log) : nullptr;
    if (length && !sealed) {
        KLOG(log, KLOG_WARNING, 0, "Failed to store value in key utils cache");
        return;
    }
    int32_t key = cache.keyring.add(description, sealed, sealed_length);
    if (key == -1) {
        KLOG(log, KLOG_WARNING, 0, "Failed to store value in key utils cache: %d", errno);
        return;
    }
    if (cache.keyring.restrict_permissions(key) == -1)
        KLOG(log, KLOG_WARNING, 0, "Failed to set permissions on key utils cache: %d", errno);
    // 0 means no expiry; a negative setting becomes a very long timeout.
    if (cache.keyring.set_timeout(key, static_cast<unsigned int>(cache.timeout)) == -1)
        KLOG(log, KLOG_WARNING, 0, "Failed to set timeout on key utils cache: %d", errno);
}

char *answer_cache_get(apr_pool_t *pool, const AnswerCache &cache, const char *prefix, const char *key_source,
                       const LogSink &log)
{
    const char *description = key_description(pool, prefix, key_source, log);
    if (!description) {
        KLOG(log, KLOG_WARNING, 0, "Failed to retrieve value from key utils cache");
        return nullptr;
    }
    int32_t key = cache.keyring.search(description);
    if (key == -1)
        return nullptr;

    long length = cache.keyring.read(key, nullptr, 0);
    if (length == -1) {
        if (!silent_miss(errno))
            KLOG(log, KLOG_WARNING, 0, "Failed to read key utils cache: %d", errno);
        return nullptr;
    }
    if (length == 0)
        return nullptr;

    auto *buffer = static_cast<unsigned char *>(apr_palloc(pool, static_cast<apr_size_t>(length)));
    if (!buffer) {
        KLOG(log, KLOG_WARNING, 0, "Failed to allocate memory for key utils cache entry: %d", errno);
        return nullptr;
    }
    // A payload replaced by a longer one in between reads back with a
    // different count: treated as a miss rather than a truncated answer.
    errno = 0;
    long count = cache.keyring.read(key, buffer, static_cast<size_t>(length));
    if (count != length) {
        if (!silent_miss(errno))
            KLOG(log, KLOG_WARNING, 0, "Failed to read key utils cache: %d", errno);
        return nullptr;
    }
    // The payload opened is NUL-terminated one byte past what was stored:
    // callers parse it as a string, also when it was stored without one.
    char *value = open_sealed(pool, description, buffer, static_cast<size_t>(count), log);
    if (!value) {
        KLOG(log, KLOG_DEBUG, 0, "Discarding a key utils cache entry that does not open: %s", description);
        cache.keyring.unlink(key);
        return nullptr;
    }
    return value;
}
