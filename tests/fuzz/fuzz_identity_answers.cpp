// Service answers of any shape: the introspection and token parsers must
// return a document or null, never crash or read out of bounds; redaction
// must work on any text and never leave a secret member's value whole.
#include <cstdint>
#include <cstring>
#include <string>

#include "raii.h"
#include "testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kalder::test::TestServer server;
    kalder::test::TestRequest r(server);
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));

    json_error_t error;
    kalder::JsonPtr json(json_loads(text.c_str(), 0, &error));
    if (json) {
        if (IntrospectDoc *doc = parse_introspect_doc(r, json.get())) {
            if (doc->active) {
                (void)auth_identity_set_usernames(r, doc->identity_set_detail);
                IdentitySet recent = auth_identity_set_filter_recent(
                    r, doc->identity_set_detail,
                    doc->session_info ? doc->session_info->authentications : nullptr, 60, true, true);
                IdentitySet both = auth_identity_set_union(r, recent, doc->identity_set_detail);
                (void)auth_identity_sets_match(both, doc->identity_set_detail);
            }
        }
        if (TokenDoc *doc = parse_token_doc(r, json.get()))
            for (TokenEntry **e = doc->tokens; *e; ++e)
                (void)std::strlen((*e)->access_token);
    }

    const char *redacted = auth_redact_tokens(r->pool, text.c_str());
    if (!redacted)
        __builtin_trap();
    // A well-formed answer whose access token (longer than four characters,
    // and found once in the text) must not show it after redaction.
    if (json && json_is_object(json.get())) {
        json_t *token = json_object_get(json.get(), "access_token");
        if (json_is_string(token) && json_string_length(token) > 4) {
            std::string value = json_string_value(token);
            size_t first = text.find(value);
            if (first != std::string::npos && text.find(value, first + 1) == std::string::npos
                && std::strstr(redacted, value.c_str()))
                __builtin_trap();
        }
    }
    kalder::test::clear_log();
    return 0;
}
