#include <gtest/gtest.h>
#include <cstdlib>
#include <string>

// The shipped binary starts and exits cleanly.
TEST(Build, UpdaterStarts)
{
  std::string cmd = std::string(JV_BINARY_DIR) + "/updater >/dev/null";
  EXPECT_EQ(0, std::system(cmd.c_str()));
}
