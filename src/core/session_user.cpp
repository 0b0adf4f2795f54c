// Session user strings of the back end.
#define KALDER_SOURCE "handler"
#include "session_user.h"

#include <cstring>

#include "apr_strings.h"
#include "escape.h"
#include "server_config.h"

namespace {

constexpr const char *ANONYMOUS_SHAREE_IDS = "00000000-0000-0000-0000-000000000000";

}  // namespace

char *handler_mapped_user(apr_pool_t *pool, const char *collection_id, const char *ids, const char *names,
                          bool high_assurance)
{
    return apr_psprintf(
        pool, ":kalder-mapped-collection:ENDPOINT_ID=%s;IDENTITY_IDS=%s;IDENTITY_NAMES=%s;HIGH_ASSURANCE=%d;",
        collection_id ? collection_id : "", ids, url_form_escape(pool, names), high_assurance ? 1 : 0);
}

char *handler_sharing_user(apr_pool_t *pool, const char *sharing_uuid, const char *sharee, const char *ids,
                           bool high_assurance)
{
    return apr_psprintf(pool, ":kalder-sharing:ID=%s;SHAREE=%s;SHAREE_IDS=%s;HIGH_ASSURANCE=%d;",
                        sharing_uuid ? sharing_uuid : "", sharee, ids, high_assurance ? 1 : 0);
}

char *handler_restrict_paths(apr_pool_t *pool, const AclDoc *acls)
{
    char *out = apr_pstrdup(pool, "");
    if (!acls || !acls->data)
        return out;
    for (AclEntry **entry = acls->data; *entry; ++entry) {
        out = apr_pstrcat(pool, out, entry == acls->data ? "" : ",",
                          (*entry)->permissions ? (*entry)->permissions : "",
                          (*entry)->encoded_path ? (*entry)->encoded_path : "", nullptr);
    }
    return out;
}

int session_user_build(apr_pool_t *pool, const SessionUserInput &in, const LogSink &log, SessionUser *out)
{
    if (!in.collection_type || std::strcmp(in.collection_type, GUEST_COLLECTION) != 0) {
        out->user = handler_mapped_user(pool, in.collection_id, in.ids, in.names, in.high_assurance);
        return 0;
    }
    const char *sharee = ":ANONYMOUS:";
    const char *ids = in.ids;
    if (in.authenticated) {
        sharee = (in.set[0] && in.set[0]->username) ? in.set[0]->username : "";
    } else {
        ids = ANONYMOUS_SHAREE_IDS;
    }
    if (!in.acls) {
        KLOG(log, KLOG_ERR, 0, "Missing value for ACL in request for %s on collection %s", in.uri,
             in.collection_id ? in.collection_id : "");
        return 1;
    }
    out->restrict_paths = handler_restrict_paths(pool, in.acls);
    out->user = handler_sharing_user(pool, in.acls->sharing_uuid, sharee, ids, in.high_assurance);
    return 0;
}
