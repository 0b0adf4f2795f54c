// The sentence that tells a refused caller which identity would let it in,
// from the request's state (the text is the core's, session_message.h).
#define KALDER_SOURCE "authz_params"
#include "authz_params.h"

#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_request.h"
#include "module.h"
#include "config.h"
#include "invariant.h"
#include "request_state.h"
#include "server_config.h"
#include "auth.h"
#include "request_utils.h"

#include "log_sinks.h"
#include "session_message.h"

const char *authz_session_message(request_rec *r)
{
    const ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != nullptr);
    const RequestState *state = get_request_state(r);
    bool guest = is_guest(r);
    const char *names = nullptr;
    if (state->denied_id_set && session_message_names_denied(guest, state->reply_reason))
        names = auth_identity_set_usernames(r, state->denied_id_set);
    return session_message(r->pool, request_log_sink(r), conf, guest, state->reply_reason,
                           state->denied_id_set != nullptr, names);
}

const char *reply_session_message(request_rec *r)
{
    return get_request_state(r)->reply_reason == REPLY_INSUFFICIENT_SCOPE ? SCOPE_CONSENT_MESSAGE
                                                                          : authz_session_message(r);
}
