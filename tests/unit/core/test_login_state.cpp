// The login cookie's text, the login state, the local-path check of the
// login return and the reload page after login.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "login_page.h"
#include "login_state.h"
#include "request_state.h"
#include "sealed.h"

namespace {

constexpr const char *KEY = "vhost secret";

struct Login : ::testing::Test {
    apr_pool_t *pool = nullptr;
    LogCapture log;
    void SetUp() override { apr_pool_create(&pool, nullptr); }
    void TearDown() override { apr_pool_destroy(pool); }

    std::string document(const char *sealed)
    {
        const char *text =
            sealed ? open_sealed_value(pool, log_discard(), KEY, SEAL_COOKIE, sealed) : nullptr;
        return text ? text : "(unopenable)";
    }
    struct Read {
        int rc;
        int state;
        const char *auth;
        const char *transfer;
        const char *login;
    };
    Read read(const char *sealed, const char *key = KEY)
    {
        Read out{-1, -1, "x", "y", "z"};
        out.rc = oidc_cookie_open(pool, log.sink(), key, "h.example.org", sealed, &out.state, &out.auth,
                                  &out.transfer, &out.login);
        return out;
    }
};

TEST_F(Login, CookieTextsAsWrittenAndReadBack)
{
    struct Case {
        int state;
        const char *auth;
        const char *transfer;
        const char *login;
        const char *document;
    } cases[] = {
        {OIDC_STATE_AUTH_COMPLETE, "AUTH-TOKEN", "XFER-TOKEN", nullptr,
         "{\"state\": \"COMPLETE\", \"auth\": \"AUTH-TOKEN\", \"transfer\": \"XFER-TOKEN\"}"},
        {OIDC_STATE_AUTH_FLOW_FINISH, "A", nullptr, nullptr, "{\"state\": \"FLOW_FINISH\", \"auth\": \"A\"}"},
        // Any other step is written as the login redirect.
        {7, nullptr, nullptr, "L0gin", "{\"state\": \"REDIRECT\", \"login\": \"L0gin\"}"},
    };
    for (const auto &c : cases) {
        log.clear();
        const char *sealed =
            oidc_cookie_seal(pool, log.sink(), KEY, "h", c.state, c.auth, c.transfer, c.login);
        EXPECT_EQ(document(sealed), c.document);
        EXPECT_EQ(log.lines().size(), 1u) << log.dump();
        EXPECT_TRUE(log.has(KLOG_DEBUG, "Setting request's OIDC state to")) << log.dump();
        Read r = read(sealed);
        EXPECT_EQ(r.rc, 0) << log.dump();
        EXPECT_EQ(r.state, c.state == 7 ? OIDC_STATE_AUTH_REDIRECT : c.state);
        EXPECT_EQ(r.auth ? std::string(r.auth) : "(null)", c.auth ? c.auth : "(null)");
        EXPECT_EQ(r.transfer ? std::string(r.transfer) : "(null)", c.transfer ? c.transfer : "(null)");
        EXPECT_EQ(r.login ? std::string(r.login) : "(null)", c.login ? c.login : "(null)");
    }
}

TEST_F(Login, CookieValuesThatReadAsNoneOrFail)
{
    const std::string other_key =
        seal_value(pool, log_discard(), "old key", SEAL_COOKIE, "{\"state\": \"COMPLETE\"}");
    auto sealed = [&](const char *text) {
        return std::string(seal_value(pool, log_discard(), KEY, SEAL_COOKIE, text));
    };
    struct Case {
        const char *what;
        std::string value;
        bool absent;
        int rc;
        const char *message;
    } cases[] = {
        {"no cookie", "", true, 0, "No OIDC state found for request."},
        // Whatever keeps it from opening, it reads as no cookie.
        {"another key", other_key, false, 0,
         "Failed to decode the OIDC state (was the vhost secret recently altered?)"},
        // Documents only this server could have sealed, but not of a login cookie.
        {"not json", sealed("not json"), false, 1,
         "Failed to deserialize the OIDC state (was mod-kalder updated recently?)"},
        {"array", sealed("[\"REDIRECT\"]"), false, 1, "Unexpected OIDC state contents"},
        {"no state", sealed("{\"auth\": \"t\"}"), false, 1, "Invalid OIDC state"},
        {"numeric state", sealed("{\"state\": 1}"), false, 1, "Invalid OIDC state"},
        {"state in lower case", sealed("{\"state\": \"redirect\"}"), false, 1, "Invalid OIDC state value"},
    };
    for (const auto &c : cases) {
        log.clear();
        Read r = read(c.absent ? nullptr : c.value.c_str());
        EXPECT_EQ(r.rc, c.rc) << c.what;
        EXPECT_EQ(r.state, OIDC_STATE_NONE) << c.what;
        EXPECT_TRUE(!r.auth && !r.transfer && !r.login) << c.what;
        EXPECT_TRUE(log.has(KLOG_DEBUG, c.message)) << c.what << "\n" << log.dump();
    }

    // Extra members and absent tokens are fine.
    Read extra = read(sealed("{ \"extra\": [1], \"state\":\"REDIRECT\" }").c_str());
    EXPECT_EQ(extra.rc, 0);
    EXPECT_EQ(extra.state, OIDC_STATE_AUTH_REDIRECT);
    EXPECT_TRUE(!extra.auth && !extra.transfer && !extra.login);
}

TEST_F(Login, WithoutTheSecretNothingIsSealedOrOpened)
{
    const std::string message =
        "KalderOIDCStateKey is not set for server h.example.org; the browser login is not available";
    EXPECT_EQ(oidc_cookie_seal(pool, log.sink(), nullptr, "h.example.org", OIDC_STATE_AUTH_COMPLETE, "a",
                               nullptr, nullptr),
              nullptr);
    EXPECT_TRUE(log.has(KLOG_ERR, message)) << log.dump();
    log.clear();
    EXPECT_EQ(read("AAAA", nullptr).rc, 1);
    EXPECT_TRUE(log.has(KLOG_ERR, message)) << log.dump();
    // No cookie reads as none before the secret is needed.
    EXPECT_EQ(read(nullptr, nullptr).rc, 0);
}

// The login state holds the request's URI as the client sent it; only a
// path on this host is followed after the login.
TEST(LoginReturn, OnlyFollowsLocalPaths)
{
    EXPECT_TRUE(oidc_is_local_redirect("/data/a%20b?download"));
    EXPECT_TRUE(oidc_is_local_redirect("/"));
    for (const char *bad : {"", "data", "//evil.test/", "/\\evil.test/", "/a\\b", "/a\rb", "/a\nLocation: x",
                            "https://evil.test/", "/a\x7f"})
        EXPECT_FALSE(oidc_is_local_redirect(bad)) << bad;
    EXPECT_FALSE(oidc_is_local_redirect(nullptr));
}

// The link text used to be the raw path: a link to a path holding markup
// ran script under the gateway's origin.
TEST(ReloadPage, MarkupInThePathIsEscapedEverywhere)
{
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    std::string plain = oidc_reload_page(pool, "https://h/a%20b", "/a b");
    EXPECT_EQ(
        plain,
        "<html><head><title>Redirecting to data</title><head><body>Redirecting to <a "
        "href=\"https://h/a%20b\">/a b</a>. Loading will begin momentarily.<script>window.location.replace("
        "\"https://h/a%20b\");</script></body>");
    std::string text = oidc_reload_page(pool, "https://h/x\"');</script><script>alert(1)//&",
                                        "/<script>alert('x')</script>&\"");
    EXPECT_EQ(text.find("<script>alert"), std::string::npos) << text;
    EXPECT_NE(text.find(">/&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;</a>"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("href=\"https://h/x&quot;&#39;);&lt;/script&gt;"), std::string::npos) << text;
    EXPECT_NE(
        text.find("replace(\"https://h/x\\u0022');\\u003c/script\\u003e\\u003cscript\\u003ealert(1)//&\");"),
        std::string::npos)
        << text;
    // One script element only: the page's own.
    EXPECT_EQ(text.find("</script>"), text.rfind("</script>"));
    apr_pool_destroy(pool);
}

}  // namespace
