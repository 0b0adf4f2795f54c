// The store under the answer cache: "user" keys in the session keyring that
// the parent prepared before forking, so every child of the server sees
// them. The module reaches it through a Keyring so that the cache can run
// against an in-memory one; the real one is the kernel's.
//
// As the kernel's calls, each returns -1 and sets errno on failure.
#ifndef KALDER_CORE_KEYRING_H
#define KALDER_CORE_KEYRING_H

#include <cstddef>
#include <cstdint>

class Keyring {
   public:
    virtual ~Keyring() = default;
    // Stores the payload under the description (replacing the payload of an
    // existing key); the key's serial.
    virtual int32_t add(const char *description, const void *payload, size_t length) = 0;
    // Grants the possessor only what the cache needs: view, read, write,
    // search, set attributes.
    virtual int restrict_permissions(int32_t key) = 0;
    // Expiry in seconds from now; 0 never expires.
    virtual int set_timeout(int32_t key, unsigned seconds) = 0;
    // The serial of the key with this description.
    virtual int32_t search(const char *description) = 0;
    // Copies up to `length` bytes of the payload; its whole length (a null
    // buffer asks for the length only).
    virtual long read(int32_t key, void *buffer, size_t length) = 0;
    virtual void unlink(int32_t key) = 0;
};

// The session keyring of the kernel (libkeyutils).
Keyring &kernel_keyring();

// Whether the process has a session keyring of its own (not the user's
// default one) that stores a key and reads it back: the parent's start-up
// check, since its children share that keyring as their cache.
bool kernel_session_keyring_works();
// Joins a fresh anonymous session keyring.
void kernel_join_session_keyring();

#endif
