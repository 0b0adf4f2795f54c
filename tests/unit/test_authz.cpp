// The kalderacl check (the parts that need no service), the effective
// identity set, and ACL parsing and evaluation.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "apr_strings.h"
#include "shim_authn.h"
#include "testing.h"
#include "toolkit/path_rule_cases.h"
#include "documents.h"
#include "request_state.h"
#include "server_config.h"
#include "auth.h"
#include "transfer.h"
#include "request_utils.h"
#include "access_hooks.h"

using kalder::test::logged;
using kalder::test::TestRequest;
using kalder::test::TestServer;

namespace {

struct Authz : ::testing::Test {
    TestServer srv;
    apr_array_header_t *domains = nullptr;

    void SetUp() override
    {
        kalder::test::set_location_auth("kalder-auth", nullptr);
        ServerConfig *c = srv.config();
        c->collection_type = MAPPED_COLLECTION;
        c->collection_id = "5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11";
        c->client_id = "client-1";
        c->assurance_timeout = 60;
        c->oidc_state_key = "k";
    }
    void TearDown() override
    {
        kalder::test::reset_location();
        kalder::test::clear_log();
    }
    void allow(std::vector<const char *> names)
    {
        domains = apr_array_make(srv.pool(), 4, sizeof(const char *));
        for (const char *n : names) APR_ARRAY_PUSH(domains, const char *) = n;
        srv.config()->allowed_domains = domains;
    }
    static Identity *identity(request_rec *r, const char *sub, const char *user, int64_t age_seconds)
    {
        auto *id = static_cast<Identity *>(apr_pcalloc(r->pool, sizeof(Identity)));
        id->sub = sub;
        id->username = user;
        id->last_authentication = static_cast<int64_t>(std::time(nullptr)) - age_seconds;
        return id;
    }
    // An authenticated request whose token lists these identities; the
    // user is the first one's unless named.
    void authenticate(TestRequest &r, std::vector<Identity *> ids, const char *scope = "",
                      const char *user = nullptr)
    {
        auto *doc = static_cast<IntrospectDoc *>(apr_pcalloc(r->pool, sizeof(IntrospectDoc)));
        doc->active = true;
        doc->scope = scope;
        doc->identity_set_detail =
            static_cast<IdentitySet>(apr_pcalloc(r->pool, (ids.size() + 1) * sizeof(Identity *)));
        for (size_t i = 0; i < ids.size(); ++i) doc->identity_set_detail[i] = ids[i];
        doc->session_info = static_cast<SessionInfo *>(apr_pcalloc(r->pool, sizeof(SessionInfo)));
        get_request_state(r)->introspect_doc = doc;
        r->user = apr_pstrdup(r->pool, user ? user : ids.at(0)->username);
        r->ap_auth_type = apr_pstrdup(r->pool, "kalder-auth");
    }
    authz_status check(TestRequest &r) { return mod_kalder_authz_hook(r, "", nullptr); }
    std::string names(TestRequest &r, IdentitySet set)
    {
        return set ? auth_identity_set_usernames(r, set) : "(null)";
    }
};

TEST_F(Authz, NeutralUnderAnotherAuthType)
{
    kalder::test::set_location_auth("Basic", nullptr);
    TestRequest r(srv);
    EXPECT_EQ(check(r), AUTHZ_NEUTRAL);
    EXPECT_TRUE(
        logged(APLOG_DEBUG, "AUTHZ: Virtual host AuthType (Basic) is not set to kalder-auth. Skipping."));
    kalder::test::set_location_auth(nullptr, nullptr);
    EXPECT_EQ(check(r), AUTHZ_NEUTRAL);
    EXPECT_TRUE(
        logged(APLOG_DEBUG, "AUTHZ: Virtual host AuthType (null) is not set to kalder-auth. Skipping."));
}

TEST_F(Authz, NeverGrantsWithoutACollectionType)
{
    srv.config()->collection_type = nullptr;
    TestRequest r(srv);
    EXPECT_EQ(check(r), AUTHZ_GENERAL_ERROR);
}

TEST_F(Authz, AnonymousPassAsksForAUserOnMappedHighAssuranceOrPolicyCollections)
{
    TestRequest mapped(srv);
    EXPECT_EQ(check(mapped), AUTHZ_DENIED_NO_USER);
    EXPECT_EQ(get_request_state(mapped)->reply_reason, REPLY_AUTHENTICATION_REQUIRED);
    EXPECT_TRUE(logged(APLOG_DEBUG,
                       "AUTHZ: Starting anonymous pass for mapped "
                       "collection5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11"))
        << kalder::test::dump_log();
    EXPECT_TRUE(logged(APLOG_DEBUG, "Skipping anonymous pass for mapped collection"));

    srv.config()->collection_type = GUEST_COLLECTION;
    srv.config()->auth_policy_id = "0a0b0c0d-0000-4000-8000-000000000001";
    srv.config()->capability_flags = MOD_KALDER_HIGH_ASSURANCE;
    TestRequest guest(srv);
    EXPECT_EQ(check(guest), AUTHZ_DENIED_NO_USER);
    EXPECT_TRUE(logged(APLOG_DEBUG,
                       "Skipping anonymous pass for high assurance guest collection with Auth policy "
                       "id 0a0b0c0d-0000-4000-8000-000000000001"));
}

TEST_F(Authz, BrowserReturningFromLoginGoesToAuthentication)
{
    TestRequest r(srv, "GET", "/redirect");
    r.header("Cookie", (std::string("mod_kalder_OIDC=") +
                        encrypt_value(r, "k", SEAL_COOKIE, "{\"state\": \"REDIRECT\"}"))
                           .c_str());
    EXPECT_EQ(check(r), AUTHZ_DENIED_NO_USER);
    EXPECT_TRUE(logged(APLOG_DEBUG, "Request is an OIDC redirect. Skipping."));
    EXPECT_EQ(get_request_state(r)->reply_reason, REPLY_NONE);

    // A cookie that does not open is no cookie: the check goes on as for
    // a browser without one.
    kalder::test::clear_log();
    TestRequest broken(srv, "GET", "/redirect");
    broken.header("Cookie", "mod_kalder_OIDC=AAAA");
    EXPECT_EQ(check(broken), AUTHZ_DENIED_NO_USER);
    EXPECT_FALSE(logged(APLOG_DEBUG, "Request is an OIDC redirect. Skipping."));
    EXPECT_TRUE(logged(APLOG_DEBUG, "Skipping anonymous pass for mapped collection"))
        << kalder::test::dump_log();
}

TEST_F(Authz, ScopesMustStartAWord)
{
    allow({"*"});
    const std::string https = "https://" SCOPE_URL_HOST "/scopes/client-1/https";
    const std::string data = "https://" SCOPE_URL_HOST "/scopes/client-1/data_access";
    // High assurance needs only the https scope; it then fails later, on
    // the missing authentication records, not on scopes.
    struct Case {
        std::string scope;
        uint32_t flags;
        authz_status result;
        uint32_t reason;
    } cases[] = {
        {"openid " + https + " " + data, 0, AUTHZ_GRANTED, REPLY_NONE},
        {"x" + https + " " + data, 0, AUTHZ_DENIED, REPLY_INSUFFICIENT_SCOPE},
        {https, 0, AUTHZ_DENIED, REPLY_INSUFFICIENT_SCOPE},
        {https, MOD_KALDER_HIGH_ASSURANCE, AUTHZ_DENIED, REPLY_INSUFFICIENT_SESSION},
    };
    for (const auto &c : cases) {
        srv.config()->capability_flags = c.flags;
        TestRequest r(srv);
        r.header("Authorization", "Bearer t");
        authenticate(r, {identity(r, "s1", "u@a.org", 10)}, c.scope.c_str());
        EXPECT_EQ(check(r), c.result) << c.scope << "\n" << kalder::test::dump_log();
        EXPECT_EQ(get_request_state(r)->reply_reason, c.reason) << c.scope;
    }
}

TEST_F(Authz, MappedInDomainSetFollowsDomainOrder)
{
    allow({"d1.org", "d2.org", "D3.org"});
    TestRequest r(srv);
    authenticate(r, {identity(r, "p", "p@d3.org", 5), identity(r, "q", "q@d1.org", 5),
                     identity(r, "x", "x@d9.org", 5)});
    EXPECT_EQ(check(r), AUTHZ_GRANTED) << kalder::test::dump_log();
    EXPECT_EQ(names(r, get_request_state(r)->effective_id_set), "q@d1.org,p@d3.org");
    EXPECT_EQ(get_request_state(r)->effective_acls, nullptr);
    EXPECT_EQ(kalder::test::count_logged("Request has no identities in the allowed domain d2.org."), 1);
    EXPECT_TRUE(logged(APLOG_DEBUG, "Authorization granted to Kalder collection"));
}

TEST_F(Authz, MappedRefusals)
{
    // No allowed domains: no set at all, reason untouched.
    {
        TestRequest r(srv);
        authenticate(r, {identity(r, "p", "p@a.org", 5)});
        EXPECT_EQ(check(r), AUTHZ_DENIED_NO_USER);
        EXPECT_EQ(get_request_state(r)->reply_reason, REPLY_NONE);
    }
    allow({"b.org"});
    {
        TestRequest r(srv);
        authenticate(r, {identity(r, "p", "p@a.org", 5)});
        EXPECT_EQ(check(r), AUTHZ_DENIED);
        EXPECT_EQ(get_request_state(r)->reply_reason, REPLY_ACCESS_DENIED);
    }
    // In-domain identity too old, the recent one outside the domains.
    allow({"a.org"});
    {
        TestRequest r(srv);
        authenticate(r, {identity(r, "p", "p@a.org", 7200), identity(r, "q", "q@b.org", 0)});
        EXPECT_EQ(check(r), AUTHZ_DENIED);
        const RequestState *state = get_request_state(r);
        EXPECT_EQ(state->reply_reason, REPLY_INSUFFICIENT_SESSION);
        EXPECT_EQ(names(r, state->denied_id_set), "p@a.org");
        EXPECT_TRUE(logged(APLOG_DEBUG,
                           "Identities from the allowed domain(s) have not met the collection's "
                           "authentication requirements. Access denied."));
    }
    // A timeout of 0 lets only this second through, except client identities.
    srv.config()->assurance_timeout = 0;
    {
        TestRequest r(srv);
        authenticate(r, {identity(r, "p", "p@a.org", 2)});
        EXPECT_EQ(check(r), AUTHZ_DENIED);
        EXPECT_EQ(get_request_state(r)->reply_reason, REPLY_INSUFFICIENT_SESSION);
        EXPECT_EQ(names(r, get_request_state(r)->denied_id_set), "p@a.org");
    }
    allow({CLIENT_IDENTITY_DOMAIN});
    {
        TestRequest r(srv);
        authenticate(r, {identity(r, "c", "app@" CLIENT_IDENTITY_DOMAIN, 100000)});
        EXPECT_EQ(check(r), AUTHZ_GRANTED);
    }
}

TEST_F(Authz, GuestWithoutTransferTokenIsAnInternalError)
{
    srv.config()->collection_type = GUEST_COLLECTION;
    allow({"nothing.org"});  // ignored for guest collections
    TestRequest r(srv);
    authenticate(r, {identity(r, "p", "p@a.org", 100000)});
    EXPECT_EQ(check(r), AUTHZ_GENERAL_ERROR);
    EXPECT_TRUE(logged(APLOG_ERR, "Unable to find the dependent transfer token."));
    EXPECT_TRUE(logged(APLOG_DEBUG, "Request has an effective id set of: p@a.org"));
}

TEST_F(Authz, UnusableIntrospectionAnswersAreInternalErrors)
{
    // Each of these once stopped the child on an assertion.
    enum Answer { NOT_RECORDED, NO_IDENTITIES, CLIENT_AND_ANOTHER };
    const std::string two =
        "AUTHZ: The introspection answer for the client identity app@" CLIENT_IDENTITY_DOMAIN
        " lists 2 identities instead of one";
    struct Case {
        const char *type;
        Answer answer;
        std::string message;
    } cases[] = {
        {MAPPED_COLLECTION, NOT_RECORDED,
         "AUTHZ: User u@a.org was not authenticated by this module: no introspection answer is recorded"},
        {GUEST_COLLECTION, NO_IDENTITIES,
         "AUTHZ: The introspection answer for user u@a.org lists no identities"},
        {MAPPED_COLLECTION, CLIENT_AND_ANOTHER, two},
        {GUEST_COLLECTION, CLIENT_AND_ANOTHER, two},
    };
    allow({"*"});
    for (const auto &c : cases) {
        kalder::test::clear_log();
        srv.config()->collection_type = c.type;
        TestRequest r(srv);
        switch (c.answer) {
            case NOT_RECORDED:
                r->user = apr_pstrdup(r->pool, "u@a.org");
                r->ap_auth_type = apr_pstrdup(r->pool, "kalder-auth");
                break;
            case NO_IDENTITIES:
                authenticate(r, {}, "", "u@a.org");
                break;
            case CLIENT_AND_ANOTHER:
                authenticate(
                    r, {identity(r, "c", "app@" CLIENT_IDENTITY_DOMAIN, 5), identity(r, "p", "p@a.org", 5)});
                break;
        }
        EXPECT_EQ(check(r), AUTHZ_GENERAL_ERROR) << c.message;
        EXPECT_TRUE(logged(APLOG_ERR, c.message)) << kalder::test::dump_log();
        EXPECT_EQ(get_request_state(r)->effective_id_set, nullptr);
    }
}

// --- ACLs ----------------------------------------------------------------------

struct Acls : Authz {
    AclDoc *parse(TestRequest &r, const char *text)
    {
        json_error_t error;
        json_t *json = json_loads(text, 0, &error);
        EXPECT_NE(json, nullptr) << text;
        AclDoc *doc = parse_acl_doc(r, json);
        json_decref(json);
        return doc;
    }
    AclPermit permit(const char *method, int number, const char *uri, const char *data)
    {
        TestRequest r(srv, method, uri);
        r->method_number = number;
        std::string text =
            std::string("{\"DATA_TYPE\": \"effective_permissions\", \"sharing_uuid\": \"s\", \"DATA\": ") +
            data + "}";
        AclDoc *doc = parse(r, text.c_str());
        EXPECT_NE(doc, nullptr);
        return doc ? transfer_acls_permit(r, doc) : ACL_ERROR;
    }
};

TEST_F(Acls, ParseRequiresTheEffectivePermissionsShape)
{
    TestRequest r(srv);
    AclDoc *doc = parse(r,
                        "{\"DATA_TYPE\": \"effective_permissions\", \"sharing_uuid\": \"u-1\", \"x\": 1, "
                        "\"DATA\": [{\"encoded_path\": \"/a%20b/\", \"permissions\": \"rw\", \"y\": 2}]}");
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc->sharing_uuid, "u-1");
    EXPECT_STREQ(doc->data[0]->encoded_path, "/a%20b/");
    EXPECT_STREQ(doc->data[0]->permissions, "rw");
    EXPECT_EQ(doc->data[1], nullptr);

    for (const char *bad :
         {"[]", "{\"DATA_TYPE\": \"other\", \"sharing_uuid\": \"u\", \"DATA\": []}",
          "{\"DATA_TYPE\": \"effective_permissions\", \"sharing_uuid\": \"u\", \"DATA\": {}}",
          "{\"DATA_TYPE\": \"effective_permissions\", \"DATA\": []}",
          "{\"DATA_TYPE\": \"effective_permissions\", \"sharing_uuid\": \"u\", \"DATA\": [1]}",
          "{\"DATA_TYPE\": \"effective_permissions\", \"sharing_uuid\": \"u\", "
          "\"DATA\": [{\"encoded_path\": \"/\"}]}"})
        EXPECT_EQ(parse(r, bad), nullptr) << bad;
}

// The same table drives the back end's site restrictions (test_backend.cpp).
TEST_F(Acls, RulesDecideAsInTheSharedTable)
{
    for (const path_rule_cases::Case &c : path_rule_cases::cases()) {
        std::string data = "[";
        for (const path_rule_cases::Rule &rule : c.rules)
            data += std::string(data.size() > 1 ? ", " : "") + "{\"encoded_path\": \"" + rule.encoded_path +
                    "\", \"permissions\": \"" + rule.perms + "\"}";
        data += "]";
        AclPermit expected = c.verdict == path_rule_cases::PERMITTED       ? ACL_PERMITTED
                             : c.verdict == path_rule_cases::NOT_PERMITTED ? ACL_NOT_PERMITTED
                                                                           : ACL_ERROR;
        if (c.letter == 'r') {
            EXPECT_EQ(permit("GET", M_GET, c.path, data.c_str()), expected) << path_rule_cases::describe(c);
        } else {
            EXPECT_EQ(permit("PUT", M_PUT, c.path, data.c_str()), expected) << path_rule_cases::describe(c);
            EXPECT_EQ(permit("DELETE", M_DELETE, c.path, data.c_str()), expected)
                << path_rule_cases::describe(c);
        }
        // Other methods are never permitted, and still fail on a bad path.
        EXPECT_EQ(permit("POST", M_POST, c.path, data.c_str()),
                  expected == ACL_ERROR ? ACL_ERROR : ACL_NOT_PERMITTED)
            << path_rule_cases::describe(c);
    }
    EXPECT_EQ(permit("OPTIONS", M_OPTIONS, "/x", "[{\"encoded_path\": \"/\", \"permissions\": \"rw\"}]"),
              ACL_NOT_PERMITTED);
}

}  // namespace
