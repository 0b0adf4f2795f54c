// Typed access to members of the services' JSON answers.
#define KALDER_SOURCE "utils"
#include "json_access.h"

#include "apr_strings.h"

json_t *json_from_text(const char *text)
{
    json_error_t error;
    return json_loads(text, 0, &error);
}

json_t *json_get_field(const json_t *object, const char *name, const LogSink &log)
{
    json_t *value = json_object_get(object, name);
    if (!value)
        KLOG(log, KLOG_DEBUG, 0, "Missing JSON field '%s'", name);
    return value;
}

int json_get_string(apr_pool_t *pool, const json_t *object, const char *name, const char **out,
                    const LogSink &log)
{
    json_t *value = json_object_get(object, name);
    if (!value) {
        KLOG(log, KLOG_DEBUG, 0, "Missing JSON string field '%s'", name);
        return 1;
    }
    if (!json_is_string(value)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected field '%s' to be a JSON string", name);
        return 1;
    }
    // The length is Jansson's, so a string is copied whole even if it holds a NUL.
    const char *copy = apr_pstrmemdup(pool, json_string_value(value), json_string_length(value));
    *out = copy;
    if (!copy) {
        KLOG(log, KLOG_ERR, 0, "Failed to allocate JSON string field '%s'", name);
        return 1;
    }
    return 0;
}

int json_get_integer(const json_t *object, const char *name, int64_t *out, bool allow_null,
                     const LogSink &log)
{
    json_t *value = json_object_get(object, name);
    if (!value) {
        KLOG(log, KLOG_DEBUG, 0, "Missing JSON integer field '%s'", name);
        return 1;
    }
    if (allow_null && json_is_null(value)) {
        *out = 0;
        return 0;
    }
    if (!json_is_integer(value)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected field '%s' to be a JSON integer", name);
        return 1;
    }
    *out = json_integer_value(value);
    return 0;
}

int json_get_boolean(const json_t *object, const char *name, bool *out, const LogSink &log)
{
    json_t *value = json_object_get(object, name);
    if (!value) {
        KLOG(log, KLOG_DEBUG, 0, "Missing JSON boolean field '%s'", name);
        return 1;
    }
    if (!json_is_boolean(value)) {
        KLOG(log, KLOG_DEBUG, 0, "Expected field '%s' to be a JSON boolean", name);
        return 1;
    }
    *out = json_is_true(value);
    return 0;
}
