// Operations on the caller's linked identities.
#include <gtest/gtest.h>

#include <ctime>
#include <initializer_list>
#include <string>

#include "apr_strings.h"
#include "testing.h"

using namespace kalder::test;

namespace {

class IdentitySets : public ::testing::Test {
protected:
    void SetUp() override { clear_log(); }

    Identity *id(const char *sub, const char *username, int64_t last = 0)
    {
        auto *i = static_cast<Identity *>(apr_pcalloc(request->pool, sizeof(Identity)));
        i->sub = apr_pstrdup(request->pool, sub);
        i->username = apr_pstrdup(request->pool, username);
        i->last_authentication = last;
        return i;
    }
    IdentitySet set(std::initializer_list<Identity *> ids)
    {
        auto s = static_cast<IdentitySet>(apr_pcalloc(request->pool, (ids.size() + 1) * sizeof(Identity *)));
        size_t n = 0;
        for (Identity *i : ids)
            s[n++] = i;
        return s;
    }
    // "sub:username,sub:username" of a set, "null" for no set.
    static std::string show(IdentitySet s)
    {
        if (!s)
            return "null";
        std::string out;
        for (size_t i = 0; s[i]; ++i)
            out += (i ? "," : "") + std::string(s[i]->sub) + ":" + s[i]->username;
        return out;
    }
    AuthenticationRecord *auth(const char *sub, int64_t when, std::initializer_list<const char *> amr, bool has_amr = true)
    {
        auto *a = static_cast<AuthenticationRecord *>(apr_pcalloc(request->pool, sizeof(AuthenticationRecord)));
        a->sub = sub;
        a->auth_time = when;
        if (has_amr) {
            a->amr = static_cast<const char **>(apr_pcalloc(request->pool, (amr.size() + 1) * sizeof(char *)));
            size_t n = 0;
            for (const char *m : amr)
                a->amr[n++] = m;
        }
        return a;
    }

    TestServer server;
    TestRequest request{server};
    Identity *P = id("p", "pat@example.org", 1);
    Identity *Q = id("q", "quinn@Example.ORG", 2);
    Identity *Q2 = id("q", "quinn@other.org", 3);
    Identity *R = id("r", "rob@sub.example.org", 4);
};

TEST_F(IdentitySets, CountAndEmptiness)
{
    EXPECT_EQ(auth_get_identity_count(nullptr), 0);
    EXPECT_EQ(auth_get_identity_count(set({})), 0);
    EXPECT_EQ(auth_get_identity_count(set({P, Q, R})), 3);
    EXPECT_TRUE(auth_identity_set_empty(nullptr));
    EXPECT_TRUE(auth_identity_set_empty(set({})));
    EXPECT_FALSE(auth_identity_set_empty(set({P})));
}

TEST_F(IdentitySets, DomainFilterComparesTheTextAfterTheLastAtIgnoringCase)
{
    Identity *two_ats = id("t", "x@example.org@evil.org");
    Identity *no_at = id("n", "example.org");
    IdentitySet in = set({P, Q, R, two_ats, no_at, id("u", "u@evil.org@example.org")});
    IdentitySet out = auth_identity_set_filter_domain(request, in, "EXAMPLE.org");
    EXPECT_EQ(show(out), "p:pat@example.org,q:quinn@Example.ORG,u:u@evil.org@example.org");
    EXPECT_NE(out[0], P) << "results hold copies";
    EXPECT_NE(out[0]->sub, P->sub);
    EXPECT_EQ(out[1]->last_authentication, 2);
    EXPECT_EQ(show(in), "p:pat@example.org,q:quinn@Example.ORG,r:rob@sub.example.org,t:x@example.org@evil.org,"
                        "n:example.org,u:u@evil.org@example.org")
        << "input untouched";

    EXPECT_EQ(show(auth_identity_set_filter_domain(request, nullptr, "example.org")), "");
    EXPECT_EQ(show(auth_identity_set_filter_domain(request, set({}), "example.org")), "");
    EXPECT_EQ(show(auth_identity_set_filter_domain(request, in, "*")), "") << "no wildcard here";
}

TEST_F(IdentitySets, UnionKeepsTheFirstOccurrenceOfASub)
{
    EXPECT_EQ(show(auth_identity_set_union(request, set({P, Q}), set({Q2, R}))),
              "p:pat@example.org,q:quinn@Example.ORG,r:rob@sub.example.org");
    EXPECT_EQ(show(auth_identity_set_union(request, nullptr, set({P}))), "p:pat@example.org");
    EXPECT_EQ(show(auth_identity_set_union(request, set({P}), nullptr)), "p:pat@example.org");
    EXPECT_EQ(show(auth_identity_set_union(request, nullptr, nullptr)), "");
    // Duplicates inside one operand collapse too.
    EXPECT_EQ(show(auth_identity_set_union(request, set({Q, Q2}), set({}))), "q:quinn@Example.ORG");
}

TEST_F(IdentitySets, IntersectionKeepsTheFirstSetsOrderAndFields)
{
    EXPECT_EQ(show(auth_identity_set_intersect(request, set({P, Q, R}), set({R, P}))),
              "p:pat@example.org,r:rob@sub.example.org");
    EXPECT_EQ(show(auth_identity_set_intersect(request, set({Q}), set({Q2}))), "q:quinn@Example.ORG");
    EXPECT_EQ(show(auth_identity_set_intersect(request, set({P}), set({R}))), "");
    EXPECT_EQ(show(auth_identity_set_intersect(request, set({}), set({R}))), "");
}

TEST_F(IdentitySets, MatchIgnoresOrder)
{
    EXPECT_TRUE(auth_identity_sets_match(set({P, Q}), set({Q, P})));
    EXPECT_FALSE(auth_identity_sets_match(set({P}), set({P, Q})));
    EXPECT_FALSE(auth_identity_sets_match(set({P, Q}), set({P, R})));
    EXPECT_TRUE(auth_identity_sets_match(set({}), set({})));
    EXPECT_TRUE(auth_identity_sets_match(nullptr, set({})));
    EXPECT_TRUE(auth_identity_sets_match(set({}), nullptr));
    EXPECT_FALSE(auth_identity_sets_match(set({}), set({P})));
    EXPECT_FALSE(auth_identity_sets_match(set({P}), nullptr));
}

TEST_F(IdentitySets, MatchOfConflictingRecordsForOneSubIsFalseNotACrash)
{
    // An identity-service answer listing one sub twice with different user
    // names must not bring the server process down.
    EXPECT_FALSE(auth_identity_sets_match(set({Q}), set({Q2})));
    EXPECT_EQ(count_logged("Identity sets hold different records for the identity q"), 1);
}

TEST_F(IdentitySets, UsernameAndSubLists)
{
    EXPECT_STREQ(auth_identity_set_usernames(request, set({P, R})), "pat@example.org,rob@sub.example.org");
    EXPECT_STREQ(auth_identity_set_usernames(request, set({P})), "pat@example.org");
    EXPECT_STREQ(auth_identity_set_usernames(request, set({})), "");
    EXPECT_STREQ(auth_identity_set_usernames(request, nullptr), "");
    EXPECT_STREQ(auth_identity_set_subs(request, set({P, Q, R})), "p,q,r");
}

TEST_F(IdentitySets, RecentFilterWithoutAuthenticationRecords)
{
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    // The boundary passes; a second earlier does not. Allow for the clock
    // turning over between here and the filter by retrying once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        now = static_cast<int64_t>(std::time(nullptr));
        Identity *edge = id("e", "e@x.org", now - 3600);
        Identity *old = id("o", "o@x.org", now - 3601);
        Identity *never = id("n", "n@x.org", 0);
        std::string got = show(auth_identity_set_filter_recent(request, set({old, edge, never}), nullptr, 60, false, false));
        if (static_cast<int64_t>(std::time(nullptr)) != now)
            continue;
        EXPECT_EQ(got, "e:e@x.org");
        break;
    }
    now = static_cast<int64_t>(std::time(nullptr));
    EXPECT_EQ(show(auth_identity_set_filter_recent(request, set({id("f", "f@x.org", now + 5), id("g", "g@x.org", now - 2)}),
                                                   nullptr, 0, false, false)),
              "f:f@x.org");
    EXPECT_EQ(show(auth_identity_set_filter_recent(request, nullptr, nullptr, 60, false, false)), "");
}

TEST_F(IdentitySets, RecentFilterWithAuthenticationRecordsAndMfa)
{
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    AuthenticationRecord *records[] = {
        auth("p", now - 10, {"password"}),       // recent, no mfa
        auth("q", now - 7200, {"mfa"}),          // too old
        auth("p", now - 5, {"mfa"}),             // a later record for p: ignored
        auth("r", now - 10, {"x", "mfa"}),       // recent with mfa
        auth("s", now - 10, {}, false),          // no amr list at all
        nullptr};
    Identity *S = id("s", "s@x.org", now);
    Identity *T = id("t", "t@x.org", now);  // no record
    IdentitySet in = set({P, Q, R, S, T});

    EXPECT_EQ(show(auth_identity_set_filter_recent(request, in, records, 60, true, false)),
              "p:pat@example.org,r:rob@sub.example.org,s:s@x.org");
    EXPECT_EQ(show(auth_identity_set_filter_recent(request, in, records, 60, true, true)), "r:rob@sub.example.org");
    EXPECT_EQ(show(auth_identity_set_filter_recent(request, in, nullptr, 60, true, false)), "")
        << "without a list nobody qualifies in this mode";
    AuthenticationRecord *upper[] = {auth("r", now, {"MFA"}), nullptr};
    EXPECT_EQ(show(auth_identity_set_filter_recent(request, set({R}), upper, 60, true, true)), "")
        << "\"mfa\" is compared exactly";
}

}  // namespace
