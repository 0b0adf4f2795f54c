// Effective permissions of a guest collection for the request at hand: the
// core's fetch and evaluation (acl.h), with their lines in the request's log.
#define KALDER_SOURCE "transfer"
#include "transfer.h"

#include <cstring>

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "module.h"
#include "config.h"
#include "documents.h"
#include "invariant.h"
#include "server_config.h"
#include "key_utils.h"
#include "log_sinks.h"

AclDoc *parse_acl_doc(request_rec *r, const json_t *doc)
{
    return parse_acl_doc(r->pool, doc, request_log_sink(r), server_log_sink(nullptr));
}

int transfer_get_acls(request_rec *r, const char *token, AclDoc **out)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    KALDER_ASSERT(conf->collection_type != nullptr);
    KALDER_ASSERT(std::strcmp(conf->collection_type, GUEST_COLLECTION) == 0);
    bool need_anonymous_acls = token == nullptr;
    KALDER_ASSERT(!need_anonymous_acls || !(conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE));
    // The start-up check refuses a guest collection without either.
    KALDER_ASSERT(conf->transfer_api_endpoint != nullptr);
    KALDER_ASSERT(conf->collection_id != nullptr);
    const TransferService service{conf->transfer_api_endpoint, conf->collection_id, conf->connect_timeout};
    return acl_fetch(r->pool, request_service_env(r), service, token, out, request_log_sink(r));
}

AclPermit transfer_acls_permit(request_rec *r, const AclDoc *acls)
{
    const char *required = nullptr;
    if (r->method_number == M_GET)
        required = "r";
    else if (r->method_number == M_PUT || r->method_number == M_DELETE)
        required = "w";
    return acls_permit(r->pool, r->uri, required, acls, request_log_sink(r));
}
