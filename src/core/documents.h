// Identities and the service documents the gateway reads: introspection,
// dependent tokens, the code exchange and effective permissions.
#ifndef KALDER_CORE_DOCUMENTS_H
#define KALDER_CORE_DOCUMENTS_H

#include <cstdint>

struct Identity {
    const char *sub;
    const char *username;  // local name "@" domain
    int64_t last_authentication;
};
// Null-terminated array of Identity pointers; a null set differs from an
// empty one (whose first element is the terminator).
using IdentitySet = Identity **;

struct AuthenticationRecord {
    const char *sub;
    int64_t auth_time;
    const char **amr;  // null-terminated, or null
};

struct SessionInfo {
    AuthenticationRecord **authentications;  // null-terminated, or null
};

struct IntrospectDoc {
    bool active;
    const char *scope;
    IdentitySet identity_set_detail;
    SessionInfo *session_info;
};

struct TokenEntry {
    const char *access_token;
    const char *resource_server;
};

struct TokenDoc {
    TokenEntry **tokens;  // null-terminated
};

struct TokenResponseDoc {
    const char *access_token;
    const char *resource_server;
    const char *state;
    TokenEntry **other_tokens;  // null-terminated
};

struct AclEntry {
    const char *encoded_path;
    const char *permissions;
};

struct AclDoc {
    const char *data_type;
    const char *sharing_uuid;
    AclEntry **data;  // null-terminated
};

#endif
