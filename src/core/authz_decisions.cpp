// The kalderacl check's decisions on plain inputs (see authz_decisions.h).
#define KALDER_SOURCE "authz_hook"
#include "authz_decisions.h"

#include <cstring>

#include "classify.h"

bool has_scope(const char *scopes, const char *scope)
{
    if (!scopes)
        return false;
    const char *found = std::strstr(scopes, scope);
    return found && (found == scopes || found[-1] == ' ');
}

bool token_has_scope(const LogSink &log, const char *scopes, const char *scope)
{
    if (has_scope(scopes, scope))
        return true;
    KLOG(log, KLOG_DEBUG, 0, "Request is missing the %s scope. Access denied.", scope);
    return false;
}

void log_pass_start(const LogSink &log, const ServerConfig *conf, const char *user)
{
    bool has_user = user != nullptr;
    bool high = (conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE) != 0;
    KLOG(log, KLOG_DEBUG, 0, "AUTHZ: Starting %s pass %s%s%sfor %s%s collection%s%s%s",
         has_user ? "authenticated" : "anonymous", has_user ? "for " : "", has_user ? user : "",
         has_user ? " " : "", high ? "high assurance " : "", conf->collection_type,
         conf->collection_id ? conf->collection_id : "", conf->auth_policy_id ? " with Auth policy id " : "",
         conf->auth_policy_id ? conf->auth_policy_id : "");
}

bool anonymous_pass_needs_user(const LogSink &log, const ServerConfig *conf)
{
    bool high = (conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE) != 0;
    if (!is_mapped_collection(conf) && !high && !conf->auth_policy_id)
        return false;
    KLOG(log, KLOG_DEBUG, 0, "Skipping anonymous pass for %s%s collection%s%s", high ? "high assurance " : "",
         conf->collection_type, conf->auth_policy_id ? " with Auth policy id " : "",
         conf->auth_policy_id ? conf->auth_policy_id : "");
    return true;
}

ReplyReason guest_refusal_reason(const LogSink &log, bool anonymous, bool all_identities_tried)
{
    if (anonymous) {
        KLOG(log, KLOG_DEBUG, 0, "Anonymous access denied. Request will be authenticated.");
        return REPLY_AUTHENTICATION_REQUIRED;
    }
    if (all_identities_tried) {
        KLOG(log, KLOG_DEBUG, 0, "No permitting effective ACL. All identities attempted. Access denied.");
        return REPLY_ACCESS_DENIED;
    }
    KLOG(log, KLOG_DEBUG, 0,
         "No permitting effective ACL. Request can be retried after authenticating remaining identities.");
    return REPLY_INSUFFICIENT_SESSION;
}
