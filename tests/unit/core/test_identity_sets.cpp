// Operations on the caller's linked identities.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "core_fakes.h"
#include "identity.h"
#include "log_capture.h"

namespace {

class IdentitySets : public ::testing::Test {
   protected:
    Identity *id(const char *sub, const char *username, int64_t last = 0)
    {
        auto *i = static_cast<Identity *>(apr_pcalloc(pool, sizeof(Identity)));
        i->sub = apr_pstrdup(pool, sub);
        i->username = apr_pstrdup(pool, username);
        i->last_authentication = last;
        return i;
    }
    IdentitySet set(std::initializer_list<Identity *> ids)
    {
        auto s = static_cast<IdentitySet>(apr_pcalloc(pool, (ids.size() + 1) * sizeof(Identity *)));
        size_t n = 0;
        for (Identity *i : ids) s[n++] = i;
        return s;
    }
    // "sub:username,sub:username" of a set, "null" for no set.
    static std::string show(IdentitySet s)
    {
        if (!s)
            return "null";
        std::string out;
        for (size_t i = 0; s[i]; ++i) out += (i ? "," : "") + std::string(s[i]->sub) + ":" + s[i]->username;
        return out;
    }
    AuthenticationRecord *auth(const char *sub, int64_t when, std::initializer_list<const char *> amr,
                               bool has_amr = true)
    {
        auto *a = static_cast<AuthenticationRecord *>(apr_pcalloc(pool, sizeof(AuthenticationRecord)));
        a->sub = sub;
        a->auth_time = when;
        if (has_amr) {
            a->amr = static_cast<const char **>(apr_pcalloc(pool, (amr.size() + 1) * sizeof(char *)));
            size_t n = 0;
            for (const char *m : amr) a->amr[n++] = m;
        }
        return a;
    }

    Pool pool;
    LogCapture log;
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
    IdentitySet out = auth_identity_set_filter_domain(pool, in, "EXAMPLE.org", log.sink());
    EXPECT_EQ(show(out), "p:pat@example.org,q:quinn@Example.ORG,u:u@evil.org@example.org");
    EXPECT_NE(out[0], P) << "results hold copies";
    EXPECT_NE(out[0]->sub, P->sub);
    EXPECT_EQ(out[1]->last_authentication, 2);
    EXPECT_EQ(show(in),
              "p:pat@example.org,q:quinn@Example.ORG,r:rob@sub.example.org,t:x@example.org@evil.org,"
              "n:example.org,u:u@evil.org@example.org")
        << "input untouched";

    EXPECT_EQ(show(auth_identity_set_filter_domain(pool, nullptr, "example.org", log.sink())), "");
    EXPECT_EQ(show(auth_identity_set_filter_domain(pool, set({}), "example.org", log.sink())), "");
    EXPECT_EQ(show(auth_identity_set_filter_domain(pool, in, "*", log.sink())), "") << "no wildcard here";
}

TEST_F(IdentitySets, UnionKeepsTheFirstOccurrenceOfASub)
{
    EXPECT_EQ(show(auth_identity_set_union(pool, set({P, Q}), set({Q2, R}), log.sink())),
              "p:pat@example.org,q:quinn@Example.ORG,r:rob@sub.example.org");
    EXPECT_EQ(show(auth_identity_set_union(pool, nullptr, set({P}), log.sink())), "p:pat@example.org");
    EXPECT_EQ(show(auth_identity_set_union(pool, set({P}), nullptr, log.sink())), "p:pat@example.org");
    EXPECT_EQ(show(auth_identity_set_union(pool, nullptr, nullptr, log.sink())), "");
    // Duplicates inside one operand collapse too.
    EXPECT_EQ(show(auth_identity_set_union(pool, set({Q, Q2}), set({}), log.sink())), "q:quinn@Example.ORG");
}

TEST_F(IdentitySets, IntersectionKeepsTheFirstSetsOrderAndFields)
{
    EXPECT_EQ(show(auth_identity_set_intersect(pool, set({P, Q, R}), set({R, P}), log.sink())),
              "p:pat@example.org,r:rob@sub.example.org");
    EXPECT_EQ(show(auth_identity_set_intersect(pool, set({Q}), set({Q2}), log.sink())),
              "q:quinn@Example.ORG");
    EXPECT_EQ(show(auth_identity_set_intersect(pool, set({P}), set({R}), log.sink())), "");
    EXPECT_EQ(show(auth_identity_set_intersect(pool, set({}), set({R}), log.sink())), "");
}

TEST_F(IdentitySets, MatchIgnoresOrder)
{
    EXPECT_TRUE(auth_identity_sets_match(set({P, Q}), set({Q, P}), log.sink()));
    EXPECT_FALSE(auth_identity_sets_match(set({P}), set({P, Q}), log.sink()));
    EXPECT_FALSE(auth_identity_sets_match(set({P, Q}), set({P, R}), log.sink()));
    EXPECT_TRUE(auth_identity_sets_match(set({}), set({}), log.sink()));
    EXPECT_TRUE(auth_identity_sets_match(nullptr, set({}), log.sink()));
    EXPECT_TRUE(auth_identity_sets_match(set({}), nullptr, log.sink()));
    EXPECT_FALSE(auth_identity_sets_match(set({}), set({P}), log.sink()));
    EXPECT_FALSE(auth_identity_sets_match(set({P}), nullptr, log.sink()));
}

TEST_F(IdentitySets, MatchOfConflictingRecordsForOneSubIsFalseNotACrash)
{
    // An identity-service answer listing one sub twice with different user
    // names must not bring the server process down.
    EXPECT_FALSE(auth_identity_sets_match(set({Q}), set({Q2}), log.sink()));
    EXPECT_TRUE(log.has(KLOG_ERR, "Identity sets hold different records for the identity q")) << log.dump();
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(IdentitySets, UsernameAndSubLists)
{
    EXPECT_STREQ(auth_identity_set_usernames(pool, set({P, R}), log.sink()),
                 "pat@example.org,rob@sub.example.org");
    EXPECT_STREQ(auth_identity_set_usernames(pool, set({P}), log.sink()), "pat@example.org");
    EXPECT_STREQ(auth_identity_set_usernames(pool, set({}), log.sink()), "");
    EXPECT_STREQ(auth_identity_set_usernames(pool, nullptr, log.sink()), "");
    EXPECT_STREQ(auth_identity_set_subs(pool, set({P, Q, R}), log.sink()), "p,q,r");
}

// A fixed clock: "now" is an argument of the filter.
constexpr int64_t NOW = 1700000000;

TEST_F(IdentitySets, RecentFilterWithoutAuthenticationRecords)
{
    Identity *edge = id("e", "e@x.org", NOW - 3600);
    Identity *old = id("o", "o@x.org", NOW - 3601);
    Identity *never = id("n", "n@x.org", 0);
    Identity *future = id("f", "f@x.org", NOW + 5);
    Identity *just = id("g", "g@x.org", NOW - 2);
    struct Case {
        IdentitySet in;
        int minutes;
        const char *kept;
    } cases[] = {
        {set({old, edge, never}), 60, "e:e@x.org"},  // the boundary passes, a second earlier not
        {set({future, just}), 0, "f:f@x.org"},
        {nullptr, 60, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(show(auth_identity_set_filter_recent(pool, c.in, nullptr, c.minutes, false, false, NOW,
                                                       log.sink())),
                  c.kept)
            << show(c.in);
}

TEST_F(IdentitySets, RecentFilterWithAuthenticationRecordsAndMfa)
{
    AuthenticationRecord *records[] = {auth("p", NOW - 10, {"password"}),  // recent, no mfa
                                       auth("q", NOW - 7200, {"mfa"}),     // too old
                                       auth("p", NOW - 5, {"mfa"}),        // a later record for p: ignored
                                       auth("r", NOW - 10, {"x", "mfa"}),  // recent with mfa
                                       auth("s", NOW - 10, {}, false),     // no amr list at all
                                       nullptr};
    AuthenticationRecord *upper[] = {auth("r", NOW, {"MFA"}), nullptr};
    Identity *S = id("s", "s@x.org", NOW);
    Identity *T = id("t", "t@x.org", NOW);  // no record
    IdentitySet in = set({P, Q, R, S, T});
    struct Case {
        IdentitySet in;
        AuthenticationRecord **records;
        bool mfa;
        const char *kept;
        const char *why;
    } cases[] = {
        {in, records, false, "p:pat@example.org,r:rob@sub.example.org,s:s@x.org", "first record per sub"},
        {in, records, true, "r:rob@sub.example.org", "mfa listed"},
        {in, nullptr, false, "", "without a list nobody qualifies in this mode"},
        {set({R}), upper, true, "", "\"mfa\" is compared exactly"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(
            show(auth_identity_set_filter_recent(pool, c.in, c.records, 60, true, c.mfa, NOW, log.sink())),
            c.kept)
            << c.why;
}

}  // namespace
