// What the authentication and authorization steps of one request found.
#ifndef KALDER_CORE_REQUEST_STATE_H
#define KALDER_CORE_REQUEST_STATE_H

#include <cstdint>

#include "documents.h"

enum ReplyReason : uint32_t {
    REPLY_NONE = 0,
    REPLY_AUTHENTICATION_REQUIRED = 1,
    REPLY_INVALID_TOKEN = 2,
    REPLY_INSUFFICIENT_SCOPE = 3,
    REPLY_INSUFFICIENT_SESSION = 4,
    REPLY_ACCESS_DENIED = 5,
};

enum OidcState {
    OIDC_STATE_NONE = 0,
    OIDC_STATE_AUTH_REDIRECT = 1,
    OIDC_STATE_AUTH_FLOW_FINISH = 2,
    OIDC_STATE_AUTH_COMPLETE = 3,
};

struct RequestState {
    IntrospectDoc *introspect_doc;
    const char *transfer_token;
    uint32_t reply_reason;  // a ReplyReason
    AclDoc *effective_acls;
    IdentitySet effective_id_set;
    IdentitySet denied_id_set;
};

#endif
