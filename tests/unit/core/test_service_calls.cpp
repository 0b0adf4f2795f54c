// The identity and transfer services' calls against a scripted HTTPS client
// and an in-memory keyring: what is asked, what is cached, and the line of
// each outcome.
#include <gtest/gtest.h>

#include <string>

#include "acl.h"
#include "core_fakes.h"
#include "identity.h"
#include "identity_calls.h"
#include "log_capture.h"

namespace {

const char *const active_answer = R"({"active": true, "scope": "openid urn:x:https",
  "identity_set_detail": [
    {"sub": "s-alice", "username": "alice@example.org", "last_authentication": 1700000000},
    {"sub": "s-alt", "username": "alice@other.org", "last_authentication": null}],
  "session_info": {"authentications": {"s-alice": {"auth_time": 1700000010, "amr": ["mfa"]}}}})";
const char *const inactive_answer = R"({"active": false})";
const char *const dependent_answer =
    R"([{"access_token": "xfer-1", "resource_server": "transfer.api.kalder.org"}])";
const char *const acl_answer = R"({"DATA_TYPE": "effective_permissions", "sharing_uuid": "u-1",
  "DATA": [{"encoded_path": "/shared/", "permissions": "r"}]})";

std::string describe(const IntrospectDoc *doc)
{
    if (!doc)
        return "null";
    if (!doc->active)
        return "inactive";
    int n = auth_get_identity_count(doc->identity_set_detail);
    return "active scope=" + std::string(doc->scope) + " ids=" + std::to_string(n) +
           (n ? " first=" + std::string(doc->identity_set_detail[0]->username) : "");
}

int count_prefixed(const LogCapture &log, int level, const std::string &prefix)
{
    int n = 0;
    for (const auto &line : log.lines()) n += line.level == level && line.text.rfind(prefix, 0) == 0;
    return n;
}

bool mentions(const LogCapture &log, const std::string &text)
{
    return log.dump().find(text) != std::string::npos;
}

class ServiceCalls : public ::testing::Test {
   protected:
    IntrospectDoc *introspect(const char *token)
    {
        return identity_introspect(pool, env(), service, token, log.sink());
    }
    std::string dependent(const char *token)
    {
        TokenDoc *doc = nullptr;
        int rc = identity_dependent_tokens(pool, env(), service, token, &doc, log.sink());
        std::string s = std::to_string(rc);
        if (rc == 0) {
            s += ":";
            for (TokenEntry **e = doc->tokens; *e; ++e)
                s += std::string((*e)->access_token) + "@" + (*e)->resource_server + ";";
        }
        return s;
    }
    TokenResponseDoc *exchange(const char *code)
    {
        return identity_exchange_code(pool, env(), service, code, "https://collection.example.org/redirect",
                                      log.sink());
    }
    std::string acls(const char *token)
    {
        AclDoc *doc = nullptr;
        int rc = acl_fetch(pool, env(), transfer, token, &doc, log.sink());
        return std::to_string(rc) + (rc == 0 ? std::string(":") + doc->sharing_uuid : "");
    }
    // The keyring's, the client's and answer members' lines go to a sink of their own.
    ServiceEnv env() { return ServiceEnv{https, AnswerCache{keyring, 60}, env_log.sink(), metrics}; }
    void cache(const char *prefix, const char *token, const std::string &text)
    {
        answer_cache_put(pool, AnswerCache{keyring, 60}, prefix, token, text.c_str(), text.size() + 1,
                         log_discard());
    }
    std::string cached(const char *prefix, const char *token)
    {
        char *v = answer_cache_get(pool, AnswerCache{keyring, 60}, prefix, token, log_discard());
        return v ? v : "<miss>";
    }

    Pool pool;
    Metrics *metrics = nullptr;
    LogCapture log, env_log;
    FakeHttps https;
    FakeKeyring keyring;
    IdentityService service{"https://auth.example.org/v2", "module-client", "module-secret", 20};
    TransferService transfer{"https://transfer.example.org/v0.10", "c-1", 20};
};

TEST_F(ServiceCalls, IntrospectionAsksOnceThenUsesTheCacheForActiveAndInactive)
{
    https.script({{0, 200, active_answer}, {0, 200, inactive_answer}});
    std::string got;
    for (const char *token : {"tok-active", "tok-active", "tok-unknown", "tok-unknown"})
        got += describe(introspect(token)) + "|";
    EXPECT_EQ(got,
              "active scope=openid urn:x:https ids=2 first=alice@example.org|"
              "active scope=openid urn:x:https ids=2 first=alice@example.org|inactive|inactive|");
    ASSERT_EQ(https.seen().size(), 2u) << "one call per token; the repeats come from the keyring";
    const FakeHttps::Seen &last = https.seen().back();
    EXPECT_EQ(last.url, "https://auth.example.org/v2/oauth2/token/introspect");
    EXPECT_EQ(last.post, "token=tok-unknown&include=session_info,identity_set_detail");
    EXPECT_EQ(last.client_id + ":" + last.client_secret + " " + last.bearer,
              "module-client:module-secret <null>");
    EXPECT_EQ(last.timeout, 20);
    EXPECT_EQ(count_prefixed(log, KLOG_DEBUG, "Using introspect result: "), 2) << log.dump();
    EXPECT_EQ(count_prefixed(log, KLOG_DEBUG, "Using cached introspect result: "), 2) << log.dump();
    for (const auto &line : log.lines()) EXPECT_EQ(line.source, "auth") << line.text;
    EXPECT_TRUE(env_log.lines().empty()) << env_log.dump();
}

TEST_F(ServiceCalls, TokensAndCodesAreEscapedForTheFormBody)
{
    https.answer(200, inactive_answer);
    introspect("a+b&c=d/\xc3\xa9 x");
    EXPECT_EQ(https.seen().back().post,
              "token=a%2bb%26c%3dd/%c3%a9%20x&include=session_info,identity_set_detail");
    exchange("c&d=e+f?");
    EXPECT_EQ(https.seen().back().post,
              "code=c%26d%3de%2bf%3f&redirect_uri=https://collection.example.org/redirect"
              "&grant_type=authorization_code");
}

TEST_F(ServiceCalls, RejectedClientCredentialsAreOnlyADebugLine)
{
    https.answer(401, R"({"error": "invalid_client"})");
    EXPECT_EQ(introspect("tok-active"), nullptr);
    EXPECT_TRUE(log.has(
        KLOG_DEBUG,
        "Failed to fetch the token introspection. http_status=401 reply={\"error\": \"invalid_client\"}"))
        << log.dump();
    EXPECT_EQ(log.lines().size(), 1u) << log.dump();
}

TEST_F(ServiceCalls, BrokenIntrospectionAnswersAreNeverCached)
{
    struct Case {
        FakeHttps::Answer answer;
        const char *message;
        int level;
    } cases[] = {
        {{0, 500, "down"}, "Failed to fetch the token introspection. http_status=500 reply=down", KLOG_DEBUG},
        {{0, 503, nullptr}, "Failed to fetch the token introspection. http_status=503", KLOG_DEBUG},
        {{0, 200, nullptr}, "Failed to fetch the token introspection, response was empty", KLOG_ERR},
        {{0, 200, "{\"active\": tru"},
         "Failed to fetch the token introspection, could not deserialize response: {\"active\": tru",
         KLOG_ERR},
        {{0, 200, "{\"active\": true}"}, "Unexpected introspect response: {\"active\": true}", KLOG_ERR},
        {{1, 0, nullptr}, "Failed to fetch the token introspection: 1", KLOG_ERR},
        // Active without session_info: the document is incomplete.
        {{0, 200, R"({"active": true, "scope": "", "identity_set_detail": []})"},
         "Missing JSON field 'session_info'",
         KLOG_DEBUG},
    };
    for (const Case &c : cases) {
        FakeHttps fresh;
        https = fresh;
        https.script({c.answer});
        log.clear();
        for (int round = 0; round < 2; ++round) EXPECT_EQ(introspect("tok-active"), nullptr) << c.message;
        EXPECT_TRUE(log.has(c.level, c.message)) << c.message << "\n" << log.dump();
        EXPECT_EQ(https.seen().size(), 2u) << "failures are never cached: " << c.message;
        EXPECT_TRUE(keyring.keys.empty());
    }
}

TEST_F(ServiceCalls, CachedTextThatNoLongerParsesIsRefetchedAndReplaced)
{
    cache("kalder:introspect", "tok-active", "{\"active\":");
    https.answer(200, active_answer);
    EXPECT_EQ(describe(introspect("tok-active")),
              "active scope=openid urn:x:https ids=2 first=alice@example.org");
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Unable to deserialize saved introspect doc string: {\"active\":"))
        << log.dump();
    EXPECT_EQ(https.seen().size(), 1u);
    EXPECT_EQ(cached("kalder:introspect", "tok-active"), active_answer);
}

TEST_F(ServiceCalls, AnswerTheKeyringRefusesIsStillUsed)
{
    // 400 linked identities make an answer well above the keyring's 32767
    // bytes; a full key quota refuses any answer.
    std::string big = R"({"active": true, "scope": "s", "session_info": {}, "identity_set_detail": [)";
    for (int i = 0; i < 400; ++i)
        big += std::string(i ? "," : "") + "{\"sub\": \"s-" + std::to_string(i) + "\", \"username\": \"user" +
               std::to_string(i) + "@example.org\", \"last_authentication\": 1700000000}";
    big += "]}";
    struct Case {
        const char *answer;
        int refuse;
        const char *expected;
    } cases[] = {
        {big.c_str(), 0, "active scope=s ids=400 first=user0@example.org"},
        {active_answer, EDQUOT, "active scope=openid urn:x:https ids=2 first=alice@example.org"},
    };
    for (const Case &c : cases) {
        FakeHttps fresh;
        https = fresh;
        https.answer(200, c.answer);
        keyring.refuse = c.refuse;
        env_log.clear();
        for (int round = 0; round < 2; ++round) EXPECT_EQ(describe(introspect("tok")), c.expected) << round;
        EXPECT_EQ(count_prefixed(env_log, KLOG_WARNING, "Failed to store value in key utils cache: "), 2)
            << env_log.dump();
        EXPECT_EQ(https.seen().size(), 2u) << "not cached, so asked again";
    }
}

TEST_F(ServiceCalls, DependentTokensAreFetchedOnceAndCached)
{
    https.script({{0, 200, dependent_answer}, {0, 200, "[]"}});
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(dependent("tok-active"), "0:xfer-1@transfer.api.kalder.org;");
    ASSERT_EQ(https.seen().size(), 1u);
    EXPECT_EQ(https.seen()[0].url, "https://auth.example.org/v2/oauth2/token");
    EXPECT_EQ(https.seen()[0].post,
              "grant_type=urn:kalder:auth:grant_type:dependent_token&token=tok-active"
              "&scope=urn:kalder:auth:scope:transfer.api.kalder.org:all");
    EXPECT_EQ(dependent("tok-nodeps") + "|" + dependent("tok-nodeps"), "0:|0:")
        << "an empty list is an answer";
    EXPECT_EQ(https.seen().size(), 2u);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(ServiceCalls, ExactInvalidGrantMeansTheCallersTokenExpired)
{
    https.answer(400, "{\"error\":\"invalid_grant\"}");
    for (int round = 0; round < 2; ++round) EXPECT_EQ(dependent("tok-expired"), "1");
    EXPECT_EQ(https.seen().size(), 2u) << "not cached";
    EXPECT_EQ(count_prefixed(log, KLOG_DEBUG, "Failed to fetch dependent tokens, token has expired"), 2);

    for (const char *body : {R"({"error": "invalid_grant"})", R"({"error":"invalid_grant","x":1})"}) {
        https.answer(400, body);
        log.clear();
        EXPECT_EQ(dependent("tok-active"), "2") << body;
        EXPECT_TRUE(log.has(KLOG_DEBUG,
                            std::string("Failed to fetch dependent tokens. http_status=400 reply=") + body))
            << log.dump();
    }
}

TEST_F(ServiceCalls, MalformedDependentTokenAnswersAreLoggedWithoutTheToken)
{
    struct Case {
        FakeHttps::Answer answer;
        const char *message;
    } cases[] = {
        {{0, 200, R"([{"access_token": "SECRETTOKEN123", "scope": "x"}])"},
         "Unexpected token response: [{\"access_token\": \"SECR...\", \"scope\": \"x\"}]"},
        {{0, 200, R"([{"access_token": "SECRETTOKEN123")"},
         "Failed to fetch dependent tokens, could not deserialize response: [{\"access_token\": \"SECR..."},
        {{0, 500, R"({"access_token": "SECRETTOKEN123"})"},
         "Failed to fetch dependent tokens. http_status=500 reply={\"access_token\": \"SECR...\"}"},
        {{0, 200, nullptr}, "Failed to fetch dependent_tokens, response was empty"},
        {{1, 0, nullptr}, "Failed to fetch dependent tokens: 1"},
    };
    for (const Case &c : cases) {
        https.script({c.answer});
        log.clear();
        for (int round = 0; round < 2; ++round) EXPECT_EQ(dependent("tok-badeps"), "2") << c.message;
        EXPECT_TRUE(log.has(c.answer.rc == 0 && c.answer.status != 200 ? KLOG_DEBUG : KLOG_ERR, c.message))
            << log.dump();
        EXPECT_FALSE(mentions(log, "SECRETTOKEN123")) << log.dump();
    }
    EXPECT_TRUE(keyring.keys.empty()) << "not cached";
}

TEST_F(ServiceCalls, UnreadableCachedTokenDocIsRefetched)
{
    cache("kalder:token", "tok-active", "{\"access_token\": \"OLDSECRET99\"}");
    https.answer(200, dependent_answer);
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(dependent("tok-active"), "0:xfer-1@transfer.api.kalder.org;");
    EXPECT_TRUE(log.has(KLOG_WARNING,
                        "Unable to deserialize the saved token doc string: {\"access_token\": \"OLDS...\"}"))
        << log.dump();
    EXPECT_EQ(https.seen().size(), 1u);
}

TEST_F(ServiceCalls, CodeExchangeReturnsTheTokensAndIsNeverCached)
{
    https.script(
        {{0, 200,
          R"({"access_token": "login-auth", "resource_server": "auth.kalder.org", "state": "SEALED-URI",
                       "other_tokens": [{"access_token": "login-transfer-1",
                                         "resource_server": "transfer.api.kalder.org"}]})"},
         {0, 400, "{\"error\":\"invalid_grant\"}"}});
    TokenResponseDoc *doc = exchange("the-code");
    ASSERT_NE(doc, nullptr) << log.dump();
    EXPECT_STREQ(doc->state, "SEALED-URI");
    EXPECT_STREQ(auth_get_access_token(pool, doc, "transfer.api.kalder.org", log.sink()), "login-transfer-1");
    EXPECT_STREQ(auth_get_access_token(pool, doc, "auth.kalder.org", log.sink()), "login-auth");
    EXPECT_EQ(exchange("the-code"), nullptr) << "a code works once";
    EXPECT_EQ(
        https.seen().back().post,
        "code=the-code&redirect_uri=https://collection.example.org/redirect&grant_type=authorization_code");
    EXPECT_EQ(https.seen().back().client_id, "module-client");
    EXPECT_TRUE(
        log.has(KLOG_DEBUG,
                "Authorization code exchange failed: http_status=400 reply={\"error\":\"invalid_grant\"}"))
        << log.dump();
    EXPECT_EQ(count_prefixed(log, KLOG_ERR, ""), 0) << log.dump();
    EXPECT_TRUE(keyring.keys.empty());
}

TEST_F(ServiceCalls, MalformedCodeExchangeAnswers)
{
    struct Case {
        const char *answer;
        const char *complaint;
    } cases[] = {
        {R"({"access_token": "TOPSECRET1", "resource_server": "a", "other_tokens": []})",
         "Missing JSON string field 'state'"},
        {R"({"access_token": "TOPSECRET1", "resource_server": "a", "state": "s"})",
         "Missing JSON field 'other_tokens'"},
        {R"({"access_token": "TOPSECRET1", "resource_server": "a", "state": "s", "other_tokens": {}})",
         "Expected field 'other_tokens' doc to be a JSON array"},
        {R"({"access_token": "TOPSECRET1", "resource_server": "a", "state": "s", "other_tokens": [7]})",
         "Expected '.other_tokens[index]' to be an object"},
        {R"({"access_token": "TOPSECRET1", "resource_server": "a", "state": "s", "other_tokens": [{}]})",
         "Missing JSON string field 'access_token'"},
        {R"([{"access_token": "TOPSECRET1"}])", "Expected token_doc to be an object"},
    };
    for (const Case &c : cases) {
        https.answer(200, c.answer);
        log.clear();
        EXPECT_EQ(exchange("any-code"), nullptr) << c.answer;
        EXPECT_TRUE(log.has(KLOG_DEBUG, c.complaint)) << c.answer << "\n" << log.dump();
        EXPECT_EQ(count_prefixed(log, KLOG_ERR, "Unexpected token response: "), 1) << log.dump();
        EXPECT_TRUE(mentions(log, "TOPS...")) << log.dump();
        EXPECT_FALSE(mentions(log, "TOPSECRET")) << "tokens must not reach the log\n" << log.dump();
    }
    for (FakeHttps::Answer a : {FakeHttps::Answer{1, 0, nullptr}, FakeHttps::Answer{0, 200, nullptr},
                                FakeHttps::Answer{0, 200, "{"}}) {
        https.script({a});
        log.clear();
        EXPECT_EQ(exchange("any-code"), nullptr);
        EXPECT_EQ(count_prefixed(log, KLOG_ERR, "Authorization code exchange failed"), 1) << log.dump();
    }
}

// --- effective permissions -----------------------------------------------------

TEST_F(ServiceCalls, AclsOfAUserAndOfAnonymousCallersAreCachedApart)
{
    https.answer(200, acl_answer);
    std::string got;
    for (const char *token :
         {"xfer-1", "xfer-1", static_cast<const char *>(nullptr), static_cast<const char *>(nullptr)})
        got += acls(token) + "|";
    EXPECT_EQ(got, "0:u-1|0:u-1|0:u-1|0:u-1|");
    ASSERT_EQ(https.seen().size(), 2u);
    const FakeHttps::Seen &user = https.seen()[0], &anonymous = https.seen()[1];
    EXPECT_EQ(user.url, "https://transfer.example.org/v0.10/private/endpoint/c-1/user_effective_permissions");
    EXPECT_FALSE(user.is_post);
    EXPECT_EQ(user.bearer + " " + user.client_id, "xfer-1 <null>");
    EXPECT_EQ(anonymous.url,
              "https://transfer.example.org/v0.10/private/endpoint/c-1/anonymous_effective_permissions");
    EXPECT_EQ(anonymous.bearer, "<null>");
    EXPECT_NE(cached("kalder:transfer:acls:c-1", "xfer-1"), "<miss>");
    EXPECT_NE(cached("kalder:transfer:acls:c-1:anonymous", nullptr), "<miss>");
    EXPECT_EQ(count_prefixed(log, KLOG_DEBUG, "Using effective ACL result: {\"DATA_TYPE\""), 2) << log.dump();
    EXPECT_EQ(count_prefixed(log, KLOG_DEBUG, "Using cached effective ACL result: {\"DATA_TYPE\""), 2)
        << log.dump();
    for (const auto &line : log.lines()) EXPECT_EQ(line.source, "transfer") << line.text;
}

TEST_F(ServiceCalls, AclFailuresAndTheExpiredToken)
{
    struct Case {
        const char *token;
        FakeHttps::Answer answer;
        const char *outcome;
        int level;
        const char *message;
    } cases[] = {
        {"xfer-1", {0, 401, "no"}, "1", KLOG_DEBUG, "Failed to fetch ACLs, token has expired"},
        // Without a token there is none to expire.
        {nullptr, {0, 401, "no"}, "2", KLOG_DEBUG, "Failed to fetch ACLs. http_status=401 reply=no"},
        // Answers are logged as they are: they hold no tokens.
        {"xfer-1",
         {0, 500, R"({"access_token": "abcdefgh"})"},
         "2",
         KLOG_DEBUG,
         "Failed to fetch ACLs. http_status=500 reply={\"access_token\": \"abcdefgh\"}"},
        {"xfer-1", {0, 404, nullptr}, "2", KLOG_DEBUG, "Failed to fetch ACLs. http_status=404"},
        {"xfer-1", {0, 200, nullptr}, "2", KLOG_ERR, "Failed to fetch ACLs, response was empty"},
        {"xfer-1", {0, 200, "{"}, "2", KLOG_ERR, "Failed to fetch ACLs, could not deserialize response: {"},
        {"xfer-1",
         {0, 200, R"({"DATA_TYPE": "other"})"},
         "2",
         KLOG_ERR,
         "Unexpected ACL response: {\"DATA_TYPE\": \"other\"}"},
        {"xfer-1", {1, 0, nullptr}, "2", KLOG_ERR, "Failed to fetch ACLs: 1"},
    };
    for (const Case &c : cases) {
        https.script({c.answer});
        log.clear();
        EXPECT_EQ(acls(c.token), c.outcome) << c.message;
        EXPECT_TRUE(log.has(c.level, c.message)) << log.dump();
    }
    EXPECT_TRUE(keyring.keys.empty()) << "failures are never cached";

    // What the document lacks is the call's line; a missing member is the
    // environment's, as for every answer.
    https.answer(200, R"({"DATA_TYPE": "effective_permissions", "sharing_uuid": "u"})");
    log.clear();
    env_log.clear();
    EXPECT_EQ(acls("xfer-1"), "2");
    EXPECT_TRUE(env_log.has(KLOG_DEBUG, "Missing JSON field 'DATA'")) << env_log.dump();
    EXPECT_TRUE(log.has(KLOG_ERR, "Unexpected ACL response: ")) << log.dump();
    EXPECT_FALSE(log.has(KLOG_DEBUG, "Missing JSON field")) << log.dump();

    cache("kalder:transfer:acls:c-1", "xfer-1", "[]");
    https.answer(200, acl_answer);
    log.clear();
    EXPECT_EQ(acls("xfer-1"), "0:u-1");
    EXPECT_TRUE(log.has(KLOG_WARNING, "Unable to deserialize saved ACLs string: []")) << log.dump();
}

}  // namespace

TEST_F(ServiceCalls, EachOutcomeIsCountedByItsServiceAndKind)
{
    Metrics m{};
    metrics = &m;
    https.script({{0, 200, active_answer},
                  {1, 0, nullptr},
                  {0, 503, "busy"},
                  {0, 200, "not json"},
                  {0, 200, R"({"x": 1})"},
                  {0, 400, "{\"error\":\"invalid_grant\"}"},
                  {0, 200, acl_answer},
                  {0, 200, nullptr}});
    introspect("tok-1");  // miss, answered
    introspect("tok-1");  // hit: no exchange
    introspect("tok-2");  // miss, no answer
    introspect("tok-3");  // miss, 503
    introspect("tok-4");  // miss, not JSON
    dependent("tok-5");   // miss, not the document
    dependent("tok-5");   // miss, the expired answer
    acls("tok-6");        // miss, answered
    acls("tok-6");        // hit
    exchange("code-1");   // never cached: an empty answer
    EXPECT_EQ(https.seen().size(), 8u);
    auto row = [](const uint64_t *values, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += std::to_string(values[i]) + " ";
        return s;
    };
    EXPECT_EQ(row(m.cache_hits, METRIC_CACHE_KINDS), "1 0 1 ");
    EXPECT_EQ(row(m.cache_misses, METRIC_CACHE_KINDS), "4 2 1 ");
    // no answer, HTTP status, parse, expired
    EXPECT_EQ(row(m.call_failures[METRIC_IDENTITY], METRIC_CALL_FAILURES), "1 1 3 1 ");
    EXPECT_EQ(row(m.call_failures[METRIC_TRANSFER], METRIC_CALL_FAILURES), "0 0 0 0 ");
    uint64_t identity_calls = 0, transfer_calls = 0;
    for (int b = 0; b < METRIC_LATENCY_BUCKETS; ++b) {
        identity_calls += m.call_latency[METRIC_IDENTITY][b];
        transfer_calls += m.call_latency[METRIC_TRANSFER][b];
    }
    EXPECT_EQ(identity_calls, 7u) << "every exchange is timed, a failed one too";
    EXPECT_EQ(transfer_calls, 1u);
}
