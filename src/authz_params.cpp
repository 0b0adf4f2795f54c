// The sentence that tells a refused caller which identity would let it in.
#define KALDER_SOURCE "authz_params"
#include "kalder.h"

#include <cstring>

#include "apr_strings.h"

const char *authz_session_message(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    const RequestState *state = get_request_state(r);
    bool guest = is_guest(r);

    const char *identities = "";
    if (guest && state->reply_reason == REPLY_INSUFFICIENT_SESSION) {
        if (state->denied_id_set) {
            const char *names = auth_identity_set_usernames(r, state->denied_id_set);
            identities = apr_psprintf(r->pool, "The identities (%s) have not been granted access to this collection.",
                                      names ? names : "");
        } else {
            ap_log_rerror(KALDER_MARK, APLOG_WARNING, 0, r, "Internal error: missing denied identity set");
        }
    } else if (guest && state->reply_reason == REPLY_ACCESS_DENIED) {
        identities = "None of your identities have been granted access to this collection.";
    }

    const char *mfa = (conf->capability_flags & MOD_KALDER_REQUIRE_MFA) ? "using MFA " : "";

    const char *domains = "";
    if (!guest && conf->allowed_domains) {
        for (int i = 0; i < conf->allowed_domains->nelts; ++i) {
            const char *domain = APR_ARRAY_IDX(conf->allowed_domains, i, const char *);
            if (std::strcmp(domain, "*") == 0) {
                domains = "";
                break;
            }
            domains = *domains ? apr_pstrcat(r->pool, domains, ", ", domain, nullptr) : domain;
        }
    }
    bool named = *domains != '\0';
    return apr_psprintf(r->pool, "%s%sYou must authenticate or link with an identity %s%s%s%swhich has been granted "
                                 "access to this collection.",
                        identities, *identities ? " " : "", named ? "from one of these domains (" : "", domains,
                        named ? ") " : "", mfa);
}
