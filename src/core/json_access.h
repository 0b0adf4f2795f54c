// Reading the services' JSON answers: parsing and typed member access. The
// rest of the module gets Jansson through this header only.
#ifndef KALDER_CORE_JSON_ACCESS_H
#define KALDER_CORE_JSON_ACCESS_H

#include <cstdint>

#include <jansson.h>

#include "apr_pools.h"
#include "log_sink.h"
#include "raii.h"

namespace kalder {
// Owner of a JSON value: drops the reference on every exit.
using JsonPtr = std::unique_ptr<json_t, Deleter<json_decref>>;
}  // namespace kalder

// Parses NUL-terminated JSON text: a new reference (for kalder::JsonPtr),
// or null when it isn't JSON. A raw pointer because the owning handle's
// type, over Jansson's inline release function, is local to each file.
json_t *json_from_text(const char *text);

// The member, or null (logged at debug) when the object has none.
json_t *json_get_field(const json_t *object, const char *name, const LogSink &log);

// Each returns 0 and writes *out, or returns 1, leaves *out as it was and
// logs at debug why the member is missing or of another type. A null
// object, or one that is no object, has no members.
//
// The string is copied into the pool whole, also when it holds a NUL.
int json_get_string(apr_pool_t *pool, const json_t *object, const char *name, const char **out,
                    const LogSink &log);
// With allow_null a JSON null reads as 0.
int json_get_integer(const json_t *object, const char *name, int64_t *out, bool allow_null,
                     const LogSink &log);
int json_get_boolean(const json_t *object, const char *name, bool *out, const LogSink &log);

#endif
