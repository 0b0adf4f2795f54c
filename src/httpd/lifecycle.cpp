// Process lifecycle of the module: the start-up check of the collections,
// the parent's keyring self-test and configuration-directory watcher
// (post-config), and the toolkit and data-channel set-up of each child
// (child init).
#define KALDER_SOURCE "mod_kalder"
#include "lifecycle.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "config.h"
#include "https_client.h"
#include "keyring.h"
#include "content_handler.h"
#include "key_utils.h"
#include "kalder_common.h"
#include "kalder_gridftp_server.h"
#include "kalder_gssapi_gsi.h"
#include "kalder_xio.h"
#include "module.h"
#include "tls_peek.h"

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
    kalder_tls_peek_configure(pconf, s);

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

    // The children share the parent's session keyring as their cache: the
    // parent makes sure it has one that stores and reads.
    if (!kernel_session_keyring_works())
        kernel_join_session_keyring();
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
    https_global_cleanup();
    return APR_SUCCESS;
}

extern "C" void mod_kalder_child_init(apr_pool_t *pchild, server_rec *s)
{
    // The HTTPS library's global set-up is not thread-safe; do it before any request.
    https_global_init();
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
