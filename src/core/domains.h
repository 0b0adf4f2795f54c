// The allowed domains of a virtual host (KalderAllowedDomains): the domains
// whose identities may use a mapped collection, where "*" admits every
// domain. Every reader of the list goes through these.
#ifndef KALDER_CORE_DOMAINS_H
#define KALDER_CORE_DOMAINS_H

#include <cstring>

#include "apr_tables.h"

// Whether the list (null when not configured) holds no entry: no identity
// is admitted.
inline bool domains_none(const apr_array_header_t *domains)
{
    return !domains || domains->nelts == 0;
}

enum class DomainWalk {
    ALL,       // every entry was visited; none is "*"
    WILDCARD,  // a "*" ended the walk: every domain is admitted
    STOPPED,   // the visitor returned false
};

// Calls visit(domain) for the entries in their order, up to the first "*",
// as long as it returns true.
template <typename Visit>
DomainWalk domains_walk(const apr_array_header_t *domains, Visit &&visit)
{
    for (int i = 0; domains && i < domains->nelts; ++i) {
        const char *domain = APR_ARRAY_IDX(domains, i, const char *);
        if (std::strcmp(domain, "*") == 0)
            return DomainWalk::WILDCARD;
        if (!visit(domain))
            return DomainWalk::STOPPED;
    }
    return DomainWalk::ALL;
}

// Whether the list admits the domains it names only: at least one entry,
// and no "*".
inline bool domains_restricted(const apr_array_header_t *domains)
{
    return !domains_none(domains) &&
           domains_walk(domains, [](const char *) { return true; }) == DomainWalk::ALL;
}

#endif
