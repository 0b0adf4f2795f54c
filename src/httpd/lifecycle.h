// The module's process lifecycle: the configuration passes of the parent
// and the set-up of each child.
#ifndef KALDER_HTTPD_LIFECYCLE_H
#define KALDER_HTTPD_LIFECYCLE_H

#include "httpd.h"

// Start-up check of every virtual host that serves a collection: refuses a
// configuration the gateway could not work with (run by post-config).
int mod_kalder_check_collections(server_rec *main_server);

// Every configuration pass: the collection check and the hand-off table;
// from the second pass of a server process on, also the keyring self-test,
// the cache secret and the configuration-directory watcher.
extern "C" int mod_kalder_post_config(apr_pool_t *pconf, apr_pool_t *plog, apr_pool_t *ptemp, server_rec *s);

// Toolkit activation, the data channel's driver stack and the handler's key
// pool of one child process, undone with its pool.
extern "C" void mod_kalder_child_init(apr_pool_t *pchild, server_rec *s);

#endif
