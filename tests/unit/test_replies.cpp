// The error filter: bearer challenges with JSON bodies for programs, login
// redirects for browsers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "apr_strings.h"
#include "shim_authn.h"
#include "testing.h"
#include "documents.h"
#include "request_state.h"
#include "server_config.h"
#include "request_utils.h"
#include "access_hooks.h"
#include "json_access.h"

using kalder::test::logged;
using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

constexpr const char *KEY = "reply key";

struct Replies : ::testing::Test {
    TestServer srv;
    ap_filter_t filter{};
    ap_filter_t sink{};
    apr_bucket_brigade *out = nullptr;

    void SetUp() override
    {
        ServerConfig *c = srv.config();
        c->collection_type = MAPPED_COLLECTION;
        c->client_id = "cid";
        c->auth_api_endpoint = "https://auth.test";
        c->oidc_state_key = KEY;
        kalder::test::set_location_auth("kalder-auth", "Data");
    }
    void TearDown() override
    {
        kalder::test::reset_location();
        kalder::test::clear_log();
    }
    void allow(std::vector<const char *> names)
    {
        auto *a = apr_array_make(srv.pool(), 4, sizeof(const char *));
        for (const char *n : names) APR_ARRAY_PUSH(a, const char *) = n;
        srv.config()->allowed_domains = a;
    }
    // Runs the filter over the server's error text; returns its status.
    apr_status_t run(TestRequest &r, int status)
    {
        r->status = status;
        filter.r = r;
        filter.next = &sink;
        out = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        sink.ctx = out;
        apr_bucket_brigade *bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_immortal_create("<html>server error text</html>", 30,
                                                               r->connection->bucket_alloc));
        APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
        return mod_kalder_reply_filter(&filter, bb);
    }
    std::string body()
    {
        char *text = nullptr;
        apr_size_t n = 0;
        apr_brigade_pflatten(out, &text, &n, out->p);
        return std::string(text, n);
    }
    static TestRequest &program(TestRequest &r, uint32_t reason)
    {
        r.header("Authorization", "Bearer tok");
        get_request_state(r)->reply_reason = reason;
        return r;
    }
};

TEST_F(Replies, OtherStatusesAndAuthTypesPassUntouched)
{
    TestRequest r(srv);
    program(r, REPLY_ACCESS_DENIED);
    ASSERT_EQ(run(r, HTTP_NOT_FOUND), APR_SUCCESS);
    EXPECT_EQ(body(), "<html>server error text</html>");
    kalder::test::set_location_auth("Basic", "Data");
    ASSERT_EQ(run(r, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_EQ(body(), "<html>server error text</html>");
}

TEST_F(Replies, ErrorFilterIsAddedOnlyUnderKalderAuth)
{
    TestRequest r(srv);
    mod_kalder_insert_error_filter(r);
    kalder::test::set_location_auth("Basic", nullptr);
    mod_kalder_insert_error_filter(r);
    EXPECT_EQ(kalder::test::added_output_filters(), std::vector<std::string>{"MOD_KALDER_REPLY_FILTER"});
}

TEST_F(Replies, GuestProgramWithoutTokenGetsRealmOnlyChallenge)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest r(srv);
    r.header("X-Requested-With", "XMLHttpRequest");
    get_request_state(r)->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
    ASSERT_EQ(run(r, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_EQ(r->status, HTTP_UNAUTHORIZED);
    EXPECT_STREQ(apr_table_get(r->headers_out, "WWW-Authenticate"), "Bearer realm=\"Data\"");
    EXPECT_STREQ(r->content_type, "application/json");
    EXPECT_EQ(body(),
              "{\"code\": \"AuthenticationRequired\", \"message\": \"You must authenticate to access this "
              "collection.\", \"authorization_parameters\": {\"session_message\": \"You must authenticate or "
              "link with an identity which has been granted access to this collection.\", "
              "\"required_scopes\": [\"https://" SCOPE_URL_HOST
              "/scopes/cid/https\"], \"prompt\": \"login\"}}");
    EXPECT_TRUE(logged(APLOG_DEBUG, "_set_response_to_authentication_required: enter"));
}

TEST_F(Replies, MappedDomainsMfaAndBothScopes)
{
    allow({"a.org", "b.org"});
    srv.config()->capability_flags = MOD_KALDER_REQUIRE_MFA;
    TestRequest r(srv);
    program(r, REPLY_ACCESS_DENIED);
    ASSERT_EQ(run(r, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_EQ(r->status, HTTP_FORBIDDEN);
    EXPECT_STREQ(
        apr_table_get(r->headers_out, "WWW-Authenticate"),
        "Bearer realm=\"Data\", error=\"access_denied\", error_description=\"You do not have the proper "
        "access rights.\"");
    EXPECT_EQ(body(),
              "{\"code\": \"AccessDenied\", \"message\": \"You do not have the proper access rights.\", "
              "\"authorization_parameters\": {\"session_message\": \"You must authenticate or link with an "
              "identity from one of these domains (a.org, b.org) using MFA which has been granted access to "
              "this collection.\", \"session_required_single_domain\": [\"a.org\",\"b.org\"], "
              "\"session_required_mfa\": true, \"required_scopes\": [\"https://" SCOPE_URL_HOST
              "/scopes/cid/https\",\"https://" SCOPE_URL_HOST
              "/scopes/cid/data_access\"], \"prompt\": "
              "\"login\"}}");
}

TEST_F(Replies, PolicyOrWildcardSuppressesDomainMembers)
{
    allow({"a.org", "*"});
    srv.config()->capability_flags = MOD_KALDER_REQUIRE_MFA | MOD_KALDER_HIGH_ASSURANCE;
    TestRequest wildcard(srv);
    program(wildcard, REPLY_INSUFFICIENT_SCOPE);
    ASSERT_EQ(run(wildcard, HTTP_FORBIDDEN), APR_SUCCESS);
    EXPECT_EQ(body().find("session_required"), std::string::npos) << body();
    EXPECT_NE(
        body().find("\"session_message\": \"You must consent to additional scopes in order to authorize the "
                    "resource server to complete the request.\""),
        std::string::npos);

    allow({"a.org"});
    srv.config()->auth_policy_id = "0a0b0c0d-0000-4000-8000-000000000001";
    TestRequest policy(srv);
    program(policy, REPLY_INVALID_TOKEN);
    ASSERT_EQ(run(policy, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_NE(
        body().find(", \"session_required_policies\": [\"0a0b0c0d-0000-4000-8000-000000000001\"], "
                    "\"required_scopes\": [\"https://" SCOPE_URL_HOST "/scopes/cid/https\"], \"prompt\""),
        std::string::npos)
        << body();
    EXPECT_EQ(body().find("single_domain"), std::string::npos);
}

TEST_F(Replies, NoReasonKeepsStatusWithEmptyBodyAndRealmDefaultsToServerName)
{
    TestRequest r(srv);
    r.header("Authorization", "Bearer tok");
    ASSERT_EQ(run(r, HTTP_FORBIDDEN), APR_SUCCESS);
    EXPECT_EQ(r->status, HTTP_FORBIDDEN);
    EXPECT_EQ(body(), "");

    kalder::test::set_location_auth("kalder-auth", nullptr);
    TestRequest unnamed(srv);
    program(unnamed, REPLY_INVALID_TOKEN);
    ASSERT_EQ(run(unnamed, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_EQ(std::string(apr_table_get(unnamed->headers_out, "WWW-Authenticate"))
                  .rfind("Bearer realm=\"collection.example.org\", error=\"invalid_token\"", 0),
              0u);
}

TEST_F(Replies, ProgramOnAServerWithoutClientIdGetsAnInternalError)
{
    // AuthType kalder-auth on a server that names no collection passes the
    // start-up check without a client id; its challenge once stopped the
    // child on an assertion.
    srv.config()->collection_type = nullptr;
    srv.config()->client_id = nullptr;
    TestRequest r(srv);
    r.header("X-Requested-With", "XMLHttpRequest");
    get_request_state(r)->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
    ASSERT_EQ(run(r, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_EQ(r->status, HTTP_INTERNAL_SERVER_ERROR);
    EXPECT_EQ(apr_table_get(r->headers_out, "WWW-Authenticate"), nullptr);
    EXPECT_EQ(body(), "");
    EXPECT_TRUE(logged(APLOG_ERR,
                       "KalderAuthClientID is not set for server collection.example.org; no scope can be "
                       "named"))
        << kalder::test::dump_log();
}

TEST_F(Replies, JsonTextsAreEscaped)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest r(srv);
    program(r, REPLY_INSUFFICIENT_SESSION);
    RequestState *state = get_request_state(r);
    state->denied_id_set = static_cast<IdentitySet>(apr_pcalloc(r->pool, 2 * sizeof(Identity *)));
    state->denied_id_set[0] = static_cast<Identity *>(apr_pcalloc(r->pool, sizeof(Identity)));
    state->denied_id_set[0]->sub = "s";
    state->denied_id_set[0]->username = "q\"uote\\\n@x.org";
    ASSERT_EQ(run(r, HTTP_FORBIDDEN), APR_SUCCESS);
    EXPECT_NE(body().find("The identities (q\\\"uote\\\\\\n@x.org) have not"), std::string::npos) << body();
    json_error_t error;
    json_t *parsed = json_loads(body().c_str(), 0, &error);
    EXPECT_NE(parsed, nullptr) << error.text;
    json_decref(parsed);
}

TEST_F(Replies, BrowserGetsLoginRedirectWithSealedUriAndRedirectCookie)
{
    allow({"a.org", "b.org"});
    TestRequest r(srv, "GET", "/dir/file.txt");
    r->unparsed_uri = apr_pstrdup(r->pool, "/dir/file.txt?download");
    r->hostname = "collection.test";
    r.header("User-Agent", "Mozilla/5.0");
    get_request_state(r)->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
    ASSERT_EQ(run(r, HTTP_UNAUTHORIZED), APR_SUCCESS);
    EXPECT_EQ(r->status, HTTP_TEMPORARY_REDIRECT);
    EXPECT_EQ(body(), "");
    std::string location = apr_table_get(r->headers_out, "Location");
    const std::string head =
        "https://auth.test/oauth2/authorize?response_type=code&client_id=cid&redirect_uri="
        "https://collection.test/redirect&access_type=online&state=";
    ASSERT_EQ(location.rfind(head, 0), 0u) << location;
    std::string rest = location.substr(head.size());
    std::string state = rest.substr(0, rest.find('&'));
    // The state: the login value, a blank and the URI.
    std::string opened = decrypt_value(r, KEY, SEAL_STATE, state.c_str());
    std::string login = opened.substr(0, opened.find(' '));
    EXPECT_EQ(login.size(), 22u) << opened;
    EXPECT_EQ(login.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(opened.substr(login.size()), " /dir/file.txt?download");
    EXPECT_EQ(
        rest.substr(state.size()),
        "&session_message=You%20must%20authenticate%20or%20link%20with%20an%20identity%20from%20one%20of%20"
        "these%20domains%20(a.org,%20b.org)%20which%20has%20been%20granted%20access%20to%20this%20collection."
        "&session_required_single_domain=a.org,b.org&scope=openid%20profile&prompt=login");
    std::string cookie = apr_table_get(r->err_headers_out, "Set-Cookie");
    std::string sealed = cookie.substr(std::string("mod_kalder_OIDC=").size(), cookie.find(';') - 16);
    // The REDIRECT cookie carries the same login value; the next login
    // gets another one.
    EXPECT_EQ(decrypt_value(r, KEY, SEAL_COOKIE, sealed.c_str()),
              "{\"state\": \"REDIRECT\", \"login\": \"" + login + "\"}");
    TestRequest again(srv, "GET", "/dir/file.txt");
    again.header("User-Agent", "Mozilla/5.0");
    get_request_state(again)->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
    ASSERT_EQ(run(again, HTTP_UNAUTHORIZED), APR_SUCCESS);
    location = apr_table_get(again->headers_out, "Location");
    rest = location.substr(location.find("&state=") + 7);
    opened = decrypt_value(again, KEY, SEAL_STATE, rest.substr(0, rest.find('&')).c_str());
    EXPECT_NE(opened.substr(0, opened.find(' ')), login);
}

TEST_F(Replies, GuestBrowserAsksForTheTransferScope)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest r(srv, "GET", "/f");
    r.header("User-Agent", "Mozilla/5.0");
    get_request_state(r)->reply_reason = REPLY_INVALID_TOKEN;
    ASSERT_EQ(run(r, HTTP_UNAUTHORIZED), APR_SUCCESS);
    std::string location = apr_table_get(r->headers_out, "Location");
    EXPECT_NE(location.find("&scope=urn:kalder:auth:scope:" TRANSFER_RESOURCE_SERVER ":all%20openid%20profile"
                            "&prompt=login"),
              std::string::npos)
        << location;
}

}  // namespace
