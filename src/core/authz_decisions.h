// Decisions of the kalderacl check that need no request of the web server:
// the token's scopes, the anonymous pass, and the refusal of a guest
// request whose permissions do not let it through.
#ifndef KALDER_CORE_AUTHZ_DECISIONS_H
#define KALDER_CORE_AUTHZ_DECISIONS_H

#include "log_sink.h"
#include "request_state.h"
#include "server_config.h"

// Whether the scope text holds the scope as a word start: at the very
// beginning or after a blank. Only the first occurrence is looked at.
bool has_scope(const char *scopes, const char *scope);
// has_scope, logging a missing scope.
bool token_has_scope(const LogSink &log, const char *scopes, const char *scope);

// Logs the start of a pass; `user` is null for the anonymous pass.
void log_pass_start(const LogSink &log, const ServerConfig *conf, const char *user);
// Whether the anonymous pass must ask for a user (mapped, high assurance
// and policy collections admit no anonymous access); logs why.
bool anonymous_pass_needs_user(const LogSink &log, const ServerConfig *conf);

// The reason to refuse a guest request whose permissions do not admit it:
// an anonymous caller must authenticate; an authenticated one is denied
// when all its identities were tried, else may authenticate the others.
// Logs the decision.
ReplyReason guest_refusal_reason(const LogSink &log, bool anonymous, bool all_identities_tried);

#endif
