// Reporting of broken invariants.
#include "invariant.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

void report_to_stderr(const char *cond, const char *file, int line)
{
    std::fprintf(stderr, "Assertion failed: %s (%s:%d)\n", cond, file, line);
}

std::atomic<AssertReporter> reporter{report_to_stderr};

}  // namespace

void kalder_set_assert_reporter(AssertReporter r)
{
    reporter.store(r ? r : report_to_stderr);
}

void kalder_assert_fail(const char *cond, const char *file, int line)
{
    reporter.load()(cond, file, line);
    std::abort();
}
