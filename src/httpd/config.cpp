// The module's server configuration in httpd: the record of each server,
// its merge into a virtual host, and the KalderXxx directives that fill it.
#define KALDER_SOURCE "mod_kalder"
#include "config.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "apr_strings.h"
#include "apr_uuid.h"

#include "kalder_gridftp_server.h"
#include "module.h"

ServerConfig *kalder_server_config(const server_rec *s)
{
    return static_cast<ServerConfig *>(ap_get_module_config(s->module_config, &kalder_module));
}

// ---------------------------------------------------------------------------
// Configuration records

void *mod_kalder_create_server_config(apr_pool_t *pool, server_rec *)
{
    return server_config_create(pool);
}

void *mod_kalder_merge_server_config(apr_pool_t *pool, void *base, void *add)
{
    return server_config_merge(pool, static_cast<const ServerConfig *>(base),
                               static_cast<const ServerConfig *>(add));
}

// ---------------------------------------------------------------------------
// Directive handlers

namespace {

ServerConfig *cmd_config(cmd_parms *cmd)
{
    return kalder_server_config(cmd->server);
}

const char *set_unix_socket(cmd_parms *cmd, void *, const char *arg1, const char *arg2)
{
    ServerConfig *conf = cmd_config(cmd);
    if (arg2)
        apr_table_set(conf->unix_sockets, arg1, arg2);
    else
        apr_table_set(conf->unix_sockets, "*", arg1);
    return nullptr;
}

// Copies the argument into the field named by cmd->info (an offset).
const char *set_copied_string(cmd_parms *cmd, void *, const char *arg)
{
    auto *field = reinterpret_cast<const char **>(reinterpret_cast<char *>(cmd_config(cmd)) +
                                                  reinterpret_cast<std::uintptr_t>(cmd->info));
    *field = apr_pstrdup(cmd->pool, arg);
    return nullptr;
}

// The server's generic slot setters, pointed at the server record.
const char *set_string_slot(cmd_parms *cmd, void *, const char *arg)
{
    return ap_set_string_slot(cmd, cmd_config(cmd), arg);
}

const char *set_int_slot(cmd_parms *cmd, void *, const char *arg)
{
    return ap_set_int_slot(cmd, cmd_config(cmd), arg);
}

// Integer with the module's own message; the value is stored before it is
// validated, truncated to 32 bits.
const char *set_integer(cmd_parms *cmd, void *, const char *arg)
{
    auto *field = reinterpret_cast<int32_t *>(reinterpret_cast<char *>(cmd_config(cmd)) +
                                              reinterpret_cast<std::uintptr_t>(cmd->info));
    char *end = nullptr;
    long long value = std::strtoll(arg, &end, 10);
    *field = static_cast<int32_t>(value);
    if (end && *end != '\0')
        return apr_psprintf(cmd->pool, "Invalid integer value %s\n", arg);
    return nullptr;
}

// "unix:/PATH" or "HOST:PORT": a contact the IPC client cannot use is
// refused here, so that a typo stops the start instead of failing every
// request.
const char *set_backend_contact(cmd_parms *cmd, void *, const char *arg)
{
    char why[256];
    if (!kalder_gfs_ipc_contact_valid(arg, why, sizeof why))
        return apr_psprintf(cmd->pool, "KalderBackEndContact: %s", why);
    cmd_config(cmd)->backend_contact = apr_pstrdup(cmd->pool, arg);
    return nullptr;
}

const char *set_uuid(cmd_parms *cmd, void *, const char *arg)
{
    apr_uuid_t uuid;
    if (apr_uuid_parse(&uuid, arg) != APR_SUCCESS)
        return "Invalid format for UUID";
    auto *field = reinterpret_cast<const char **>(reinterpret_cast<char *>(cmd_config(cmd)) +
                                                  reinterpret_cast<std::uintptr_t>(cmd->info));
    *field = arg;
    return nullptr;
}

const char *set_collection_type(cmd_parms *cmd, void *, const char *arg)
{
    ServerConfig *conf = cmd_config(cmd);
    if (strcasecmp(arg, MAPPED_COLLECTION) == 0)
        conf->collection_type = MAPPED_COLLECTION;
    else if (strcasecmp(arg, GUEST_COLLECTION) == 0)
        conf->collection_type = GUEST_COLLECTION;
    else
        return apr_psprintf(cmd->pool, "Invalid collection type '%s'", arg);
    return nullptr;
}

const char *set_data_channel_key(cmd_parms *cmd, void *, const char *arg)
{
    ServerConfig *conf = cmd_config(cmd);
    if (strcasecmp(arg, "p256") == 0)
        conf->data_channel_key = DATA_CHANNEL_KEY_P256;
    else if (strcasecmp(arg, "rsa2048") == 0)
        conf->data_channel_key = DATA_CHANNEL_KEY_RSA2048;
    else
        return apr_psprintf(cmd->pool, "Invalid data channel key type '%s' (use p256 or rsa2048)", arg);
    return nullptr;
}

const char *set_allowed_domains(cmd_parms *cmd, void *, int argc, char *const argv[])
{
    ServerConfig *conf = cmd_config(cmd);
    if (!conf->allowed_domains)
        conf->allowed_domains = apr_array_make(cmd->pool, argc, sizeof(const char *));
    else
        apr_array_clear(conf->allowed_domains);
    for (int i = 0; i < argc; ++i)
        APR_ARRAY_PUSH(conf->allowed_domains, const char *) = apr_pstrdup(cmd->pool, argv[i]);
    return nullptr;
}

const char *set_collection_flags(cmd_parms *cmd, void *, int argc, char *const argv[])
{
    ServerConfig *conf = cmd_config(cmd);
    conf->capability_flags = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcasecmp(argv[i], "RequireHighAssurance") == 0)
            conf->capability_flags |= MOD_KALDER_HIGH_ASSURANCE;
        else if (strcasecmp(argv[i], "RequireMFA") == 0)
            conf->capability_flags |= MOD_KALDER_REQUIRE_MFA;
        else if (std::strcmp(argv[i], "None") != 0)
            return apr_psprintf(cmd->pool, "Invalid collection flags '%s'", argv[i]);
    }
    return nullptr;
}

#define FIELD(f) reinterpret_cast<void *>(offsetof(ServerConfig, f))
#define CMD_TAKE1(name, fn, field, help) \
    AP_INIT_TAKE1(name, reinterpret_cast<cmd_func>(fn), FIELD(field), RSRC_CONF, help)
#define CMD_ARGV(name, fn, help) \
    AP_INIT_TAKE_ARGV(name, reinterpret_cast<cmd_func>(fn), nullptr, RSRC_CONF, help)

}  // namespace

// The directive table of the module record.
const command_rec kalder_cmds[] = {
    AP_INIT_TAKE12(
        "KalderUnixSocket", reinterpret_cast<cmd_func>(set_unix_socket), nullptr, RSRC_CONF,
        "specify the optional ALPN service name and a unix domain socket path to pass the socket to"),
    CMD_TAKE1("KalderBackEndContact", set_backend_contact, backend_contact,
              "specify contact string for the back-end server"),
    CMD_TAKE1("KalderConnectTimeout", set_integer, connect_timeout, "specify GridFTP connect timeout"),
    CMD_TAKE1("KalderIdleTimeout", set_integer, idle_timeout, "specify GridFTP Idle timeout"),
    CMD_TAKE1("KalderTransferAPIEndpoint", set_copied_string, transfer_api_endpoint,
              "specify transfer API endpoint"),
    CMD_TAKE1("KalderKeyutilsCacheTimeout", set_integer, keyutils_timeout,
              "specify cache timeout for data stored in keyutils. Defaults to 60 seconds."),
    CMD_TAKE1("KalderAuthAPIEndpoint", set_string_slot, auth_api_endpoint, "specify Auth API endpoint"),
    CMD_TAKE1("KalderAuthClientID", set_string_slot, client_id, "specify Kalder Auth client ID"),
    CMD_TAKE1("KalderAuthClientSecret", set_string_slot, client_secret, "specify Kalder Auth client secret"),
    CMD_TAKE1("KalderCollectionID", set_uuid, collection_id, "specify id for collection"),
    CMD_TAKE1("KalderCollectionType", set_collection_type, collection_type,
              "specify the collection type (guest or mapped)"),
    CMD_TAKE1("KalderOIDCStateKey", set_string_slot, oidc_state_key,
              "specify the crypto key for OIDC cookies"),
    CMD_TAKE1("KalderAuthenticationAssuranceTimeout", set_int_slot, assurance_timeout,
              "specify the high assurance timeout "),
    CMD_ARGV("KalderAllowedDomains", set_allowed_domains,
             "specify the allowed domains for accessing data on this collection"),
    CMD_ARGV("KalderCollectionFlags", set_collection_flags,
             "specify the collection flags (RequireHighAssurance, RequireMFA)"),
    CMD_TAKE1("KalderAuthPolicyID", set_uuid, auth_policy_id, "specify id for auth policy"),
    CMD_TAKE1("KalderDataChannelKey", set_data_channel_key, data_channel_key,
              "key type of the data channel's per-request credential (p256 or rsa2048)"),
    CMD_TAKE1("KalderDynamicConfigDir", set_string_slot, dynamic_config_dir,
              "Path to directory containing configuration files created by the Ostra Manager"),
    CMD_TAKE1("KalderEndpointUUID", set_uuid, collection_id,
              "specify uuid for endpoint [deprecated: use KalderCollectionID]"),
    CMD_TAKE1("KalderHighAssuranceSessionTime", set_int_slot, assurance_timeout,
              "specify the high assurance timeout [deprecated, use KalderAuthenticationAssuranceTimeout]"),
    CMD_ARGV("KalderRequiredUserDomain", set_allowed_domains,
             "specify the required domain for accessing data on this collection [deprecated, use "
             "KalderAllowedDomains]"),
    CMD_TAKE1("KalderOAuthClientID", set_string_slot, client_id,
              "specify Kalder Auth client ID [deprecated, use KalderAuthClientID]"),
    CMD_TAKE1("KalderOAuthClientSecret", set_string_slot, client_secret,
              "specify Kalder Auth client secret [deprecated, use KalderAuthClientSecret]"),
    {nullptr},
};

#undef CMD_ARGV
#undef CMD_TAKE1
#undef FIELD
