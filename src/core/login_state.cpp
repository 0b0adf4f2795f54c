// The login cookie's text and the login state (see login_state.h).
#define KALDER_SOURCE "oidc_replies"
#include "login_state.h"

#include <cstring>

#include <openssl/crypto.h>

#include "apr_strings.h"
#include "json_access.h"
#include "request_state.h"
#include "sealed.h"

namespace {

const char *oidc_state_text(int state)
{
    switch (state) {
        case OIDC_STATE_AUTH_FLOW_FINISH:
            return "FLOW_FINISH";
        case OIDC_STATE_AUTH_COMPLETE:
            return "COMPLETE";
        default:
            return "REDIRECT";
    }
}

// Copies a string member into the pool. Returns 0 when the member is
// absent or copied, 1 when the copy failed.
int copy_optional_string(apr_pool_t *pool, const json_t *object, const char *name, const char **out)
{
    const json_t *member = json_object_get(object, name);
    if (!member || !json_is_string(member))
        return 0;
    *out = apr_pstrdup(pool, json_string_value(member));
    return *out ? 0 : 1;
}

}  // namespace

void log_missing_state_key(const LogSink &log, const char *server_name)
{
    KLOG(log, KLOG_ERR, 0, "KalderOIDCStateKey is not set for server %s; the browser login is not available",
         server_name ? server_name : "(unnamed)");
}

char *oidc_cookie_seal(apr_pool_t *pool, const LogSink &log, const char *key, const char *server_name,
                       int state, const char *auth_token, const char *transfer_token, const char *login)
{
    if (!key) {
        log_missing_state_key(log, server_name);
        return nullptr;
    }
    const char *state_text = oidc_state_text(state);
    kalder::JsonPtr doc(json_object());
    if (!doc || json_object_set_new(doc.get(), "state", json_string(state_text)) != 0 ||
        (auth_token && json_object_set_new(doc.get(), "auth", json_string(auth_token)) != 0) ||
        (transfer_token && json_object_set_new(doc.get(), "transfer", json_string(transfer_token)) != 0) ||
        (login && json_object_set_new(doc.get(), "login", json_string(login)) != 0)) {
        KLOG(log, KLOG_ERR, 0, "Failed to serialize the OIDC state");
        return nullptr;
    }
    KLOG(log, KLOG_DEBUG, 0, "Setting request's OIDC state to \"%s\".", state_text);
    kalder::MallocPtr<char> text(json_dumps(doc.get(), 0));
    if (!text) {
        KLOG(log, KLOG_ERR, 0, "Failed to serialize the OIDC state");
        return nullptr;
    }
    char *sealed = seal_value(pool, log, key, SEAL_COOKIE, text.get());
    if (!sealed) {
        KLOG(log, KLOG_ERR, 0, "Failed to encode the OIDC state");
        return nullptr;
    }
    return sealed;
}

int oidc_cookie_open(apr_pool_t *pool, const LogSink &log, const char *key, const char *server_name,
                     const char *sealed, int *state, const char **auth_token, const char **transfer_token,
                     const char **login)
{
    *state = OIDC_STATE_NONE;
    if (auth_token)
        *auth_token = nullptr;
    if (transfer_token)
        *transfer_token = nullptr;
    if (login)
        *login = nullptr;
    if (!sealed) {
        KLOG(log, KLOG_DEBUG, 0, "No OIDC state found for request.");
        return 0;
    }
    if (!key) {
        log_missing_state_key(log, server_name);
        return 1;
    }
    // A cookie that does not open, whatever the reason (tampered, sealed
    // under another secret or the earlier format, a login state), is no
    // cookie: the browser is sent to log in.
    char *text = open_sealed_value(pool, log, key, SEAL_COOKIE, sealed);
    if (!text) {
        KLOG(log, KLOG_DEBUG, 0, "Failed to decode the OIDC state (was the vhost secret recently altered?)");
        return 0;
    }
    json_error_t error;
    kalder::JsonPtr doc(json_loads(text, 0, &error));
    if (!doc) {
        KLOG(log, KLOG_DEBUG, 0, "Failed to deserialize the OIDC state (was mod-kalder updated recently?)");
        return 1;
    }
    if (!json_is_object(doc.get())) {
        KLOG(log, KLOG_DEBUG, 0, "Unexpected OIDC state contents");
        return 1;
    }
    const json_t *member = json_object_get(doc.get(), "state");
    if (!member || !json_is_string(member)) {
        KLOG(log, KLOG_DEBUG, 0, "Invalid OIDC state");
        return 1;
    }
    const char *value = json_string_value(member);
    int parsed;
    if (std::strcmp(value, "REDIRECT") == 0)
        parsed = OIDC_STATE_AUTH_REDIRECT;
    else if (std::strcmp(value, "FLOW_FINISH") == 0)
        parsed = OIDC_STATE_AUTH_FLOW_FINISH;
    else if (std::strcmp(value, "COMPLETE") == 0)
        parsed = OIDC_STATE_AUTH_COMPLETE;
    else {
        KLOG(log, KLOG_DEBUG, 0, "Invalid OIDC state value");
        return 1;
    }
    *state = parsed;
    KLOG(log, KLOG_DEBUG, 0, "Request's OIDC state is \"%s\".", value);

    if (auth_token && copy_optional_string(pool, doc.get(), "auth", auth_token) != 0) {
        KLOG(log, KLOG_DEBUG, 0, "Failed to retrieve the Auth token from OIDC state");
        return 1;
    }
    if (transfer_token && copy_optional_string(pool, doc.get(), "transfer", transfer_token) != 0) {
        KLOG(log, KLOG_DEBUG, 0, "Failed to duplicate the Transfer token from OIDC state");
        return 1;
    }
    if (login && copy_optional_string(pool, doc.get(), "login", login) != 0) {
        KLOG(log, KLOG_DEBUG, 0, "Failed to duplicate the login value from OIDC state");
        return 1;
    }
    return 0;
}

char *seal_login_state(apr_pool_t *pool, const LogSink &log, const char *key, const char *uri,
                       const char *login)
{
    return seal_value(pool, log, key, SEAL_STATE, apr_pstrcat(pool, login, " ", uri, nullptr));
}

bool open_login_state(apr_pool_t *pool, const LogSink &log, const char *key, const char *sealed,
                      const char **uri, const char **login)
{
    const char *text = open_sealed_value(pool, log, key, SEAL_STATE, sealed);
    const char *blank = text ? std::strchr(text, ' ') : nullptr;
    if (!blank)
        return false;
    *login = apr_pstrmemdup(pool, text, static_cast<size_t>(blank - text));
    *uri = blank + 1;
    return true;
}

bool same_login(const char *cookie_login, const char *state_login)
{
    if (!cookie_login || !state_login || !*cookie_login)
        return false;
    size_t n = std::strlen(cookie_login);
    return n == std::strlen(state_login) && CRYPTO_memcmp(cookie_login, state_login, n) == 0;
}

bool oidc_is_local_redirect(const char *uri)
{
    // A single "/" followed by anything but "/" or "\": a browser reads
    // "//host" and "/\host" as another site.
    if (!uri || uri[0] != '/' || uri[1] == '/' || uri[1] == '\\')
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(uri); *p; ++p)
        if (*p < 0x20 || *p == 0x7f || *p == '\\')
            return false;
    return true;
}
