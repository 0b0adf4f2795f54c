// Request classification from header values and the configuration, and
// the scope URLs.
#include <gtest/gtest.h>

#include <string>

#include "classify.h"
#include "log_capture.h"

namespace {

TEST(Classify, BearerTokenAndProgramRequests)
{
    struct Case {
        const char *authorization;
        const char *requested_with;
        bool program;
        const char *token;  // null: none
    } cases[] = {
        // The scheme in any case; the token ends at the first blank only.
        {"bearer \t first second", nullptr, true, "first"},
        {"Bearer a\tb", nullptr, true, "a\tb"},
        // Blanks only after the scheme: no token, a program only if it says so.
        {"Bearer  \r\n ", nullptr, false, nullptr},
        {"Bearer  \r\n ", "XMLHttpRequest", true, nullptr},
        {"Bearertoken", nullptr, false, nullptr},
        {"Basic dXNlcjpwdw==", "xmlhttprequest", true, nullptr},
        {nullptr, "XMLHttpRequest2", false, nullptr},
        {nullptr, nullptr, false, nullptr},
    };
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    for (const auto &c : cases) {
        const char *label = c.authorization ? c.authorization : "(none)";
        EXPECT_EQ(is_program_request(c.authorization, c.requested_with), c.program) << label;
        const char *start = bearer_token_start(c.authorization);
        const char *token = start ? bearer_token_copy(pool, log_discard(), start) : nullptr;
        if (c.token)
            EXPECT_STREQ(token, c.token) << label;
        else
            EXPECT_EQ(token, nullptr) << label;
    }
    apr_pool_destroy(pool);
}

TEST(Classify, BrowserByUserAgent)
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
    for (const auto &c : cases)
        EXPECT_EQ(is_browser_agent(c.agent), c.browser) << (c.agent ? c.agent : "(none)");
}

TEST(Classify, CollectionKindAndClientIdentity)
{
    ServerConfig conf{};
    EXPECT_FALSE(is_guest_collection(&conf));
    EXPECT_FALSE(is_mapped_collection(&conf));
    EXPECT_FALSE(is_mapped_collection(nullptr));
    conf.collection_type = GUEST_COLLECTION;
    EXPECT_TRUE(is_guest_collection(&conf));
    EXPECT_FALSE(requires_data_access_scope(&conf));
    conf.collection_type = MAPPED_COLLECTION;
    EXPECT_TRUE(is_mapped_collection(&conf));
    EXPECT_TRUE(requires_data_access_scope(&conf));
    conf.capability_flags = MOD_KALDER_HIGH_ASSURANCE;
    EXPECT_FALSE(requires_data_access_scope(&conf));

    struct Case {
        const char *user;
        bool client;
    } users[] = {
        {"app@" CLIENT_IDENTITY_DOMAIN, true},
        {"app@other@" CLIENT_IDENTITY_DOMAIN, false},
        {"app@x." CLIENT_IDENTITY_DOMAIN, false},
        {"nodomain", false},
    };
    for (const auto &c : users) EXPECT_EQ(is_client_username(c.user), c.client) << c.user;
}

TEST(Classify, ScopeUrlNeedsTheClientId)
{
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    ServerConfig conf{};
    LogCapture log;
    EXPECT_EQ(scope_url(pool, log.sink(), &conf, "h.example.org", "https"), nullptr);
    EXPECT_TRUE(
        log.has(KLOG_ERR, "KalderAuthClientID is not set for server h.example.org; no scope can be named"));
    EXPECT_EQ(scope_url(pool, log.sink(), &conf, nullptr, "https"), nullptr);
    EXPECT_TRUE(log.has(KLOG_ERR, "server (unnamed);"));
    conf.client_id = "c1d2";
    EXPECT_STREQ(scope_url(pool, log.sink(), &conf, nullptr, "data_access"),
                 "https://" SCOPE_URL_HOST "/scopes/c1d2/data_access");
    apr_pool_destroy(pool);
}

}  // namespace
