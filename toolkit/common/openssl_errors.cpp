// OpenSSL's per-thread error queue as one line of text.
#include <openssl/err.h>

#include "kalder_common.h"

std::string kalder_openssl_errors(size_t limit)
{
    std::string out;
    size_t taken = 0;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        if (taken++ >= limit)
            continue;  // drained, not described
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty())
            out += "; ";
        out += buf;
    }
    return out.empty() ? std::string("no detail") : out;
}
