// kalder_common: activation, threads and synchronisation, result codes and
// range lists shared by the other toolkit libraries.
//
// Threading: every call here may be made from any thread. Nothing in this
// library calls back into its caller.
#ifndef KALDER_COMMON_H
#define KALDER_COMMON_H

#include <pthread.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------
// Result codes and error objects
// ---------------------------------------------------------------------------

// 0 is success; any other value designates an error object that
// kalder_error_peek() returns and kalder_error_print_friendly() describes.
// Codes fit in 31 bits, so a caller may keep one in a 32-bit field.
// Error objects are kept in a bounded table: the newest 65536 stay
// describable; an older code still reads as an error, with a generic text.
using kalder_result_t = uintptr_t;
inline constexpr kalder_result_t KALDER_SUCCESS = 0;

using kalder_bool_t = int;
inline constexpr kalder_bool_t KALDER_TRUE = 1;
inline constexpr kalder_bool_t KALDER_FALSE = 0;

// Signed 64-bit byte offsets and lengths.
using kalder_off_t = int64_t;
using kalder_size_t = uint64_t;

// Kinds of error objects. Callers mostly only need the text; the XIO
// library tests for end of file with kalder_xio_error_is_eof().
enum kalder_error_type_t {
    KALDER_ERROR_GENERIC = 1,
    KALDER_ERROR_EOF = 2,        // a read found the end of the data
    KALDER_ERROR_TIMEOUT = 3,    // a wait ran out of time
    KALDER_ERROR_CANCELED = 4,   // the object was closed under the call
    KALDER_ERROR_PARAMETER = 5,  // a bad argument (programming or input error)
    KALDER_ERROR_MEMORY = 6,     // an allocation failed
    KALDER_ERROR_SYSTEM = 7,     // a system call failed (errno in the text)
    KALDER_ERROR_AUTH = 8,       // authentication or authorization failed
    KALDER_ERROR_PROTOCOL = 9,   // a peer sent something malformed
    KALDER_ERROR_REMOTE = 10,    // the back end reported a failure
};

// Opaque view of an error object, as returned by kalder_error_peek().
struct kalder_object_s;
using kalder_object_t = kalder_object_s;

// Create an error object with a printf-style text and return its code
// (never KALDER_SUCCESS). `module` names the library or program that
// detected the problem; it prefixes the friendly text.
kalder_result_t kalder_error_put(const char *module, int type, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The same with the arguments as a va_list, for the libraries' own
// printf-style error helpers.
kalder_result_t kalder_error_vput(const char *module, int type, const char *fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

// The error object a result code designates, without releasing it. Returns
// null for KALDER_SUCCESS. The pointer stays usable for as long as the code
// is (it only names the entry; the texts are copied out on use).
kalder_object_t *kalder_error_peek(kalder_result_t result);

// A newly allocated, NUL-terminated, human-readable description of the
// error ("<module>: <text>\n"). The caller frees it with free(). Null only
// for a null object. An object that has aged out of the table gives a
// generic "Unknown error" text.
char *kalder_error_print_friendly(kalder_object_t *error);

// The kind (kalder_error_type_t) of the error a code designates;
// 0 for success, KALDER_ERROR_GENERIC for an aged-out code.
int kalder_error_type(kalder_result_t result);

// The bare text of the error (without the module prefix), newly allocated,
// freed by the caller with free(); null for success.
char *kalder_error_text(kalder_result_t result);

// `prefix` followed by the bare text of the error ("?" when there is none,
// as for success): the "<what> failed: <text>" of a log line or a reply.
std::string kalder_error_describe(std::string_view prefix, kalder_result_t result);

// Drains OpenSSL's error queue of this thread and describes the first
// `limit` errors in it, oldest first, joined by "; " (each as
// ERR_error_string_n writes it); "no detail" when the queue was empty.
std::string kalder_openssl_errors(size_t limit = SIZE_MAX);

// ---------------------------------------------------------------------------
// Activation
// ---------------------------------------------------------------------------

struct kalder_module_descriptor_t {
    const char *name;
    int (*activate)();
    int (*deactivate)();
    int active_count;
};

extern kalder_module_descriptor_t kalder_i_common_module_desc;
#define kalder_i_common_module (&kalder_i_common_module_desc)

// Select the thread model; only "pthread" is supported (returns 0; any
// other model returns 1). Must be called before any other toolkit call.
int kalder_thread_set_model(const char *model);

// Activation is counted: the first activate runs the module's set-up, the
// last matching deactivate its tear-down. 0 on success.
int kalder_module_activate(kalder_module_descriptor_t *module);
int kalder_module_deactivate(kalder_module_descriptor_t *module);

// ---------------------------------------------------------------------------
// Mutexes and condition variables (POSIX semantics)
// ---------------------------------------------------------------------------

struct kalder_mutex_t {
    pthread_mutex_t m;
};
struct kalder_cond_t {
    pthread_cond_t c;
};
// Attributes are accepted for interface compatibility; pass null.
using kalder_mutexattr_t = void;
using kalder_condattr_t = void;

// Each returns 0 on success or an errno value. A mutex or condition made by
// the init calls holds no resources beyond its storage, so one that lives
// in memory released wholesale (a pool) needs no destroy call.
int kalder_mutex_init(kalder_mutex_t *mutex, kalder_mutexattr_t *attr);
int kalder_mutex_destroy(kalder_mutex_t *mutex);
int kalder_mutex_lock(kalder_mutex_t *mutex);
int kalder_mutex_unlock(kalder_mutex_t *mutex);
int kalder_cond_init(kalder_cond_t *cond, kalder_condattr_t *attr);
int kalder_cond_destroy(kalder_cond_t *cond);
// Atomically releases `mutex` and waits; holds it again on return. Like any
// condition wait it may wake spuriously: callers re-test their predicate.
int kalder_cond_wait(kalder_cond_t *cond, kalder_mutex_t *mutex);
// As kalder_cond_wait, but gives up after `timeout_ms` milliseconds and then
// returns ETIMEDOUT.
int kalder_cond_timedwait(kalder_cond_t *cond, kalder_mutex_t *mutex, long timeout_ms);
int kalder_cond_signal(kalder_cond_t *cond);
int kalder_cond_broadcast(kalder_cond_t *cond);

// ---------------------------------------------------------------------------
// Range lists
// ---------------------------------------------------------------------------

// An ordered set of byte ranges (offset, length). A length of -1 means "up
// to the end of the file". Entries are kept in increasing offset order and
// never overlap or touch: inserting a range that overlaps or touches
// existing ones merges them into one entry. So size() is the number of
// disjoint ranges and at(i) walks them by offset.
struct kalder_range_list_s;
using kalder_range_list_t = kalder_range_list_s *;

// Make an empty list. Returns KALDER_SUCCESS or an error (memory).
kalder_result_t kalder_range_list_init(kalder_range_list_t *list);
// Insert (offset, length): offset >= 0, and length > 0 or -1; a length of
// 0 is accepted and inserts nothing. offset + length beyond the signed
// 64-bit range is refused with a parameter error, as is any other bad
// argument; the list is then unchanged.
kalder_result_t kalder_range_list_insert(kalder_range_list_t list, kalder_off_t offset, kalder_off_t length);
// Number of entries; 0 for a null list.
int kalder_range_list_size(kalder_range_list_t list);
// Entry `index` (0 <= index < size) into *offset and *length; a parameter
// error for an index out of bounds (outputs unchanged).
kalder_result_t kalder_range_list_at(kalder_range_list_t list, int index, kalder_off_t *offset,
                                     kalder_off_t *length);
// Remove all entries.
void kalder_range_list_clear(kalder_range_list_t list);
// Release the list; null is accepted.
void kalder_range_list_destroy(kalder_range_list_t list);

#endif
