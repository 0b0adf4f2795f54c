// The kernel's session keyring behind the Keyring interface.
#include <keyutils.h>

#include "keyring.h"

namespace {

constexpr key_perm_t CACHE_KEY_PERMS =
    KEY_POS_VIEW | KEY_POS_READ | KEY_POS_WRITE | KEY_POS_SEARCH | KEY_POS_SETATTR;

class KernelKeyring final : public Keyring {
   public:
    int32_t add(const char *description, const void *payload, size_t length) override
    {
        return add_key("user", description, payload, length, KEY_SPEC_SESSION_KEYRING);
    }
    int restrict_permissions(int32_t key) override { return keyctl_setperm(key, CACHE_KEY_PERMS); }
    int set_timeout(int32_t key, unsigned seconds) override
    {
        return static_cast<int>(keyctl_set_timeout(key, seconds));
    }
    // A search, not request_key(): that would link the key again, which
    // needs a permission the entries do not grant.
    int32_t search(const char *description) override
    {
        return static_cast<int32_t>(keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description, 0));
    }
    long read(int32_t key, void *buffer, size_t length) override
    {
        return keyctl_read(key, static_cast<char *>(buffer), length);
    }
    void unlink(int32_t key) override { keyctl_unlink(key, KEY_SPEC_SESSION_KEYRING); }
};

}  // namespace

Keyring &kernel_keyring()
{
    static KernelKeyring keyring;
    return keyring;
}
