// Stand-in for the server's wildcard host matcher used by the TLS peek: the
// same semantics as the server's own ('*' any run, '?' one character,
// case-insensitive; 0 on a match, 1 otherwise).
#include <cctype>

#include "httpd.h"

namespace {

int match(const char *str, const char *expected)
{
    int x = 0, y = 0;
    for (; expected[y]; ++y, ++x) {
        if (!str[x] && expected[y] != '*')
            return -1;
        if (expected[y] == '*') {
            while (expected[++y] == '*') {
            }
            if (!expected[y])
                return 0;
            while (str[x]) {
                const int ret = match(&str[x++], &expected[y]);
                if (ret != 1)
                    return ret;
            }
            return -1;
        }
        if (expected[y] != '?' &&
            std::tolower(static_cast<unsigned char>(str[x])) != std::tolower(static_cast<unsigned char>(expected[y])))
            return 1;
    }
    return str[x] != '\0';
}

}  // namespace

int ap_strcasecmp_match(const char *str, const char *expected)
{
    return match(str, expected);
}
