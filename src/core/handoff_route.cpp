// The hand-off decision over the virtual hosts' names and ALPN tables.
#define KALDER_SOURCE "bucket_tls_peek"
#include "handoff_route.h"

#include <cstring>
#include <strings.h>

#include "apr_lib.h"
#include "apr_strings.h"

namespace kalder::tls {

namespace {

// 0 on a match, 1 on a mismatch, -1 when the name ran out first (no later
// start of a '*' run can match then either).
int wildcard_compare(const char *str, const char *expected)
{
    size_t x = 0, y = 0;
    for (; expected[y]; ++y, ++x) {
        if (!str[x] && expected[y] != '*')
            return -1;
        if (expected[y] == '*') {
            while (expected[++y] == '*') {
            }
            if (!expected[y])
                return 0;
            while (str[x]) {
                const int ret = wildcard_compare(&str[x++], &expected[y]);
                if (ret != 1)
                    return ret;
            }
            return -1;
        }
        if (expected[y] != '?' && apr_tolower(str[x]) != apr_tolower(expected[y]))
            return 1;
    }
    return str[x] != '\0';
}

bool any_name(const apr_array_header_t *names, bool (*equal)(const char *, const char *), const char *name)
{
    if (!names)
        return false;
    for (int i = 0; i < names->nelts; ++i) {
        const char *candidate = APR_ARRAY_IDX(names, i, const char *);
        if (candidate && equal(name, candidate))
            return true;
    }
    return false;
}

bool same_name(const char *a, const char *b)
{
    return strcasecmp(a, b) == 0;
}

}  // namespace

bool wildcard_matches(const char *name, const char *pattern)
{
    return wildcard_compare(name, pattern) == 0;
}

bool host_matches_name(const char *name, const RouteHost &host)
{
    if (!name)
        return true;
    if (host.name && same_name(name, host.name))
        return true;
    return any_name(host.aliases, same_name, name) || any_name(host.wildcards, wildcard_matches, name);
}

const char *choose_socket_path(apr_pool_t *pool, const HandoffRoutes &routes, const HelloParse &hello,
                               const LogSink &log)
{
    // The server name: absent (null) matches every host, and so does a
    // name that no host answers to.
    const char *host = nullptr;
    const uint8_t *name;
    size_t name_len;
    if (server_name_from_sni(hello.sni, hello.sni_len, hello.has_sni, &name, &name_len) &&
        !std::memchr(name, 0, name_len)) {
        host = apr_pstrmemdup(pool, reinterpret_cast<const char *>(name), name_len);
        bool known = false;
        for (size_t i = 0; i < routes.count && !known; ++i) known = host_matches_name(host, routes.hosts[i]);
        if (!known)
            host = nullptr;
    }

    static const uint8_t default_protocols[] = {0x00, 0x02, 0x01, '*'};
    const uint8_t *alpn = hello.has_alpn ? hello.alpn : default_protocols;
    const size_t alpn_len = hello.has_alpn ? hello.alpn_len : sizeof default_protocols;
    if (alpn_len < 3)
        return nullptr;
    const size_t list_len = (static_cast<size_t>(alpn[0]) << 8) | alpn[1];
    if (list_len == 0)
        return nullptr;
    const size_t end = 2 + list_len < alpn_len ? 2 + list_len : alpn_len;

    for (size_t p = 2; p < end;) {
        const size_t n = alpn[p];
        if (p + 1 + n > end)
            return nullptr;
        const char *proto = reinterpret_cast<const char *>(alpn + p + 1);
        p += 1 + n;

        char shown[256];
        KLOG(log, KLOG_DEBUG, 0, "Checking for alpn %.*s in config", static_cast<int>(n),
             printable(reinterpret_cast<const uint8_t *>(proto), n, shown, sizeof shown));
        // A name with a NUL byte cannot equal a configured one; it may
        // still meet a wildcard entry.
        char key[256];
        const bool exact = !std::memchr(proto, 0, n);
        std::memcpy(key, proto, n);
        key[n] = '\0';

        for (size_t i = 0; i < routes.count; ++i) {
            const RouteHost &candidate = routes.hosts[i];
            if (!host_matches_name(host, candidate) || !candidate.sockets)
                continue;
            const char *path = exact ? apr_table_get(candidate.sockets, key) : nullptr;
            if (!path)
                path = apr_table_get(candidate.sockets, "*");
            if (path)
                return path;
        }
    }
    return nullptr;
}

}  // namespace kalder::tls
