// The session user of a request: what the handler gathers from the request
// (identity lists, access list) for the core's session user strings.
#include <gtest/gtest.h>

#include <string>

#include "apr_strings.h"
#include "handler.h"
#include "testing.h"
#include "documents.h"
#include "server_config.h"
#include "request_utils.h"

using kalder::test::logged;
using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

struct SessionUser : ::testing::Test {
    TestServer srv;
    Identity alice{"11111111-aaaa-4aaa-8aaa-111111111111", "alice@example.org", 0};
    Identity bob{"22222222-bbbb-4bbb-8bbb-222222222222", "bob smith@example.edu", 0};
    Identity *both[3] = {&alice, &bob, nullptr};
    AclEntry read_a{"/a/", "r"};
    AclEntry write_b{"/b/", "rw"};
    AclEntry *entries[3] = {&read_a, &write_b, nullptr};
    AclDoc acls{"access_list", "9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f", entries};

    void SetUp() override
    {
        srv.config()->collection_id = "5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11";
        srv.config()->collection_type = MAPPED_COLLECTION;
    }
    void TearDown() override { kalder::test::clear_log(); }

    std::string user(TestRequest &r, HandlerState *st, int expect_rc = 0)
    {
        char *out = nullptr;
        EXPECT_EQ(handler_session_user(r, st, &out), expect_rc) << kalder::test::dump_log();
        return out ? out : "";
    }
};

TEST_F(SessionUser, GuestCollectionSharesUnderTheFirstIdentityWithRestrictions)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest r(srv, "PUT", "/b/f");
    r->user = apr_pstrdup(r->pool, "alice@example.org");
    get_request_state(r)->effective_id_set = both;
    get_request_state(r)->effective_acls = &acls;
    HandlerState st{};
    EXPECT_EQ(user(r, &st),
              ":kalder-sharing:ID=9c4e7e0a-1d2b-4c3d-8e4f-5a6b7c8d9e0f;SHAREE=alice@example.org;"
              "SHAREE_IDS=11111111-aaaa-4aaa-8aaa-111111111111,22222222-bbbb-4bbb-8bbb-222222222222;HIGH_"
              "ASSURANCE=0;");
    EXPECT_STREQ(st.restrict_paths, "r/a/,rw/b/");
}

TEST_F(SessionUser, MissingRecordsOfAuthorizationAreLoggedFailures)
{
    TestRequest r(srv, "GET", "/f");
    r->user = apr_pstrdup(r->pool, "alice@example.org");
    HandlerState st{};
    user(r, &st, 1);
    EXPECT_TRUE(logged(APLOG_ERR, "Missing allowed identity set.")) << kalder::test::dump_log();

    srv.config()->collection_type = GUEST_COLLECTION;
    TestRequest g(srv, "GET", "/x/y");
    get_request_state(g)->effective_id_set = both;
    g->user = apr_pstrdup(g->pool, "alice@example.org");
    user(g, &st, 1);
    EXPECT_TRUE(logged(
        APLOG_ERR,
        "Missing value for ACL in request for /x/y on collection 5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11"))
        << kalder::test::dump_log();
}

}  // namespace
