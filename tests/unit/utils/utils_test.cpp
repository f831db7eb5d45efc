// The library's small utilities: the loop-planning LCM and bounded string copies.  (Its device uploads,
// file reads and dataset helpers run under every stream and model test.)
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "utils/utils.h"

using namespace zenlar::qobl;

TEST(Utils, LcmAndSafeCopy) {
  // 0 when an argument is 0 or the result does not fit in 32 bits.
  const uint32_t lcm[][3] = {{4, 6, 12}, {6, 4, 12},       {5, 5, 5},         {1, 7, 7},          {12, 18, 36},
                             {0, 3, 0},  {3, 0, 0},        {65536, 65537, 0}, {65536, 32768, 65536}};
  for (const auto& c : lcm) EXPECT_EQ(qoblCalculateLCM(c[0], c[1]), c[2]) << c[0] << " " << c[1];

  // Copies at most size - 1 characters and always terminates, never writing past `size`.
  const std::pair<size_t, const char*> copies[] = {{4, "abc"}, {6, "abcde"}, {8, "abcdef"}, {1, ""}};
  for (const auto& c : copies) {
    char dst[9];
    std::memset(dst, '#', sizeof(dst));
    qoblUtilsSafeCopyString("abcdef", 6, dst, c.first);
    EXPECT_STREQ(dst, c.second);
    EXPECT_EQ(dst[c.first], '#') << "wrote past " << c.first;
  }
}
