// A server's configuration record: its defaults, and the merge of a
// virtual host's record over the main server's.
#include <gtest/gtest.h>

#include <string>

#include "apr_strings.h"
#include "server_config.h"

namespace {

class Records : public ::testing::Test {
   protected:
    void SetUp() override
    {
        apr_initialize();
        apr_pool_create(&pool_, nullptr);
        main_ = server_config_create(pool_);
        vhost_ = server_config_create(pool_);
    }
    void TearDown() override { apr_pool_destroy(pool_); }
    const ServerConfig *merged() { return server_config_merge(pool_, main_, vhost_); }

    apr_pool_t *pool_ = nullptr;
    ServerConfig *main_ = nullptr;
    ServerConfig *vhost_ = nullptr;
};

}  // namespace

TEST_F(Records, DefaultsOfANewRecord)
{
    EXPECT_EQ(main_->keyutils_timeout, 60);
    EXPECT_EQ(main_->connect_timeout, 0);
    EXPECT_EQ(main_->allowed_domains, nullptr);
    EXPECT_EQ(main_->data_channel_key, DATA_CHANNEL_KEY_UNSET);
    EXPECT_TRUE(apr_is_empty_table(main_->unix_sockets));
}

// Every text setting: inherited while the virtual host leaves it unset.
TEST_F(Records, TextSettingsAreInheritedUnlessTheVirtualHostSetsThem)
{
    const char *ServerConfig::*const fields[] = {
        &ServerConfig::backend_contact,    &ServerConfig::transfer_api_endpoint,
        &ServerConfig::oidc_state_key,     &ServerConfig::auth_api_endpoint,
        &ServerConfig::client_id,          &ServerConfig::client_secret,
        &ServerConfig::collection_id,      &ServerConfig::auth_policy_id,
        &ServerConfig::dynamic_config_dir, &ServerConfig::collection_type,
    };
    for (size_t i = 0; i < std::size(fields); ++i) {
        main_->*fields[i] = "main";
        vhost_->*fields[i] = nullptr;
        EXPECT_STREQ(merged()->*fields[i], "main") << "field " << i;
        vhost_->*fields[i] = "vhost";
        EXPECT_STREQ(merged()->*fields[i], "vhost") << "field " << i;
    }
}

TEST_F(Records, NumbersAreTakenWhenTheVirtualHostSetsThem)
{
    const struct {
        const char *what;
        int32_t ServerConfig::*field;
        int32_t main, vhost, merged;
    } cases[] = {
        {"connect timeout, unset", &ServerConfig::connect_timeout, 5, 0, 5},
        {"connect timeout", &ServerConfig::connect_timeout, 5, 9, 9},
        {"connect timeout, negative", &ServerConfig::connect_timeout, 5, -1, -1},
        {"idle timeout, unset", &ServerConfig::idle_timeout, 7, 0, 7},
        {"idle timeout", &ServerConfig::idle_timeout, 7, 3, 3},
        {"assurance timeout, unset", &ServerConfig::assurance_timeout, 600, 0, 600},
        {"assurance timeout, negative", &ServerConfig::assurance_timeout, 600, -1, 600},
        {"assurance timeout", &ServerConfig::assurance_timeout, 600, 30, 30},
        {"cache timeout: always the main server's", &ServerConfig::keyutils_timeout, 10, 300, 10},
    };
    for (const auto &c : cases) {
        main_->*c.field = c.main;
        vhost_->*c.field = c.vhost;
        EXPECT_EQ(merged()->*c.field, c.merged) << c.what;
    }
}

TEST_F(Records, FlagsAreNeverInheritedAndTheKeyTypeIsUnlessSet)
{
    main_->capability_flags = MOD_KALDER_HIGH_ASSURANCE;
    EXPECT_EQ(merged()->capability_flags, 0u);
    vhost_->capability_flags = MOD_KALDER_REQUIRE_MFA;
    EXPECT_EQ(merged()->capability_flags, MOD_KALDER_REQUIRE_MFA);

    main_->data_channel_key = DATA_CHANNEL_KEY_RSA2048;
    EXPECT_EQ(merged()->data_channel_key, DATA_CHANNEL_KEY_RSA2048);
    vhost_->data_channel_key = DATA_CHANNEL_KEY_P256;
    EXPECT_EQ(merged()->data_channel_key, DATA_CHANNEL_KEY_P256);
}

TEST_F(Records, DomainListsAndSocketTables)
{
    main_->allowed_domains = apr_array_make(pool_, 1, sizeof(const char *));
    APR_ARRAY_PUSH(main_->allowed_domains, const char *) = "main.org";
    EXPECT_EQ(merged()->allowed_domains, main_->allowed_domains);
    vhost_->allowed_domains = apr_array_make(pool_, 1, sizeof(const char *));
    EXPECT_EQ(merged()->allowed_domains->nelts, 0) << "an empty list is still a list";

    apr_table_set(main_->unix_sockets, "h2", "/main/h2");
    apr_table_set(main_->unix_sockets, "*", "/main/any");
    apr_table_set(vhost_->unix_sockets, "h2", "/vhost/h2");
    const ServerConfig *conf = merged();
    EXPECT_STREQ(apr_table_get(conf->unix_sockets, "h2"), "/vhost/h2");
    EXPECT_STREQ(apr_table_get(conf->unix_sockets, "*"), "/main/any");
    EXPECT_STREQ(apr_table_get(main_->unix_sockets, "h2"), "/main/h2")
        << "the main server's table is untouched";
}
