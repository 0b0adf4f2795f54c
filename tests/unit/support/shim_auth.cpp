// Stand-in for the server's path escaping used by the identity-service
// calls. It escapes exactly what the server's T_OS_ESCAPE_PATH class
// escapes: every byte that is neither alphanumeric nor one of
// "$-_.+!*'(),:;@&=/~", as "%" and two lower-case hexadecimal digits. The
// integration tests check the real function through the module.
#include <cstring>

#include "apr_strings.h"
#include "httpd.h"

static bool os_escape_path_keeps(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("$-_.+!*'(),:;@&=/~", c) != nullptr);
}

char *ap_os_escape_path(apr_pool_t *p, const char *path, int partial)
{
    static constexpr char digits[] = "0123456789abcdef";
    auto *copy = static_cast<char *>(apr_palloc(p, 3 * std::strlen(path) + 3));
    char *d = copy;
    if (!partial) {
        // A leading "x:" would read as a scheme: prefix "./".
        const char *colon = std::strchr(path, ':');
        const char *slash = std::strchr(path, '/');
        if (colon && (!slash || colon < slash)) {
            *d++ = '.';
            *d++ = '/';
        }
    }
    for (const unsigned char *s = reinterpret_cast<const unsigned char *>(path); *s; ++s) {
        if (os_escape_path_keeps(*s)) {
            *d++ = static_cast<char>(*s);
        } else {
            *d++ = '%';
            *d++ = digits[*s >> 4];
            *d++ = digits[*s & 0x0f];
        }
    }
    *d = '\0';
    return copy;
}
