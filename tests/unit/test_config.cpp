// Directive parsing and the merge of a virtual host with the main server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "apr_strings.h"
#include "lifecycle.h"
#include "testing.h"
#include "module.h"
#include "server_config.h"

using kalder::test::TestServer;

namespace {

// Runs one directive through the module's command table as the server's
// configuration reader would; returns the error text or "".
std::string directive(TestServer &srv, const char *name, std::vector<const char *> args)
{
    const command_rec *cmd = kalder_module.cmds;
    while (cmd->name && std::strcmp(cmd->name, name) != 0) ++cmd;
    EXPECT_NE(cmd->name, nullptr) << name;
    if (!cmd->name)
        return "no such directive";
    ap_directive_t dir{};
    dir.directive = name;
    cmd_parms parms{};
    parms.info = cmd->cmd_data;
    parms.pool = srv.pool();
    parms.temp_pool = srv.pool();
    parms.server = srv.server();
    parms.directive = &dir;
    parms.cmd = cmd;
    const char *err = nullptr;
    switch (cmd->args_how) {
        case TAKE1:
            err = reinterpret_cast<const char *(*)(cmd_parms *, void *, const char *)>(cmd->func)(
                &parms, nullptr, args.at(0));
            break;
        case TAKE12:
            err = reinterpret_cast<const char *(*)(cmd_parms *, void *, const char *, const char *)>(
                cmd->func)(&parms, nullptr, args.at(0), args.size() > 1 ? args[1] : nullptr);
            break;
        case TAKE_ARGV:
            err = reinterpret_cast<const char *(*)(cmd_parms *, void *, int, char *const *)>(cmd->func)(
                &parms, nullptr, static_cast<int>(args.size()), const_cast<char *const *>(args.data()));
            break;
        default:
            ADD_FAILURE() << "unexpected argument form of " << name;
    }
    EXPECT_EQ(cmd->req_override, RSRC_CONF) << name << " must be server-level only";
    return err ? err : "";
}

}  // namespace

TEST(Config, CollectionTypeStoresTheConstantAndRejectsOtherWords)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderCollectionType", {"GUEST"}), "");
    EXPECT_STREQ(srv.config()->collection_type, "guest");
    EXPECT_EQ(directive(srv, "KalderCollectionType", {"Mapped"}), "");
    EXPECT_STREQ(srv.config()->collection_type, "mapped");
    EXPECT_EQ(directive(srv, "KalderCollectionType", {"Shared"}), "Invalid collection type 'Shared'");
}

TEST(Config, CollectionFlags)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderCollectionFlags", {"RequireMFA", "requirehighassurance"}), "");
    EXPECT_EQ(srv.config()->capability_flags, 3u);
    EXPECT_EQ(directive(srv, "KalderCollectionFlags", {"None"}), "");
    EXPECT_EQ(srv.config()->capability_flags, 0u);
    EXPECT_EQ(directive(srv, "KalderCollectionFlags", {"RequireMFA", "none"}),
              "Invalid collection flags 'none'");
    EXPECT_EQ(srv.config()->capability_flags, MOD_KALDER_REQUIRE_MFA) << "earlier words stay set";
    EXPECT_EQ(directive(srv, "KalderCollectionFlags", {}), "");
    EXPECT_EQ(srv.config()->capability_flags, 0u);
}

TEST(Config, IntegersAreStoredBeforeTheyAreValidated)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderConnectTimeout", {"30s"}), "Invalid integer value 30s\n");
    EXPECT_EQ(srv.config()->connect_timeout, 30);
    EXPECT_EQ(directive(srv, "KalderIdleTimeout", {"-5"}), "");
    EXPECT_EQ(srv.config()->idle_timeout, -5);
    EXPECT_EQ(directive(srv, "KalderKeyutilsCacheTimeout", {" +7"}), "");
    EXPECT_EQ(srv.config()->keyutils_timeout, 7);
    EXPECT_EQ(directive(srv, "KalderConnectTimeout", {""}), "");
    EXPECT_EQ(srv.config()->connect_timeout, 0);
    EXPECT_EQ(directive(srv, "KalderConnectTimeout", {"4294967297"}), "");
    EXPECT_EQ(srv.config()->connect_timeout, 1) << "truncated to 32 bits";
}

TEST(Config, AssuranceTimeoutUsesTheServersIntegerSetter)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderHighAssuranceSessionTime", {"15"}), "");
    EXPECT_EQ(srv.config()->assurance_timeout, 15);
    EXPECT_EQ(directive(srv, "KalderAuthenticationAssuranceTimeout", {"x"}),
              "Invalid value for directive KalderAuthenticationAssuranceTimeout, expected integer");
}

TEST(Config, UuidsKeepTheirCase)
{
    TestServer srv;
    const char *upper = "0F0E0D0C-0B0A-4908-8706-050403020100";
    EXPECT_EQ(directive(srv, "KalderCollectionID", {upper}), "");
    EXPECT_STREQ(srv.config()->collection_id, upper);
    EXPECT_EQ(directive(srv, "KalderEndpointUUID", {"0f0e0d0c0b0a49088706050403020100"}),
              "Invalid format for UUID");
    EXPECT_EQ(directive(srv, "KalderAuthPolicyID", {"nope"}), "Invalid format for UUID");
}

TEST(Config, BackEndContactIsAUnixSocketPathOrHostAndPort)
{
    TestServer srv;
    for (const char *good :
         {"unix:/run/kalder/backend.sock", "127.0.0.1:50000", "backend.test:1", "[::1]:65535"}) {
        EXPECT_EQ(directive(srv, "KalderBackEndContact", {good}), "") << good;
        EXPECT_STREQ(srv.config()->backend_contact, good);
    }
    const std::string long_path = "unix:/" + std::string(107, 'p');
    const std::pair<std::string, const char *> bad[] = {
        {"unix:", "unix: needs the socket's path"},
        {"unix:run/kalder/backend.sock", "the socket path must be absolute"},
        {long_path, "the socket path is 108 bytes long, at most 107 fit"},
        {"/run/kalder/backend.sock", "expected HOST:PORT or unix:/PATH"},
        {"backend.test", "expected HOST:PORT or unix:/PATH"},
        {"backend.test:", "the port must be a number from 1 to 65535"},
        {"backend.test:0", "the port must be a number from 1 to 65535"},
        {"backend.test:65536", "the port must be a number from 1 to 65535"},
        {"backend.test:http", "the port must be a number from 1 to 65535"},
    };
    for (const auto &[arg, reason] : bad) {
        std::string err = directive(srv, "KalderBackEndContact", {arg.c_str()});
        EXPECT_EQ(err.rfind("KalderBackEndContact: malformed back-end contact \"", 0), 0u) << err;
        EXPECT_NE(err.find(reason), std::string::npos) << arg << ": " << err;
        EXPECT_STREQ(srv.config()->backend_contact, "[::1]:65535") << "a refused contact is not stored";
    }
}

TEST(Config, UnixSocketsAndDomainLists)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderUnixSocket", {"/run/any.sock"}), "");
    EXPECT_EQ(directive(srv, "KalderUnixSocket", {"h2", "/run/h2.sock"}), "");
    EXPECT_STREQ(apr_table_get(srv.config()->unix_sockets, "*"), "/run/any.sock");
    EXPECT_STREQ(apr_table_get(srv.config()->unix_sockets, "h2"), "/run/h2.sock");

    EXPECT_EQ(directive(srv, "KalderAllowedDomains", {"a.org", "b.org"}), "");
    EXPECT_EQ(directive(srv, "KalderRequiredUserDomain", {"c.org"}), "");
    ASSERT_EQ(srv.config()->allowed_domains->nelts, 1) << "a later line replaces the list";
    EXPECT_STREQ(APR_ARRAY_IDX(srv.config()->allowed_domains, 0, const char *), "c.org");
    EXPECT_EQ(directive(srv, "KalderAllowedDomains", {}), "");
    ASSERT_NE(srv.config()->allowed_domains, nullptr);
    EXPECT_EQ(srv.config()->allowed_domains->nelts, 0);
}

TEST(Config, DeprecatedAliasesWriteTheSameField)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderAuthClientID", {"new"}), "");
    EXPECT_EQ(directive(srv, "KalderOAuthClientID", {"old"}), "");
    EXPECT_STREQ(srv.config()->client_id, "old");
    EXPECT_EQ(directive(srv, "KalderOAuthClientSecret", {"s1"}), "");
    EXPECT_EQ(directive(srv, "KalderAuthClientSecret", {"s2"}), "");
    EXPECT_STREQ(srv.config()->client_secret, "s2");
}

TEST(Config, DataChannelKeyType)
{
    TestServer srv;
    EXPECT_EQ(directive(srv, "KalderDataChannelKey", {"RSA2048"}), "");
    EXPECT_EQ(srv.config()->data_channel_key, DATA_CHANNEL_KEY_RSA2048);
    EXPECT_EQ(directive(srv, "KalderDataChannelKey", {"p256"}), "");
    EXPECT_EQ(srv.config()->data_channel_key, DATA_CHANNEL_KEY_P256);
    EXPECT_EQ(directive(srv, "KalderDataChannelKey", {"rsa"}),
              "Invalid data channel key type 'rsa' (use p256 or rsa2048)");
    EXPECT_EQ(srv.config()->data_channel_key, DATA_CHANNEL_KEY_P256) << "a refused word is not stored";
}

// The module record's merge is the core's; one directive-set pair shows the
// two are wired together.
TEST(Config, TheModuleMergesVirtualHostsOverTheMainServer)
{
    TestServer main, vhost;
    directive(main, "KalderAuthClientID", {"main-client"});
    directive(main, "KalderUnixSocket", {"/main/any"});
    directive(vhost, "KalderUnixSocket", {"h2", "/vhost/h2"});
    auto *conf = static_cast<ServerConfig *>(
        kalder_module.merge_server_config(vhost.pool(), main.config(), vhost.config()));
    EXPECT_STREQ(conf->client_id, "main-client");
    EXPECT_STREQ(apr_table_get(conf->unix_sockets, "h2"), "/vhost/h2");
    EXPECT_STREQ(apr_table_get(conf->unix_sockets, "*"), "/main/any");
}

TEST(Config, StartUpRefusesACollectionMissingWhatItsRequestsNeed)
{
    struct Case {
        const char *type;
        const char *ServerConfig::*field;
        const char *directive;  // named in the refusal, or null when the collection starts without it
    } cases[] = {
        {MAPPED_COLLECTION, &ServerConfig::client_id, "KalderAuthClientID"},
        {GUEST_COLLECTION, &ServerConfig::auth_api_endpoint, "KalderAuthAPIEndpoint"},
        {GUEST_COLLECTION, &ServerConfig::transfer_api_endpoint, "KalderTransferAPIEndpoint"},
        {GUEST_COLLECTION, &ServerConfig::collection_id, "KalderCollectionID"},
        {MAPPED_COLLECTION, &ServerConfig::transfer_api_endpoint, nullptr},
        {MAPPED_COLLECTION, &ServerConfig::collection_id, nullptr},
    };
    for (const auto &c : cases) {
        kalder::test::clear_log();
        TestServer srv;
        srv.server()->defn_name = "/etc/kalder/sites.conf";
        srv.server()->defn_line_number = 12;
        ServerConfig *conf = srv.config();
        conf->collection_type = c.type;
        conf->client_id = "client-1";
        conf->auth_api_endpoint = "https://auth.test";
        conf->transfer_api_endpoint = "https://transfer.test";
        conf->collection_id = "5b3c6c3e-6d3e-4c49-9d3b-0f6f2b1c9a11";
        conf->oidc_state_key = "k";
        conf->*c.field = nullptr;
        std::string what =
            std::string(c.type) + " without " + (c.directive ? c.directive : "an optional setting");
        if (!c.directive) {
            EXPECT_EQ(mod_kalder_check_collections(srv.server()), OK) << what;
            EXPECT_TRUE(kalder::test::log_lines().empty()) << what << "\n" << kalder::test::dump_log();
            continue;
        }
        EXPECT_EQ(mod_kalder_check_collections(srv.server()), HTTP_INTERNAL_SERVER_ERROR) << what;
        EXPECT_TRUE(kalder::test::logged(
            APLOG_ERR, "Server collection.example.org (/etc/kalder/sites.conf:12) serves a " +
                           std::string(c.type) + " collection but " + c.directive + " is not set"))
            << what << "\n"
            << kalder::test::dump_log();
    }
    kalder::test::clear_log();
}
