// Effective permissions of a guest collection: fetched from the transfer
// service (cached in the keyring) and evaluated by the longest matching path.
#define KALDER_SOURCE "transfer"
#include "kalder.h"

#include <cstring>

#include "apr_strings.h"
#include "httpd.h"

#include "kalder_path_rules.h"
#include "raii.h"

AclDoc *parse_acl_doc(request_rec *r, const json_t *doc)
{
    if (!json_is_object(doc)) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Expected ACLs JSON doc to be an object");
        return nullptr;
    }
    auto *acls = static_cast<AclDoc *>(apr_pcalloc(r->pool, sizeof(AclDoc)));
    if (json_get_string(r, doc, "DATA_TYPE", &acls->data_type) != 0)
        return nullptr;
    if (std::strcmp(acls->data_type, "effective_permissions") != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "ACLs JSON doc has unexpected DATA_TYPE '%s'", acls->data_type);
        return nullptr;
    }
    const json_t *data = json_get_field(doc, "DATA");
    if (!data)
        return nullptr;
    if (!json_is_array(data)) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Expected field 'data' to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(data);
    acls->data = static_cast<AclEntry **>(apr_pcalloc(r->pool, (count + 1) * sizeof(AclEntry *)));
    if (!acls->data) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to allocate acls->data[index]");
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        const json_t *element = json_array_get(data, i);
        auto *entry = static_cast<AclEntry *>(apr_pcalloc(r->pool, sizeof(AclEntry)));
        acls->data[i] = entry;
        if (json_get_string(r, element, "encoded_path", &entry->encoded_path) != 0 ||
            json_get_string(r, element, "permissions", &entry->permissions) != 0)
            return nullptr;
    }
    if (json_get_string(r, doc, "sharing_uuid", &acls->sharing_uuid) != 0)
        return nullptr;
    return acls;
}

namespace {

// Parses a cached or received body; null when it is not an
// effective-permissions document (parse_acl_doc logs why).
AclDoc *acls_from_text(request_rec *r, const char *text, bool *json_ok)
{
    json_error_t error;
    kalder::JsonPtr json(json_loads(text, 0, &error));
    *json_ok = json != nullptr;
    if (!json)
        return nullptr;
    return parse_acl_doc(r, json.get());
}

}  // namespace

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
        *out = acls_from_text(r, cached, &json_ok);
        if (*out) {
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Using cached effective ACL result: %s", cached);
            return 0;
        }
        ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r, "Unable to deserialize saved ACLs string: %s", cached);
    }

    const char *url = apr_psprintf(r->pool, "%s/private/endpoint/%s/%s_effective_permissions",
                                   conf->transfer_api_endpoint, conf->collection_id,
                                   need_anonymous_acls ? "anonymous" : "user");
    if (!url) {
        ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r, "Failed to allocate memory for the ACL URI");
        return 2;
    }
    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, nullptr, conf->connect_timeout, nullptr, nullptr, token, &status, &body);
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
    *out = acls_from_text(r, body, &json_ok);
    if (!json_ok) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to fetch ACLs, could not deserialize response: %s", body);
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
    if (!acls->data || !acls->data[0])
        return ACL_NOT_PERMITTED;
    const char *required = nullptr;
    if (r->method_number == M_GET)
        required = "r";
    else if (r->method_number == M_PUT || r->method_number == M_DELETE)
        required = "w";

    // The back end applies the restrictions built from these entries with
    // the same choice of rule (kalder_path_rules.h).
    kalder_path_rule_match_t match{r->uri ? r->uri : ""};
    AclPermit verdict = ACL_NOT_PERMITTED;
    for (AclEntry **entry = acls->data; *entry; ++entry) {
        char *decoded = apr_pstrdup(r->pool, (*entry)->encoded_path);
        if (ap_unescape_url(decoded) != OK) {
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Unable to decode ACL encoded_path: %s.",
                          (*entry)->encoded_path);
            return ACL_ERROR;
        }
        if (kalder_path_rule_offer(&match, decoded))
            verdict =
                required && std::strstr((*entry)->permissions, required) ? ACL_PERMITTED : ACL_NOT_PERMITTED;
    }
    return required ? verdict : ACL_NOT_PERMITTED;
}
