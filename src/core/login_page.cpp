// The reload page after the login (see login_page.h).
#define KALDER_SOURCE "oidc_replies"
#include "login_page.h"

#include <cstdio>
#include <cstring>

#include "apr_strings.h"

namespace {

// Text for an HTML element or attribute.
const char *html_escape(apr_pool_t *pool, const char *text)
{
    size_t extra = 0;
    for (const char *p = text; *p; ++p)
        if (std::strchr("&<>\"'", *p))
            extra += 5;
    char *out = static_cast<char *>(apr_palloc(pool, std::strlen(text) + extra + 1));
    char *o = out;
    for (const char *p = text; *p; ++p) {
        const char *entity = nullptr;
        switch (*p) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                entity = "&quot;";
                break;
            case '\'':
                entity = "&#39;";
                break;
            default:
                break;
        }
        if (entity) {
            size_t n = std::strlen(entity);
            std::memcpy(o, entity, n);
            o += n;
        } else {
            *o++ = *p;
        }
    }
    *o = '\0';
    return out;
}

// Text for a double-quoted JavaScript string inside a script element:
// quotes, backslashes, control characters and the angle brackets that
// could end the element become \u escapes.
const char *script_string_escape(apr_pool_t *pool, const char *text)
{
    char *out = static_cast<char *>(apr_palloc(pool, 6 * std::strlen(text) + 1));
    char *o = out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7f || std::strchr("\"\\<>", *p)) {
            std::snprintf(o, 7, "\\u%04x", *p);
            o += 6;
        } else {
            *o++ = static_cast<char>(*p);
        }
    }
    *o = '\0';
    return out;
}

}  // namespace

char *oidc_reload_page(apr_pool_t *pool, const char *target, const char *path)
{
    return apr_psprintf(pool,
                        "<html><head><title>Redirecting to data</title><head><body>Redirecting to "
                        "<a href=\"%s\">%s</a>. Loading will begin momentarily."
                        "<script>window.location.replace(\"%s\");</script></body>",
                        html_escape(pool, target), html_escape(pool, path),
                        script_string_escape(pool, target));
}
