// Sealed values and base64url (see sealed.h).
//
// A sealed value is AES-256-GCM: a random 96-bit nonce, the ciphertext of
// the text (without its NUL) and the 128-bit tag, written one after the
// other as unpadded base64url. Each purpose has a key of its own,
// HKDF-SHA256 (RFC 5869) of the secret with no salt and the purpose's label
// as info:
//
//     cookie key = HKDF-SHA256(secret, "mod_kalder OIDC cookie"), 32 bytes
//     state key  = HKDF-SHA256(secret, "mod_kalder OIDC state"), 32 bytes
//
// so a login state never opens as a cookie nor a cookie as a state. The tag
// covers every byte: a value opens only as it was sealed, and a value that
// does not open (not base64url, not canonical, too short, another key or
// purpose, any changed bit) fails with one and the same log line.
#define KALDER_SOURCE "utils"
#include "sealed.h"

#include "kalder_digits.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sys/random.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include "aead.h"
#include "invariant.h"
#include "raii.h"

namespace {

constexpr char BASE64URL_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr size_t SEAL_KEY = AEAD_KEY;

// Value of a base64url character, or -1.
int base64url_value(unsigned char c)
{
    return base64_digit_value(static_cast<char>(c), '-', '_');
}

enum class Base64Result { DECODED, BAD_LENGTH, BAD_CHARACTER, NOT_CANONICAL };

// Decodes unpadded base64url into a pool buffer with a NUL after the last
// byte. With canonical set, a final group whose surplus low bits are not
// zero is refused, so that every accepted text stands for other bytes.
Base64Result decode(apr_pool_t *pool, const char *text, bool canonical, unsigned char **out,
                    size_t *out_length)
{
    size_t n = std::strlen(text);
    if (n % 4 == 1)
        return Base64Result::BAD_LENGTH;
    size_t decoded_length = 3 * (n / 4) + (n % 4 == 2 ? 1 : 0) + (n % 4 == 3 ? 2 : 0);
    auto *bytes = static_cast<unsigned char *>(apr_pcalloc(pool, decoded_length + 1));
    size_t o = 0;
    for (size_t i = 0; i < n; i += 4) {
        size_t group_chars = n - i < 4 ? n - i : 4;
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            int v = 0;
            if (k < group_chars) {
                v = base64url_value(static_cast<unsigned char>(text[i + k]));
                if (v < 0)
                    return Base64Result::BAD_CHARACTER;
            }
            group = (group << 6) | static_cast<uint32_t>(v);
        }
        // A final group of 2 or 3 characters yields 1 or 2 bytes.
        size_t count = group_chars - 1;
        if (canonical && count < 3 && (group & (0xffffffu >> (8 * count))) != 0)
            return Base64Result::NOT_CANONICAL;
        for (size_t k = 0; k < count; ++k)
            bytes[o++] = static_cast<unsigned char>((group >> (16 - 8 * k)) & 0xff);
    }
    KALDER_ASSERT(o == decoded_length);
    *out = bytes;
    *out_length = decoded_length;
    return Base64Result::DECODED;
}

const char *seal_label(SealPurpose purpose)
{
    return purpose == SEAL_STATE ? "mod_kalder OIDC state" : "mod_kalder OIDC cookie";
}

bool seal_key(const char *secret, SealPurpose purpose, unsigned char key[SEAL_KEY])
{
    kalder::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
    const char *label = seal_label(purpose);
    size_t length = SEAL_KEY;
    bool ok = ctx && EVP_PKEY_derive_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()) == 1 &&
              EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), reinterpret_cast<const unsigned char *>(secret),
                                         static_cast<int>(std::strlen(secret))) == 1 &&
              EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), reinterpret_cast<const unsigned char *>(label),
                                          static_cast<int>(std::strlen(label))) == 1 &&
              EVP_PKEY_derive(ctx.get(), key, &length) == 1 && length == SEAL_KEY;
    if (!ok)
        ERR_clear_error();
    return ok;
}

bool fill_random(unsigned char *buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(buffer + done, length - done, 0);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

char *url_safe_base64_encode(apr_pool_t *pool, const unsigned char *data, size_t length)
{
    size_t encoded_length = (length / 3) * 4 + (length % 3 == 0 ? 0 : length % 3 + 1);
    auto *out = static_cast<char *>(apr_pcalloc(pool, encoded_length + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
        out[o++] = BASE64URL_ALPHABET[(group >> 18) & 63];
        out[o++] = BASE64URL_ALPHABET[(group >> 12) & 63];
        out[o++] = BASE64URL_ALPHABET[(group >> 6) & 63];
        out[o++] = BASE64URL_ALPHABET[group & 63];
    }
    if (length - i == 1) {
        uint32_t group = uint32_t{data[i]} << 16;
        out[o++] = BASE64URL_ALPHABET[(group >> 18) & 63];
        out[o++] = BASE64URL_ALPHABET[(group >> 12) & 63];
    } else if (length - i == 2) {
        uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8);
        out[o++] = BASE64URL_ALPHABET[(group >> 18) & 63];
        out[o++] = BASE64URL_ALPHABET[(group >> 12) & 63];
        out[o++] = BASE64URL_ALPHABET[(group >> 6) & 63];
    }
    KALDER_ASSERT(o == encoded_length);
    return out;
}

unsigned char *base64url_decode(apr_pool_t *pool, const LogSink &log, const char *text, size_t *out_length)
{
    unsigned char *out = nullptr;
    // The surplus low bits of a final group of 2 or 3 characters are ignored.
    switch (decode(pool, text, false, &out, out_length)) {
        case Base64Result::DECODED:
            return out;
        case Base64Result::BAD_LENGTH:
            KLOG(log, KLOG_ERR, 0, "URL-safe base64 input has an invalid length.");
            KLOG(log, KLOG_ERR, 0, "Failed to decode URL-safe base64 value, invalid input length.");
            return nullptr;
        default:
            KLOG(log, KLOG_ERR, 0,
                 "Can not decode URL-safe base64 value because it contains an invalid character");
            return nullptr;
    }
}

char *random_base64url(apr_pool_t *pool, size_t bytes)
{
    auto *buffer = static_cast<unsigned char *>(apr_palloc(pool, bytes));
    if (!buffer || !fill_random(buffer, bytes))
        return nullptr;
    return url_safe_base64_encode(pool, buffer, bytes);
}

char *seal_value(apr_pool_t *pool, const LogSink &log, const char *secret, SealPurpose purpose,
                 const char *text)
{
    KALDER_ASSERT(secret != nullptr);
    KALDER_ASSERT(text != nullptr);
    auto fail = [&log](const char *what) -> char * {
        KLOG(log, KLOG_ERR, 0, "%s", what);
        KLOG(log, KLOG_ERR, 0, "Failed to encrypt a string value.");
        return nullptr;
    };
    size_t text_length = std::strlen(text);
    if (text_length > static_cast<size_t>(INT_MAX) - AEAD_OVERHEAD)
        return fail("Failed while trying to encrypt the value.");
    unsigned char key[SEAL_KEY];
    if (!seal_key(secret, purpose, key))
        return fail("Unable to derive the sealing key");
    size_t total = text_length + AEAD_OVERHEAD;
    auto *sealed = static_cast<unsigned char *>(apr_palloc(pool, total));
    switch (aead_seal(key, nullptr, 0, text, text_length, sealed)) {
        case AEAD_OK:
            break;
        case AEAD_NO_RANDOM:
            return fail("Unable to get random data while encrypting text");
        default:
            return fail("Failed while trying to encrypt the value.");
    }

    char *text_out = url_safe_base64_encode(pool, sealed, total);
    if (!text_out) {
        KLOG(log, KLOG_ERR, 0, "Failed to URL-safe base64 encode an encrypted string value.");
        return nullptr;
    }
    return text_out;
}

char *open_sealed_value(apr_pool_t *pool, const LogSink &log, const char *secret, SealPurpose purpose,
                        const char *sealed)
{
    KALDER_ASSERT(secret != nullptr);
    KALDER_ASSERT(sealed != nullptr);
    // Whatever keeps a value from opening is answered alike.
    auto refuse = [&log]() -> char * {
        ERR_clear_error();
        KLOG(log, KLOG_ERR, 0, "Failed to decrypt a URL-safe base64 encrypted string value.");
        return nullptr;
    };
    // A failure of this server rather than of the value.
    auto fail = [&log](const char *what) -> char * {
        ERR_clear_error();
        KLOG(log, KLOG_ERR, 0, "%s", what);
        KLOG(log, KLOG_ERR, 0, "Failed to decrypt a URL-safe base64 encrypted string value.");
        return nullptr;
    };
    unsigned char *bytes = nullptr;
    size_t length = 0;
    if (decode(pool, sealed, true, &bytes, &length) != Base64Result::DECODED)
        return refuse();
    if (length < AEAD_OVERHEAD || length > static_cast<size_t>(INT_MAX))
        return refuse();
    size_t text_length = length - AEAD_OVERHEAD;
    unsigned char key[SEAL_KEY];
    if (!seal_key(secret, purpose, key))
        return fail("Unable to derive the sealing key");
    auto *plain = static_cast<unsigned char *>(apr_pcalloc(pool, text_length + 1));
    switch (aead_open(key, nullptr, 0, bytes, length, plain)) {
        case AEAD_OK:
            break;
        case AEAD_REFUSED:
            return refuse();
        default:
            return fail("Unable to initialize the cipher context for decryption");
    }
    // Sealed texts hold no NUL; one here would cut the text short.
    if (std::memchr(plain, '\0', text_length))
        return refuse();
    return reinterpret_cast<char *>(plain);
}
