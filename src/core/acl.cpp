// Reading and evaluating effective permissions (acl.h).
#define KALDER_SOURCE "transfer"
#include "acl.h"

#include <cstring>

#include "apr_lib.h"
#include "apr_strings.h"
#include "kalder_path_rules.h"

AclDoc *parse_acl_doc(apr_pool_t *pool, const json_t *doc, const LogSink &log, const LogSink &member_log)
{
    if (!json_is_object(doc)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected ACLs JSON doc to be an object");
        return nullptr;
    }
    auto *acls = static_cast<AclDoc *>(apr_pcalloc(pool, sizeof(AclDoc)));
    if (json_get_string(pool, doc, "DATA_TYPE", &acls->data_type, member_log) != 0)
        return nullptr;
    if (std::strcmp(acls->data_type, "effective_permissions") != 0) {
        KLOG(log, KLOG_DEBUG, 0, "ACLs JSON doc has unexpected DATA_TYPE '%s'", acls->data_type);
        return nullptr;
    }
    const json_t *data = json_get_field(doc, "DATA", member_log);
    if (!data)
        return nullptr;
    if (!json_is_array(data)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected field 'data' to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(data);
    acls->data = static_cast<AclEntry **>(apr_pcalloc(pool, (count + 1) * sizeof(AclEntry *)));
    if (!acls->data) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate acls->data[index]");
        return nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        const json_t *element = json_array_get(data, i);
        auto *entry = static_cast<AclEntry *>(apr_pcalloc(pool, sizeof(AclEntry)));
        acls->data[i] = entry;
        if (json_get_string(pool, element, "encoded_path", &entry->encoded_path, member_log) != 0 ||
            json_get_string(pool, element, "permissions", &entry->permissions, member_log) != 0)
            return nullptr;
    }
    if (json_get_string(pool, doc, "sharing_uuid", &acls->sharing_uuid, member_log) != 0)
        return nullptr;
    return acls;
}

ServiceResult acl_fetch(apr_pool_t *pool, const ServiceEnv &env, const TransferService &service,
                        const char *token, AclDoc **out, const LogSink &log)
{
    const bool anonymous = token == nullptr;
    const char *prefix = anonymous
                             ? apr_psprintf(pool, "kalder:transfer:acls:%s:anonymous", service.collection_id)
                             : apr_pstrcat(pool, "kalder:transfer:acls:", service.collection_id, nullptr);
    if (!prefix) {
        KLOG(log, KLOG_WARNING, 0, "Failed to allocate memory for the cache key prefix");
        return SERVICE_FAILED;
    }
    const char *url = apr_psprintf(pool, "%s/private/endpoint/%s/%s_effective_permissions", service.endpoint,
                                   service.collection_id, anonymous ? "anonymous" : "user");
    if (!url) {
        KLOG(log, KLOG_WARNING, 0, "Failed to allocate memory for the ACL URI");
        return SERVICE_FAILED;
    }
    const ServiceCall call{
        KALDER_SOURCE,
        HttpsRequest{url, nullptr, service.timeout, nullptr, nullptr, token},
        prefix,
        token,
        [](apr_pool_t *p, const json_t *doc, const LogSink &l, const LogSink &members) -> void * {
            return parse_acl_doc(p, doc, l, members);
        },
        // Anonymous callers have no token to expire.
        anonymous ? 0L : 401L,
        nullptr,
        nullptr,
        {
            "Using cached effective ACL result: %s",
            "Unable to deserialize saved ACLs string: %s",
            KLOG_WARNING,
            "Failed to fetch ACLs: %d",
            "Failed to fetch ACLs, token has expired",
            "Failed to fetch ACLs. http_status=%ld%s%s",
            "Failed to fetch ACLs, response was empty",
            "Failed to fetch ACLs, could not deserialize response: %s",
            "Unexpected ACL response: %s",
            "Using effective ACL result: %s",
        },
        METRIC_CALL_ACLS,
    };
    void *doc = nullptr;
    ServiceResult result = service_call(pool, env, call, &doc, log);
    if (result == SERVICE_OK)
        *out = static_cast<AclDoc *>(doc);
    return result;
}

bool acl_path_unescape(char *path)
{
    // Decoding goes on to the end also after a bad escape, as the server's.
    bool bad = false;
    char *x = path;
    for (const char *y = path; *y; ++x, ++y) {
        if (*y != '%') {
            *x = *y;
        } else if (!apr_isxdigit(y[1]) || !apr_isxdigit(y[2])) {
            bad = true;
            *x = '%';
        } else {
            auto hex = [](char c) { return apr_isdigit(c) ? c - '0' : (apr_toupper(c) - 'A' + 10); };
            const char decoded = static_cast<char>(hex(y[1]) * 16 + hex(y[2]));
            bad = bad || decoded == '\0' || decoded == '/';
            *x = decoded;
            y += 2;
        }
    }
    *x = '\0';
    return !bad;
}

AclPermit acls_permit(apr_pool_t *pool, const char *path, const char *required, const AclDoc *acls,
                      const LogSink &log)
{
    if (!acls->data || !acls->data[0])
        return ACL_NOT_PERMITTED;
    // The back end applies the restrictions built from these entries with
    // the same choice of rule (kalder_path_rules.h).
    kalder_path_rule_match_t match{path ? path : ""};
    AclPermit verdict = ACL_NOT_PERMITTED;
    for (AclEntry **entry = acls->data; *entry; ++entry) {
        char *decoded = apr_pstrdup(pool, (*entry)->encoded_path);
        if (!acl_path_unescape(decoded)) {
            KLOG(log, KLOG_DEBUG, 0, "Unable to decode ACL encoded_path: %s.", (*entry)->encoded_path);
            return ACL_ERROR;
        }
        if (kalder_path_rule_offer(&match, decoded))
            verdict =
                required && std::strstr((*entry)->permissions, required) ? ACL_PERMITTED : ACL_NOT_PERMITTED;
    }
    return required ? verdict : ACL_NOT_PERMITTED;
}
