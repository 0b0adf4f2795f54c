// The TLS_PEEK network bucket of the httpd shell: it peeks at the first
// bytes of every new connection and hands the connection off by server
// name and ALPN, or lets it through untouched.
#ifndef KALDER_HTTPD_TLS_PEEK_H
#define KALDER_HTTPD_TLS_PEEK_H

#include "httpd.h"
#include "apr_buckets.h"
#include "apr_network_io.h"

// Reads the servers' names and KalderUnixSocket tables, in configuration
// order, for the hand-off decisions of the connections that follow; kept
// until `pconf` is cleared (run by post-config on every pass).
void kalder_tls_peek_configure(apr_pool_t *pconf, const server_rec *main_server);

// Returns AP_DECLINED (not DECLINED) to leave the connection to the core.
apr_status_t mod_kalder_insert_network_bucket(conn_rec *c, apr_bucket_brigade *bb, apr_socket_t *socket);

#endif
