// The login cookie reader over arbitrary Cookie headers and over arbitrary
// documents sealed under the right key: a failure or a state, never a
// crash, and tokens only with a state.
#include <cstdint>
#include <string>

#include "testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kalder::test::TestServer server;
    static const char *key = "cookie fuzz key";
    std::string input(reinterpret_cast<const char *>(data), size);
    input = input.substr(0, input.find('\0'));

    for (int round = 0; round < 2; ++round) {
        kalder::test::TestRequest r(server);
        if (round == 0) {
            r.header("Cookie", input.c_str());
        } else {
            const char *sealed = encrypt_value(r, key, input.c_str());
            if (!sealed)
                __builtin_trap();
            r.header("Cookie", (std::string("a=b; mod_kalder_OIDC=") + sealed).c_str());
        }
        int state = -1;
        const char *auth = nullptr;
        const char *transfer = nullptr;
        int rc = get_oidc_state(r, key, &state, &auth, &transfer);
        if (rc != 0 && rc != 1)
            __builtin_trap();
        if (state < OIDC_STATE_NONE || state > OIDC_STATE_AUTH_COMPLETE)
            __builtin_trap();
        if (state == OIDC_STATE_NONE && (auth || transfer))
            __builtin_trap();
    }
    kalder::test::clear_log();
    return 0;
}
