// The login return end to end against the service emulator
// (tools/kalder-emulator): the code exchange over the real HTTPS client,
// then the cookie. The calls of the identity service on their own are
// tested in the core against a scripted client (test_service_calls.cpp).
// The request runs in an isolated child that trusts the emulator's
// throwaway CA (local_https.h); the parent drives the emulator's control
// endpoints.
#include <gtest/gtest.h>

#include <keyutils.h>

#include <cstring>
#include <fstream>
#include <string>

#include <curl/curl.h>

#include "apr_strings.h"
#include "local_https.h"
#include "raii.h"
#include "shim_authn.h"
#include "testing.h"
#include "request_state.h"
#include "server_config.h"
#include "request_utils.h"
#include "oidc_replies.h"
#include "access_hooks.h"

using namespace kalder::test;

using CurlPtr = std::unique_ptr<CURL, kalder::Deleter<curl_easy_cleanup>>;

namespace {

const char *const scenario = R"({
  "clients": [{"id": "module-client", "secret": "module-secret"}],
  "identities": {
    "s-alice": {"username": "alice@example.org", "last_authentication": "now-30"},
    "s-alt": {"username": "alice@other.org", "last_authentication": null}},
  "login_identities": ["s-alice"]})";

int count_prefixed(int level, const std::string &prefix)
{
    int n = 0;
    for (const auto &line : log_lines()) n += line.level == level && line.message.rfind(prefix, 0) == 0;
    return n;
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
        CurlPtr curl(curl_easy_init());
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

    TestServer server;
    static TestPki pki_;
    static ChildServer emulator_;
    static std::string setup_error_;
};

TestPki IdentityCalls::pki_;
ChildServer IdentityCalls::emulator_;
std::string IdentityCalls::setup_error_;

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
