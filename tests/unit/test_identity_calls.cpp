// Introspection, dependent tokens, the code exchange and the login return
// end to end against the service emulator (tools/kalder-emulator), with the keyring cache.
// The calls run in an isolated child that trusts the emulator's throwaway
// CA (local_https.h); the parent drives the emulator's control endpoints.
#include <gtest/gtest.h>

#include <keyutils.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include <curl/curl.h>

#include "apr_strings.h"
#include "local_https.h"
#include "raii.h"
#include "shim_authn.h"
#include "testing.h"

using namespace kalder::test;

namespace {

const char *const scenario = R"({
  "clients": [{"id": "module-client", "secret": "module-secret"}],
  "identities": {
    "s-alice": {"username": "alice@example.org", "last_authentication": "now-30"},
    "s-alt": {"username": "alice@other.org", "last_authentication": null}},
  "login_identities": ["s-alice"],
  "tokens": {
    "tok-active": {"active": true, "scope": "openid urn:x:https", "identities": ["s-alice", "s-alt"],
                   "authentications": {"s-alice": {"auth_time": "now-10", "amr": ["mfa"]}},
                   "dependent_tokens": [{"access_token": "xfer-1", "resource_server": "transfer.api.kalder.org"}]},
    "tok-expired": {"active": true, "identities": [], "expired_grant": true},
    "tok-nodeps": {"active": true, "identities": [], "dependent_tokens": []},
    "tok-badeps": {"active": true, "identities": [],
                   "dependent_body": [{"access_token": "SECRETTOKEN123", "scope": "x"}]},
    "tok-nosession": {"active": true, "scope": "", "identities": [], "session_info": false}}})";

// What auth_introspect_token gave, as text.
std::string describe(const IntrospectDoc *doc)
{
    if (!doc)
        return "null";
    std::string s = doc->active ? "active" : "inactive";
    if (doc->active) {
        s += " scope=" + std::string(doc->scope) +
             " ids=" + std::to_string(auth_get_identity_count(doc->identity_set_detail));
        if (auth_get_identity_count(doc->identity_set_detail) > 0)
            s += " first=" + std::string(doc->identity_set_detail[0]->username);
    }
    return s;
}

// Runs the calls in order (the operands of + are not sequenced) and joins
// their results with "|".
std::string in_order(std::initializer_list<std::function<std::string()>> steps)
{
    std::string out;
    for (const auto &step : steps) out += (out.empty() ? "" : "|") + step();
    return out;
}

int count_prefixed(int level, const std::string &prefix)
{
    int n = 0;
    for (const auto &line : log_lines()) n += line.level == level && line.message.rfind(prefix, 0) == 0;
    return n;
}

bool log_mentions(const std::string &text)
{
    for (const auto &line : log_lines())
        if (line.message.find(text) != std::string::npos)
            return true;
    return false;
}

class IdentityCalls : public ::testing::Test {
   protected:
    static void SetUpTestSuite()
    {
        setup_error_ = pki_.make();
        if (!setup_error_.empty())
            return;
        std::string file = pki_.dir + "/scenario.json";
        std::ofstream(file) << scenario;
        setup_error_ =
            emulator_.start({"/usr/bin/python3", source_dir() + "/tools/kalder-emulator", "--scenario", file,
                             "--listen", "127.0.0.1:0", "--cert", pki_.cert, "--key", pki_.key});
    }
    static void TearDownTestSuite()
    {
        emulator_.stop();
        pki_.remove();
    }
    void SetUp() override
    {
        if (!setup_error_.empty())
            GTEST_SKIP() << "no emulator: " << setup_error_;
        if (keyctl_join_session_keyring(nullptr) == -1)
            GTEST_SKIP() << "no kernel keyring here";
        // Same scenario, no failure switches, no recorded calls.
        control("POST", "/_scenario", scenario);
        control("POST", "/_calls/reset", "");
        clear_log();
        ServerConfig *conf = server.config();
        conf->auth_api_endpoint = apr_pstrdup(server.pool(), emulator_.base_url().c_str());
        conf->client_id = "module-client";
        conf->client_secret = "module-secret";
        conf->connect_timeout = 20;
    }

    // A control request to the emulator from this process (test code may
    // name the CA file; the module's code may not).
    static std::string control(const char *method, const std::string &path, const std::string &body)
    {
        kalder::CurlPtr curl(curl_easy_init());
        std::string out;
        std::string url = emulator_.base_url() + path;
        curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, pki_.ca.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method);
        if (std::string(method) != "GET")
            curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(
            curl.get(), CURLOPT_WRITEFUNCTION, +[](char *p, size_t s, size_t n, void *u) {
                static_cast<std::string *>(u)->append(p, s * n);
                return s * n;
            });
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &out);
        CURLcode rc = curl_easy_perform(curl.get());
        EXPECT_EQ(rc, CURLE_OK) << "emulator control " << path << ": " << curl_easy_strerror(rc);
        return out;
    }

    // Arms one failure switch of the emulator.
    static void fail(const char *endpoint, const std::string &switch_json)
    {
        control("PATCH", "/_scenario",
                std::string("{\"failures\": {\"") + endpoint + "\": " + switch_json + "}}");
    }

    // Calls of one endpoint so far.
    static int calls(const char *endpoint)
    {
        std::string text = control("GET", "/_calls", "");
        json_error_t error;
        kalder::JsonPtr doc(json_loads(text.c_str(), 0, &error));
        json_t *n = json_object_get(json_object_get(doc.get(), "counts"), endpoint);
        return n ? static_cast<int>(json_integer_value(n)) : 0;
    }

    // The body of the last recorded call of an endpoint.
    static std::string last_body(const char *endpoint)
    {
        std::string text = control("GET", "/_calls", "");
        json_error_t error;
        kalder::JsonPtr doc(json_loads(text.c_str(), 0, &error));
        std::string body;
        size_t i;
        json_t *call;
        json_array_foreach(json_object_get(doc.get(), "calls"), i, call)
        {
            if (std::string(json_string_value(json_object_get(call, "endpoint"))) == endpoint)
                body = json_string_value(json_object_get(call, "body"));
        }
        return body;
    }

    // Runs fn with a request of this test's server in the isolated child.
    std::string in_child(const std::function<std::string(request_rec *)> &fn)
    {
        Isolated run = run_trusting(pki_.ca, [&]() {
            TestRequest request(server);
            return fn(request);
        });
        if (!run.ran)
            return "SKIP " + run.reason;
        return run.value;
    }

    TestServer server;
    static TestPki pki_;
    static ChildServer emulator_;
    static std::string setup_error_;
};

TestPki IdentityCalls::pki_;
ChildServer IdentityCalls::emulator_;
std::string IdentityCalls::setup_error_;

#define CHILD(...)                              \
    ({                                          \
        std::string _v = in_child(__VA_ARGS__); \
        if (_v.rfind("SKIP ", 0) == 0)          \
            GTEST_SKIP() << _v;                 \
        _v;                                     \
    })

TEST_F(IdentityCalls, IntrospectionAsksOnceThenUsesTheCacheForActiveAndInactive)
{
    std::string got = CHILD([](request_rec *r) {
        auto introspect = [r](const char *t) {
            return [r, t] { return describe(auth_introspect_token(r, t)); };
        };
        return in_order({introspect("tok-active"), introspect("tok-active"), introspect("tok-unknown"),
                         introspect("tok-unknown")});
    });
    EXPECT_EQ(got,
              "active scope=openid urn:x:https ids=2 first=alice@example.org|"
              "active scope=openid urn:x:https ids=2 first=alice@example.org|inactive|inactive");
    EXPECT_EQ(calls("introspect"), 2) << "one call per token; the repeats come from the keyring";
    EXPECT_EQ(last_body("introspect"), "token=tok-unknown&include=session_info,identity_set_detail");
    EXPECT_EQ(count_prefixed(APLOG_DEBUG, "Using introspect result: "), 2) << dump_log();
    EXPECT_EQ(count_prefixed(APLOG_DEBUG, "Using cached introspect result: "), 2) << dump_log();
}

TEST_F(IdentityCalls, TokenIsEscapedForTheFormBody)
{
    CHILD([](request_rec *r) { return describe(auth_introspect_token(r, "a+b&c=d/\xc3\xa9 x")); });
    EXPECT_EQ(last_body("introspect"),
              "token=a%2bb%26c%3dd/%c3%a9%20x&include=session_info,identity_set_detail");
}

TEST_F(IdentityCalls, RejectedClientCredentialsAreOnlyADebugLine)
{
    server.config()->client_secret = "wrong";
    EXPECT_EQ(CHILD([](request_rec *r) { return describe(auth_introspect_token(r, "tok-active")); }), "null");
    EXPECT_TRUE(logged(
        APLOG_DEBUG,
        "Failed to fetch the token introspection. http_status=401 reply={\"error\": \"invalid_client\"}"))
        << dump_log();
    EXPECT_EQ(log_lines().size(), 1u) << dump_log();
}

TEST_F(IdentityCalls, BrokenIntrospectionAnswers)
{
    struct Case {
        const char *failure;
        const char *message;
        int level;
    } cases[] = {
        {R"({"status": 500, "body": "down"})",
         "Failed to fetch the token introspection. http_status=500 reply=down", APLOG_DEBUG},
        {R"({"status": 503})", "Failed to fetch the token introspection. http_status=503", APLOG_DEBUG},
        {R"({"status": 200})", "Failed to fetch the token introspection, response was empty", APLOG_ERR},
        {R"({"status": 200, "body": "{\"active\": tru"})",
         "Failed to fetch the token introspection, could not deserialize response: {\"active\": tru",
         APLOG_ERR},
        {R"({"status": 200, "body": "{\"active\": true}"})",
         "Unexpected introspect response: {\"active\": true}", APLOG_ERR},
    };
    for (const Case &c : cases) {
        control("POST", "/_calls/reset", "");
        fail("introspect", c.failure);
        clear_log();
        std::string got = CHILD([](request_rec *r) {
            return describe(auth_introspect_token(r, "tok-active")) + "|" +
                   describe(auth_introspect_token(r, "tok-active"));
        });
        EXPECT_EQ(got, "null|null") << c.failure;
        EXPECT_TRUE(logged(c.level, c.message)) << c.failure << "\n" << dump_log();
        EXPECT_EQ(calls("introspect"), 2) << "failures are never cached: " << c.failure;
    }
}

TEST_F(IdentityCalls, ActiveAnswerWithoutSessionInfoIsNotCached)
{
    std::string got = CHILD([](request_rec *r) {
        return describe(auth_introspect_token(r, "tok-nosession")) + "|" +
               describe(auth_introspect_token(r, "tok-nosession"));
    });
    EXPECT_EQ(got, "null|null");
    EXPECT_EQ(calls("introspect"), 2);
    EXPECT_TRUE(logged(APLOG_DEBUG, "Missing JSON field 'session_info'")) << dump_log();
}

TEST_F(IdentityCalls, CachedTextThatNoLongerParsesIsRefetchedAndReplaced)
{
    std::string got = CHILD([](request_rec *r) {
        mod_kalder_set_keyutils_value(r, "kalder:introspect", "tok-active", "{\"active\":", 11);
        std::string first = describe(auth_introspect_token(r, "tok-active"));
        char *cached = mod_kalder_get_keyutils_value(r, "kalder:introspect", "tok-active");
        return first + "|" +
               (cached && std::string(cached).find("identity_set_detail") != std::string::npos ? "replaced"
                                                                                               : "stale");
    });
    EXPECT_EQ(got, "active scope=openid urn:x:https ids=2 first=alice@example.org|replaced");
    EXPECT_TRUE(logged(APLOG_DEBUG, "Unable to deserialize saved introspect doc string: {\"active\":"))
        << dump_log();
    EXPECT_EQ(calls("introspect"), 1);
}

TEST_F(IdentityCalls, AnswerTooLargeForTheKeyringIsStillUsed)
{
    // 400 linked identities make an answer well above 32767 bytes.
    std::string identities = "{", subs = "[";
    for (int i = 0; i < 400; ++i) {
        std::string sub = "s-" + std::to_string(i);
        identities += (i ? ",\"" : "\"") + sub + "\": {\"username\": \"user" + std::to_string(i) +
                      "@example.org\", "
                      "\"last_authentication\": 1700000000}";
        subs += (i ? ",\"" : "\"") + sub + "\"";
    }
    control("PATCH", "/_scenario",
            "{\"identities\": " + identities +
                "}, \"tokens\": {\"tok-big\": {\"active\": true, \"scope\": \"s\", "
                "\"identities\": " +
                subs + "]}}}");
    std::string got = CHILD([](request_rec *r) {
        return describe(auth_introspect_token(r, "tok-big")) + "|" +
               describe(auth_introspect_token(r, "tok-big"));
    });
    EXPECT_EQ(
        got, "active scope=s ids=400 first=user0@example.org|active scope=s ids=400 first=user0@example.org");
    EXPECT_EQ(count_prefixed(APLOG_WARNING, "Failed to store value in key utils cache: "), 2) << dump_log();
    EXPECT_EQ(calls("introspect"), 2) << "not cached, so asked again";
}

TEST_F(IdentityCalls, FullKeyQuotaDegradesToAskingTheServiceAgain)
{
    std::string got = CHILD([](request_rec *r) -> std::string {
        // The server's children run as an unprivileged user, whose key quota
        // is small: fill it the way many cached answers would.
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return "SKIP cannot become an unprivileged user";
        if (keyctl_join_session_keyring(nullptr) == -1)
            return "SKIP cannot join a keyring as an unprivileged user";
        std::string filler(1000, 'f');
        int stored = 0;
        for (; stored < 10000; ++stored)
            if (add_key("user", ("filler-" + std::to_string(stored)).c_str(), filler.data(), filler.size(),
                        KEY_SPEC_SESSION_KEYRING) == -1)
                break;
        if (errno != EDQUOT)
            return "quota never reached after " + std::to_string(stored) + " keys: " + std::strerror(errno);
        return describe(auth_introspect_token(r, "tok-active")) + "|" +
               describe(auth_introspect_token(r, "tok-active"));
    });
    EXPECT_EQ(got,
              "active scope=openid urn:x:https ids=2 first=alice@example.org|"
              "active scope=openid urn:x:https ids=2 first=alice@example.org");
    EXPECT_EQ(count_prefixed(APLOG_WARNING, "Failed to store value in key utils cache: "), 2) << dump_log();
    EXPECT_EQ(calls("introspect"), 2);
}

// --- dependent tokens ----------------------------------------------------

std::string dependent(request_rec *r, const char *token)
{
    TokenDoc *doc = nullptr;
    int rc = auth_get_dependent_tokens(r, token, &doc);
    std::string s = std::to_string(rc);
    if (rc == 0) {
        s += ":";
        for (TokenEntry **e = doc->tokens; *e; ++e)
            s += std::string((*e)->access_token) + "@" + (*e)->resource_server + ";";
    }
    return s;
}

TEST_F(IdentityCalls, DependentTokensAreFetchedOnceAndCached)
{
    std::string got =
        CHILD([](request_rec *r) { return dependent(r, "tok-active") + "|" + dependent(r, "tok-active"); });
    EXPECT_EQ(got, "0:xfer-1@transfer.api.kalder.org;|0:xfer-1@transfer.api.kalder.org;");
    EXPECT_EQ(calls("dependent_token"), 1);
    EXPECT_EQ(last_body("dependent_token"),
              "grant_type=urn:kalder:auth:grant_type:dependent_token&token=tok-active"
              "&scope=urn:kalder:auth:scope:transfer.api.kalder.org:all");

    got = CHILD([](request_rec *r) { return dependent(r, "tok-nodeps") + "|" + dependent(r, "tok-nodeps"); });
    EXPECT_EQ(got, "0:|0:") << "an empty list is an answer, and cached";
    EXPECT_EQ(calls("dependent_token"), 2);
}

TEST_F(IdentityCalls, ExactInvalidGrantMeansTheCallersTokenExpired)
{
    std::string got =
        CHILD([](request_rec *r) { return dependent(r, "tok-expired") + "|" + dependent(r, "tok-expired"); });
    EXPECT_EQ(got, "1|1");
    EXPECT_EQ(calls("dependent_token"), 2) << "not cached";
    EXPECT_EQ(count_logged("Failed to fetch dependent tokens, token has expired"), 2);

    for (const char *body :
         {R"({\"error\": \"invalid_grant\"})", R"({\"error\":\"invalid_grant\",\"x\":1})"}) {
        fail("dependent_token", std::string("{\"status\": 400, \"body\": \"") + body + "\"}");
        clear_log();
        EXPECT_EQ(CHILD([](request_rec *r) { return dependent(r, "tok-active"); }), "2") << body;
        EXPECT_EQ(count_prefixed(APLOG_DEBUG, "Failed to fetch dependent tokens. http_status=400 reply={"), 1)
            << dump_log();
    }
}

TEST_F(IdentityCalls, MalformedDependentTokenAnswerIsLoggedWithoutTheToken)
{
    std::string got =
        CHILD([](request_rec *r) { return dependent(r, "tok-badeps") + "|" + dependent(r, "tok-badeps"); });
    EXPECT_EQ(got, "2|2");
    EXPECT_EQ(calls("dependent_token"), 2) << "not cached";
    EXPECT_TRUE(
        logged(APLOG_ERR, "Unexpected token response: [{\"access_token\": \"SECR...\", \"scope\": \"x\"}]"))
        << dump_log();
    EXPECT_FALSE(log_mentions("SECRETTOKEN123")) << dump_log();
}

TEST_F(IdentityCalls, UnreadableCachedTokenDocIsRefetched)
{
    std::string got = CHILD([](request_rec *r) {
        const char stale[] = "{\"access_token\": \"OLDSECRET99\"}";
        mod_kalder_set_keyutils_value(r, "kalder:token", "tok-active", stale, sizeof stale);
        return dependent(r, "tok-active") + "|" + dependent(r, "tok-active");
    });
    EXPECT_EQ(got, "0:xfer-1@transfer.api.kalder.org;|0:xfer-1@transfer.api.kalder.org;");
    EXPECT_TRUE(logged(APLOG_WARNING,
                       "Unable to deserialize the saved token doc string: {\"access_token\": \"OLDS...\"}"))
        << dump_log();
    EXPECT_EQ(calls("dependent_token"), 1);
}

// --- authorization code exchange -------------------------------------------------

std::string exchange_summary(request_rec *r, const std::string &code)
{
    TokenResponseDoc *doc = auth_exchange_code(r, code.c_str(), "https://collection.example.org/redirect");
    if (!doc)
        return "null";
    std::string s = std::string(doc->resource_server) + " state=" + doc->state;
    const char *transfer = auth_get_access_token(r, doc, "transfer.api.kalder.org");
    s += transfer && std::string(transfer).rfind("login-transfer-", 0) == 0 ? " transfer-token"
                                                                            : " no-transfer";
    const char *own = auth_get_access_token(r, doc, "auth.kalder.org");
    s += own && std::string(own) == doc->access_token ? " auth-token" : " no-auth";
    return s;
}

TEST_F(IdentityCalls, CodeExchangeReturnsTheTokensAndTheState)
{
    // A login as a browser would do it: the authorize endpoint redirects
    // back with a code.
    kalder::CurlPtr curl(curl_easy_init());
    std::string url = emulator_.base_url() + "/oauth2/authorize";
    std::string form =
        "response_type=code&client_id=module-client&state=SEALED-URI"
        "&redirect_uri=https://collection.example.org/redirect&identity=s-alice";
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, pki_.ca.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(
        curl.get(), CURLOPT_WRITEFUNCTION, +[](char *, size_t s, size_t n, void *) { return s * n; });
    ASSERT_EQ(curl_easy_perform(curl.get()), CURLE_OK);
    char *location = nullptr;
    curl_easy_getinfo(curl.get(), CURLINFO_REDIRECT_URL, &location);
    ASSERT_NE(location, nullptr);
    std::string loc = location;
    size_t at = loc.find("code=");
    ASSERT_NE(at, std::string::npos) << loc;
    std::string code = loc.substr(at + 5, loc.find('&', at) - at - 5);

    std::string got = CHILD([&](request_rec *r) {
        return in_order(
            {[&] { return exchange_summary(r, code); }, [&] { return exchange_summary(r, code); }});
    });
    EXPECT_EQ(got, "auth.kalder.org state=SEALED-URI transfer-token auth-token|null") << "a code works once";
    EXPECT_EQ(last_body("code_exchange"),
              "code=" + code +
                  "&redirect_uri=https://collection.example.org/redirect&grant_type=authorization_code");
    EXPECT_TRUE(
        logged(APLOG_DEBUG,
               "Authorization code exchange failed: http_status=400 reply={\"error\":\"invalid_grant\"}"))
        << dump_log();
    EXPECT_EQ(count_prefixed(APLOG_ERR, ""), 0) << dump_log();
}

TEST_F(IdentityCalls, MalformedCodeExchangeAnswers)
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
        {R"([{"access_token": "TOPSECRET1"}])", "Expected token_doc to be an object"},
    };
    for (const Case &c : cases) {
        control("PATCH", "/_scenario", std::string("{\"code_exchange_body\": ") + c.answer + "}");
        clear_log();
        std::string got = CHILD([](request_rec *r) {
            TokenResponseDoc *doc =
                auth_exchange_code(r, "any-code", "https://collection.example.org/redirect");
            return std::string(doc ? "doc" : "null");
        });
        EXPECT_EQ(got, "null") << c.answer;
        EXPECT_TRUE(logged(APLOG_DEBUG, c.complaint)) << c.answer << "\n" << dump_log();
        EXPECT_EQ(count_prefixed(APLOG_ERR, "Unexpected token response: "), 1) << dump_log();
        EXPECT_TRUE(log_mentions("TOPS...")) << dump_log();
        EXPECT_FALSE(log_mentions("TOPSECRET")) << "tokens must not reach the log\n" << dump_log();
    }
}

// --- login return -------------------------------------------------------------

// "/redirect" of a browser whose REDIRECT cookie holds one login value, with
// a code whose exchange hands back a given state: the tokens are stored and
// the browser sent on only when the state carries that same login value.
TEST_F(IdentityCalls, LoginReturnCompletesOnlyTheLoginThisBrowserStarted)
{
    const char *key = "login key";
    ServerConfig *conf = server.config();
    conf->collection_type = MAPPED_COLLECTION;
    conf->oidc_state_key = key;
    set_location_auth("kalder-auth", nullptr);
    TestRequest maker(server);
    auto redirect_cookie = [&](const std::string &login_member) {
        std::string doc = "{\"state\": \"REDIRECT\"" + login_member + "}";
        return std::string("mod_kalder_OIDC=") + encrypt_value(maker, key, SEAL_COOKIE, doc.c_str());
    };
    const std::string mine = "AAAAAAAAAAAAAAAAAAAAAA";
    const std::string theirs = "AAAAAAAAAAAAAAAAAAAAAB";
    const std::string cookie = redirect_cookie(", \"login\": \"" + mine + "\"");
    const char *refused = "The login state was started by another browser; refusing to complete the login.";
    struct Case {
        const char *what;
        std::string cookie;
        std::string state;
        std::string outcome;
        const char *message;
    } cases[] = {
        {"this browser's login", cookie, mine + " /data.txt?x=1", "307 /data.txt?x=1 FLOW_FINISH", nullptr},
        {"another browser's login", cookie, theirs + " /data.txt", "500 - -", refused},
        {"a longer login value", cookie, mine + "A /data.txt", "500 - -", refused},
        {"a shorter login value", cookie, mine.substr(1) + " /data.txt", "500 - -", refused},
        {"a cookie without login value", redirect_cookie(""), mine + " /data.txt", "500 - -", refused},
        {"an empty login value", redirect_cookie(", \"login\": \"\""), " /data.txt", "500 - -", refused},
        {"a state without login value", cookie, "/data.txt", "500 - -",
         "Failed to decode the token state value."},
    };
    for (const auto &c : cases) {
        std::string state = encrypt_value(maker, key, SEAL_STATE, c.state.c_str());
        control("PATCH", "/_scenario",
                R"({"code_exchange_body": {"access_token": "login-auth", "resource_server": "auth.kalder.org",
                    "state": ")" +
                    state + R"(", "other_tokens": []}})");
        clear_log();
        Isolated run = run_trusting(pki_.ca, [&]() {
            TestRequest r(server, "GET", "/redirect");
            r->args = apr_pstrdup(r->pool, "code=any");
            r.header("Cookie", c.cookie.c_str());
            r.header("User-Agent", "Mozilla/5.0");
            int status = mod_kalder_authn_hook(r);
            const char *location = apr_table_get(r->headers_out, "Location");
            const char *set_cookie = apr_table_get(r->err_headers_out, "Set-Cookie");
            std::string written = "-";
            if (set_cookie) {
                TestRequest next(server);
                next.header("Cookie", std::string(set_cookie, std::strchr(set_cookie, ';')).c_str());
                int step = OIDC_STATE_NONE;
                const char *auth = nullptr;
                get_oidc_state(next, key, &step, &auth, nullptr, nullptr);
                written = step == OIDC_STATE_AUTH_FLOW_FINISH && auth && std::string(auth) == "login-auth"
                              ? "FLOW_FINISH"
                              : "other";
            }
            return std::to_string(status) + " " + (location ? location : "-") + " " + written;
        });
        if (!run.ran)
            GTEST_SKIP() << run.reason;
        EXPECT_EQ(run.value, c.outcome) << c.what << "\n" << dump_log();
        if (c.message)
            EXPECT_TRUE(logged(APLOG_ERR, c.message)) << c.what << "\n" << dump_log();
        else
            EXPECT_EQ(count_prefixed(APLOG_ERR, ""), 0) << c.what << "\n" << dump_log();
    }
    reset_location();
}

}  // namespace
