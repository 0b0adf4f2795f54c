// Authenticated encryption of the values the module hands to others to keep
// (the login cookie and state, the answer cache): AES-256-GCM with a fresh
// random 96-bit nonce per value. The sealed form is the nonce, the
// ciphertext and the 128-bit tag, AEAD_OVERHEAD bytes longer than the
// plain text; the tag covers the associated data too.
#ifndef KALDER_AEAD_H
#define KALDER_AEAD_H

#include <cstddef>

constexpr size_t AEAD_KEY = 32;
constexpr size_t AEAD_NONCE = 12;
constexpr size_t AEAD_TAG = 16;
constexpr size_t AEAD_OVERHEAD = AEAD_NONCE + AEAD_TAG;

enum AeadResult {
    AEAD_OK = 0,
    AEAD_NO_RANDOM,  // no random nonce could be had
    AEAD_FAILED,     // the cipher failed, or the text is too long
    AEAD_REFUSED,    // the sealed value does not open: forged, changed, or another key
};

// Seals `length` bytes of `plain` into `out`, which has room for
// length + AEAD_OVERHEAD bytes.
AeadResult aead_seal(const unsigned char key[AEAD_KEY], const void *aad, size_t aad_length, const void *plain,
                     size_t length, unsigned char *out);

// Opens `length` sealed bytes into `plain`, which has room for
// length - AEAD_OVERHEAD bytes; nothing of the text counts unless AEAD_OK.
AeadResult aead_open(const unsigned char key[AEAD_KEY], const void *aad, size_t aad_length,
                     const unsigned char *sealed, size_t length, unsigned char *plain);

#endif
