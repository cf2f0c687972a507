// Platform information gathered from the running kernel.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include "RKPlatformInfo.h"

TEST(PlatformInfo, HoldsTheKernelsUnameData) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  const RKPlatformInfo info;
  EXPECT_EQ(info.systemName(), "Linux");
  EXPECT_EQ(info.release(), names.release);
  EXPECT_EQ(info.machine(), names.machine);
  EXPECT_FALSE(info.release().empty());
}
