// Effective permissions of a guest collection: the transfer service's
// document and its evaluation by the longest matching path.
#ifndef KALDER_CORE_ACL_H
#define KALDER_CORE_ACL_H

#include "apr_pools.h"
#include "documents.h"
#include "json_access.h"
#include "log_sink.h"
#include "service_call.h"

enum AclPermit { ACL_PERMITTED, ACL_NOT_PERMITTED, ACL_ERROR };

// The document, or null (with the reason logged) when the JSON is not an
// effective-permissions document. The lines of missing or mistyped members
// go to member_log, which in the module is the main server's log as for
// every other service answer; the document's own lines go to log, the
// request's.
AclDoc *parse_acl_doc(apr_pool_t *pool, const json_t *doc, const LogSink &log, const LogSink &member_log);

// The transfer service and the collection asked about.
struct TransferService {
    const char *endpoint;  // base URL
    const char *collection_id;
    long timeout;  // seconds
};

// The effective permissions of the caller of this token at the collection,
// or of anonymous callers for a null token; cached per collection and
// token. SERVICE_TOKEN_EXPIRED when the service refuses the token.
ServiceResult acl_fetch(apr_pool_t *pool, const ServiceEnv &env, const TransferService &service,
                        const char *token, AclDoc **out, const LogSink &log);

// Whether the entry whose path rule matches `path` best grants the
// permission letter `required` ("r" to read, "w" to write; null for a
// method that no entry grants). ACL_ERROR for an entry whose path does not
// decode.
AclPermit acls_permit(apr_pool_t *pool, const char *path, const char *required, const AclDoc *acls,
                      const LogSink &log);

// Decodes %XX escapes in place, as the web server decodes a request path:
// false for a malformed escape or one of "/" or NUL.
bool acl_path_unescape(char *path);

#endif
