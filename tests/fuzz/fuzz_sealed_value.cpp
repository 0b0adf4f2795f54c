// Sealed values: arbitrary text never opens (and opening it never
// crashes); any text sealed comes back, for its own purpose and secret
// only; and no change to a sealed value lets it open.
//
// Input: a control byte (the purpose), the text to seal, a NUL, then
// edits of the sealed value (sealed_edits.h).
#include <cstdint>
#include <cstring>
#include <string>

#include "apr_general.h"
#include "sealed.h"
#include "sealed_edits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool apr_ready = apr_initialize() == APR_SUCCESS;
    if (size == 0 || !apr_ready)
        return 0;
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    const LogSink log = log_discard();
    // Secrets of this run alone: the fuzzer learns sealed values from the
    // comparisons below and would otherwise replay them whole.
    static unsigned run = 0;
    ++run;
    std::string key = "fuzz key " + std::to_string(run);
    std::string other_key = "other key " + std::to_string(run);
    SealPurpose purpose = (data[0] & 1) ? SEAL_STATE : SEAL_COOKIE;
    SealPurpose other_purpose = purpose == SEAL_STATE ? SEAL_COOKIE : SEAL_STATE;
    std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    size_t nul = rest.find('\0');
    std::string plain = rest.substr(0, nul);
    std::string edits = nul == std::string::npos ? "" : rest.substr(nul + 1);

    // Forging a tag is out of reach: arbitrary text never opens.
    if (open_sealed_value(pool, log, key.c_str(), purpose, plain.c_str()))
        __builtin_trap();

    const char *sealed = seal_value(pool, log, key.c_str(), purpose, plain.c_str());
    if (!sealed)
        __builtin_trap();
    const char *opened = open_sealed_value(pool, log, key.c_str(), purpose, sealed);
    if (!opened || plain != opened)
        __builtin_trap();
    if (open_sealed_value(pool, log, key.c_str(), other_purpose, sealed) ||
        open_sealed_value(pool, log, other_key.c_str(), purpose, sealed))
        __builtin_trap();

    std::string edited = kalder::fuzz::apply_edits(sealed, edits);
    if (edited != sealed && open_sealed_value(pool, log, key.c_str(), purpose, edited.c_str()))
        __builtin_trap();
    apr_pool_destroy(pool);
    return 0;
}
