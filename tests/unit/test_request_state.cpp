// Request classification, the bearer token, scope URLs and sealed values.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

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
    EXPECT_STREQ(build_scope(srv.pool(), srv.server(), "https"),
                 "https://" SCOPE_URL_HOST "/scopes/c1d2/https");
}

// --- sealed values -----------------------------------------------------------

constexpr char BASE64URL[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct Sealed : ::testing::Test {
    TestServer srv;
    TestRequest r{srv};
    void TearDown() override { kalder::test::clear_log(); }

    // What a client can make of one sealed value: every bit of its bytes
    // flipped, the low bit of every character flipped (in the last one,
    // a bit the bytes do not use), every shorter prefix, characters added.
    std::vector<std::string> tampered(const std::string &sealed)
    {
        std::vector<std::string> out;
        size_t n = 0;
        unsigned char *bytes = url_safe_base64_decode(r, sealed.c_str(), &n);
        for (size_t i = 0; i < n; ++i)
            for (int bit = 0; bit < 8; ++bit) {
                bytes[i] ^= static_cast<unsigned char>(1 << bit);
                out.push_back(url_safe_base64_encode(r->pool, bytes, n));
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
    const char *a = encrypt_value(r, "secret", SEAL_COOKIE, "/data/file.txt?x=1");
    const char *b = encrypt_value(r, "secret", SEAL_COOKIE, "/data/file.txt?x=1");
    ASSERT_TRUE(a && b);
    EXPECT_STRNE(a, b);
    EXPECT_STREQ(decrypt_value(r, "secret", SEAL_COOKIE, a), "/data/file.txt?x=1");
    EXPECT_STREQ(decrypt_value(r, "secret", SEAL_COOKIE, b), "/data/file.txt?x=1");
    EXPECT_EQ(std::strspn(a, BASE64URL), std::strlen(a));

    // A 12-byte nonce and a 16-byte tag around the text: 38 characters for
    // an empty text, then 4 for every 3 bytes.
    for (size_t len : {0, 1, 2, 3, 1000}) {
        std::string text(len, 'x');
        for (SealPurpose purpose : {SEAL_COOKIE, SEAL_STATE}) {
            const char *sealed = encrypt_value(r, "", purpose, text.c_str());
            ASSERT_NE(sealed, nullptr);
            EXPECT_EQ(std::strlen(sealed), (4 * (28 + len) + 2) / 3) << len;
            EXPECT_EQ(decrypt_value(r, "", purpose, sealed), text);
        }
    }
}

// Values sealed by an independent implementation of the format (AES-256-GCM
// under HKDF-SHA256 of the secret, labelled per purpose): changing the
// derivation or the layout would log every browser out.
TEST_F(Sealed, OpensValuesOfTheDocumentedFormat)
{
    EXPECT_STREQ(
        decrypt_value(r, "vhost secret", SEAL_COOKIE,
                      "AAECAwQFBgcICQoLnfrMfjI2VrdO0QixdfEaqMcgOvl1CD0NK-Sw4aZt4WozU6l113rOpVDTo9quqYGH9cI"),
        "{\"state\": \"COMPLETE\", \"auth\": \"T\"}");
    EXPECT_STREQ(decrypt_value(r, "vhost secret", SEAL_STATE,
                               "DA0ODxAREhMUFRYXPV355icDbxkfPdDKsByWODIUcLXb5cLDaHeNRE4"),
                 "/data.txt?x=1");
}

// Nothing but a value as it was sealed opens, for its own purpose and
// secret; every other value is refused with the same single log line.
TEST_F(Sealed, NothingElseOpensAndEveryRefusalIsAlike)
{
    const std::string cookie =
        encrypt_value(r, "k", SEAL_COOKIE, "{\"state\": \"COMPLETE\", \"auth\": \"T\"}");
    const std::string state = encrypt_value(r, "k", SEAL_STATE, "/data/file.txt?x=1");
    struct Case {
        const char *what;
        SealPurpose purpose;
        std::vector<std::string> values;
    } cases[] = {
        {"tampered cookie", SEAL_COOKIE, tampered(cookie)},
        {"tampered state", SEAL_STATE, tampered(state)},
        {"state as cookie", SEAL_COOKIE, {state}},
        {"cookie as state", SEAL_STATE, {cookie}},
        {"cookie under another key", SEAL_COOKIE, {encrypt_value(r, "other key", SEAL_COOKIE, "{}")}},
        {"state under another key", SEAL_STATE, {encrypt_value(r, "other key", SEAL_STATE, "/")}},
        // Lengths of the earlier format (AES-CBC, one and two blocks more
        // than the discarded first one), and texts that are not base64url.
        {"not sealed",
         SEAL_COOKIE,
         {"", "AAAA", std::string(43, 'A'), std::string(64, 'A'), "%%%", "+/+/",
          "-_-_==", "\xc3\xa9\xc3\xa9"}},
    };
    kalder::test::clear_log();
    size_t count = 0;
    for (const auto &c : cases) {
        for (size_t i = 0; i < c.values.size(); ++i) {
            const char *opened = decrypt_value(r, "k", c.purpose, c.values[i].c_str());
            const auto &lines = kalder::test::log_lines();
            bool alike = lines.size() == 1 && lines[0].level == APLOG_ERR &&
                         lines[0].message == "Failed to decrypt a URL-safe base64 encrypted string value.";
            EXPECT_TRUE(opened == nullptr && alike) << c.what << " #" << i << " \"" << c.values[i]
                                                    << "\": " << (opened ? opened : "(refused)") << "\n"
                                                    << kalder::test::dump_log();
            kalder::test::clear_log();
            ++count;
        }
    }
    EXPECT_GT(count, 1000u);
    EXPECT_STREQ(decrypt_value(r, "k", SEAL_COOKIE, cookie.c_str()),
                 "{\"state\": \"COMPLETE\", \"auth\": \"T\"}");
    EXPECT_STREQ(decrypt_value(r, "k", SEAL_STATE, state.c_str()), "/data/file.txt?x=1");
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

// The login state holds the request's URI as the client sent it; only a
// path on this host is followed after the login.
TEST_F(Sealed, LoginOnlyFollowsLocalPaths)
{
    EXPECT_TRUE(oidc_is_local_redirect("/data/a%20b?download"));
    EXPECT_TRUE(oidc_is_local_redirect("/"));
    for (const char *bad : {"", "data", "//evil.test/", "/\\evil.test/", "/a\\b", "/a\rb", "/a\nLocation: x",
                            "https://evil.test/", "/a\x7f"})
        EXPECT_FALSE(oidc_is_local_redirect(bad)) << bad;
}

}  // namespace
