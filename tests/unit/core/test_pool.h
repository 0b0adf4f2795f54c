// A fresh APR pool per test (APR initialised once for the process).
#ifndef KALDER_TEST_CORE_TEST_POOL_H
#define KALDER_TEST_CORE_TEST_POOL_H

#include "apr_general.h"
#include "apr_pools.h"

struct TestPool {
    apr_pool_t *p = nullptr;
    TestPool()
    {
        static const bool ready = apr_initialize() == APR_SUCCESS;
        (void)ready;
        apr_pool_create(&p, nullptr);
    }
    ~TestPool() { apr_pool_destroy(p); }
    TestPool(const TestPool &) = delete;
    TestPool &operator=(const TestPool &) = delete;
    operator apr_pool_t *() const { return p; }
};

#endif
