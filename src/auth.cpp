// Identity-service calls (introspection, dependent tokens, code exchange)
// and identity sets.
#define KALDER_SOURCE "auth"
#include "kalder.h"

#include <cstring>
#include <ctime>
#include <string>

#include "apr_lib.h"
#include "apr_strings.h"
#include "http_main.h"
#include "raii.h"

// ---------------------------------------------------------------------------
// Shared steps of the identity-service calls

namespace {

const char *const secret_members[] = {"access_token", "refresh_token", "id_token"};

// Decodes the JSON string starting at text[begin] (its opening quote) far
// enough to compare it with plain ASCII member names. Returns the index
// after the closing quote, or n when the string is unterminated.
size_t scan_json_string(const char *text, size_t n, size_t begin, std::string &decoded,
                        bool *terminated = nullptr)
{
    size_t j = begin + 1;
    while (j < n && text[j] != '"') {
        if (text[j] == '\\' && j + 1 < n) {
            char e = text[j + 1];
            if (e == 'u' && j + 5 < n) {
                unsigned value = 0;
                bool hex = true;
                for (size_t k = j + 2; k < j + 6; ++k) {
                    char h = text[k];
                    value <<= 4;
                    if (h >= '0' && h <= '9')
                        value |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f')
                        value |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F')
                        value |= static_cast<unsigned>(h - 'A' + 10);
                    else
                        hex = false;
                }
                // Anything outside ASCII can't be part of the names we look for.
                decoded += (hex && value > 0 && value < 0x80) ? static_cast<char>(value) : '\x01';
                j += 6;
            } else {
                decoded += e;
                j += 2;
            }
        } else {
            decoded += text[j];
            ++j;
        }
    }
    if (terminated)
        *terminated = j < n;
    return j < n ? j + 1 : n;
}

bool is_secret_member(const std::string &name)
{
    for (const char *secret : secret_members)
        if (name == secret)
            return true;
    return false;
}

}  // namespace

// A service answer made fit for the error log: the value of every
// "access_token", "refresh_token" and "id_token" member is cut to its first
// four characters and "...". Works on any text, JSON or not, so a malformed
// answer is redacted as well as a well-formed one.
const char *auth_redact_tokens(apr_pool_t *pool, const char *text)
{
    if (!text)
        return nullptr;
    const size_t n = std::strlen(text);
    std::string out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        if (text[i] != '"') {
            out += text[i++];
            continue;
        }
        std::string name;
        size_t after = scan_json_string(text, n, i, name);
        out.append(text + i, after - i);
        i = after;
        if (!is_secret_member(name))
            continue;
        size_t k = i;
        while (k < n && (text[k] == ' ' || text[k] == '\t' || text[k] == '\r' || text[k] == '\n')) ++k;
        if (k >= n || text[k] != ':')
            continue;
        ++k;
        while (k < n && (text[k] == ' ' || text[k] == '\t' || text[k] == '\r' || text[k] == '\n')) ++k;
        if (k >= n || text[k] != '"')
            continue;
        out.append(text + i, k + 1 - i);  // blanks, colon, opening quote
        size_t v = k + 1;
        for (int kept = 0; kept < 4 && v < n && text[v] != '"' && text[v] != '\\'; ++kept) out += text[v++];
        out += "...";
        // Skip the rest of the value, keeping its closing quote.
        std::string ignored;
        bool terminated = false;
        i = scan_json_string(text, n, k, ignored, &terminated);
        if (terminated)
            out += '"';
    }
    return apr_pstrmemdup(pool, out.data(), out.size());
}

// A value for a form body. The server's partial path escaping leaves '&',
// '=' and '+' as they are; in a form body they would end the field, start
// another one, or turn into a blank, so they are escaped as well.
static char *_form_escape(apr_pool_t *pool, const char *value)
{
    char *escaped = ap_os_escape_path(pool, value, 1);
    if (!escaped)
        return nullptr;
    size_t extra = 0;
    for (const char *p = escaped; *p; ++p) extra += (*p == '&' || *p == '=' || *p == '+');
    if (extra == 0)
        return escaped;
    const size_t len = std::strlen(escaped);
    auto *out = static_cast<char *>(apr_palloc(pool, len + 2 * extra + 1));
    if (!out)
        return nullptr;
    char *d = out;
    for (const char *p = escaped; *p; ++p) {
        if (*p == '&' || *p == '=' || *p == '+') {
            static constexpr char digits[] = "0123456789abcdef";
            unsigned char c = static_cast<unsigned char>(*p);
            *d++ = '%';
            *d++ = digits[c >> 4];
            *d++ = digits[c & 0x0f];
        } else {
            *d++ = *p;
        }
    }
    *d = '\0';
    return out;
}

// Parses NUL-terminated JSON text; null when it isn't JSON.
static kalder::JsonPtr _parse_json(const char *text)
{
    json_error_t error;
    return kalder::JsonPtr(json_loads(text, 0, &error));
}

// ---------------------------------------------------------------------------
// Token introspection

static const char *const INTROSPECT_PREFIX = "kalder:introspect";

IntrospectDoc *parse_introspect_doc(request_rec *r, const json_t *doc)
{
    if (!json_is_object(doc)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Expected introspect JSON doc to be an object");
        return nullptr;
    }
    auto *i_doc = static_cast<IntrospectDoc *>(apr_pcalloc(r->pool, sizeof(IntrospectDoc)));
    if (json_get_boolean(doc, "active", &i_doc->active) != 0)
        return nullptr;
    if (!i_doc->active)
        return i_doc;

    if (json_get_string(r, doc, "scope", &i_doc->scope) != 0)
        return nullptr;

    json_t *identities = json_get_field(doc, "identity_set_detail");
    if (!identities)
        return nullptr;
    if (!json_is_array(identities)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Expected field 'identity_set_detail' to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(identities);
    i_doc->identity_set_detail =
        static_cast<IdentitySet>(apr_pcalloc(r->pool, (count + 1) * sizeof(Identity *)));
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(identities, index);
        if (!element)
            break;
        auto *identity = static_cast<Identity *>(apr_pcalloc(r->pool, sizeof(Identity)));
        if (!identity) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to allocate i_doc->identity_set_detail[index]");
            return nullptr;
        }
        i_doc->identity_set_detail[index] = identity;
        if (json_get_string(r, element, "sub", &identity->sub) != 0 ||
            json_get_string(r, element, "username", &identity->username) != 0 ||
            json_get_integer(element, "last_authentication", &identity->last_authentication, true) != 0)
            return nullptr;
    }

    json_t *session = json_get_field(doc, "session_info");
    if (!session)
        return nullptr;
    if (!json_is_object(session)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Expected 'session_info' field to be an object");
        return nullptr;
    }
    i_doc->session_info = static_cast<SessionInfo *>(apr_pcalloc(r->pool, sizeof(SessionInfo)));

    json_t *authentications = json_object_get(session, "authentications");
    if (!authentications)
        return i_doc;
    if (!json_is_object(authentications)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Expected 'authentications' field to be an object");
        return nullptr;
    }
    size_t auth_count = json_object_size(authentications);
    auto **records = static_cast<AuthenticationRecord **>(
        apr_pcalloc(r->pool, (auth_count + 1) * sizeof(AuthenticationRecord *)));
    if (!records) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Failed to allocate i_doc->session_info->authentications");
        return nullptr;
    }
    i_doc->session_info->authentications = records;

    size_t auth_index = 0;
    const char *name;
    json_t *value;
    json_object_foreach(authentications, name, value)
    {
        if (!value || auth_index >= auth_count)
            break;
        auto *record =
            static_cast<AuthenticationRecord *>(apr_pcalloc(r->pool, sizeof(AuthenticationRecord)));
        if (!record) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to allocate i_doc->session_info->authentications[auth_index]");
            return nullptr;
        }
        records[auth_index] = record;
        record->sub = apr_pstrdup(r->pool, name);
        if (!record->sub) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to allocate 'i_doc->session_info->authentications[auth_index]->sub'");
            return nullptr;
        }
        if (json_get_integer(value, "auth_time", &record->auth_time, false) != 0)
            return nullptr;

        json_t *amr = json_object_get(value, "amr");
        if (json_is_array(amr)) {
            size_t amr_count = json_array_size(amr);
            record->amr = static_cast<const char **>(apr_pcalloc(r->pool, (amr_count + 1) * sizeof(char *)));
            if (!record->amr) {
                ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                             "Failed to allocate i_doc->session_info->authentications[auth_index]->amr");
                return nullptr;
            }
            size_t amr_index = 0;
            for (size_t k = 0; k < amr_count; ++k) {
                json_t *method = json_array_get(amr, k);
                if (!method)
                    break;
                if (!json_is_string(method))
                    continue;
                record->amr[amr_index] = apr_pstrdup(r->pool, json_string_value(method));
                if (!record->amr[amr_index]) {
                    ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                                 "Failed to allocate "
                                 "'i_doc->session_info->authentications[auth_index]->amr[amr_index]'");
                    return nullptr;
                }
                ++amr_index;
            }
        } else if (amr && !json_is_null(amr)) {
            ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                         "Expected field 'amr' to be a JSON array or null, ignoring");
        }
        ++auth_index;
    }
    return i_doc;
}

IntrospectDoc *auth_introspect_token(request_rec *r, const char *token)
{
    ServerConfig *conf = kalder_server_config(r->server);

    if (const char *cached = mod_kalder_get_keyutils_value(r, INTROSPECT_PREFIX, token)) {
        IntrospectDoc *doc = nullptr;
        if (kalder::JsonPtr json = _parse_json(cached))
            doc = parse_introspect_doc(r, json.get());
        if (doc) {
            ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Using cached introspect result: %s",
                         auth_redact_tokens(r->pool, cached));
            return doc;
        }
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Unable to deserialize saved introspect doc string: %s",
                     auth_redact_tokens(r->pool, cached));
    }

    KALDER_ASSERT(conf != NULL);
    const char *url = apr_psprintf(r->pool, "%s/oauth2/token/introspect", conf->auth_api_endpoint);
    if (!url) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate introspect URI");
        return nullptr;
    }
    const char *escaped = _form_escape(r->pool, token);
    if (!escaped) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the access token");
        return nullptr;
    }
    const char *post_data =
        apr_psprintf(r->pool, "token=%s&include=session_info,identity_set_detail", escaped);
    if (!post_data) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate introspect post data");
        return nullptr;
    }

    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, post_data, conf->connect_timeout, conf->client_id,
                            conf->client_secret, nullptr, &status, &body);
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to fetch the token introspection: %d",
                     rc);
        return nullptr;
    }
    if (status != 200) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Failed to fetch the token introspection. http_status=%ld%s%s", status,
                     body ? " reply=" : "", body ? auth_redact_tokens(r->pool, body) : "");
        return nullptr;
    }
    if (!body) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Failed to fetch the token introspection, response was empty");
        return nullptr;
    }
    kalder::JsonPtr json = _parse_json(body);
    if (!json) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Failed to fetch the token introspection, could not deserialize response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    IntrospectDoc *doc = parse_introspect_doc(r, json.get());
    json.reset();
    if (!doc) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Unexpected introspect response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    mod_kalder_set_keyutils_value(r, INTROSPECT_PREFIX, token, body, std::strlen(body) + 1);
    ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Using introspect result: %s",
                 auth_redact_tokens(r->pool, body));
    return doc;
}

// ---------------------------------------------------------------------------
// Dependent tokens

static const char *const TOKEN_PREFIX = "kalder:token";

// Fills the token entry's two mandatory members; 0 on success.
static int _read_token_entry(request_rec *r, const json_t *element, TokenEntry *entry)
{
    if (json_get_string(r, element, "access_token", &entry->access_token) != 0)
        return 1;
    return json_get_string(r, element, "resource_server", &entry->resource_server);
}

TokenDoc *parse_token_doc(request_rec *r, const json_t *doc)
{
    if (!json_is_array(doc)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Expected token doc to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(doc);
    auto *dp_doc = static_cast<TokenDoc *>(apr_pcalloc(r->pool, sizeof(TokenDoc)));
    dp_doc->tokens = static_cast<TokenEntry **>(apr_pcalloc(r->pool, (count + 1) * sizeof(TokenEntry *)));
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(doc, index);
        if (!element)
            break;
        auto *entry = static_cast<TokenEntry *>(apr_pcalloc(r->pool, sizeof(TokenEntry)));
        if (!entry) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to allocate dp_doc->tokens[index]");
            return nullptr;
        }
        dp_doc->tokens[index] = entry;
        if (_read_token_entry(r, element, entry) != 0)
            return nullptr;
    }
    return dp_doc;
}

int auth_get_dependent_tokens(request_rec *r, const char *token, TokenDoc **out)
{
    ServerConfig *conf = kalder_server_config(r->server);

    if (const char *cached = mod_kalder_get_keyutils_value(r, TOKEN_PREFIX, token)) {
        TokenDoc *doc = nullptr;
        if (kalder::JsonPtr json = _parse_json(cached))
            doc = parse_token_doc(r, json.get());
        *out = doc;
        if (doc)
            return 0;
        ap_log_error(KALDER_MARK, APLOG_WARNING, 0, ap_server_conf,
                     "Unable to deserialize the saved token doc string: %s",
                     auth_redact_tokens(r->pool, cached));
    }

    KALDER_ASSERT(conf != NULL);
    const char *url = apr_psprintf(r->pool, "%s/oauth2/token", conf->auth_api_endpoint);
    if (!url) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate token URI");
        return 2;
    }
    const char *escaped = _form_escape(r->pool, token);
    if (!escaped) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the access_token");
        return 2;
    }
    const char *post_data = apr_psprintf(r->pool,
                                         "grant_type=urn:kalder:auth:grant_type:dependent_token&token=%s"
                                         "&scope=urn:kalder:auth:scope:" TRANSFER_RESOURCE_SERVER ":all",
                                         escaped);
    if (!post_data) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate token post_data");
        return 2;
    }

    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, post_data, conf->connect_timeout, conf->client_id,
                            conf->client_secret, nullptr, &status, &body);
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to fetch dependent tokens: %d", rc);
        return 2;
    }
    // Only this exact answer means the caller's token expired or was revoked.
    if (status == 400 && body && std::strcmp(body, "{\"error\":\"invalid_grant\"}") == 0) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Failed to fetch dependent tokens, token has expired");
        return 1;
    }
    if (status == 200) {
        if (!body) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to fetch dependent_tokens, response was empty");
            return 2;
        }
        kalder::JsonPtr json = _parse_json(body);
        if (!json) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to fetch dependent tokens, could not deserialize response: %s",
                         auth_redact_tokens(r->pool, body));
            return 2;
        }
        TokenDoc *doc = parse_token_doc(r, json.get());
        json.reset();
        *out = doc;
        if (!doc) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Unexpected token response: %s",
                         auth_redact_tokens(r->pool, body));
            return 2;
        }
        mod_kalder_set_keyutils_value(r, TOKEN_PREFIX, token, body, std::strlen(body) + 1);
        return 0;
    }
    ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                 "Failed to fetch dependent tokens. http_status=%ld%s%s", status, body ? " reply=" : "",
                 body ? auth_redact_tokens(r->pool, body) : "");
    return 2;
}

// ---------------------------------------------------------------------------
// Authorization code exchange

static TokenResponseDoc *_parse_token_response(request_rec *r, const json_t *doc)
{
    if (!json_is_object(doc)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf, "Expected token_doc to be an object");
        return nullptr;
    }
    auto *t_doc = static_cast<TokenResponseDoc *>(apr_pcalloc(r->pool, sizeof(TokenResponseDoc)));
    if (json_get_string(r, doc, "access_token", &t_doc->access_token) != 0 ||
        json_get_string(r, doc, "resource_server", &t_doc->resource_server) != 0 ||
        json_get_string(r, doc, "state", &t_doc->state) != 0)
        return nullptr;

    json_t *others = json_get_field(doc, "other_tokens");
    if (!others)
        return nullptr;
    if (!json_is_array(others)) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Expected field 'other_tokens' doc to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(others);
    t_doc->other_tokens =
        static_cast<TokenEntry **>(apr_pcalloc(r->pool, (count + 1) * sizeof(TokenEntry *)));
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(others, index);
        if (!element)
            break;
        if (!json_is_object(element)) {
            ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                         "Expected '.other_tokens[index]' to be an object");
            return nullptr;
        }
        auto *entry = static_cast<TokenEntry *>(apr_pcalloc(r->pool, sizeof(TokenEntry)));
        if (!entry) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Failed to allocate t_doc->other_tokens[index]");
            return nullptr;
        }
        t_doc->other_tokens[index] = entry;
        if (_read_token_entry(r, element, entry) != 0)
            return nullptr;
    }
    return t_doc;
}

TokenResponseDoc *auth_exchange_code(request_rec *r, const char *code, const char *redirect_uri)
{
    ServerConfig *conf = kalder_server_config(r->server);
    KALDER_ASSERT(conf != NULL);
    // Required at start-up only of servers with a collection type.
    if (!conf->auth_api_endpoint) {
        ap_log_error(
            KALDER_MARK, APLOG_ERR, 0, r->server,
            "KalderAuthAPIEndpoint is not set for server %s; the authorization code cannot be exchanged",
            r->server->server_hostname ? r->server->server_hostname : "(unnamed)");
        return nullptr;
    }

    const char *url = apr_psprintf(r->pool, "%s/oauth2/token", conf->auth_api_endpoint);
    if (!url) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate the token URI");
        return nullptr;
    }
    const char *escaped_code = _form_escape(r->pool, code);
    if (!escaped_code) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the access token");
        return nullptr;
    }
    const char *escaped_uri = _form_escape(r->pool, redirect_uri);
    if (!escaped_uri) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to URI escape the redirect uri");
        return nullptr;
    }
    const char *post_data = apr_psprintf(r->pool, "code=%s&redirect_uri=%s&grant_type=authorization_code",
                                         escaped_code, escaped_uri);
    if (!post_data) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate the token post data");
        return nullptr;
    }

    long status = 0;
    char *body = nullptr;
    int rc = https_exchange(r->pool, url, post_data, conf->connect_timeout, conf->client_id,
                            conf->client_secret, nullptr, &status, &body);
    if (rc != 0) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Authorization code exchange failed: %d", rc);
        return nullptr;
    }
    if (status != 200) {
        ap_log_error(KALDER_MARK, APLOG_DEBUG, 0, ap_server_conf,
                     "Authorization code exchange failed: http_status=%ld%s%s", status, body ? " reply=" : "",
                     body ? auth_redact_tokens(r->pool, body) : "");
        return nullptr;
    }
    if (!body) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Authorization code exchange failed, response was empty");
        return nullptr;
    }
    kalder::JsonPtr json = _parse_json(body);
    if (!json) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                     "Authorization code exchange failed, could not deserialize response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    TokenResponseDoc *doc = _parse_token_response(r, json.get());
    json.reset();
    if (!doc) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Unexpected token response: %s",
                     auth_redact_tokens(r->pool, body));
        return nullptr;
    }
    return doc;
}

char *auth_get_access_token(request_rec *r, const TokenResponseDoc *doc, const char *resource_server)
{
    const char *found = nullptr;
    if (doc->resource_server && std::strcmp(doc->resource_server, resource_server) == 0) {
        found = doc->access_token;
    } else if (doc->other_tokens) {
        for (TokenEntry **entry = doc->other_tokens; *entry; ++entry) {
            if ((*entry)->resource_server && std::strcmp((*entry)->resource_server, resource_server) == 0) {
                found = (*entry)->access_token;
                break;
            }
        }
    }
    if (!found)
        return nullptr;
    char *copy = apr_pstrdup(r->pool, found);
    if (!copy)
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate 'access_token'");
    return copy;
}

// ---------------------------------------------------------------------------
// Identity sets

int auth_get_identity_count(const IdentitySet set)
{
    int count = 0;
    if (set)
        while (set[count]) ++count;
    return count;
}

bool auth_identity_set_empty(const IdentitySet set)
{
    return !set || !set[0];
}

static IdentitySet _new_identity_set(apr_pool_t *pool, size_t room)
{
    return static_cast<IdentitySet>(apr_pcalloc(pool, (room + 1) * sizeof(Identity *)));
}

// A copy of the identity in the pool, or null naming the field that failed.
static Identity *_copy_identity(apr_pool_t *pool, const Identity *from, const char **failed_field)
{
    auto *copy = static_cast<Identity *>(apr_pcalloc(pool, sizeof(Identity)));
    copy->sub = from->sub ? apr_pstrdup(pool, from->sub) : nullptr;
    if (!copy->sub) {
        *failed_field = "sub";
        return nullptr;
    }
    copy->username = from->username ? apr_pstrdup(pool, from->username) : nullptr;
    if (!copy->username) {
        *failed_field = "username";
        return nullptr;
    }
    copy->last_authentication = from->last_authentication;
    return copy;
}

static bool _same_sub(const Identity *a, const Identity *b)
{
    return std::strcmp(a->sub, b->sub) == 0;
}

static bool _set_has_sub(const IdentitySet set, const Identity *identity)
{
    for (size_t i = 0; set && set[i]; ++i)
        if (_same_sub(set[i], identity))
            return true;
    return false;
}

// Appends a copy; false after logging "Failed to allocate '<array>->field'".
static bool _append_copy(request_rec *r, IdentitySet out, size_t *used, const Identity *identity,
                         const char *array)
{
    const char *field = "";
    Identity *copy = _copy_identity(r->pool, identity, &field);
    if (!copy) {
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "Failed to allocate '%s->%s'", array, field);
        return false;
    }
    out[(*used)++] = copy;
    return true;
}

IdentitySet auth_identity_set_filter_domain(request_rec *r, const IdentitySet set, const char *domain)
{
    IdentitySet out = _new_identity_set(r->pool, static_cast<size_t>(auth_get_identity_count(set)));
    size_t used = 0;
    for (size_t i = 0; set && set[i]; ++i) {
        const char *at = set[i]->username ? std::strrchr(set[i]->username, '@') : nullptr;
        if (!at || strcasecmp(at + 1, domain) != 0)
            continue;
        if (!_append_copy(r, out, &used, set[i], "id_set_out[index_out]"))
            return nullptr;
    }
    return out;
}

IdentitySet auth_identity_set_filter_recent(request_rec *r, const IdentitySet set,
                                            AuthenticationRecord **authentications, int timeout_minutes,
                                            bool use_authentications, bool require_mfa)
{
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const int64_t cutoff = now - static_cast<int64_t>(timeout_minutes) * 60;
    IdentitySet out = _new_identity_set(r->pool, static_cast<size_t>(auth_get_identity_count(set)));
    size_t used = 0;
    for (size_t i = 0; set && set[i]; ++i) {
        const Identity *identity = set[i];
        bool keep;
        if (use_authentications) {
            const AuthenticationRecord *record = nullptr;
            for (size_t k = 0; authentications && authentications[k]; ++k) {
                if (authentications[k]->sub && std::strcmp(authentications[k]->sub, identity->sub) == 0) {
                    record = authentications[k];
                    break;
                }
            }
            keep = record && record->auth_time >= cutoff;
            if (keep && require_mfa) {
                bool mfa = false;
                for (size_t m = 0; record->amr && record->amr[m]; ++m)
                    mfa = mfa || std::strcmp(record->amr[m], "mfa") == 0;
                keep = mfa;
            }
        } else {
            keep = identity->last_authentication >= cutoff;
        }
        if (keep && !_append_copy(r, out, &used, identity, "id_set_out[index_out]"))
            return nullptr;
    }
    return out;
}

IdentitySet auth_identity_set_union(request_rec *r, const IdentitySet accumulated, const IdentitySet added)
{
    size_t room = static_cast<size_t>(auth_get_identity_count(accumulated)) +
                  static_cast<size_t>(auth_get_identity_count(added));
    IdentitySet out = _new_identity_set(r->pool, room);
    size_t used = 0;
    for (size_t i = 0; accumulated && accumulated[i]; ++i)
        if (!_set_has_sub(out, accumulated[i]) &&
            !_append_copy(r, out, &used, accumulated[i], "id_set_union[index2]"))
            return nullptr;
    for (size_t i = 0; added && added[i]; ++i)
        if (!_set_has_sub(out, added[i]) && !_append_copy(r, out, &used, added[i], "id_set_union[index1]"))
            return nullptr;
    return out;
}

IdentitySet auth_identity_set_intersect(request_rec *r, const IdentitySet first, const IdentitySet second)
{
    size_t first_count = static_cast<size_t>(auth_get_identity_count(first));
    size_t second_count = static_cast<size_t>(auth_get_identity_count(second));
    IdentitySet out = _new_identity_set(r->pool, first_count > second_count ? first_count : second_count);
    size_t used = 0;
    for (size_t i = 0; first && first[i]; ++i)
        if (_set_has_sub(second, first[i]) &&
            !_append_copy(r, out, &used, first[i], "id_set_intersect[union_id_set_len]"))
            return nullptr;
    return out;
}

bool auth_identity_sets_match(const IdentitySet first, const IdentitySet second)
{
    if (auth_identity_set_empty(first))
        return auth_identity_set_empty(second);
    if (auth_identity_set_empty(second) || auth_get_identity_count(first) != auth_get_identity_count(second))
        return false;
    for (size_t i = 0; first[i]; ++i) {
        const Identity *b = nullptr;
        for (size_t k = 0; second[k] && !b; ++k)
            if (_same_sub(first[i], second[k]))
                b = second[k];
        if (!b)
            return false;
        // Both sets come from one introspection answer, so equal subs carry
        // equal records. An answer listing one sub twice with different
        // records would break that; it is the service's fault, so the sets
        // are reported as different instead of stopping the process.
        if (std::strcmp(first[i]->username, b->username) != 0 ||
            first[i]->last_authentication != b->last_authentication) {
            ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf,
                         "Identity sets hold different records for the identity %s", first[i]->sub);
            return false;
        }
    }
    return true;
}

// The field of every identity joined by ","; "" for a null or empty set.
static char *_join_identities(request_rec *r, const IdentitySet set, bool usernames, const char *failure)
{
    std::string text;
    for (size_t i = 0; set && set[i]; ++i) {
        if (!text.empty())
            text += ',';
        const char *field = usernames ? set[i]->username : set[i]->sub;
        text += field ? field : "";
    }
    char *out = apr_pstrmemdup(r->pool, text.data(), text.size());
    if (!out)
        ap_log_error(KALDER_MARK, APLOG_ERR, 0, ap_server_conf, "%s", failure);
    return out;
}

char *auth_identity_set_usernames(request_rec *r, const IdentitySet set)
{
    return _join_identities(r, set, true, "Failed to allocate memory for identity set usernames");
}

char *auth_identity_set_subs(request_rec *r, const IdentitySet set)
{
    return _join_identities(r, set, false, "Failed to allocate memory for identity set subs");
}
