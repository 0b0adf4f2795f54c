// The identity service's answers (introspection, dependent tokens, the
// code exchange) read into documents, the redaction of tokens in logged
// answers, and form-body escaping.
#define KALDER_SOURCE "auth"
#include <cstring>
#include <string>

#include "apr_strings.h"
#include "kalder_digits.h"
#include "identity.h"

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
                    const int digit = hex_digit_value(text[k]);
                    value = value << 4 | static_cast<unsigned>(digit < 0 ? 0 : digit);
                    if (digit < 0)
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

IntrospectDoc *parse_introspect_doc(apr_pool_t *pool, const json_t *doc, const LogSink &log)
{
    if (!json_is_object(doc)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected introspect JSON doc to be an object");
        return nullptr;
    }
    auto *i_doc = static_cast<IntrospectDoc *>(apr_pcalloc(pool, sizeof(IntrospectDoc)));
    if (json_get_boolean(doc, "active", &i_doc->active, log) != 0)
        return nullptr;
    if (!i_doc->active)
        return i_doc;

    if (json_get_string(pool, doc, "scope", &i_doc->scope, log) != 0)
        return nullptr;

    json_t *identities = json_get_field(doc, "identity_set_detail", log);
    if (!identities)
        return nullptr;
    if (!json_is_array(identities)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected field 'identity_set_detail' to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(identities);
    i_doc->identity_set_detail =
        static_cast<IdentitySet>(apr_pcalloc(pool, (count + 1) * sizeof(Identity *)));
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(identities, index);
        if (!element)
            break;
        auto *identity = static_cast<Identity *>(apr_pcalloc(pool, sizeof(Identity)));
        if (!identity) {
            KLOG(log, KLOG_ERR, 0, "Failed to allocate i_doc->identity_set_detail[index]");
            return nullptr;
        }
        i_doc->identity_set_detail[index] = identity;
        if (json_get_string(pool, element, "sub", &identity->sub, log) != 0 ||
            json_get_string(pool, element, "username", &identity->username, log) != 0 ||
            json_get_integer(element, "last_authentication", &identity->last_authentication, true, log) != 0)
            return nullptr;
    }

    json_t *session = json_get_field(doc, "session_info", log);
    if (!session)
        return nullptr;
    if (!json_is_object(session)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected 'session_info' field to be an object");
        return nullptr;
    }
    i_doc->session_info = static_cast<SessionInfo *>(apr_pcalloc(pool, sizeof(SessionInfo)));

    json_t *authentications = json_object_get(session, "authentications");
    if (!authentications)
        return i_doc;
    if (!json_is_object(authentications)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected 'authentications' field to be an object");
        return nullptr;
    }
    size_t auth_count = json_object_size(authentications);
    auto **records = static_cast<AuthenticationRecord **>(
        apr_pcalloc(pool, (auth_count + 1) * sizeof(AuthenticationRecord *)));
    if (!records) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate i_doc->session_info->authentications");
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
        auto *record = static_cast<AuthenticationRecord *>(apr_pcalloc(pool, sizeof(AuthenticationRecord)));
        if (!record) {
            KLOG(log, KLOG_ERR, 0, "Failed to allocate i_doc->session_info->authentications[auth_index]");
            return nullptr;
        }
        records[auth_index] = record;
        record->sub = apr_pstrdup(pool, name);
        if (!record->sub) {
            KLOG(log, KLOG_ERR, 0,
                 "Failed to allocate 'i_doc->session_info->authentications[auth_index]->sub'");
            return nullptr;
        }
        if (json_get_integer(value, "auth_time", &record->auth_time, false, log) != 0)
            return nullptr;

        json_t *amr = json_object_get(value, "amr");
        if (json_is_array(amr)) {
            size_t amr_count = json_array_size(amr);
            record->amr = static_cast<const char **>(apr_pcalloc(pool, (amr_count + 1) * sizeof(char *)));
            if (!record->amr) {
                KLOG(log, KLOG_ERR, 0,
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
                record->amr[amr_index] = apr_pstrdup(pool, json_string_value(method));
                if (!record->amr[amr_index]) {
                    KLOG(log, KLOG_ERR, 0,
                         "Failed to allocate "
                         "'i_doc->session_info->authentications[auth_index]->amr[amr_index]'");
                    return nullptr;
                }
                ++amr_index;
            }
        } else if (amr && !json_is_null(amr)) {
            KLOG(log, KLOG_DEBUG, 0, "Expected field 'amr' to be a JSON array or null, ignoring");
        }
        ++auth_index;
    }
    return i_doc;
}

static int _read_token_entry(apr_pool_t *pool, const json_t *element, TokenEntry *entry, const LogSink &log)
{
    if (json_get_string(pool, element, "access_token", &entry->access_token, log) != 0)
        return 1;
    return json_get_string(pool, element, "resource_server", &entry->resource_server, log);
}

TokenDoc *parse_token_doc(apr_pool_t *pool, const json_t *doc, const LogSink &log)
{
    if (!json_is_array(doc)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected token doc to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(doc);
    auto *dp_doc = static_cast<TokenDoc *>(apr_pcalloc(pool, sizeof(TokenDoc)));
    dp_doc->tokens = static_cast<TokenEntry **>(apr_pcalloc(pool, (count + 1) * sizeof(TokenEntry *)));
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(doc, index);
        if (!element)
            break;
        auto *entry = static_cast<TokenEntry *>(apr_pcalloc(pool, sizeof(TokenEntry)));
        if (!entry) {
            KLOG(log, KLOG_ERR, 0, "Failed to allocate dp_doc->tokens[index]");
            return nullptr;
        }
        dp_doc->tokens[index] = entry;
        if (_read_token_entry(pool, element, entry, log) != 0)
            return nullptr;
    }
    return dp_doc;
}

TokenResponseDoc *parse_token_response(apr_pool_t *pool, const json_t *doc, const LogSink &log)
{
    if (!json_is_object(doc)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected token_doc to be an object");
        return nullptr;
    }
    auto *t_doc = static_cast<TokenResponseDoc *>(apr_pcalloc(pool, sizeof(TokenResponseDoc)));
    if (json_get_string(pool, doc, "access_token", &t_doc->access_token, log) != 0 ||
        json_get_string(pool, doc, "resource_server", &t_doc->resource_server, log) != 0 ||
        json_get_string(pool, doc, "state", &t_doc->state, log) != 0)
        return nullptr;

    json_t *others = json_get_field(doc, "other_tokens", log);
    if (!others)
        return nullptr;
    if (!json_is_array(others)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected field 'other_tokens' doc to be a JSON array");
        return nullptr;
    }
    size_t count = json_array_size(others);
    t_doc->other_tokens = static_cast<TokenEntry **>(apr_pcalloc(pool, (count + 1) * sizeof(TokenEntry *)));
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(others, index);
        if (!element)
            break;
        if (!json_is_object(element)) {
            KLOG(log, KLOG_DEBUG, 0, "Expected '.other_tokens[index]' to be an object");
            return nullptr;
        }
        auto *entry = static_cast<TokenEntry *>(apr_pcalloc(pool, sizeof(TokenEntry)));
        if (!entry) {
            KLOG(log, KLOG_ERR, 0, "Failed to allocate t_doc->other_tokens[index]");
            return nullptr;
        }
        t_doc->other_tokens[index] = entry;
        if (_read_token_entry(pool, element, entry, log) != 0)
            return nullptr;
    }
    return t_doc;
}

char *auth_get_access_token(apr_pool_t *pool, const TokenResponseDoc *doc, const char *resource_server,
                            const LogSink &log)
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
    char *copy = apr_pstrdup(pool, found);
    if (!copy)
        KLOG(log, KLOG_ERR, 0, "Failed to allocate 'access_token'");
    return copy;
}
