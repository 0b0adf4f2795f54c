// Opening arbitrary text as a sealed value must fail cleanly or yield a
// NUL-terminated string; sealing and reopening any text gives it back.
#include <cstdint>
#include <cstring>
#include <string>

#include "testing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kalder::test::TestServer server;
    kalder::test::TestRequest r(server);
    std::string text(reinterpret_cast<const char *>(data), size);
    // The first byte picks the key so that valid-looking inputs under both
    // keys are reached.
    const char *key = (size > 0 && (data[0] & 1)) ? "fuzz key" : "";
    const char *opened = decrypt_value(r, key, text.c_str());
    if (opened)
        (void)std::strlen(opened);
    oidc_is_local_redirect(opened);

    std::string plain = text.substr(0, text.find('\0'));
    const char *sealed = encrypt_value(r, key, plain.c_str());
    if (!sealed || plain != decrypt_value(r, key, sealed))
        __builtin_trap();
    kalder::test::clear_log();
    return 0;
}
