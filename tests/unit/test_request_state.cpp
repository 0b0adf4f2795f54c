// The request's state record, and classification and sealed values as the
// shell reads them off a request (the cases themselves are the core's).
#include <gtest/gtest.h>

#include <string>

#include "apr_strings.h"
#include "shim_authn.h"
#include "testing.h"
#include "request_state.h"
#include "server_config.h"
#include "request_utils.h"

using kalder::test::logged;
using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

struct Classify : ::testing::Test {
    TestServer srv;
    void TearDown() override { kalder::test::clear_log(); }
};

TEST_F(Classify, ReadsTheRequestHeadersUserAndServer)
{
    TestRequest r(srv);
    EXPECT_FALSE(is_oauth_request(r));
    EXPECT_FALSE(is_browser_request(r));
    r.header("Authorization", "Bearer first second");
    r.header("User-Agent", "Mozilla/5.0");
    EXPECT_TRUE(is_oauth_request(r));
    EXPECT_STREQ(get_bearer_token(r), "first");
    EXPECT_TRUE(is_browser_request(r));

    TestRequest program(srv);
    program.header("X-Requested-With", "XMLHttpRequest");
    EXPECT_TRUE(is_oauth_request(program));
    EXPECT_EQ(get_bearer_token(program), nullptr);

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

TEST_F(Classify, ScopeUrlOfTheServerLogsToItsLog)
{
    EXPECT_EQ(build_scope(srv.pool(), srv.server(), "https"), nullptr);
    EXPECT_TRUE(logged(
        APLOG_ERR, "KalderAuthClientID is not set for server collection.example.org; no scope can be named"))
        << kalder::test::dump_log();
    srv.config()->client_id = "c1d2";
    EXPECT_STREQ(build_scope(srv.pool(), srv.server(), "https"),
                 "https://" SCOPE_URL_HOST "/scopes/c1d2/https");
}

TEST_F(Classify, SealedValuesUseTheRequestPoolAndLog)
{
    TestRequest r(srv);
    const char *sealed = encrypt_value(r, "k", SEAL_STATE, "/x");
    ASSERT_NE(sealed, nullptr);
    EXPECT_STREQ(decrypt_value(r, "k", SEAL_STATE, sealed), "/x");
    EXPECT_EQ(decrypt_value(r, "k", SEAL_COOKIE, sealed), nullptr);
    EXPECT_TRUE(logged(APLOG_ERR, "Failed to decrypt a URL-safe base64 encrypted string value."));
    size_t n = 0;
    EXPECT_EQ(url_safe_base64_decode(r, "A", &n), nullptr);
    EXPECT_TRUE(logged(APLOG_ERR, "URL-safe base64 input has an invalid length."));
}

}  // namespace
