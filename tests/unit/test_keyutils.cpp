// The answer cache in the kernel keyring: what the kernel does with the
// entries (replacement, expiry, timeouts, the payload limit, permissions).
// Each test joins a fresh anonymous session keyring, so entries of other
// tests and of the host are out of sight.
#include <gtest/gtest.h>

#include <keyutils.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "testing.h"
#include "key_utils.h"

using namespace kalder::test;

namespace {

int count_prefixed(int level, const std::string &prefix)
{
    int n = 0;
    for (const auto &line : log_lines()) n += line.level == level && line.message.rfind(prefix, 0) == 0;
    return n;
}

// The timeout column of /proc/keys for a key ("perm" when none), or "".
std::string proc_keys_timeout(key_serial_t key)
{
    char id[16];
    std::snprintf(id, sizeof id, "%08x", static_cast<unsigned>(key));
    std::ifstream keys("/proc/keys");
    std::string line;
    while (std::getline(keys, line))
        if (line.rfind(id, 0) == 0) {
            std::string serial, flags, usage, timeout;
            std::istringstream(line) >> serial >> flags >> usage >> timeout;
            return timeout;
        }
    return "";
}

class KeyringCache : public ::testing::Test {
   protected:
    void SetUp() override
    {
        if (keyctl_join_session_keyring(nullptr) == -1)
            GTEST_SKIP() << "no kernel keyring here: " << std::strerror(errno);
        clear_log();
    }
    std::string get(const char *prefix, const char *source)
    {
        char *v = mod_kalder_get_keyutils_value(request, prefix, source);
        return v ? std::string(v) : std::string("<miss>");
    }
    void set(const char *prefix, const char *source, const std::string &value)
    {
        mod_kalder_set_keyutils_value(request, prefix, source, value.c_str(), value.size() + 1);
    }

    TestServer server;
    TestRequest request{server};
};

TEST_F(KeyringCache, SecondStoreReplacesThePayloadAndRestartsTheTimeout)
{
    server.config()->keyutils_timeout = 2;
    set("kalder:token", "tok", "first");
    const std::string description = std::string("kalder:token:") + keyutils_key_hash(request->pool, "tok");
    key_serial_t first = keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description.c_str(), 0);
    server.config()->keyutils_timeout = 3600;
    set("kalder:token", "tok", "second, longer payload");
    EXPECT_EQ(get("kalder:token", "tok"), "second, longer payload");
    key_serial_t second = keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description.c_str(), 0);
    EXPECT_EQ(first, second) << "one entry, updated in place";
    std::string timeout = proc_keys_timeout(second);
    EXPECT_TRUE(timeout == "59m" || timeout == "60m" || timeout == "1h") << "timeout column: " << timeout;
}

TEST_F(KeyringCache, ExpiredEntryIsASilentMiss)
{
    server.config()->keyutils_timeout = 1;
    set("kalder:introspect", "short-lived", "{\"active\":false}");
    EXPECT_EQ(get("kalder:introspect", "short-lived"), "{\"active\":false}");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string seen;
    while ((seen = get("kalder:introspect", "short-lived")) != "<miss>" &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(seen, "<miss>") << "entry did not expire within 5 s";
    EXPECT_TRUE(log_lines().empty()) << dump_log();
}

TEST_F(KeyringCache, ZeroTimeoutNeverExpiresNegativeIsVeryLong)
{
    server.config()->keyutils_timeout = 0;
    set("kalder:token", "forever", "x");
    std::string description = std::string("kalder:token:") + keyutils_key_hash(request->pool, "forever");
    key_serial_t key = keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description.c_str(), 0);
    EXPECT_EQ(proc_keys_timeout(key), "perm");

    server.config()->keyutils_timeout = -1;
    set("kalder:token", "long", "x");
    description = std::string("kalder:token:") + keyutils_key_hash(request->pool, "long");
    key = keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description.c_str(), 0);
    std::string timeout = proc_keys_timeout(key);
    EXPECT_NE(timeout, "perm");
    EXPECT_EQ(timeout.back(), 'w') << "about 136 years, shown in weeks: " << timeout;
    EXPECT_TRUE(log_lines().empty()) << dump_log();
}

TEST_F(KeyringCache, PayloadAboveTheKernelLimitIsNotCachedAndWarns)
{
    // Sealing adds 29 bytes (version, nonce, tag) to the kernel's 32767.
    std::string fits(32737, 'a');  // 32738 bytes with the NUL
    set("kalder:token", "fits", fits);
    EXPECT_EQ(get("kalder:token", "fits"), fits);
    EXPECT_EQ(count_prefixed(APLOG_WARNING, "Failed to store value in key utils cache: "), 0) << dump_log();

    std::string big(32738, 'b');  // 32739 bytes with the NUL
    set("kalder:token", "big", big);
    EXPECT_EQ(get("kalder:token", "big"), "<miss>");
    EXPECT_EQ(count_prefixed(APLOG_WARNING, "Failed to store value in key utils cache: "), 1) << dump_log();
    for (const auto &line : log_lines()) EXPECT_EQ(line.source, "key_utils");
}

// Other processes possess the same keyring (what they can do with entries
// is tested with the core's cache): the kernel's keys grant possessors only
// what the cache needs, others nothing.
TEST_F(KeyringCache, EntriesGrantPossessorsOnlyWhatTheCacheNeeds)
{
    set("kalder:introspect", "tok", "{\"active\": false}");
    const std::string description =
        std::string("kalder:introspect:") + keyutils_key_hash(request->pool, "tok");
    key_serial_t key = keyctl_search(KEY_SPEC_SESSION_KEYRING, "user", description.c_str(), 0);
    ASSERT_NE(key, -1) << "no key described as " << description;
    char *info = nullptr;
    ASSERT_GT(keyctl_describe_alloc(key, &info), 0);
    EXPECT_NE(std::string(info).find(";2f000000;"), std::string::npos) << info << ": possessor view, read, "
                                                                       << "write, search, setattr only";
    free(info);
    EXPECT_EQ(get("kalder:introspect", "tok"), "{\"active\": false}");
    EXPECT_TRUE(log_lines().empty()) << dump_log();
}

}  // namespace
