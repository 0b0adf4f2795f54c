// The login cookie's text: over arbitrary cookie values and arbitrary
// documents sealed under the right key, a failure or a state, never a
// crash, and tokens only with a state; a cookie as the module writes it
// reads back as written, and with any change to it, or sealed as a login
// state instead, as no cookie at all.
//
// Input: a byte choosing the written state, the text (document or token)
// up to a NUL, then edits of the written cookie (sealed_edits.h).
#include <cstdint>
#include <cstring>
#include <string>

#include "apr_general.h"
#include "login_state.h"
#include "request_state.h"
#include "sealed.h"
#include "sealed_edits.h"

namespace {

struct Read {
    int rc = -1;
    int state = -1;
    bool auth = false;
    bool transfer = false;
    bool login = false;
};

Read read_cookie(apr_pool_t *pool, const char *key, const char *sealed)
{
    const char *auth = nullptr;
    const char *transfer = nullptr;
    const char *login = nullptr;
    Read out;
    out.rc = oidc_cookie_open(pool, log_discard(), key, "fuzz.example.org", sealed, &out.state, &auth,
                              &transfer, &login);
    if (out.rc != 0 && out.rc != 1)
        __builtin_trap();
    if (out.state < OIDC_STATE_NONE || out.state > OIDC_STATE_AUTH_COMPLETE)
        __builtin_trap();
    if (out.state == OIDC_STATE_NONE && (auth || transfer || login))
        __builtin_trap();
    out.auth = auth != nullptr;
    out.transfer = transfer != nullptr;
    out.login = login != nullptr;
    return out;
}

bool reads_as_no_cookie(const Read &read)
{
    return read.rc == 0 && read.state == OIDC_STATE_NONE && !read.auth && !read.transfer && !read.login;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool apr_ready = apr_initialize() == APR_SUCCESS;
    if (size == 0 || !apr_ready)
        return 0;
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    // A secret of this run alone: the fuzzer learns sealed values from
    // comparisons and would otherwise replay a whole earlier cookie.
    static unsigned run = 0;
    std::string secret = "cookie fuzz key " + std::to_string(++run);
    const char *key = secret.c_str();
    std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    size_t nul = rest.find('\0');
    std::string text = rest.substr(0, nul);
    std::string edits = nul == std::string::npos ? "" : rest.substr(nul + 1);

    read_cookie(pool, key, text.c_str());

    const char *document = seal_value(pool, log_discard(), key, SEAL_COOKIE, text.c_str());
    if (!document)
        __builtin_trap();
    read_cookie(pool, key, document);

    // A login state never reads as a cookie.
    const char *state_value = seal_value(pool, log_discard(), key, SEAL_STATE, text.c_str());
    if (!state_value || !reads_as_no_cookie(read_cookie(pool, key, state_value)))
        __builtin_trap();

    // A cookie as the module writes it, with the text as its tokens and
    // login value (the writer refuses text that is not UTF-8).
    int written = OIDC_STATE_AUTH_REDIRECT + data[0] % 3;
    const char *sealed = oidc_cookie_seal(pool, log_discard(), key, "fuzz.example.org", written, text.c_str(),
                                          text.c_str(), text.c_str());
    if (sealed) {
        Read intact = read_cookie(pool, key, sealed);
        if (intact.rc != 0 || intact.state != written || !intact.auth || !intact.transfer || !intact.login)
            __builtin_trap();
        std::string edited = kalder::fuzz::apply_edits(sealed, edits);
        if (edited != sealed && !reads_as_no_cookie(read_cookie(pool, key, edited.c_str())))
            __builtin_trap();
    }
    apr_pool_destroy(pool);
    return 0;
}
