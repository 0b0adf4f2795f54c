// The user string a back-end session is opened with: a mapped collection
// lists every identity of the request; a guest collection shares under the
// first identity (or the anonymous sharee) and restricts the session to the
// paths of its access list.
#ifndef KALDER_CORE_SESSION_USER_H
#define KALDER_CORE_SESSION_USER_H

#include "apr_pools.h"
#include "documents.h"
#include "log_sink.h"

char *handler_mapped_user(apr_pool_t *pool, const char *collection_id, const char *ids, const char *names,
                          bool high_assurance);
char *handler_sharing_user(apr_pool_t *pool, const char *sharing_uuid, const char *sharee, const char *ids,
                           bool high_assurance);
// The path-restriction argument of a guest session: "perm path" pairs
// joined by ",".
char *handler_restrict_paths(apr_pool_t *pool, const AclDoc *acls);

struct SessionUserInput {
    const char *collection_id;
    const char *collection_type;  // GUEST_COLLECTION or another
    const char *uri;              // for the log
    bool high_assurance;
    bool authenticated;  // the request has a user
    IdentitySet set;     // the effective identity set (authenticated requests)
    const char *ids;     // its subs, joined ("" when not authenticated)
    const char *names;   // its user names, joined (not yet escaped)
    const AclDoc *acls;  // the effective access list (guest collections)
};

struct SessionUser {
    char *user = nullptr;
    char *restrict_paths = nullptr;  // guest collections only
};

// Builds the session user (and for a guest collection the restriction).
// 0 on success; a failure is logged.
int session_user_build(apr_pool_t *pool, const SessionUserInput &in, const LogSink &log, SessionUser *out);

#endif
