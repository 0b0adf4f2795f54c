// Service answers of any shape: the introspection and token parsers must
// return a document or null, never crash or read out of bounds; redaction
// must work on any text and never leave a secret member's value whole.
#include <cstdint>
#include <cstring>
#include <string>

#include "apr_general.h"
#include "identity.h"
#include "documents.h"
#include "auth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool initialized = apr_initialize() == APR_SUCCESS;
    (void)initialized;
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    const LogSink log = log_discard();
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));

    kalder::JsonPtr json(json_from_text(text.c_str()));
    if (json) {
        if (IntrospectDoc *doc = parse_introspect_doc(pool, json.get(), log)) {
            if (doc->active) {
                (void)auth_identity_set_usernames(pool, doc->identity_set_detail, log);
                IdentitySet recent = auth_identity_set_filter_recent(
                    pool, doc->identity_set_detail,
                    doc->session_info ? doc->session_info->authentications : nullptr, 60, true, true,
                    1700000000, log);
                IdentitySet both = auth_identity_set_union(pool, recent, doc->identity_set_detail, log);
                (void)auth_identity_sets_match(both, doc->identity_set_detail, log);
            }
        }
        if (TokenDoc *doc = parse_token_doc(pool, json.get(), log))
            for (TokenEntry **e = doc->tokens; *e; ++e) (void)std::strlen((*e)->access_token);
        (void)parse_token_response(pool, json.get(), log);
    }

    const char *redacted = auth_redact_tokens(pool, text.c_str());
    if (!redacted)
        __builtin_trap();
    // A well-formed answer whose access token (longer than four characters,
    // and found once in the text) must not show it after redaction.
    if (json && json_is_object(json.get())) {
        json_t *token = json_object_get(json.get(), "access_token");
        if (json_is_string(token) && json_string_length(token) > 4) {
            std::string value = json_string_value(token);
            size_t first = text.find(value);
            if (first != std::string::npos && text.find(value, first + 1) == std::string::npos &&
                std::strstr(redacted, value.c_str()))
                __builtin_trap();
        }
    }
    apr_pool_destroy(pool);
    return 0;
}
