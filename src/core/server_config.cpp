// The configuration record of a server: its defaults, and what a virtual
// host takes from the main server.
#include "server_config.h"

#include "apr_pools.h"

ServerConfig *server_config_create(apr_pool_t *pool)
{
    auto *conf = static_cast<ServerConfig *>(apr_pcalloc(pool, sizeof(ServerConfig)));
    conf->unix_sockets = apr_table_make(pool, 16);
    conf->keyutils_timeout = 60;
    return conf;
}

ServerConfig *server_config_merge(apr_pool_t *pool, const ServerConfig *base, const ServerConfig *add)
{
    auto *conf = static_cast<ServerConfig *>(apr_palloc(pool, sizeof(ServerConfig)));
    *conf = *base;

    auto take_set = [](const auto *from, auto &to) {
        if (from)
            to = from;
    };
    take_set(add->backend_contact, conf->backend_contact);
    take_set(add->transfer_api_endpoint, conf->transfer_api_endpoint);
    take_set(add->oidc_state_key, conf->oidc_state_key);
    take_set(add->auth_api_endpoint, conf->auth_api_endpoint);
    take_set(add->client_id, conf->client_id);
    take_set(add->client_secret, conf->client_secret);
    take_set(add->collection_id, conf->collection_id);
    take_set(add->auth_policy_id, conf->auth_policy_id);
    take_set(add->dynamic_config_dir, conf->dynamic_config_dir);
    take_set(add->collection_type, conf->collection_type);
    if (add->allowed_domains)
        conf->allowed_domains = add->allowed_domains;
    if (add->connect_timeout != 0)
        conf->connect_timeout = add->connect_timeout;
    if (add->idle_timeout != 0)
        conf->idle_timeout = add->idle_timeout;
    if (add->assurance_timeout > 0)
        conf->assurance_timeout = add->assurance_timeout;
    if (add->data_channel_key != DATA_CHANNEL_KEY_UNSET)
        conf->data_channel_key = add->data_channel_key;
    // Flags are never inherited; the cache timeout always comes from the
    // main server (the keyring is shared by every virtual host).
    conf->capability_flags = add->capability_flags;
    conf->unix_sockets = apr_table_overlay(pool, add->unix_sockets, base->unix_sockets);
    return conf;
}
