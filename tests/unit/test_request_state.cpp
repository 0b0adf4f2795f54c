// Request classification, the bearer token, scope URLs and sealed values.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "apr_strings.h"
#include "shim_authn.h"
#include "testing.h"

using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

struct Classify : ::testing::Test {
    TestServer srv;
};

TEST_F(Classify, BearerSchemeIsCaseInsensitiveAndTokenEndsAtFirstBlank)
{
    TestRequest r(srv);
    r.header("Authorization", "bearer \t first second");
    EXPECT_TRUE(is_oauth_request(r));
    EXPECT_STREQ(get_bearer_token(r), "first");

    TestRequest tab(srv);
    tab.header("Authorization", "Bearer a\tb");  // only a blank ends the token
    EXPECT_STREQ(get_bearer_token(tab), "a\tb");
}

TEST_F(Classify, BlankBearerHeaderCarriesNoToken)
{
    TestRequest r(srv);
    r.header("Authorization", "Bearer  \r\n ");
    EXPECT_FALSE(is_oauth_request(r));
    EXPECT_EQ(get_bearer_token(r), nullptr);
    r.header("X-Requested-With", "XMLHttpRequest");
    EXPECT_TRUE(is_oauth_request(r));
    EXPECT_EQ(get_bearer_token(r), nullptr);

    TestRequest no_blank(srv);
    no_blank.header("Authorization", "Bearertoken");
    EXPECT_FALSE(is_oauth_request(no_blank));
}

TEST_F(Classify, BasicHeaderWithLowerCaseRequestedWithIsProgramWithoutToken)
{
    TestRequest r(srv);
    r.header("Authorization", "Basic dXNlcjpwdw==");
    r.header("X-Requested-With", "xmlhttprequest");
    EXPECT_TRUE(is_oauth_request(r));
    EXPECT_EQ(get_bearer_token(r), nullptr);
}

TEST_F(Classify, BrowserByUserAgent)
{
    struct Case {
        const char *agent;
        bool browser;
    } cases[] = {
        {nullptr, false},
        {"", false},
        {"Mozilla/5.0 (X11) Chrome/120.0 Safari/537.36", true},
        {"Firefox/115.0", true},
        {"Mozilla/5.0 curl/8.0", false},
        {"Wget/1.21 Mozilla/5.0", false},
        {"Mozilla/5.0 (compatible; " GENOME_BROWSER_AGENT ")", false},
        {"python-requests/2.31", false},
        {"mozilla/5.0", false},  // case-sensitive markers
    };
    for (const auto &c : cases) {
        TestRequest r(srv);
        if (c.agent)
            r.header("User-Agent", c.agent);
        EXPECT_EQ(is_browser_request(r), c.browser) << (c.agent ? c.agent : "(none)");
    }
}

TEST_F(Classify, CollectionKindAndClientIdentity)
{
    TestRequest r(srv);
    EXPECT_FALSE(is_guest(r));
    EXPECT_FALSE(is_mapped(r));
    srv.config()->collection_type = GUEST_COLLECTION;
    EXPECT_TRUE(is_guest(r));
    srv.config()->collection_type = MAPPED_COLLECTION;
    EXPECT_TRUE(is_mapped(r));

    EXPECT_TRUE(is_anonymous(r));
    r->user = apr_pstrdup(r->pool, "app@" CLIENT_IDENTITY_DOMAIN);
    EXPECT_FALSE(is_anonymous(r));
    EXPECT_TRUE(is_client_identity(r));
    r->user = apr_pstrdup(r->pool, "app@other@" CLIENT_IDENTITY_DOMAIN);
    EXPECT_FALSE(is_client_identity(r));
    r->user = apr_pstrdup(r->pool, "app@x." CLIENT_IDENTITY_DOMAIN);
    EXPECT_FALSE(is_client_identity(r));
    r->user = apr_pstrdup(r->pool, "nodomain");
    EXPECT_FALSE(is_client_identity(r));
}

TEST_F(Classify, RequestStateIsCreatedOnceZeroFilled)
{
    TestRequest r(srv);
    RequestState *state = get_request_state(r);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->reply_reason, REPLY_NONE);
    EXPECT_EQ(state->introspect_doc, nullptr);
    EXPECT_EQ(state->denied_id_set, nullptr);
    state->reply_reason = REPLY_ACCESS_DENIED;
    EXPECT_EQ(get_request_state(r), state);
}

TEST_F(Classify, ScopeUrl)
{
    srv.config()->client_id = "c1d2";
    EXPECT_STREQ(build_scope(srv.pool(), srv.server(), "https"), "https://" SCOPE_URL_HOST "/scopes/c1d2/https");
}

// --- sealed values -----------------------------------------------------------

struct Sealed : ::testing::Test {
    TestServer srv;
    TestRequest r{srv};
    void TearDown() override { kalder::test::clear_log(); }
};

TEST_F(Sealed, RoundTripWithFreshIvAndExpectedLengths)
{
    const char *a = encrypt_value(r, "secret", "/data/file.txt?x=1");
    const char *b = encrypt_value(r, "secret", "/data/file.txt?x=1");
    ASSERT_TRUE(a && b);
    EXPECT_STRNE(a, b);
    EXPECT_STREQ(decrypt_value(r, "secret", a), "/data/file.txt?x=1");
    EXPECT_STREQ(decrypt_value(r, "secret", b), "/data/file.txt?x=1");
    EXPECT_EQ(std::strspn(a, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"), std::strlen(a));

    // 43 characters for texts of 0..14 bytes, 64 for 15..30.
    for (size_t len : {0, 14, 15, 30, 31}) {
        std::string text(len, 'x');
        const char *sealed = encrypt_value(r, "", text.c_str());
        ASSERT_NE(sealed, nullptr);
        size_t cipher = 16 * ((len + 17) / 16 + 1);
        EXPECT_EQ(std::strlen(sealed), (4 * cipher + 2) / 3) << len;
        EXPECT_EQ(decrypt_value(r, "", sealed), text);
    }
}

TEST_F(Sealed, WrongKeyFailsToOpen)
{
    int opened = 0;
    for (int i = 0; i < 20; ++i) {
        const char *sealed = encrypt_value(r, "old key", "{\"state\": \"REDIRECT\"}");
        const char *text = decrypt_value(r, "new key", sealed);
        // A wrong key can yield valid padding by chance (1 in ~256), never
        // the original text.
        if (text) {
            ++opened;
            EXPECT_STRNE(text, "{\"state\": \"REDIRECT\"}");
        }
    }
    EXPECT_LE(opened, 2);
    EXPECT_TRUE(kalder::test::logged(APLOG_ERR, "Unable to finalize while decrypting text"));
    EXPECT_TRUE(kalder::test::logged(APLOG_ERR, "Failed to decrypt a URL-safe base64 encrypted string value."));
}

TEST_F(Sealed, TruncatedAndForeignCharactersAreRejected)
{
    std::string sealed = encrypt_value(r, "k", "hello");  // 43 characters
    ASSERT_EQ(sealed.size(), 43u);
    std::string shorter = sealed.substr(0, 42);  // 42 % 4 == 2: decodes to 31 bytes
    EXPECT_EQ(decrypt_value(r, "k", shorter.c_str()), nullptr);
    EXPECT_TRUE(kalder::test::logged(APLOG_ERR, "Unable to finalize while decrypting text"));

    kalder::test::clear_log();
    std::string bad_length = sealed.substr(0, 41);  // 41 % 4 == 1
    EXPECT_EQ(decrypt_value(r, "k", bad_length.c_str()), nullptr);
    EXPECT_TRUE(kalder::test::logged(APLOG_ERR, "URL-safe base64 input has an invalid length."));
    EXPECT_TRUE(kalder::test::logged(APLOG_ERR, "Failed to URL-safe base64 decode an encrypted string value."));

    for (const char *bad : {"=", "+", "/", "{", "\xc3"}) {
        kalder::test::clear_log();
        std::string tampered = sealed;
        tampered[10] = bad[0];
        EXPECT_EQ(decrypt_value(r, "k", tampered.c_str()), nullptr) << bad;
        EXPECT_TRUE(kalder::test::logged(
            APLOG_ERR, "Can not decode URL-safe base64 value because it contains an invalid character"))
            << bad;
    }
    EXPECT_EQ(decrypt_value(r, "k", ""), nullptr);
}

TEST_F(Sealed, Base64UrlMatchesKnownVectors)
{
    const unsigned char bytes[] = {0xfb, 0xff, 0xbf, 0x00, 0x10};
    EXPECT_STREQ(url_safe_base64_encode(r->pool, bytes, 3), "-_-_");
    EXPECT_STREQ(url_safe_base64_encode(r->pool, bytes, 4), "-_-_AA");
    EXPECT_STREQ(url_safe_base64_encode(r->pool, bytes, 5), "-_-_ABA");
    size_t n = 0;
    unsigned char *decoded = url_safe_base64_decode(r, "-_-_ABA", &n);
    ASSERT_NE(decoded, nullptr);
    ASSERT_EQ(n, 5u);
    EXPECT_EQ(std::memcmp(decoded, bytes, 5), 0);
}

// The first ciphertext block chains the block holding the text's first 16
// bytes, so flipping its bits rewrites the opened text's beginning at will.
TEST_F(Sealed, TamperedFirstBlockRewritesTheOpenedPrefixSoLoginOnlyFollowsLocalPaths)
{
    const char *original = "/aaaaaaaaaaaaaaaaaaaaaaa/file";
    const char *sealed = encrypt_value(r, "k", original);
    size_t n = 0;
    unsigned char *cipher = url_safe_base64_decode(r, sealed, &n);
    const char *wanted = "//attacker.test/";
    for (size_t i = 0; i < 16; ++i)
        cipher[i] ^= static_cast<unsigned char>(original[i] ^ wanted[i]);
    const char *forged = url_safe_base64_encode(r->pool, cipher, n);
    const char *opened = decrypt_value(r, "k", forged);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(std::string(opened).substr(0, 16), wanted);
    EXPECT_FALSE(oidc_is_local_redirect(opened));

    EXPECT_TRUE(oidc_is_local_redirect("/data/a%20b?download"));
    EXPECT_TRUE(oidc_is_local_redirect("/"));
    for (const char *bad : {"", "data", "//evil.test/", "/\\evil.test/", "/a\\b", "/a\rb", "/a\nLocation: x",
                            "https://evil.test/", "/a\x7f"})
        EXPECT_FALSE(oidc_is_local_redirect(bad)) << bad;
}

}  // namespace
