// The library's small utilities: the loop-planning LCM.  (Its device uploads, file reads and dataset
// helpers run under every stream and model test.)
#include <gtest/gtest.h>

#include "utils/utils.h"

using namespace zenlar::qobl;

TEST(Utils, Lcm) {
  // 0 when an argument is 0 or the result does not fit in 32 bits.
  const uint32_t lcm[][3] = {{4, 6, 12}, {6, 4, 12},       {5, 5, 5},         {1, 7, 7},          {12, 18, 36},
                             {0, 3, 0},  {3, 0, 0},        {65536, 65537, 0}, {65536, 32768, 65536}};
  for (const auto& c : lcm) EXPECT_EQ(qoblCalculateLCM(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}
