// The kernel's session keyring behind the Keyring interface.
#include <keyutils.h>

#include <cstring>

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

namespace {

constexpr const char *TEST_KEY_DESC = "mod-kalder-test-key";
constexpr char TEST_KEY_PAYLOAD[] = "HelloWorld";  // stored with its NUL: 11 bytes

}  // namespace

bool kernel_session_keyring_works()
{
    key_serial_t session = keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0);
    key_serial_t user_session = keyctl_get_keyring_ID(KEY_SPEC_USER_SESSION_KEYRING, 0);
    if (session == user_session)
        return false;
    key_serial_t added =
        add_key("user", TEST_KEY_DESC, TEST_KEY_PAYLOAD, sizeof TEST_KEY_PAYLOAD, KEY_SPEC_SESSION_KEYRING);
    if (added == -1)
        return false;
    key_serial_t found = request_key("user", TEST_KEY_DESC, nullptr, KEY_SPEC_SESSION_KEYRING);
    if (found == -1 || found != added)
        return false;
    char buffer[sizeof TEST_KEY_PAYLOAD];
    long n = keyctl_read(found, buffer, sizeof buffer);
    return n == static_cast<long>(sizeof TEST_KEY_PAYLOAD) &&
           std::memcmp(buffer, TEST_KEY_PAYLOAD, sizeof TEST_KEY_PAYLOAD) == 0;
}

void kernel_join_session_keyring()
{
    keyctl_join_session_keyring(nullptr);
}
