// The allowed-domain list, the kalderacl decisions on plain inputs, and the
// session message of a refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "authz_decisions.h"
#include "domains.h"
#include "log_capture.h"
#include "session_message.h"

namespace {

struct Pool {
    apr_pool_t *pool = nullptr;
    Pool() { apr_pool_create(&pool, nullptr); }
    ~Pool() { apr_pool_destroy(pool); }
    apr_array_header_t *list(const std::vector<const char *> &names)
    {
        auto *a = apr_array_make(pool, 4, sizeof(const char *));
        for (const char *n : names) APR_ARRAY_PUSH(a, const char *) = n;
        return a;
    }
};

TEST(Domains, NoneRestrictedOrWildcard)
{
    Pool p;
    struct Case {
        std::vector<const char *> names;
        bool none;
        bool restricted;
        DomainWalk walk;
        std::string visited;
    } cases[] = {
        {{}, true, false, DomainWalk::ALL, ""},
        {{"a.org", "b.org"}, false, true, DomainWalk::ALL, "a.org,b.org,"},
        // "*" admits everyone wherever it stands; the walk stops there.
        {{"*"}, false, false, DomainWalk::WILDCARD, ""},
        {{"a.org", "*", "b.org"}, false, false, DomainWalk::WILDCARD, "a.org,"},
        {{"*.org"}, false, true, DomainWalk::ALL, "*.org,"},
    };
    for (const auto &c : cases) {
        apr_array_header_t *list = p.list(c.names);
        std::string visited;
        EXPECT_EQ(domains_none(list), c.none) << c.visited;
        EXPECT_EQ(domains_restricted(list), c.restricted) << c.visited;
        EXPECT_EQ(domains_walk(list, [&](const char *d) { return visited += std::string(d) + ",", true; }),
                  c.walk);
        EXPECT_EQ(visited, c.visited);
    }
    EXPECT_TRUE(domains_none(nullptr));
    EXPECT_FALSE(domains_restricted(nullptr));
    int calls = 0;
    EXPECT_EQ(domains_walk(p.list({"a", "b"}), [&](const char *) { return ++calls, false; }),
              DomainWalk::STOPPED);
    EXPECT_EQ(calls, 1);
}

TEST(AuthzDecisions, ScopesMustStartAWord)
{
    struct Case {
        const char *scopes;
        bool has;
    } cases[] = {
        {"S", true},      {"openid S other", true},
        {"xS S", false},  // only the first occurrence counts
        {"xS", false},    {"", false},
        {nullptr, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(has_scope(c.scopes, "S"), c.has) << (c.scopes ? c.scopes : "(null)");
}

TEST(AuthzDecisions, GuestRefusals)
{
    struct Case {
        bool anonymous;
        bool all_tried;
        ReplyReason reason;
        const char *message;
    } cases[] = {
        {true, false, REPLY_AUTHENTICATION_REQUIRED,
         "Anonymous access denied. Request will be authenticated."},
        {false, true, REPLY_ACCESS_DENIED,
         "No permitting effective ACL. All identities attempted. Access denied."},
        {false, false, REPLY_INSUFFICIENT_SESSION,
         "No permitting effective ACL. Request can be retried after authenticating remaining identities."},
    };
    for (const auto &c : cases) {
        LogCapture log;
        EXPECT_EQ(guest_refusal_reason(log.sink(), c.anonymous, c.all_tried), c.reason);
        EXPECT_TRUE(log.has(KLOG_DEBUG, c.message)) << log.dump();
    }
}

TEST(SessionMessage, Sentences)
{
    Pool p;
    const std::string tail = "You must authenticate or link with an identity ";
    const std::string granted = "which has been granted access to this collection.";
    struct Case {
        std::vector<const char *> domains;
        const char *type;
        uint32_t flags;
        uint32_t reason;
        bool has_denied;
        const char *names;
        std::string sentence;
    } cases[] = {
        {{"d1.org", "d2.org"},
         MAPPED_COLLECTION,
         MOD_KALDER_REQUIRE_MFA,
         REPLY_ACCESS_DENIED,
         false,
         nullptr,
         tail + "from one of these domains (d1.org, d2.org) using MFA " + granted},
        {{"d1.org", "*", "d2.org"}, MAPPED_COLLECTION, 0, REPLY_NONE, false, nullptr, tail + granted},
        // Guest collections name no domains.
        {{"d1.org"},
         GUEST_COLLECTION,
         MOD_KALDER_REQUIRE_MFA,
         REPLY_ACCESS_DENIED,
         false,
         nullptr,
         "None of your identities have been granted access to this collection. " + tail + "using MFA " +
             granted},
        {{},
         GUEST_COLLECTION,
         0,
         REPLY_INSUFFICIENT_SESSION,
         true,
         "a@x.org,b@y.org",
         "The identities (a@x.org,b@y.org) have not been granted access to this collection. " + tail +
             granted},
        {{},
         GUEST_COLLECTION,
         0,
         REPLY_INSUFFICIENT_SESSION,
         true,
         nullptr,
         "The identities () have not been granted access to this collection. " + tail + granted},
        {{}, MAPPED_COLLECTION, 0, REPLY_INSUFFICIENT_SESSION, true, "a@x.org", tail + granted},
    };
    for (const auto &c : cases) {
        ServerConfig conf{};
        conf.collection_type = c.type;
        conf.capability_flags = c.flags;
        conf.allowed_domains = p.list(c.domains);
        bool guest = std::string(c.type) == GUEST_COLLECTION;
        LogCapture log;
        EXPECT_EQ(session_message(p.pool, log.sink(), &conf, guest, c.reason, c.has_denied, c.names),
                  c.sentence);
        EXPECT_TRUE(log.lines().empty()) << log.dump();
    }

    // Without the refused identities recorded.
    ServerConfig conf{};
    LogCapture log;
    EXPECT_EQ(session_message(p.pool, log.sink(), &conf, true, REPLY_INSUFFICIENT_SESSION, false, nullptr),
              tail + granted);
    EXPECT_TRUE(log.has(KLOG_WARNING, "Internal error: missing denied identity set"));
    EXPECT_EQ(log.lines()[0].source, "authz_params");
}

}  // namespace
