// APR is initialised once for all core tests (pools need it).
#include <gtest/gtest.h>

#include "apr_general.h"

namespace {

struct AprEnvironment : ::testing::Environment {
    void SetUp() override { apr_initialize(); }
    void TearDown() override { apr_terminate(); }
};

const ::testing::Environment *const apr_environment = ::testing::AddGlobalTestEnvironment(new AprEnvironment);

}  // namespace
