// AES-256-GCM sealing (see aead.h).
#include "aead.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>

#include "raii.h"

namespace {

constexpr size_t MAX_TEXT = static_cast<size_t>(INT_MAX) - AEAD_OVERHEAD;

}  // namespace

AeadResult aead_seal(const unsigned char key[AEAD_KEY], const void *aad, size_t aad_length, const void *plain,
                     size_t length, unsigned char *out)
{
    if (length > MAX_TEXT || aad_length > static_cast<size_t>(INT_MAX))
        return AEAD_FAILED;
    unsigned char *nonce = out, *cipher = out + AEAD_NONCE, *tag = cipher + length;
    if (RAND_bytes(nonce, AEAD_NONCE) != 1) {
        ERR_clear_error();
        return AEAD_NO_RANDOM;
    }
    kalder::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    // GCM's default nonce length is 96 bits, the length stored here.
    bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) == 1 &&
        (aad_length == 0 || EVP_EncryptUpdate(ctx.get(), nullptr, &n, static_cast<const unsigned char *>(aad),
                                              static_cast<int>(aad_length)) == 1) &&
        (length == 0 || (EVP_EncryptUpdate(ctx.get(), cipher, &n, static_cast<const unsigned char *>(plain),
                                           static_cast<int>(length)) == 1 &&
                         static_cast<size_t>(n) == length)) &&
        EVP_EncryptFinal_ex(ctx.get(), cipher + length, &n) == 1 && n == 0 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(AEAD_TAG), tag) == 1;
    if (!ok)
        ERR_clear_error();
    return ok ? AEAD_OK : AEAD_FAILED;
}

AeadResult aead_open(const unsigned char key[AEAD_KEY], const void *aad, size_t aad_length,
                     const unsigned char *sealed, size_t length, unsigned char *plain)
{
    if (length < AEAD_OVERHEAD || length - AEAD_OVERHEAD > MAX_TEXT ||
        aad_length > static_cast<size_t>(INT_MAX))
        return AEAD_REFUSED;
    const size_t text_length = length - AEAD_OVERHEAD;
    const unsigned char *nonce = sealed, *cipher = sealed + AEAD_NONCE, *tag = cipher + text_length;
    kalder::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(AEAD_TAG),
                            const_cast<unsigned char *>(tag)) != 1) {
        ERR_clear_error();
        return AEAD_FAILED;
    }
    int n = 0;
    bool ok =
        (aad_length == 0 || EVP_DecryptUpdate(ctx.get(), nullptr, &n, static_cast<const unsigned char *>(aad),
                                              static_cast<int>(aad_length)) == 1) &&
        (text_length == 0 ||
         (EVP_DecryptUpdate(ctx.get(), plain, &n, cipher, static_cast<int>(text_length)) == 1 &&
          static_cast<size_t>(n) == text_length)) &&
        // The tag check: nothing of the text counts unless it passes.
        EVP_DecryptFinal_ex(ctx.get(), plain + text_length, &n) == 1;
    if (!ok) {
        ERR_clear_error();
        OPENSSL_cleanse(plain, text_length);
    }
    return ok ? AEAD_OK : AEAD_REFUSED;
}
