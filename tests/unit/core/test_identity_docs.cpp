// Reading the identity service's answers (introspection, dependent tokens,
// code exchange), the redaction of tokens in logged answers, form escaping.
#include <gtest/gtest.h>

#include <string>

#include "core_fakes.h"
#include "identity.h"
#include "log_capture.h"

namespace {

class Parsers : public ::testing::Test {
   protected:
    kalder::JsonPtr json(const char *text)
    {
        kalder::JsonPtr j(json_from_text(text));
        EXPECT_TRUE(j) << text;
        return j;
    }
    IntrospectDoc *introspect(const char *text)
    {
        return parse_introspect_doc(pool, json(text).get(), log.sink());
    }

    Pool pool;
    LogCapture log;
};

const char *const full_answer = R"({
  "active": true, "scope": "openid https://auth.kalder.org/scopes/c1/https",
  "identity_set_detail": [
    {"sub": "s1", "username": "alice@example.org", "last_authentication": 1700000000, "name": "Alice"},
    {"sub": "s2", "username": "alice@other.org", "last_authentication": null}],
  "session_info": {"session_id": "x", "authentications": {
    "s1": {"auth_time": 1700000100, "amr": ["pwd", 7, "mfa"], "idp": "i"},
    "s2": {"auth_time": 1700000200, "amr": null},
    "s3": {"auth_time": 1700000300}}}})";

TEST_F(Parsers, IntrospectionOfAnActiveToken)
{
    IntrospectDoc *doc = introspect(full_answer);
    ASSERT_NE(doc, nullptr) << log.dump();
    EXPECT_TRUE(doc->active);
    EXPECT_STREQ(doc->scope, "openid https://auth.kalder.org/scopes/c1/https");
    ASSERT_EQ(auth_get_identity_count(doc->identity_set_detail), 2);
    EXPECT_STREQ(doc->identity_set_detail[0]->sub, "s1");
    EXPECT_STREQ(doc->identity_set_detail[0]->username, "alice@example.org");
    EXPECT_EQ(doc->identity_set_detail[0]->last_authentication, 1700000000);
    EXPECT_EQ(doc->identity_set_detail[1]->last_authentication, 0) << "null gives 0";

    AuthenticationRecord **a = doc->session_info->authentications;
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a[0], nullptr);
    ASSERT_NE(a[1], nullptr);
    ASSERT_NE(a[2], nullptr);
    EXPECT_EQ(a[3], nullptr);
    EXPECT_STREQ(a[0]->sub, "s1");
    EXPECT_EQ(a[0]->auth_time, 1700000100);
    ASSERT_NE(a[0]->amr, nullptr);
    EXPECT_STREQ(a[0]->amr[0], "pwd");
    EXPECT_STREQ(a[0]->amr[1], "mfa") << "non-strings are skipped, order kept";
    EXPECT_EQ(a[0]->amr[2], nullptr);
    EXPECT_STREQ(a[1]->sub, "s2");
    EXPECT_EQ(a[1]->amr, nullptr);
    EXPECT_STREQ(a[2]->sub, "s3");
    EXPECT_EQ(a[2]->amr, nullptr);
}

TEST_F(Parsers, InactiveTokenNeedsNothingElse)
{
    IntrospectDoc *doc = introspect(R"({"active": false})");
    ASSERT_NE(doc, nullptr);
    EXPECT_FALSE(doc->active);
    EXPECT_EQ(doc->scope, nullptr);
    EXPECT_EQ(doc->identity_set_detail, nullptr);
    EXPECT_EQ(doc->session_info, nullptr);
}

TEST_F(Parsers, SessionInfoWithoutAuthenticationsAndAmrOfTheWrongType)
{
    IntrospectDoc *doc =
        introspect(R"({"active": true, "scope": "", "identity_set_detail": [], "session_info": {}})");
    ASSERT_NE(doc, nullptr) << log.dump();
    ASSERT_NE(doc->session_info, nullptr);
    EXPECT_EQ(doc->session_info->authentications, nullptr);
    EXPECT_EQ(auth_get_identity_count(doc->identity_set_detail), 0);
    EXPECT_NE(doc->identity_set_detail, nullptr) << "empty, not null";

    doc = introspect(R"({"active": true, "scope": "", "identity_set_detail": [],
                         "session_info": {"authentications": {"s1": {"auth_time": 1, "amr": "mfa"}}}})");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->session_info->authentications[0]->amr, nullptr);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Expected field 'amr' to be a JSON array or null, ignoring"))
        << log.dump();
}

TEST_F(Parsers, MalformedIntrospectionsFailWithTheirMessage)
{
    struct Case {
        const char *answer;
        const char *message;
    } cases[] = {
        {R"([])", "Expected introspect JSON doc to be an object"},
        {R"({"active": "true"})", "Expected field 'active' to be a JSON boolean"},
        {R"({})", "Missing JSON boolean field 'active'"},
        {R"({"active": true, "identity_set_detail": [], "session_info": {}})",
         "Missing JSON string field 'scope'"},
        {R"({"active": true, "scope": "", "session_info": {}})", "Missing JSON field 'identity_set_detail'"},
        {R"({"active": true, "scope": "", "identity_set_detail": {}, "session_info": {}})",
         "Expected field 'identity_set_detail' to be a JSON array"},
        {R"({"active": true, "scope": "", "identity_set_detail": [{"sub": "s", "last_authentication": 1}],
             "session_info": {}})",
         "Missing JSON string field 'username'"},
        {R"({"active": true, "scope": "", "identity_set_detail": [{"sub": "s", "username": "u",
             "last_authentication": 1.5}], "session_info": {}})",
         "Expected field 'last_authentication' to be a JSON integer"},
        {R"({"active": true, "scope": "", "identity_set_detail": [7], "session_info": {}})",
         "Missing JSON string field 'sub'"},
        {R"({"active": true, "scope": "", "identity_set_detail": []})", "Missing JSON field 'session_info'"},
        {R"({"active": true, "scope": "", "identity_set_detail": [], "session_info": []})",
         "Expected 'session_info' field to be an object"},
        {R"({"active": true, "scope": "", "identity_set_detail": [], "session_info": {"authentications": []}})",
         "Expected 'authentications' field to be an object"},
        {R"({"active": true, "scope": "", "identity_set_detail": [],
             "session_info": {"authentications": {"s": {"auth_time": null}}}})",
         "Expected field 'auth_time' to be a JSON integer"},
        {R"({"active": true, "scope": "", "identity_set_detail": [],
             "session_info": {"authentications": {"s": 5}}})",
         "Missing JSON integer field 'auth_time'"},
    };
    for (const Case &c : cases) {
        log.clear();
        EXPECT_EQ(introspect(c.answer), nullptr) << c.answer;
        EXPECT_TRUE(log.has(KLOG_DEBUG, c.message)) << c.answer << "\n" << log.dump();
    }
}

TEST_F(Parsers, DependentTokenDocuments)
{
    TokenDoc *doc = parse_token_doc(pool,
                                    json(R"([
        {"access_token": "A1", "resource_server": "transfer.api.kalder.org", "expires_in": 5},
        {"access_token": "A2", "resource_server": "other"}])")
                                        .get(),
                                    log.sink());
    ASSERT_NE(doc, nullptr);
    EXPECT_STREQ(doc->tokens[0]->access_token, "A1");
    EXPECT_STREQ(doc->tokens[0]->resource_server, "transfer.api.kalder.org");
    EXPECT_STREQ(doc->tokens[1]->access_token, "A2");
    EXPECT_EQ(doc->tokens[2], nullptr);

    doc = parse_token_doc(pool, json("[]").get(), log.sink());
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->tokens[0], nullptr);

    EXPECT_EQ(parse_token_doc(pool, json(R"({"access_token": "A"})").get(), log.sink()), nullptr);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Expected token doc to be a JSON array"));
    EXPECT_EQ(parse_token_doc(pool, json(R"([{"access_token": "A"}])").get(), log.sink()), nullptr);
    EXPECT_TRUE(log.has(KLOG_DEBUG, "Missing JSON string field 'resource_server'"));
}

TEST_F(Parsers, AccessTokenLookupPrefersTheTopLevelThenTheFirstOther)
{
    auto entry = [&](const char *token, const char *rs) {
        auto *e = static_cast<TokenEntry *>(apr_pcalloc(pool, sizeof(TokenEntry)));
        e->access_token = token;
        e->resource_server = rs;
        return e;
    };
    TokenEntry *others[] = {entry("O1", "auth.kalder.org"), entry("T1", "transfer"), entry("T2", "transfer"),
                            nullptr};
    TokenResponseDoc doc{"TOP", "auth.kalder.org", "state", others};
    char *t = auth_get_access_token(pool, &doc, "auth.kalder.org", log.sink());
    EXPECT_STREQ(t, "TOP");
    EXPECT_NE(t, doc.access_token) << "a copy";
    EXPECT_STREQ(auth_get_access_token(pool, &doc, "transfer", log.sink()), "T1");
    EXPECT_EQ(auth_get_access_token(pool, &doc, "TRANSFER", log.sink()), nullptr);
    EXPECT_EQ(auth_get_access_token(pool, &doc, "none", log.sink()), nullptr);
    TokenResponseDoc bare{"TOP", "auth.kalder.org", "state", nullptr};
    EXPECT_EQ(auth_get_access_token(pool, &bare, "transfer", log.sink()), nullptr);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(Redaction, TokenValuesAreCutToFourCharacters)
{
    Pool pool;
    apr_pool_t *p = pool;
    EXPECT_STREQ(auth_redact_tokens(p, R"({"access_token": "AgVx9vQ1secret", "resource_server": "t"})"),
                 R"({"access_token": "AgVx...", "resource_server": "t"})");
    EXPECT_STREQ(auth_redact_tokens(p, R"([{"refresh_token":"Ag12345","id_token" :  "eyJhbGciOi"}])"),
                 R"([{"refresh_token":"Ag12...","id_token" :  "eyJh..."}])");
    EXPECT_STREQ(auth_redact_tokens(p, R"({"access_token": "ab"})"), R"({"access_token": "ab..."})");
    // Escaped member names and escapes inside the value.
    EXPECT_STREQ(auth_redact_tokens(p, R"({"access\u005ftoken": "Ag\"12345"})"),
                 R"({"access\u005ftoken": "Ag..."})");
    // Malformed and truncated answers are redacted too.
    EXPECT_STREQ(
        auth_redact_tokens(p, R"({"access_token": "AgVx9vQ1secret", "other_tokens": [{"access_token": "Zz)"),
        R"({"access_token": "AgVx...", "other_tokens": [{"access_token": "Zz...)");
    EXPECT_STREQ(auth_redact_tokens(p, R"({"access_token": 12345678, "state": "access_token"})"),
                 R"({"access_token": 12345678, "state": "access_token"})");
    EXPECT_STREQ(auth_redact_tokens(p, "not json at all"), "not json at all");
    EXPECT_STREQ(auth_redact_tokens(p, "\"access_token"), "\"access_token");
    EXPECT_EQ(auth_redact_tokens(p, nullptr), nullptr);
}

}  // namespace
