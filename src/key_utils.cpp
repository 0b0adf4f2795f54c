// The answer cache in the kernel keyring. Entries are "user" keys in the
// session keyring that the parent prepared before forking, so every child
// of the server sees them; the kernel expires them after keyutils_timeout.
// Descriptions hold only a SHA-256 digest of the key source (a bearer
// token), never the token itself.
#define KALDER_SOURCE "key_utils"
#include "kalder.h"

#include <cerrno>
#include <cstring>

#include <keyutils.h>
#include <openssl/evp.h>

#include "apr_strings.h"
#include "http_main.h"
#include "raii.h"

char *keyutils_key_hash(apr_pool_t *pool, const char *source)
{
    static constexpr char digits[] = "0123456789abcdef";
    auto *hex = static_cast<char *>(apr_palloc(pool, 2 * 32 + 1));
    if (!hex) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to allocate memory for key hash: %d",
                     errno);
        return nullptr;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    kalder::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1
        || EVP_DigestUpdate(ctx.get(), source, std::strlen(source)) != 1
        || EVP_DigestFinal_ex(ctx.get(), digest, &digest_len) != 1 || digest_len != 32)
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
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to store value in key utils cache");
        return;
    }
    // An existing key of this type and description gets the new payload.
    // The kernel refuses payloads over 32767 bytes and keys beyond the
    // user's quota (kernel.keys.maxkeys / maxbytes): the answer then simply
    // isn't cached.
    key_serial_t key = add_key("user", description, value, length, KEY_SPEC_SESSION_KEYRING);
    if (key == -1) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to store value in key utils cache: %d",
                     errno);
        return;
    }
    // 0 means no expiry; a negative setting becomes a very long timeout.
    if (keyctl_set_timeout(key, static_cast<unsigned int>(conf->keyutils_timeout)) == -1)
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to set timeout on key utils cache: %d",
                     errno);
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
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to retrieve value from key utils cache");
        return nullptr;
    }
    key_serial_t key = request_key("user", description, nullptr, KEY_SPEC_SESSION_KEYRING);
    if (key == -1)
        return nullptr;

    long length = keyctl_read(key, nullptr, 0);
    if (length == -1) {
        if (!_silent_miss(errno))
            ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to read key utils cache: %d", errno);
        return nullptr;
    }
    if (length == 0)
        return nullptr;

    // One byte more than stored, always NUL: callers parse the payload as a
    // string, and a payload stored without its terminator must not make
    // them read past the buffer.
    auto *buffer = static_cast<char *>(apr_palloc(r->pool, static_cast<apr_size_t>(length) + 1));
    if (!buffer) {
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Failed to allocate memory for key utils cache entry: %d", errno);
        return nullptr;
    }
    // A payload replaced by a longer one in between reads back with a
    // different count: treated as a miss rather than a truncated answer.
    errno = 0;
    long count = keyctl_read(key, buffer, static_cast<size_t>(length));
    buffer[length] = '\0';
    if (count != length) {
        if (!_silent_miss(errno))
            ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf, "Failed to read key utils cache: %d", errno);
        return nullptr;
    }
    return buffer;
}
