// The configuration of one virtual host as the gateway's logic reads it.
#ifndef KALDER_CORE_SERVER_CONFIG_H
#define KALDER_CORE_SERVER_CONFIG_H

#include <cstdint>

#include "apr_pools.h"
#include "apr_tables.h"

inline constexpr const char *GUEST_COLLECTION = "guest";
inline constexpr const char *MAPPED_COLLECTION = "mapped";

inline constexpr uint32_t MOD_KALDER_HIGH_ASSURANCE = 1;
inline constexpr uint32_t MOD_KALDER_REQUIRE_MFA = 2;

// Key type of the data channel's per-request credential. P-256 costs tens
// of microseconds to make; RSA-2048 about 150 ms of CPU, for a back end that
// needs RSA. DATA_CHANNEL_KEY_UNSET inherits the main server's choice.
enum DataChannelKey : int32_t {
    DATA_CHANNEL_KEY_UNSET = 0,
    DATA_CHANNEL_KEY_P256 = 1,
    DATA_CHANNEL_KEY_RSA2048 = 2,
};

// One per server record (main server and each virtual host), merged per
// virtual host. Strings and arrays live in the configuration pool.
struct ServerConfig {
    apr_table_t *unix_sockets;          // ALPN name (or "*") -> Unix socket path
    const char *backend_contact;        // "unix:/PATH" or "host:port" of the back end
    int32_t connect_timeout;            // seconds; IPC connect and HTTPS timeout
    int32_t idle_timeout;               // seconds; IPC idle timeout
    const char *transfer_api_endpoint;  // base URL of the transfer service
    const char *auth_api_endpoint;      // base URL of the identity service
    const char *client_id;
    const char *client_secret;
    const char *collection_id;            // UUID text
    const char *collection_type;          // "mapped" or "guest"
    const char *oidc_state_key;           // secret of the sealed OIDC cookie
    int32_t assurance_timeout;            // minutes
    int32_t keyutils_timeout;             // seconds
    apr_array_header_t *allowed_domains;  // of const char *
    uint32_t capability_flags;            // MOD_KALDER_HIGH_ASSURANCE | MOD_KALDER_REQUIRE_MFA
    const char *auth_policy_id;           // UUID text
    const char *dynamic_config_dir;
    DataChannelKey data_channel_key;  // of the per-request credential
};

// A record with the defaults: no socket entries, a 60-second cache timeout,
// everything else unset.
ServerConfig *server_config_create(apr_pool_t *pool);

// A virtual host's record over the main server's: what the virtual host
// sets wins, the rest is inherited, except the flags (never inherited) and
// the cache timeout (always the main server's); the ALPN tables overlay.
ServerConfig *server_config_merge(apr_pool_t *pool, const ServerConfig *base, const ServerConfig *add);

#endif
