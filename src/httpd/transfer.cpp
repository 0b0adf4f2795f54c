// Effective permissions of a guest collection: fetched from the transfer
// service (cached in the keyring) and evaluated by the longest matching path.
#define KALDER_SOURCE "transfer"
#include "transfer.h"

#include <cstring>

#include "apr_strings.h"
#include "kalder.h"
#include "log_sinks.h"

AclDoc *parse_acl_doc(request_rec *r, const json_t *doc)
{
    return parse_acl_doc(r->pool, doc, request_log_sink(r));
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

    const char *prefix = need_anonymous_acls
                             ? apr_psprintf(r->pool, "kalder:transfer:acls:%s:anonymous", conf->collection_id)
                             : apr_pstrcat(r->pool, "kalder:transfer:acls:", conf->collection_id, nullptr);
    if (!prefix) {
        ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r, "Failed to allocate memory for the cache key prefix");
        return 2;
    }

    const char *cached = mod_kalder_get_keyutils_value(r, prefix, token);
    if (cached) {
        bool json_ok = false;
        *out = acls_from_text(r->pool, cached, &json_ok, request_log_sink(r));
        if (*out) {
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Using cached effective ACL result: %s", cached);
            return 0;
        }
        ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r, "Unable to deserialize saved ACLs string: %s",
                      cached);
    }

    const char *url =
        apr_psprintf(r->pool, "%s/private/endpoint/%s/%s_effective_permissions", conf->transfer_api_endpoint,
                     conf->collection_id, need_anonymous_acls ? "anonymous" : "user");
    if (!url) {
        ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r, "Failed to allocate memory for the ACL URI");
        return 2;
    }
    long status = 0;
    char *body = nullptr;
    int rc =
        https_exchange(r->pool, url, nullptr, conf->connect_timeout, nullptr, nullptr, token, &status, &body);
    if (rc != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to fetch ACLs: %d", rc);
        return 2;
    }
    if (!need_anonymous_acls && status == HTTP_UNAUTHORIZED) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Failed to fetch ACLs, token has expired");
        return 1;
    }
    if (status != HTTP_OK) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Failed to fetch ACLs. http_status=%ld%s%s", status,
                      body ? " reply=" : "", body ? body : "");
        return 2;
    }
    if (!body) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to fetch ACLs, response was empty");
        return 2;
    }
    bool json_ok = false;
    *out = acls_from_text(r->pool, body, &json_ok, request_log_sink(r));
    if (!json_ok) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                      "Failed to fetch ACLs, could not deserialize response: %s", body);
        return 2;
    }
    if (!*out) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unexpected ACL response: %s", body);
        return 2;
    }
    mod_kalder_set_keyutils_value(r, prefix, token, body, std::strlen(body) + 1);
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Using effective ACL result: %s", body);
    return 0;
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
