// Where a peeked ClientHello is handed off: the Unix socket, if any, that
// the virtual hosts' ALPN tables name for its server name and protocols.
// The shell describes its virtual hosts once, in configuration order; the
// decision reads only that description.
#ifndef KALDER_CORE_HANDOFF_ROUTE_H
#define KALDER_CORE_HANDOFF_ROUTE_H

#include <cstddef>

#include "apr_pools.h"
#include "apr_tables.h"
#include "client_hello.h"
#include "log_sink.h"

namespace kalder::tls {

// One virtual host (or the main server) as the decision sees it. Every
// member may be null.
struct RouteHost {
    const char *name;                     // its ServerName
    const apr_array_header_t *aliases;    // of char *: exact ServerAlias names
    const apr_array_header_t *wildcards;  // of char *: ServerAlias names with '*' or '?'
    const apr_table_t *sockets;           // ALPN name (or "*") -> Unix socket path
};

// All servers, main server first, then the virtual hosts in the order the
// configuration names them.
struct HandoffRoutes {
    const RouteHost *hosts;
    size_t count;
};

// The wildcard rule of server aliases: '*' any run of characters (also
// none), '?' exactly one, all else compared without regard to ASCII case.
bool wildcard_matches(const char *name, const char *pattern);

// True when name is null, equals the host's name or one of its aliases
// (case-insensitive), or matches one of its wildcard aliases.
bool host_matches_name(const char *name, const RouteHost &host);

// The Unix socket path for this ClientHello, or null for pass-through.
// The client's protocols are tried in its order, and for each the hosts
// in configuration order: a host's exact entry first, then its "*". The
// server name limits the hosts to those that answer to it, unless none
// does (or it is absent). `pool` holds the copy of the server name; each
// protocol tried is logged at KLOG_DEBUG.
const char *choose_socket_path(apr_pool_t *pool, const HandoffRoutes &routes, const HelloParse &hello,
                               const LogSink &log);

}  // namespace kalder::tls

#endif
