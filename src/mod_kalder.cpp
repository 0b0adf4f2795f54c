// Module record, registrations, directives and process lifecycle.
#define KALDER_SOURCE "mod_kalder"
#include "kalder.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <keyutils.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <curl/curl.h>

#include "ap_provider.h"
#include "apr_strings.h"
#include "apr_uuid.h"
#include "content_handler.h"
#include "http_core.h"
#include "http_protocol.h"

#include "kalder_common.h"
#include "kalder_gridftp_server.h"
#include "kalder_gssapi_gsi.h"
#include "kalder_xio.h"

// ---------------------------------------------------------------------------
// Process-wide state

namespace {

// The configuration-directory watcher of the parent process. This record
// is the one owner of the inotify descriptor: the watcher thread gets the
// number by value and only reads from it, and disarm_config_watcher closes
// it exactly once, after the thread has been cancelled and joined, so the
// number is never closed while it may already belong to another file.
struct ConfigWatch {
    int inotify_fd = -1;
    pid_t owner_pid = 0;
    pthread_t thread{};
    bool has_thread = false;
};
ConfigWatch config_watch;

// Toolkit handles of a child process; the data channel builds its
// attributes from these.
kalder_xio_stack_t xio_stack;
kalder_xio_driver_t tcp_driver;
kalder_xio_driver_t gsi_driver;

constexpr const char *TEST_KEY_DESC = "mod-kalder-test-key";
constexpr char TEST_KEY_PAYLOAD[] = "HelloWorld";  // stored with its NUL: 11 bytes

}  // namespace

kalder_xio_stack_t mod_kalder_xio_stack()
{
    return xio_stack;
}
kalder_xio_driver_t mod_kalder_tcp_driver()
{
    return tcp_driver;
}
kalder_xio_driver_t mod_kalder_gsi_driver()
{
    return gsi_driver;
}

namespace {

void report_broken_invariant(const char *cond, const char *file, int line)
{
    ap_log_error(KALDER_MARK, APLOG_CRIT, 0, nullptr, "Assertion failed: %s (%s:%d)", cond, file, line);
}

}  // namespace

ServerConfig *kalder_server_config(const server_rec *s)
{
    return static_cast<ServerConfig *>(ap_get_module_config(s->module_config, &kalder_module));
}

// ---------------------------------------------------------------------------
// Configuration records

void *mod_kalder_create_server_config(apr_pool_t *pool, server_rec *)
{
    auto *conf = static_cast<ServerConfig *>(apr_pcalloc(pool, sizeof(ServerConfig)));
    conf->unix_sockets = apr_table_make(pool, 16);
    conf->keyutils_timeout = 60;
    return conf;
}

void *mod_kalder_merge_server_config(apr_pool_t *pool, void *base_v, void *add_v)
{
    const auto *base = static_cast<const ServerConfig *>(base_v);
    const auto *add = static_cast<const ServerConfig *>(add_v);
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

// ---------------------------------------------------------------------------
// Keyring self-test: the children share the parent's session keyring as
// their cache, so the parent makes sure it has one that stores and reads.

bool session_keyring_works()
{
    key_serial_t session = keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0);
    key_serial_t user_session = keyctl_get_keyring_ID(KEY_SPEC_USER_SESSION_KEYRING, 0);
    if (session == user_session)
        return false;
    key_serial_t added =
        add_key("user", TEST_KEY_DESC, TEST_KEY_PAYLOAD, sizeof TEST_KEY_PAYLOAD, KEY_SPEC_SESSION_KEYRING);
    if (added == -1)
        return false;
    key_serial_t found = request_key("user", TEST_KEY_DESC, nullptr, KEY_SPEC_SESSION_KEYRING);
    if (found == -1 || found != added)
        return false;
    char buffer[sizeof TEST_KEY_PAYLOAD];
    long n = keyctl_read(found, buffer, sizeof buffer);
    return n == static_cast<long>(sizeof TEST_KEY_PAYLOAD) &&
           std::memcmp(buffer, TEST_KEY_PAYLOAD, sizeof TEST_KEY_PAYLOAD) == 0;
}

// ---------------------------------------------------------------------------
// Configuration-directory watcher

void *config_dir_watcher(void *arg)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    char buffer[sizeof(struct inotify_event) + 255 + 1];
    ssize_t n;
    do n = read(fd, buffer, sizeof buffer);
    while (n == -1 && errno == EINTR);
    if (n <= 0)
        return nullptr;
    // Any completed write or deletion: one graceful restart. The thread ends
    // here; the next configuration pass disarms this watch and arms a new one.
    kill(getpid(), SIGUSR1);
    return nullptr;
}

// Ends the watcher thread (in the process that started it) and closes the
// descriptor. In a child the record is the parent's copy: there is no
// thread to join, only the inherited descriptor to close.
void disarm_config_watcher()
{
    if (config_watch.has_thread && config_watch.owner_pid == getpid()) {
        // read() is a cancellation point; a thread that already ended is
        // joined all the same.
        pthread_cancel(config_watch.thread);
        pthread_join(config_watch.thread, nullptr);
    }
    config_watch.has_thread = false;
    if (config_watch.inotify_fd != -1) {
        close(config_watch.inotify_fd);
        config_watch.inotify_fd = -1;
    }
}

int arm_config_watcher(server_rec *main_server)
{
    config_watch.inotify_fd = inotify_init1(IN_CLOEXEC);
    config_watch.owner_pid = getpid();
    config_watch.has_thread = false;
    if (config_watch.inotify_fd == -1) {
        int err = errno;
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, main_server,
                     "Failed to create the configuration directory watcher (inotify_init1): %s",
                     std::strerror(err));
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    for (server_rec *s = main_server; s; s = s->next) {
        const ServerConfig *conf = kalder_server_config(s);
        if (!conf || !conf->dynamic_config_dir)
            continue;
        if (inotify_add_watch(config_watch.inotify_fd, conf->dynamic_config_dir, IN_CLOSE_WRITE | IN_DELETE) <
            0) {
            int err = errno;
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, s,
                         "Failed to watch KalderDynamicConfigDir %s (inotify_add_watch): %s",
                         conf->dynamic_config_dir, std::strerror(err));
            return HTTP_INTERNAL_SERVER_ERROR;
        }
    }
    int rc = pthread_create(&config_watch.thread, nullptr, config_dir_watcher,
                            reinterpret_cast<void *>(static_cast<intptr_t>(config_watch.inotify_fd)));
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, main_server,
                     "Failed to start the configuration directory watcher (pthread_create): %s",
                     std::strerror(rc));
        return HTTP_INTERNAL_SERVER_ERROR;
    }
    config_watch.has_thread = true;
    return OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle hooks

int mod_kalder_check_collections(server_rec *main_server)
{
    int result = OK;
    for (server_rec *s = main_server; s; s = s->next) {
        const ServerConfig *conf = kalder_server_config(s);
        if (!conf || !conf->collection_type)
            continue;
        const char *name = s->server_hostname ? s->server_hostname : "(unnamed)";
        const char *where = s->defn_name ? s->defn_name : "";
        auto require = [&](const char *value, const char *directive) {
            if (value)
                return;
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, s,
                         "Server %s (%s:%u) serves a %s collection but %s is not set", name, where,
                         s->defn_line_number, conf->collection_type, directive);
            result = HTTP_INTERNAL_SERVER_ERROR;
        };
        // Scope URLs and the login need the client id; introspection and
        // the login need the identity service.
        require(conf->client_id, "KalderAuthClientID");
        require(conf->auth_api_endpoint, "KalderAuthAPIEndpoint");
        // Every request to a guest collection, the anonymous ones included,
        // fetches the collection's effective permissions from the transfer
        // service.
        if (std::strcmp(conf->collection_type, GUEST_COLLECTION) == 0) {
            require(conf->transfer_api_endpoint, "KalderTransferAPIEndpoint");
            require(conf->collection_id, "KalderCollectionID");
        }
        if (!conf->oidc_state_key)
            ap_log_error(
                KALDER_MARK, APLOG_WARNING, 0, s,
                "Server %s (%s:%u) serves a %s collection without KalderOIDCStateKey; browser logins will "
                "fail with an internal error",
                name, where, s->defn_line_number, conf->collection_type);
    }
    return result;
}

extern "C" int mod_kalder_post_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp, server_rec *s)
{
    // Refuse a collection the gateway could not serve, on every pass so
    // that the very first start fails too.
    int checked = mod_kalder_check_collections(s);
    if (checked != OK)
        return checked;

    // The first pass of a new server process only leaves a marker: the
    // real configuration pass follows.
    apr_pool_t *process_pool = s->process->pool;
    void *marker = nullptr;
    apr_pool_userdata_get(&marker, "collections_init", process_pool);
    if (!marker) {
        apr_pool_userdata_set(reinterpret_cast<const void *>(1), "collections_init", apr_pool_cleanup_null,
                              process_pool);
        return OK;
    }

    if (!session_keyring_works())
        keyctl_join_session_keyring(nullptr);
    keyutils_cache_secret_init(process_pool);

    // Each configuration load watches the directories it names: the watch
    // of the previous load (if the module's code stayed loaded) goes first.
    disarm_config_watcher();
    return arm_config_watcher(s);
}

extern "C" apr_status_t mod_kalder_child_cleanup(void *)
{
    kalder_xio_stack_destroy(xio_stack);
    kalder_xio_driver_unload(gsi_driver);
    kalder_xio_driver_unload(tcp_driver);
    xio_stack = nullptr;
    gsi_driver = tcp_driver = nullptr;
    kalder_module_deactivate(kalder_i_gfs_module);
    kalder_module_deactivate(kalder_i_gsi_gssapi_module);
    kalder_module_deactivate(kalder_i_xio_module);
    kalder_module_deactivate(kalder_i_common_module);
    curl_global_cleanup();
    return APR_SUCCESS;
}

extern "C" void mod_kalder_child_init(apr_pool_t *pchild, server_rec *s)
{
    // libcurl's global set-up is not thread-safe; do it before any request.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    kalder_thread_set_model("pthread");
    kalder_module_activate(kalder_i_common_module);
    kalder_module_activate(kalder_i_xio_module);
    kalder_module_activate(kalder_i_gsi_gssapi_module);
    kalder_module_activate(kalder_i_gfs_module);
    kalder_xio_driver_load("tcp", &tcp_driver);
    kalder_xio_driver_load("gsi", &gsi_driver);
    kalder_xio_stack_init(&xio_stack, nullptr);
    kalder_xio_stack_push_driver(xio_stack, tcp_driver);
    kalder_xio_stack_push_driver(xio_stack, gsi_driver);
    kalder_gfs_ipc_init(1);
    apr_pool_cleanup_register(pchild, nullptr, mod_kalder_child_cleanup, apr_pool_cleanup_null);
    kalder_handler_child_init(pchild, s);
}

// Runs whenever the module's code leaves a process, including the unload
// before each reload on restart.
__attribute__((destructor)) static void mod_kalder_unload()
{
    disarm_config_watcher();
}

// ---------------------------------------------------------------------------
// Registration

namespace {

const authz_provider kalder_authz_provider = {
    &mod_kalder_authz_hook,
    nullptr,
};

void mod_kalder_register_hooks(apr_pool_t *p)
{
    kalder_set_assert_reporter(report_broken_invariant);
    // Strips extended-block headers and frames byte ranges.
    ap_register_output_filter("MODE_E_FILTER", mode_e_filter, nullptr, AP_FTYPE_RESOURCE);
    // Keyring self-test and configuration-directory watcher.
    ap_hook_post_config(mod_kalder_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Toolkit activation and the data channel's driver stack.
    ap_hook_child_init(mod_kalder_child_init, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Serves the collection's data through the back end.
    ap_hook_handler(mod_kalder_handler, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Bearer tokens and the browser login cookie.
    ap_hook_check_authn(mod_kalder_authn_hook, nullptr, nullptr, APR_HOOK_MIDDLE, AP_AUTH_INTERNAL_PER_CONF);
    // "Require kalderacl".
    ap_register_auth_provider(p, AUTHZ_PROVIDER_GROUP, "kalderacl", AUTHZ_PROVIDER_VERSION,
                              &kalder_authz_provider, AP_AUTH_INTERNAL_PER_URI);
    // Peeks at the ClientHello to hand connections off by ALPN.
    ap_hook_insert_network_bucket(mod_kalder_insert_network_bucket, nullptr, nullptr, APR_HOOK_MIDDLE);
    // Turns 401 and 403 into bearer challenges or login redirects.
    ap_register_output_filter("MOD_KALDER_REPLY_FILTER", mod_kalder_reply_filter, nullptr,
                              AP_FTYPE_CONTENT_SET);
    ap_hook_insert_error_filter(mod_kalder_insert_error_filter, nullptr, nullptr, APR_HOOK_LAST);
}

}  // namespace

extern "C" {
module AP_MODULE_DECLARE_DATA kalder_module = {
    MODULE_MAGIC_NUMBER_MAJOR,
    MODULE_MAGIC_NUMBER_MINOR,
    -1,
    "mod_kalder.cpp",
    nullptr,
    nullptr,
    MODULE_MAGIC_COOKIE,
    nullptr,
    nullptr,  // no per-directory configuration
    nullptr,
    mod_kalder_create_server_config,
    mod_kalder_merge_server_config,
    kalder_cmds,
    mod_kalder_register_hooks,
    0,
};
}
