// The threshold is taken from QOBM_LOG_LEVEL once, on first use, and qobmSetLogLevel overrides it.
// This process sets the variable before its first logging call.
#include <gtest/gtest.h>

#include <cstdlib>

#include "qobm/qobm.h"

namespace {

TEST(QobmLogEnv, ThresholdComesFromEnvironmentOnceAndCanBeOverridden) {
  ASSERT_EQ(setenv("QOBM_LOG_LEVEL", "error", 1), 0);
  qobmBool flag = qobmTRUE;
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_WARN, &flag), 0);
  EXPECT_EQ(flag, qobmFALSE);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_ERROR, &flag), 0);
  EXPECT_EQ(flag, qobmTRUE);

  // Changing the variable later has no effect.
  ASSERT_EQ(setenv("QOBM_LOG_LEVEL", "trace", 1), 0);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_WARN, &flag), 0);
  EXPECT_EQ(flag, qobmFALSE);

  ASSERT_EQ(qobmSetLogLevel(qobmLL_DEBUG), 0);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_DEBUG, &flag), 0);
  EXPECT_EQ(flag, qobmTRUE);
  ASSERT_EQ(qobmLogLevelEnabled(qobmLC_CL, qobmLL_TRACE, &flag), 0);
  EXPECT_EQ(flag, qobmFALSE);
}

}  // namespace
