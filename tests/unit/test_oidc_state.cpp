// The login cookie on a request's headers, the authentication hook's
// browser and bearer gates, and the reload page after login.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apr_strings.h"
#include "shim_authn.h"
#include "testing.h"
#include "request_state.h"
#include "server_config.h"
#include "request_utils.h"
#include "oidc_replies.h"
#include "access_hooks.h"

using kalder::test::logged;
using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

constexpr const char *KEY = "vhost secret";
constexpr const char *ATTRIBUTES = ";HttpOnly;Secure;Version=1;Path=/;SameSite=Lax";

struct Oidc : ::testing::Test {
    TestServer srv;
    void SetUp() override
    {
        srv.config()->oidc_state_key = KEY;
        srv.config()->collection_type = MAPPED_COLLECTION;
        kalder::test::set_location_auth("kalder-auth", nullptr);
    }
    void TearDown() override
    {
        kalder::test::reset_location();
        kalder::test::clear_log();
    }

    // A cookie holding this document sealed under the key.
    std::string cookie_with(TestRequest &r, const char *document, const char *key = KEY)
    {
        return std::string("other=1; mod_kalder_OIDC=") + encrypt_value(r, key, SEAL_COOKIE, document) +
               "; last=2";
    }

    // The document inside the Set-Cookie header the module wrote.
    std::string written_document(TestRequest &r, apr_table_t *table)
    {
        const char *header = apr_table_get(table, "Set-Cookie");
        if (!header)
            return "(no Set-Cookie)";
        std::string text = header;
        const std::string prefix = "mod_kalder_OIDC=";
        EXPECT_EQ(text.rfind(prefix, 0), 0u) << text;
        size_t end = text.find(';');
        EXPECT_EQ(text.substr(end), ATTRIBUTES);
        std::string sealed = text.substr(prefix.size(), end - prefix.size());
        const char *opened = decrypt_value(r, KEY, SEAL_COOKIE, sealed.c_str());
        return opened ? opened : "(unopenable)";
    }
};

TEST_F(Oidc, WriteAndReadBackWithTokensOnNormalAndErrorHeaders)
{
    TestRequest w(srv);
    ASSERT_EQ(set_oidc_state(w, KEY, OIDC_STATE_AUTH_COMPLETE, "AUTH-TOKEN", "XFER-TOKEN", nullptr), 0);
    EXPECT_EQ(written_document(w, w->headers_out),
              "{\"state\": \"COMPLETE\", \"auth\": \"AUTH-TOKEN\", \"transfer\": \"XFER-TOKEN\"}");
    EXPECT_STREQ(apr_table_get(w->err_headers_out, "Set-Cookie"),
                 apr_table_get(w->headers_out, "Set-Cookie"));

    const char *set_cookie = apr_table_get(w->headers_out, "Set-Cookie");
    std::string value(set_cookie, std::strchr(set_cookie, ';'));
    TestRequest r(srv);
    r.header("Cookie", value.c_str());
    int state = 0;
    const char *auth = nullptr;
    const char *transfer = nullptr;
    ASSERT_EQ(get_oidc_state(r, KEY, &state, &auth, &transfer, nullptr), 0);
    EXPECT_EQ(state, OIDC_STATE_AUTH_COMPLETE);
    EXPECT_STREQ(auth, "AUTH-TOKEN");
    EXPECT_STREQ(transfer, "XFER-TOKEN");
}

TEST_F(Oidc, CookieSentTwiceWithDifferentValuesCountsAsNone)
{
    TestRequest r(srv);
    std::string a = encrypt_value(r, KEY, SEAL_COOKIE, "{\"state\": \"COMPLETE\", \"auth\": \"a\"}");
    std::string b = encrypt_value(r, KEY, SEAL_COOKIE, "{\"state\": \"COMPLETE\", \"auth\": \"b\"}");
    r.header("Cookie", ("mod_kalder_OIDC=" + a + "; mod_kalder_OIDC=" + b).c_str());
    int state = -1;
    EXPECT_EQ(get_oidc_state(r, KEY, &state, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(state, OIDC_STATE_NONE);
}

// --- authentication hook gates ----------------------------------------------

TEST_F(Oidc, HookDeclinesOtherAuthTypes)
{
    kalder::test::set_location_auth("Basic", nullptr);
    TestRequest r(srv);
    EXPECT_EQ(mod_kalder_authn_hook(r), DECLINED);
    kalder::test::set_location_auth(nullptr, nullptr);
    EXPECT_EQ(mod_kalder_authn_hook(r), DECLINED);
}

TEST_F(Oidc, ProgramWithoutTokenGets401AuthenticationRequired)
{
    TestRequest r(srv);
    r.header("X-Requested-With", "XMLHttpRequest");
    EXPECT_EQ(mod_kalder_authn_hook(r), HTTP_UNAUTHORIZED);
    EXPECT_EQ(get_request_state(r)->reply_reason, REPLY_AUTHENTICATION_REQUIRED);
    EXPECT_EQ(r->user, nullptr);
}

TEST_F(Oidc, BrowserWithoutUsableCookieMustLogIn)
{
    // Whatever keeps a cookie from opening, it reads as no cookie.
    const char *complete = "{\"state\": \"COMPLETE\", \"auth\": \"t\"}";
    TestRequest maker(srv);
    const std::string as_state =
        std::string("mod_kalder_OIDC=") + encrypt_value(maker, KEY, SEAL_STATE, complete);
    const std::string intact = cookie_with(maker, complete);
    std::string flipped = intact;
    flipped[30] = flipped[30] == 'A' ? 'B' : 'A';
    struct Case {
        const char *uri;
        std::string cookie;
    } cases[] = {
        {"/file", ""},
        {"/file", cookie_with(maker, complete, "old key")},
        {"/file", as_state},
        {"/file", flipped},
        {"/file", intact.substr(0, intact.size() - 10)},
        {"/file", "mod_kalder_OIDC=%%%"},
        // Mid-login, a cookie that does not open is no cookie on "/redirect" too.
        {"/redirect", as_state},
    };
    for (const auto &c : cases) {
        TestRequest r(srv, "GET", c.uri);
        if (!c.cookie.empty())
            r.header("Cookie", c.cookie.c_str());
        int state = -1;
        EXPECT_EQ(get_oidc_state(r, KEY, &state, nullptr, nullptr, nullptr), 0) << c.cookie;
        EXPECT_EQ(state, OIDC_STATE_NONE);
        EXPECT_EQ(mod_kalder_authn_hook(r), HTTP_UNAUTHORIZED) << c.cookie;
        EXPECT_EQ(get_request_state(r)->reply_reason, REPLY_AUTHENTICATION_REQUIRED);
    }

    // Mid-login, only "/redirect" continues the login.
    TestRequest other(srv, "GET", "/file");
    other.header("Cookie", cookie_with(other, "{\"state\": \"REDIRECT\"}").c_str());
    EXPECT_EQ(mod_kalder_authn_hook(other), HTTP_UNAUTHORIZED);

    // A finished login on a guest collection needs the transfer token.
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest guest(srv, "GET", "/file");
    guest.header("Cookie", cookie_with(guest, "{\"state\": \"FLOW_FINISH\", \"auth\": \"t\"}").c_str());
    EXPECT_EQ(mod_kalder_authn_hook(guest), HTTP_UNAUTHORIZED);
    EXPECT_EQ(get_request_state(guest)->reply_reason, REPLY_AUTHENTICATION_REQUIRED);
}

TEST_F(Oidc, LoginReturnFailuresAnswer500WithoutCallingTheService)
{
    struct Case {
        const char *args;
        const char *message;
    } cases[] = {
        {nullptr, "OIDC Auth redirect missing query args in response"},
        {"error=access_denied&code=abc", "OIDC Auth redirect encountered error in response"},
        {"state=xyz", "OIDC Auth redirect missing code in response"},
        // Once an assertion. Only a server without a collection type gets
        // past the start-up check without the identity service's address.
        {"code=abc",
         "KalderAuthAPIEndpoint is not set for server collection.example.org; the authorization code "
         "cannot be exchanged"},
    };
    for (const auto &c : cases) {
        kalder::test::clear_log();
        TestRequest r(srv, "GET", "/redirect");
        r->args = c.args ? apr_pstrdup(r->pool, c.args) : nullptr;
        r.header("Cookie", cookie_with(r, "{\"state\": \"REDIRECT\"}").c_str());
        EXPECT_EQ(mod_kalder_authn_hook(r), HTTP_INTERNAL_SERVER_ERROR);
        EXPECT_TRUE(logged(APLOG_ERR, c.message)) << kalder::test::dump_log();
    }
}

TEST_F(Oidc, MissingStateKeyFailsTheBrowserFlowNamingTheDirective)
{
    srv.config()->oidc_state_key = nullptr;
    TestRequest r(srv, "GET", "/file");
    EXPECT_EQ(mod_kalder_authn_hook(r), HTTP_INTERNAL_SERVER_ERROR);
    EXPECT_TRUE(logged(APLOG_ERR,
                       "KalderOIDCStateKey is not set for server collection.example.org; the browser "
                       "login is not available"))
        << kalder::test::dump_log();
}

// --- reload page ---------------------------------------------------------------

struct Page : Oidc {
    apr_bucket_brigade *out = nullptr;
    ap_filter_t sink{};

    void capture(TestRequest &r)
    {
        out = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        sink.ctx = out;
        r->output_filters = &sink;
    }
    std::string body()
    {
        char *text = nullptr;
        apr_size_t n = 0;
        apr_brigade_pflatten(out, &text, &n, out->p);
        return std::string(text, n);
    }
};

TEST_F(Page, FirstBrowserRequestAfterLoginGetsThePageAndCompletesTheLogin)
{
    TestRequest r(srv, "GET", "/dir/a b.txt");
    capture(r);
    r.header("User-Agent", "Mozilla/5.0");
    r.header("Cookie", cookie_with(r, "{\"state\": \"FLOW_FINISH\", \"auth\": \"A\"}").c_str());
    ASSERT_TRUE(oidc_auth_flow_done(r, false));
    EXPECT_STREQ(r->content_type, "text/html");
    EXPECT_EQ(
        body(),
        "<html><head><title>Redirecting to data</title><head><body>Redirecting to <a "
        "href=\"https://collection.example.org/dir/a%20b.txt\">/dir/a b.txt</a>. Loading will begin "
        "momentarily.<script>window.location.replace(\"https://collection.example.org/dir/a%20b.txt\");</"
        "script></body>");
    EXPECT_EQ(written_document(r, r->headers_out), "{\"state\": \"COMPLETE\", \"auth\": \"A\"}");
}

TEST_F(Page, CompletedLoginGetsThePageOnlyForADownloadWithoutReferer)
{
    const char *complete = "{\"state\": \"COMPLETE\", \"auth\": \"A\"}";
    TestRequest plain(srv, "GET", "/f");
    plain.header("User-Agent", "Mozilla/5.0");
    plain.header("Cookie", cookie_with(plain, complete).c_str());
    EXPECT_FALSE(oidc_auth_flow_done(plain, false));

    TestRequest referred(srv, "GET", "/f");
    referred.header("User-Agent", "Mozilla/5.0");
    referred.header("Referer", "https://collection.example.org/");
    referred.header("Cookie", cookie_with(referred, complete).c_str());
    EXPECT_FALSE(oidc_auth_flow_done(referred, true));

    TestRequest download(srv, "GET", "/f");
    capture(download);
    download.header("User-Agent", "Mozilla/5.0");
    download.header("Cookie", cookie_with(download, complete).c_str());
    ASSERT_TRUE(oidc_auth_flow_done(download, true));
    EXPECT_NE(body().find("window.location.replace(\"https://collection.example.org/f?download\")"),
              std::string::npos);
    EXPECT_EQ(apr_table_get(download->headers_out, "Set-Cookie"), nullptr);

    TestRequest program(srv, "GET", "/f");
    program.header("User-Agent", "curl/8.0");
    program.header("Cookie", cookie_with(program, "{\"state\": \"FLOW_FINISH\", \"auth\": \"A\"}").c_str());
    EXPECT_FALSE(oidc_auth_flow_done(program, true));
    EXPECT_EQ(apr_table_get(program->headers_out, "Set-Cookie"), nullptr);
}

}  // namespace
