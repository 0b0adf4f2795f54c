// The refusal's session message (see session_message.h).
#define KALDER_SOURCE "authz_params"
#include "session_message.h"

#include "apr_strings.h"
#include "domains.h"
#include "request_state.h"

bool session_message_names_denied(bool guest, uint32_t reply_reason)
{
    return guest && reply_reason == REPLY_INSUFFICIENT_SESSION;
}

const char *session_message(apr_pool_t *pool, const LogSink &log, const ServerConfig *conf, bool guest,
                            uint32_t reply_reason, bool has_denied_set, const char *denied_names)
{
    const char *identities = "";
    if (session_message_names_denied(guest, reply_reason)) {
        if (has_denied_set) {
            identities =
                apr_psprintf(pool, "The identities (%s) have not been granted access to this collection.",
                             denied_names ? denied_names : "");
        } else {
            KLOG(log, KLOG_WARNING, 0, "Internal error: missing denied identity set");
        }
    } else if (guest && reply_reason == REPLY_ACCESS_DENIED) {
        identities = "None of your identities have been granted access to this collection.";
    }

    const char *mfa = (conf->capability_flags & MOD_KALDER_REQUIRE_MFA) ? "using MFA " : "";

    // Guest collections admit by permission, not by domain.
    const char *domains = "";
    if (!guest) {
        auto named = [&](const char *domain) {
            domains = *domains ? apr_pstrcat(pool, domains, ", ", domain, nullptr) : domain;
            return true;
        };
        if (domains_walk(conf->allowed_domains, named) == DomainWalk::WILDCARD)
            domains = "";
    }
    bool named = *domains != '\0';
    return apr_psprintf(pool,
                        "%s%sYou must authenticate or link with an identity %s%s%s%swhich has been granted "
                        "access to this collection.",
                        identities, *identities ? " " : "", named ? "from one of these domains (" : "",
                        domains, named ? ") " : "", mfa);
}
