// The login cookie reader: over arbitrary Cookie headers and arbitrary
// documents sealed under the right key, a failure or a state, never a
// crash, and tokens only with a state; a cookie the module wrote reads
// back as written, and with any change to it, or sealed as a login state
// instead, as no cookie at all.
//
// Input: a byte choosing the written state, the text (document or token)
// up to a NUL, then edits of the written cookie (sealed_edits.h).
#include <cstdint>
#include <cstring>
#include <string>

#include "sealed_edits.h"
#include "testing.h"

namespace {

struct Read {
    int rc = -1;
    int state = -1;
    const char *auth = nullptr;
    const char *transfer = nullptr;
    const char *login = nullptr;
};

Read read_cookie(kalder::test::TestServer &server, const char *key, const std::string &header)
{
    kalder::test::TestRequest r(server);
    r.header("Cookie", header.c_str());
    Read out;
    out.rc = get_oidc_state(r, key, &out.state, &out.auth, &out.transfer, &out.login);
    if (out.rc != 0 && out.rc != 1)
        __builtin_trap();
    if (out.state < OIDC_STATE_NONE || out.state > OIDC_STATE_AUTH_COMPLETE)
        __builtin_trap();
    if (out.state == OIDC_STATE_NONE && (out.auth || out.transfer || out.login))
        __builtin_trap();
    // Pointers into the request's pool are not kept past it.
    out.auth = out.auth ? "" : nullptr;
    out.transfer = out.transfer ? "" : nullptr;
    out.login = out.login ? "" : nullptr;
    return out;
}

bool reads_as_no_cookie(const Read &read)
{
    return read.rc == 0 && read.state == OIDC_STATE_NONE && !read.auth && !read.transfer && !read.login;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kalder::test::TestServer server;
    if (size == 0)
        return 0;
    // A secret of this run alone: the fuzzer learns sealed values from
    // comparisons and would otherwise replay a whole earlier cookie.
    static unsigned run = 0;
    std::string secret = "cookie fuzz key " + std::to_string(++run);
    const char *key = secret.c_str();
    std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    size_t nul = rest.find('\0');
    std::string text = rest.substr(0, nul);
    std::string edits = nul == std::string::npos ? "" : rest.substr(nul + 1);

    read_cookie(server, key, text);

    kalder::test::TestRequest w(server);
    const char *document = encrypt_value(w, key, SEAL_COOKIE, text.c_str());
    if (!document)
        __builtin_trap();
    read_cookie(server, key, std::string("a=b; mod_kalder_OIDC=") + document);

    // A login state never reads as a cookie.
    const char *state_value = encrypt_value(w, key, SEAL_STATE, text.c_str());
    if (!state_value ||
        !reads_as_no_cookie(read_cookie(server, key, std::string("mod_kalder_OIDC=") + state_value)))
        __builtin_trap();

    // A cookie as the module writes it, with the text as its tokens and
    // login value (the writer refuses text that is not UTF-8).
    int written = OIDC_STATE_AUTH_REDIRECT + data[0] % 3;
    if (set_oidc_state(w, key, written, text.c_str(), text.c_str(), text.c_str()) == 0) {
        const char *header = apr_table_get(w->headers_out, "Set-Cookie");
        std::string value(header, std::strchr(header, ';'));
        Read intact = read_cookie(server, key, value);
        if (intact.rc != 0 || intact.state != written || !intact.auth || !intact.transfer || !intact.login)
            __builtin_trap();
        std::string sealed = value.substr(std::strlen("mod_kalder_OIDC="));
        std::string edited = kalder::fuzz::apply_edits(sealed, edits);
        Read changed = read_cookie(server, key, "mod_kalder_OIDC=" + edited);
        // Blanks and separators change what the header says, not the
        // value ("<value>; x" is the value itself).
        bool one_value = edited.find_first_of(" \t\r\n;,\"") == std::string::npos;
        if (edited != sealed && one_value && !reads_as_no_cookie(changed))
            __builtin_trap();
    }
    kalder::test::clear_log();
    return 0;
}
