// The "kalderacl" authorization provider: the anonymous pass before
// authentication and the authenticated pass after it.
#define KALDER_SOURCE "authz_hook"
#include "access_hooks.h"

#include <cstring>

#include "apr_strings.h"
#include "http_core.h"
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "config.h"
#include "documents.h"
#include "invariant.h"
#include "module.h"
#include "request_state.h"
#include "server_config.h"
#include "auth.h"
#include "transfer.h"
#include "request_utils.h"
#include "oidc_replies.h"

#include "authz_decisions.h"
#include "classify.h"
#include "domains.h"
#include "log_sinks.h"

namespace {

// Outcome of _get_effective_id_set.
enum class IdSetOutcome { SET, REFUSED, FAILED };

bool is_high_assurance(const ServerConfig *conf)
{
    return (conf->capability_flags & MOD_KALDER_HIGH_ASSURANCE) != 0;
}

const char *usernames_for_log(request_rec *r, IdentitySet set)
{
    const char *names = auth_identity_set_usernames(r, set);
    return names ? names : "(failed to create username list)";
}

// Checked on entry to the authenticated pass by _usable_introspect_doc.
IntrospectDoc *_get_introspect_doc(request_rec *r)
{
    IntrospectDoc *doc = get_request_state(r)->introspect_doc;
    KALDER_ASSERT(doc != nullptr);
    return doc;
}

// The authenticated pass works from the introspection answer that the
// authentication hook recorded: the identity service's answer, or whatever
// another process stored in the keyring under the token. Checks what the
// steps below rely on, so that an answer they cannot work with ends as an
// internal error.
bool _usable_introspect_doc(request_rec *r, const RequestState *state)
{
    const IntrospectDoc *doc = state->introspect_doc;
    if (!doc) {
        ap_log_rerror(
            KALDER_MARK, APLOG_ERR, 0, r,
            "AUTHZ: User %s was not authenticated by this module: no introspection answer is recorded",
            r->user);
        return false;
    }
    int count = auth_get_identity_count(doc->identity_set_detail);
    if (count == 0) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                      "AUTHZ: The introspection answer for user %s lists no identities", r->user);
        return false;
    }
    // An application acting for itself has exactly one identity.
    if (is_client_identity(r) && count != 1) {
        ap_log_rerror(
            KALDER_MARK, APLOG_ERR, 0, r,
            "AUTHZ: The introspection answer for the client identity %s lists %d identities instead of one",
            r->user, count);
        return false;
    }
    return true;
}

authz_status _has_required_oauth_scopes(request_rec *r, const ServerConfig *conf, RequestState *state)
{
    const char *scopes = _get_introspect_doc(r)->scope;
    const char *https_scope = build_scope(r->pool, r->server, "https");
    if (!https_scope) {
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Failed to allocate memory for the https scope");
        return AUTHZ_GENERAL_ERROR;
    }
    if (!token_has_scope(request_log_sink(r), scopes, https_scope)) {
        state->reply_reason = REPLY_INSUFFICIENT_SCOPE;
        return AUTHZ_DENIED;
    }
    if (requires_data_access_scope(conf)) {
        const char *data_scope = build_scope(r->pool, r->server, "data_access");
        if (!data_scope) {
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                          "Failed to allocate memory for the data_access scope");
            return AUTHZ_GENERAL_ERROR;
        }
        if (!token_has_scope(request_log_sink(r), scopes, data_scope)) {
            state->reply_reason = REPLY_INSUFFICIENT_SCOPE;
            return AUTHZ_DENIED;
        }
    }
    return AUTHZ_GRANTED;
}

IdentitySet _get_in_domain_identities(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    IdentitySet all = _get_introspect_doc(r)->identity_set_detail;
    if (is_guest(r)) {
        KALDER_ASSERT(!auth_identity_set_empty(all));  // checked on entry
        return all;
    }
    if (domains_none(conf->allowed_domains))
        return nullptr;
    IdentitySet accumulated = nullptr;
    auto add = [&](const char *domain) {
        IdentitySet filtered = auth_identity_set_filter_domain(r, all, domain);
        if (!filtered)
            return false;
        if (auth_identity_set_empty(filtered))
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                          "Request has no identities in the allowed domain %s.", domain);
        accumulated = auth_identity_set_union(r, accumulated, filtered);
        return true;
    };
    switch (domains_walk(conf->allowed_domains, add)) {
        case DomainWalk::WILDCARD:
            return all;
        case DomainWalk::STOPPED:
            return nullptr;
        case DomainWalk::ALL:
            break;
    }
    return accumulated;
}

IdentitySet _get_recently_authenticated_identities(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    KALDER_ASSERT(r->user != nullptr);
    const IntrospectDoc *doc = _get_introspect_doc(r);
    if (is_client_identity(r)) {
        KALDER_ASSERT(auth_get_identity_count(doc->identity_set_detail) == 1);  // checked on entry
        return doc->identity_set_detail;
    }
    if (is_guest(r) && !is_high_assurance(conf))
        return doc->identity_set_detail;
    AuthenticationRecord **authentications = doc->session_info ? doc->session_info->authentications : nullptr;
    return auth_identity_set_filter_recent(r, doc->identity_set_detail, authentications,
                                           conf->assurance_timeout, is_high_assurance(conf),
                                           (conf->capability_flags & MOD_KALDER_REQUIRE_MFA) != 0);
}

IdSetOutcome _get_effective_id_set(request_rec *r, RequestState *state, IdentitySet *out)
{
    IdentitySet in_domain = _get_in_domain_identities(r);
    if (!in_domain)
        return IdSetOutcome::FAILED;
    if (is_mapped(r) && auth_identity_set_empty(in_domain)) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "Request has no identities in the allowed domain set. Access denied.");
        state->reply_reason = REPLY_ACCESS_DENIED;
        return IdSetOutcome::REFUSED;
    }
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Request has identities from the allowed domain(s): %s",
                  usernames_for_log(r, in_domain));

    IdentitySet recent = _get_recently_authenticated_identities(r);
    if (!recent)
        return IdSetOutcome::FAILED;
    if (auth_identity_set_empty(recent)) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "Request has not met the collection's authentication requirements. Access denied.");
        state->reply_reason = REPLY_INSUFFICIENT_SESSION;
        // Every in-domain identity failed the requirement: these are the
        // ones the caller should authenticate again.
        state->denied_id_set = in_domain;
        return IdSetOutcome::REFUSED;
    }
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                  "Request has identities that meet the collection's authentication requirements: %s",
                  usernames_for_log(r, recent));

    IdentitySet effective = auth_identity_set_intersect(r, in_domain, recent);
    if (!effective)
        return IdSetOutcome::FAILED;
    if (auth_identity_set_empty(effective)) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "Identities from the allowed domain(s) have not met the collection's authentication "
                      "requirements. Access denied.");
        state->reply_reason = REPLY_INSUFFICIENT_SESSION;
        // No in-domain identity is recent enough.
        state->denied_id_set = in_domain;
        return IdSetOutcome::REFUSED;
    }
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Request has an effective id set of: %s",
                  usernames_for_log(r, effective));
    KALDER_ASSERT(!auth_identity_set_empty(effective));
    *out = effective;
    return IdSetOutcome::SET;
}

// Fetches the caller's (or the anonymous) permissions. Returns AUTHZ_GRANTED
// with *acls set when the fetch succeeded, else the check's result.
authz_status _fetch_effective_acls(request_rec *r, RequestState *state, AclDoc **acls)
{
    const char *token = nullptr;
    if (!is_anonymous(r)) {
        token = state->transfer_token;
        if (!token) {
            ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r, "Unable to find the dependent transfer token.");
            return AUTHZ_GENERAL_ERROR;
        }
    }
    int rc = transfer_get_acls(r, token, acls);
    if (rc == 1) {
        state->reply_reason = REPLY_INVALID_TOKEN;
        return AUTHZ_DENIED;
    }
    if (rc != 0)
        return AUTHZ_GENERAL_ERROR;
    KALDER_ASSERT(*acls != nullptr);
    return AUTHZ_GRANTED;
}

// Decides a guest request by its effective permissions. Returns
// AUTHZ_GRANTED with *acls set when they permit it.
authz_status _get_effective_acls(request_rec *r, RequestState *state, IdentitySet effective, AclDoc **acls)
{
    authz_status fetched = _fetch_effective_acls(r, state, acls);
    if (fetched != AUTHZ_GRANTED)
        return fetched;
    switch (transfer_acls_permit(r, *acls)) {
        case ACL_ERROR:
            return AUTHZ_GENERAL_ERROR;
        case ACL_PERMITTED:
            KALDER_ASSERT((*acls)->data && (*acls)->data[0]);
            return AUTHZ_GRANTED;
        case ACL_NOT_PERMITTED:
            break;
    }
    bool anonymous = is_anonymous(r);
    bool all_tried =
        !anonymous && auth_identity_sets_match(_get_introspect_doc(r)->identity_set_detail, effective);
    state->reply_reason = guest_refusal_reason(request_log_sink(r), anonymous, all_tried);
    if (state->reply_reason == REPLY_AUTHENTICATION_REQUIRED)
        return AUTHZ_DENIED_NO_USER;
    if (state->reply_reason == REPLY_INSUFFICIENT_SESSION)
        state->denied_id_set = effective;
    return AUTHZ_DENIED;
}

}  // namespace

authz_status mod_kalder_authz_hook(request_rec *r, const char *, const void *)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    if (!conf) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "AUTHZ: Kalder config not found for vhost. Skipping.");
        return AUTHZ_NEUTRAL;
    }
    const char *type = r->user ? r->ap_auth_type : ap_auth_type(r);
    if (!type || std::strcmp(type, KALDER_AUTH_TYPE) != 0) {
        ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r,
                      "AUTHZ: Virtual host AuthType (%s) is not set to %s. Skipping.", type ? type : "null",
                      KALDER_AUTH_TYPE);
        return AUTHZ_NEUTRAL;
    }
    if (!conf->collection_type) {
        // Without a collection kind nothing can be decided; never grant.
        ap_log_rerror(KALDER_MARK, APLOG_ERR, 0, r,
                      "AUTHZ: KalderCollectionType is not set for server %s, which requires kalderacl",
                      r->server->server_hostname ? r->server->server_hostname : "(unnamed)");
        return AUTHZ_GENERAL_ERROR;
    }
    bool has_user = r->user != nullptr;
    log_pass_start(request_log_sink(r), conf, r->user);

    switch (oidc_skip_authz_check(r)) {
        case OIDC_SKIP_ERROR:
            return AUTHZ_GENERAL_ERROR;
        case OIDC_SKIP_YES:
            ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Request is an OIDC redirect. Skipping.");
            return AUTHZ_DENIED_NO_USER;
        case OIDC_SKIP_NO:
            break;
    }

    RequestState *state = get_request_state(r);
    IdentitySet effective = nullptr;
    AclDoc *acls = nullptr;
    if (!has_user) {
        if (anonymous_pass_needs_user(request_log_sink(r), conf)) {
            state->reply_reason = REPLY_AUTHENTICATION_REQUIRED;
            return AUTHZ_DENIED_NO_USER;
        }
    } else {
        if (!_usable_introspect_doc(r, state))
            return AUTHZ_GENERAL_ERROR;
        if (is_oauth_request(r)) {
            authz_status scopes = _has_required_oauth_scopes(r, conf, state);
            if (scopes != AUTHZ_GRANTED)
                return scopes;
        }
        switch (_get_effective_id_set(r, state, &effective)) {
            case IdSetOutcome::REFUSED:
                return AUTHZ_DENIED;
            case IdSetOutcome::FAILED:
                return AUTHZ_DENIED_NO_USER;
            case IdSetOutcome::SET:
                break;
        }
    }

    if (is_guest(r)) {
        KALDER_ASSERT(is_anonymous(r) == (effective == nullptr));
        authz_status decided = _get_effective_acls(r, state, effective, &acls);
        if (decided != AUTHZ_GRANTED)
            return decided;
    }
    KALDER_ASSERT(is_guest(r) || is_mapped(r));
    KALDER_ASSERT(is_anonymous(r) || effective != nullptr);
    state->effective_acls = acls;
    state->effective_id_set = effective;
    ap_log_rerror(KALDER_MARK, APLOG_DEBUG, 0, r, "Authorization granted to Kalder collection");
    return AUTHZ_GRANTED;
}
