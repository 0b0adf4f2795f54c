// Percent-escaping of values for form bodies and session user strings.
#include "escape.h"

#include <cstring>

char *percent_escape(apr_pool_t *pool, const char *value, const char *kept, bool blank_as_plus)
{
    static constexpr char digits[] = "0123456789abcdef";
    auto *out = static_cast<char *>(apr_palloc(pool, 3 * std::strlen(value) + 1));
    if (!out)
        return nullptr;
    char *d = out;
    for (const auto *s = reinterpret_cast<const unsigned char *>(value); *s; ++s) {
        const unsigned char c = *s;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            std::strchr(kept, c)) {
            *d++ = static_cast<char>(c);
        } else if (c == ' ' && blank_as_plus) {
            *d++ = '+';
        } else {
            *d++ = '%';
            *d++ = digits[c >> 4];
            *d++ = digits[c & 0x0f];
        }
    }
    *d = '\0';
    return out;
}

char *form_escape(apr_pool_t *pool, const char *value)
{
    return percent_escape(pool, value, "$-_.!*'(),:;@/~", false);
}

char *url_form_escape(apr_pool_t *pool, const char *value)
{
    return percent_escape(pool, value, ".-*_", true);
}
