// The answer cache in the kernel keyring. Entries are "user" keys in the
// session keyring that the parent prepared before forking, so every child
// of the server sees them; the kernel expires them after keyutils_timeout.
// Descriptions hold only a SHA-256 digest of the key source (a bearer
// token), never the token itself.
//
// Every process started under the server possesses that keyring (CGI
// programs and whatever they start included), so payloads are sealed:
// AES-256-GCM under a secret the parent makes at each start, in memory
// only, which its children inherit by fork and exec'd programs never see;
// the key description is the associated data, so an entry cannot be moved
// to another description either. An entry that does not open (forged,
// tampered, or sealed by an earlier start) is a miss: it is unlinked, the
// answer is fetched again and stored anew. The keys grant only what the
// cache needs, to possessors only.
#define KALDER_SOURCE "key_utils"
#include "kalder.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include <keyutils.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "apr_strings.h"
#include "http_main.h"
#include "aead.h"
#include "raii.h"

namespace {

// Sealed payload: a version byte, then the sealed value (aead.h).
constexpr unsigned char SEAL_VERSION = 1;
constexpr size_t SEAL_OVERHEAD = 1 + AEAD_OVERHEAD;
constexpr key_perm_t CACHE_KEY_PERMS =
    KEY_POS_VIEW | KEY_POS_READ | KEY_POS_WRITE | KEY_POS_SEARCH | KEY_POS_SETATTR;

unsigned char cache_secret[AEAD_KEY];
bool cache_secret_ok = false;  // without a secret nothing is stored or opened
std::once_flag cache_secret_once;

void make_cache_secret()
{
    cache_secret_ok = RAND_bytes(cache_secret, sizeof cache_secret) == 1;
    if (!cache_secret_ok)
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Failed to make the key utils cache secret: nothing will be cached");
}

const unsigned char *secret()
{
    std::call_once(cache_secret_once, make_cache_secret);
    return cache_secret;
}

// The sealed form of `value`, in `pool`; nullptr on failure.
unsigned char *seal(apr_pool_t *pool, const char *description, const void *value, size_t length,
                    size_t *sealed)
{
    if (length > INT32_MAX - SEAL_OVERHEAD || !secret() || !cache_secret_ok)
        return nullptr;
    auto *out = static_cast<unsigned char *>(apr_palloc(pool, length + SEAL_OVERHEAD));
    out[0] = SEAL_VERSION;
    *sealed = length + SEAL_OVERHEAD;
    return aead_seal(secret(), description, std::strlen(description), value, length, out + 1) == AEAD_OK
               ? out
               : nullptr;
}

// The opened payload, NUL-terminated, in `pool`; nullptr when it does not
// open for any reason.
char *open_sealed(apr_pool_t *pool, const char *description, const unsigned char *in, size_t length)
{
    if (length < SEAL_OVERHEAD || in[0] != SEAL_VERSION || !secret() || !cache_secret_ok)
        return nullptr;
    const size_t body_length = length - SEAL_OVERHEAD;
    auto *out = static_cast<char *>(apr_palloc(pool, body_length + 1));
    if (aead_open(secret(), description, std::strlen(description), in + 1, length - 1,
                  reinterpret_cast<unsigned char *>(out)) != AEAD_OK)
        return nullptr;
    out[body_length] = '\0';
    return out;
}

}  // namespace

void keyutils_cache_secret_init(apr_pool_t *process_pool)
{
    // Once per server start, kept in the process pool: a graceful restart
    // reloads the module but keeps the secret, so the cache survives it.
    // Marks the lazy fallback of secret() done: the secret set here counts.
    std::call_once(cache_secret_once, [] {});
    void *kept = nullptr;
    apr_pool_userdata_get(&kept, "kalder_cache_secret", process_pool);
    if (!kept) {
        make_cache_secret();
        if (!cache_secret_ok)
            return;
        void *copy = apr_pmemdup(process_pool, cache_secret, sizeof cache_secret);
        apr_pool_userdata_set(copy, "kalder_cache_secret", apr_pool_cleanup_null, process_pool);
    } else {
        std::memcpy(cache_secret, kept, sizeof cache_secret);
        cache_secret_ok = true;
    }
}

char *keyutils_key_hash(apr_pool_t *pool, const char *source)
{
    static constexpr char digits[] = "0123456789abcdef";
    auto *hex = static_cast<char *>(apr_palloc(pool, 2 * 32 + 1));
    if (!hex) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to allocate memory for key hash: %d", errno);
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

// "prefix:sha256hex(key_source)", or the prefix alone without a key source.
static const char *_key_description(apr_pool_t *pool, const char *prefix, const char *key_source)
{
    if (!key_source)
        return prefix;
    const char *hash = keyutils_key_hash(pool, key_source);
    if (!hash)
        return nullptr;
    return apr_psprintf(pool, "%s:%s", prefix, hash);
}

void mod_kalder_set_keyutils_value(request_rec *r, const char *prefix, const char *key_source,
                                   const void *value, size_t length)
{
    ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != NULL);

    const char *description = _key_description(r->pool, prefix, key_source);
    if (!description) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to store value in key utils cache");
        return;
    }
    // An existing key of this type and description gets the new payload.
    // The kernel refuses payloads over 32767 bytes and keys beyond the
    // user's quota (kernel.keys.maxkeys / maxbytes): the answer then simply
    // isn't cached.
    size_t sealed_length = 0;
    const unsigned char *sealed =
        length ? seal(r->pool, description, value, length, &sealed_length) : nullptr;
    if (length && !sealed) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to store value in key utils cache");
        return;
    }
    key_serial_t key = add_key("user", description, sealed, sealed_length, KEY_SPEC_SESSION_KEYRING);
    if (key == -1) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to store value in key utils cache: %d", errno);
        return;
    }
    if (keyctl_setperm(key, CACHE_KEY_PERMS) == -1)
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to set permissions on key utils cache: %d", errno);
    // 0 means no expiry; a negative setting becomes a very long timeout.
    if (keyctl_set_timeout(key, static_cast<unsigned int>(conf->keyutils_timeout)) == -1)
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to set timeout on key utils cache: %d", errno);
}

// The entry vanished or expired between two calls: an ordinary miss.
static bool _silent_miss(int error)
{
    return error == ENOKEY || error == EKEYEXPIRED || error == EKEYREVOKED;
}

char *mod_kalder_get_keyutils_value(request_rec *r, const char *prefix, const char *key_source)
{
    const char *description = _key_description(r->pool, prefix, key_source);
    if (!description) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to retrieve value from key utils cache");
        return nullptr;
    }
    // A search, not request_key(): that would link the key again, which needs
    // a permission the entries do not grant.
    key_serial_t key = keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description, 0);
    if (key == -1)
        return nullptr;

    long length = keyctl_read(key, nullptr, 0);
    if (length == -1) {
        if (!_silent_miss(errno))
            ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to read key utils cache: %d",
                         errno);
        return nullptr;
    }
    if (length == 0)
        return nullptr;

    auto *buffer = static_cast<unsigned char *>(apr_palloc(r->pool, static_cast<apr_size_t>(length)));
    if (!buffer) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to allocate memory for key utils cache entry: %d", errno);
        return nullptr;
    }
    // A payload replaced by a longer one in between reads back with a
    // different count: treated as a miss rather than a truncated answer.
    errno = 0;
    long count = keyctl_read(key, reinterpret_cast<char *>(buffer), static_cast<size_t>(length));
    if (count != length) {
        if (!_silent_miss(errno))
            ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to read key utils cache: %d",
                         errno);
        return nullptr;
    }
    // The payload opened is NUL-terminated one byte past what was stored:
    // callers parse it as a string, also when it was stored without one.
    char *value = open_sealed(r->pool, description, buffer, static_cast<size_t>(count));
    if (!value) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Discarding a key utils cache entry that does not open: %s", description);
        keyctl_unlink(key, KEY_SPEC_SESSION_KEYRING);
        return nullptr;
    }
    return value;
}
