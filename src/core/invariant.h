// Invariants of our own: a broken one is logged with its condition and the
// process aborts.
#ifndef KALDER_CORE_INVARIANT_H
#define KALDER_CORE_INVARIANT_H

#define KALDER_ASSERT(cond) ((cond) ? (void)0 : kalder_assert_fail(#cond, __FILE__, __LINE__))
[[noreturn]] void kalder_assert_fail(const char *cond, const char *file, int line);

// Where the failure is reported before the abort; by default standard
// error. The httpd shell sends it to the main server's error log.
using AssertReporter = void (*)(const char *cond, const char *file, int line);
void kalder_set_assert_reporter(AssertReporter reporter);

#endif
