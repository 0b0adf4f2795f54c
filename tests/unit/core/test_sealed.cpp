// Sealed values and their base64url.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "sealed.h"

namespace {

constexpr char BASE64URL[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct Sealed : ::testing::Test {
    apr_pool_t *pool = nullptr;
    LogCapture log;
    void SetUp() override { apr_pool_create(&pool, nullptr); }
    void TearDown() override { apr_pool_destroy(pool); }

    const char *seal(const char *secret, SealPurpose purpose, const char *text)
    {
        return seal_value(pool, log.sink(), secret, purpose, text);
    }
    const char *open(const char *secret, SealPurpose purpose, const std::string &sealed)
    {
        return open_sealed_value(pool, log.sink(), secret, purpose, sealed.c_str());
    }

    // What a client can make of one sealed value: every bit of its bytes
    // flipped, the low bit of every character flipped (in the last one,
    // a bit the bytes do not use), every shorter prefix, characters added.
    std::vector<std::string> tampered(const std::string &sealed)
    {
        std::vector<std::string> out;
        size_t n = 0;
        unsigned char *bytes = base64url_decode(pool, log.sink(), sealed.c_str(), &n);
        for (size_t i = 0; i < n; ++i)
            for (int bit = 0; bit < 8; ++bit) {
                bytes[i] ^= static_cast<unsigned char>(1 << bit);
                out.push_back(url_safe_base64_encode(pool, bytes, n));
                bytes[i] ^= static_cast<unsigned char>(1 << bit);
            }
        for (size_t i = 0; i < sealed.size(); ++i) {
            std::string changed = sealed;
            changed[i] = BASE64URL[(std::strchr(BASE64URL, sealed[i]) - BASE64URL) ^ 1];
            out.push_back(changed);
        }
        for (size_t length = 0; length < sealed.size(); ++length) out.push_back(sealed.substr(0, length));
        for (const char *extra : {"A", "AA", "AAAA", "=", "=="}) out.push_back(sealed + extra);
        return out;
    }
};

TEST_F(Sealed, RoundTripWithFreshNonceAndExpectedLengths)
{
    const char *a = seal("secret", SEAL_COOKIE, "/data/file.txt?x=1");
    const char *b = seal("secret", SEAL_COOKIE, "/data/file.txt?x=1");
    ASSERT_TRUE(a && b);
    EXPECT_STRNE(a, b);
    EXPECT_STREQ(open("secret", SEAL_COOKIE, a), "/data/file.txt?x=1");
    EXPECT_STREQ(open("secret", SEAL_COOKIE, b), "/data/file.txt?x=1");
    EXPECT_EQ(std::strspn(a, BASE64URL), std::strlen(a));

    // A 12-byte nonce and a 16-byte tag around the text: 38 characters for
    // an empty text, then 4 for every 3 bytes.
    for (size_t len : {0, 1, 2, 3, 1000}) {
        std::string text(len, 'x');
        for (SealPurpose purpose : {SEAL_COOKIE, SEAL_STATE}) {
            const char *sealed = seal("", purpose, text.c_str());
            ASSERT_NE(sealed, nullptr);
            EXPECT_EQ(std::strlen(sealed), (4 * (28 + len) + 2) / 3) << len;
            EXPECT_EQ(open("", purpose, sealed), text);
        }
    }
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

// Values sealed by an independent implementation of the format (AES-256-GCM
// under HKDF-SHA256 of the secret, labelled per purpose): changing the
// derivation or the layout would log every browser out.
TEST_F(Sealed, OpensValuesOfTheDocumentedFormat)
{
    EXPECT_STREQ(open("vhost secret", SEAL_COOKIE,
                      "AAECAwQFBgcICQoLnfrMfjI2VrdO0QixdfEaqMcgOvl1CD0NK-Sw4aZt4WozU6l113rOpVDTo9quqYGH9cI"),
                 "{\"state\": \"COMPLETE\", \"auth\": \"T\"}");
    EXPECT_STREQ(open("vhost secret", SEAL_STATE, "DA0ODxAREhMUFRYXPV355icDbxkfPdDKsByWODIUcLXb5cLDaHeNRE4"),
                 "/data.txt?x=1");
}

// Nothing but a value as it was sealed opens, for its own purpose and
// secret; every other value is refused with the same single log line.
TEST_F(Sealed, NothingElseOpensAndEveryRefusalIsAlike)
{
    const std::string cookie = seal("k", SEAL_COOKIE, "{\"state\": \"COMPLETE\", \"auth\": \"T\"}");
    const std::string state = seal("k", SEAL_STATE, "/data/file.txt?x=1");
    struct Case {
        const char *what;
        SealPurpose purpose;
        std::vector<std::string> values;
    } cases[] = {
        {"tampered cookie", SEAL_COOKIE, tampered(cookie)},
        {"tampered state", SEAL_STATE, tampered(state)},
        {"state as cookie", SEAL_COOKIE, {state}},
        {"cookie as state", SEAL_STATE, {cookie}},
        {"cookie under another key", SEAL_COOKIE, {seal("other key", SEAL_COOKIE, "{}")}},
        {"state under another key", SEAL_STATE, {seal("other key", SEAL_STATE, "/")}},
        // Lengths of the earlier format (AES-CBC, one and two blocks more
        // than the discarded first one), and texts that are not base64url.
        {"not sealed",
         SEAL_COOKIE,
         {"", "AAAA", std::string(43, 'A'), std::string(64, 'A'), "%%%", "+/+/",
          "-_-_==", "\xc3\xa9\xc3\xa9"}},
    };
    log.clear();
    size_t count = 0;
    for (const auto &c : cases) {
        for (size_t i = 0; i < c.values.size(); ++i) {
            const char *opened = open("k", c.purpose, c.values[i]);
            const auto &lines = log.lines();
            bool alike = lines.size() == 1 && lines[0].level == KLOG_ERR && lines[0].source == "utils" &&
                         lines[0].text == "Failed to decrypt a URL-safe base64 encrypted string value.";
            EXPECT_TRUE(opened == nullptr && alike) << c.what << " #" << i << " \"" << c.values[i]
                                                    << "\": " << (opened ? opened : "(refused)") << "\n"
                                                    << log.dump();
            log.clear();
            ++count;
        }
    }
    EXPECT_GT(count, 1000u);
    EXPECT_STREQ(open("k", SEAL_COOKIE, cookie), "{\"state\": \"COMPLETE\", \"auth\": \"T\"}");
    EXPECT_STREQ(open("k", SEAL_STATE, state), "/data/file.txt?x=1");
}

TEST_F(Sealed, Base64UrlMatchesKnownVectorsAndNamesWhatItRefuses)
{
    const unsigned char bytes[] = {0xfb, 0xff, 0xbf, 0x00, 0x10};
    EXPECT_STREQ(url_safe_base64_encode(pool, bytes, 3), "-_-_");
    EXPECT_STREQ(url_safe_base64_encode(pool, bytes, 4), "-_-_AA");
    EXPECT_STREQ(url_safe_base64_encode(pool, bytes, 5), "-_-_ABA");
    size_t n = 0;
    // The surplus low bits of "ABB" (not canonical) are ignored here.
    for (const char *text : {"-_-_ABA", "-_-_ABB"}) {
        unsigned char *decoded = base64url_decode(pool, log.sink(), text, &n);
        ASSERT_NE(decoded, nullptr) << text;
        ASSERT_EQ(n, 5u);
        EXPECT_EQ(std::memcmp(decoded, bytes, 5), 0);
        EXPECT_EQ(decoded[5], 0);
    }
    EXPECT_EQ(base64url_decode(pool, log.sink(), "AAAAA", &n), nullptr);
    EXPECT_TRUE(log.has(KLOG_ERR, "Failed to decode URL-safe base64 value, invalid input length."))
        << log.dump();
    EXPECT_EQ(base64url_decode(pool, log.sink(), "AA+A", &n), nullptr);
    EXPECT_TRUE(log.has(KLOG_ERR, "contains an invalid character")) << log.dump();

    const char *login = random_base64url(pool, 16);
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(std::strlen(login), 22u);
    EXPECT_STRNE(login, random_base64url(pool, 16));
}

}  // namespace
