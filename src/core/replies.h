// The texts of a challenge reply to a program: the bearer challenge, the
// JSON body and the authorization parameters that tell the program what
// to obtain before it asks again.
#ifndef KALDER_CORE_REPLIES_H
#define KALDER_CORE_REPLIES_H

#include <cstdint>

#include "apr_pools.h"
#include "server_config.h"

// The reply for one reason of refusal.
struct ReplyText {
    const char *function;  // named in the debug line of the reply
    const char *error;     // the challenge's error, or null
    const char *description;
    const char *code;  // of the JSON body
    const char *message;
    int status;  // 401 or 403
};
// The reply for this reason (a ReplyReason), or null for none.
const ReplyText *reply_text(uint32_t reason);

// The text as a JSON string literal, quotes included.
const char *json_quote(apr_pool_t *pool, const char *text);

// What a new session must satisfy on this virtual host: its policy, else
// for a mapped collection restricted to some domains an identity of one of
// them (with MFA where required); nothing otherwise.
struct SessionRequirement {
    const char *policy_id;                    // or null
    const apr_array_header_t *single_domain;  // or null
    bool mfa;                                 // with single_domain only
};
SessionRequirement session_requirement(const ServerConfig *conf);

// The authorization parameters as a JSON object: the session message, the
// policy or the domains (and MFA) the session must satisfy, the scopes.
// `data_scope` is null unless requires_data_access_scope(conf).
const char *authorization_parameters_json(apr_pool_t *pool, const ServerConfig *conf, const char *message,
                                          const char *https_scope, const char *data_scope);

// The WWW-Authenticate value; error and description may be null.
const char *bearer_challenge(apr_pool_t *pool, const char *realm, const char *error, const char *description);
// The JSON body of a challenge reply.
const char *challenge_body(apr_pool_t *pool, const char *code, const char *message, const char *parameters);

#endif
