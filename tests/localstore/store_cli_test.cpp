// The updater lists what a store under a -i directory holds, and listing
// leaves the store as it was.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "BirdFixture.h"
#include "BirdTestSupport.h"

namespace bs = birdsim;

namespace {

class StoreCli : public ScratchDirTest {
protected:
  int run(const std::string& args, std::string& out)
  {
    std::string cmd = std::string(JV_BINARY_DIR) + "/updater " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
      return -1;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
      out.append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(StoreCli, ListsLocalBuildsWithTheirVersionsAndWritesNothing)
{
  bs::Image image;
  image.blocks = {bs::descriptor(4242, "2.11.5", 0xABCD, "MTM-IO"), bs::firmware(0, bs::Bytes(16, 0))};
  write("updater/0000ABCD/4242.bird", bs::file(image));
  image.blocks[0] = bs::descriptor(4300, "2.12.0", 0xABCD, "MTM-IO");
  write("updater/0000ABCD/4300.bird", bs::file(image));
  write("updater/0000ABCD/.settings", "LATEST_DOWNLOAD=4300.bird\n");
  write("updater/0000ABC/99.bird", bs::file(image));
  auto before = snapshot();

  std::string out;
  EXPECT_EQ(0, run("-L -d 0000ABCD -i " + root_, out));
  EXPECT_NE(std::string::npos, out.find("4242")) << out;
  EXPECT_NE(std::string::npos, out.find("2.11.5")) << out;
  EXPECT_NE(std::string::npos, out.find("4300")) << out;
  EXPECT_NE(std::string::npos, out.find("2.12.0")) << out;
  EXPECT_EQ(std::string::npos, out.find(".settings")) << out;
  EXPECT_EQ(std::string::npos, out.find("99")) << "another module's builds are not listed\n" << out;
  EXPECT_EQ(before, snapshot());
}

}  // namespace
