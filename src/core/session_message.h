// The sentence that tells a refused caller which identity would let it in,
// sent as the session message of a challenge or a login redirect.
#ifndef KALDER_CORE_SESSION_MESSAGE_H
#define KALDER_CORE_SESSION_MESSAGE_H

#include <cstdint>

#include "apr_pools.h"
#include "log_sink.h"
#include "server_config.h"

// The session message of a reply for a missing scope.
inline constexpr const char *SCOPE_CONSENT_MESSAGE =
    "You must consent to additional scopes in order to authorize the resource server to complete the "
    "request.";

// Whether the sentence names the identities that were tried and refused:
// on a guest collection, when authenticating further identities may help.
bool session_message_names_denied(bool guest, uint32_t reply_reason);

// The sentence for a refusal with this reason (a ReplyReason) on this
// virtual host. `has_denied_set` says whether the refused identities were
// recorded, `denied_names` is their list (null when it could not be made);
// both count only where session_message_names_denied.
const char *session_message(apr_pool_t *pool, const LogSink &log, const ServerConfig *conf, bool guest,
                            uint32_t reply_reason, bool has_denied_set, const char *denied_names);

#endif
