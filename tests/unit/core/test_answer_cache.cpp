// The answer cache over an in-memory keyring: entry names, sealing, and
// what another possessor of the keyring can and cannot do with entries.
#include <gtest/gtest.h>

#include <string>

#include "answer_cache.h"
#include "core_fakes.h"
#include "log_capture.h"

namespace {

// sha256("abc")
const char *const abc_digest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class AnswerCacheTest : public ::testing::Test {
   protected:
    std::string get(const char *prefix, const char *source)
    {
        char *v = answer_cache_get(pool, cache, prefix, source, log.sink());
        return v ? std::string(v) : std::string("<miss>");
    }
    void set(const char *prefix, const char *source, const std::string &value)
    {
        answer_cache_put(pool, cache, prefix, source, value.c_str(), value.size() + 1, log.sink());
    }
    std::string description(const char *prefix, const char *source)
    {
        return std::string(prefix) + ":" + answer_cache_key_hash(pool, source, log.sink());
    }

    Pool pool;
    LogCapture log;
    FakeKeyring keyring;
    AnswerCache cache{keyring, 60};
};

TEST_F(AnswerCacheTest, DescriptionIsThePrefixAndTheTokensDigest)
{
    EXPECT_STREQ(answer_cache_key_hash(pool, "abc", log.sink()), abc_digest);
    set("kalder:token", "abc", "{\"a\":1}");
    const std::string named = std::string("kalder:token:") + abc_digest;
    ASSERT_NE(keyring.find(named), nullptr) << "no key described as " << named;
    EXPECT_EQ(keyring.find(named)->timeout, 60u);
    EXPECT_TRUE(keyring.find(named)->restricted);
    EXPECT_EQ(get("kalder:token", "abc"), "{\"a\":1}");
    EXPECT_EQ(get("kalder:introspect", "abc"), "<miss>") << "prefixes keep entries apart";
    EXPECT_EQ(get("kalder:token", "abd"), "<miss>");

    // Without a key source the prefix alone is the description.
    set("kalder:transfer:acls:c1:anonymous", nullptr, "anon");
    EXPECT_NE(keyring.find("kalder:transfer:acls:c1:anonymous"), nullptr);
    EXPECT_EQ(get("kalder:transfer:acls:c1:anonymous", nullptr), "anon");
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(AnswerCacheTest, ReadBackHasExactlyTheStoredBytesAndEmptyIsAMiss)
{
    std::string binary("a\0b", 3);
    answer_cache_put(pool, cache, "kalder:token", "t", binary.data(), binary.size(), log.sink());
    char *v = answer_cache_get(pool, cache, "kalder:token", "t", log.sink());
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(v, 3), binary);
    EXPECT_EQ(v[3], '\0') << "a payload stored without its NUL still reads back terminated";

    answer_cache_put(pool, cache, "kalder:token", "empty", "", 0, log.sink());
    EXPECT_EQ(get("kalder:token", "empty"), "<miss>");
}

TEST_F(AnswerCacheTest, RefusedStoresAndUnreadableKeysAreWarnings)
{
    keyring.refuse = EDQUOT;
    set("kalder:token", "full", "x");
    EXPECT_TRUE(log.has(KLOG_WARNING, "Failed to store value in key utils cache: " + std::to_string(EDQUOT)))
        << log.dump();
    keyring.refuse = 0;
    log.clear();
    EXPECT_EQ(get("kalder:token", "never-stored"), "<miss>");
    EXPECT_TRUE(log.lines().empty()) << "a plain miss is silent: " << log.dump();
    for (const auto &line : log.lines()) EXPECT_EQ(line.source, "key_utils");
}

// Other processes possess the same keyring: what they can read of an entry
// tells nothing, and what they write there is never used -- a forged or
// tampered payload, or a real one moved to another description, is a miss,
// and is unlinked so that the next store replaces it.
TEST_F(AnswerCacheTest, ForeignEntriesAreMissesAndPayloadsRevealNothing)
{
    const std::string answer = "{\"active\": true, \"sub\": \"secret-subject-of-tok\"}";
    set("kalder:introspect", "tok", answer);
    FakeKeyring::Key *ours = keyring.find(description("kalder:introspect", "tok"));
    ASSERT_NE(ours, nullptr);
    EXPECT_EQ(ours->payload.find("secret-subject"), std::string::npos) << "the payload is sealed";
    const std::string sealed = ours->payload;

    // A real payload under another description does not open there.
    keyring.add(description("kalder:introspect", "other").c_str(), sealed.data(), sealed.size());
    EXPECT_EQ(get("kalder:introspect", "other"), "<miss>");
    EXPECT_TRUE(
        log.has(KLOG_DEBUG, "Discarding a key utils cache entry that does not open: kalder:introspect:"))
        << log.dump();

    // Tampered in place: one bit of the ciphertext.
    std::string tampered = sealed;
    tampered[20] ^= 1;
    ours->payload = tampered;
    EXPECT_EQ(get("kalder:introspect", "tok"), "<miss>");
    EXPECT_EQ(keyring.find(description("kalder:introspect", "tok")), nullptr)
        << "the entry that did not open is gone";

    // A forged plain answer for an invented token, then the real one stored.
    const std::string forged = "{\"active\": true, \"sub\": \"anyone\"}";
    keyring.add(description("kalder:introspect", "invented").c_str(), forged.c_str(), forged.size() + 1);
    EXPECT_EQ(get("kalder:introspect", "invented"), "<miss>");
    set("kalder:introspect", "invented", "{\"active\": false}");
    EXPECT_EQ(get("kalder:introspect", "invented"), "{\"active\": false}");
    for (const auto &line : log.lines()) EXPECT_EQ(line.level, KLOG_DEBUG) << line.text;
}

}  // namespace
