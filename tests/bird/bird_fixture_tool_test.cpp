// The fixture tool writes what its command line describes, byte for byte the
// same as the library, and BirdFile reads it back.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>

#include "BirdFile.h"
#include "BirdFixture.h"
#include "BirdTestSupport.h"

namespace bs = birdsim;

namespace {

struct ToolCase {
  const char* name;
  std::string args;
  bs::Image expect;
};

bs::Image image(std::vector<bs::Block> blocks)
{
  bs::Image i;
  i.blocks = std::move(blocks);
  return i;
}

bs::Block withFlags(bs::Block b, uint8_t flags)
{
  b.flags = flags;
  return b;
}

class ToolTest : public ScratchDirTest {
protected:
  int run(const std::string& args, std::string* err = nullptr)
  {
    std::string cmd = std::string(BIRD_FIXTURE_TOOL) + " " + args + " 2>" + path("err.txt");
    int status = std::system(cmd.c_str());
    if (err)
      *err = contents(path("err.txt"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

class ToolWrites : public ToolTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(ToolWrites, SameBytesAsLibrary)
{
  std::string out = path("out.bird");
  ASSERT_EQ(0, run("-o " + out + " " + GetParam().args));
  std::string got = contents(out);
  bs::Bytes want = bs::file(GetParam().expect);
  EXPECT_EQ(std::string(want.begin(), want.end()), got);
}

const uint32_t kKey[4] = {1, 2, 3, 0xDEADBEEF};

INSTANTIATE_TEST_SUITE_P(
    All, ToolWrites,
    ::testing::Values(
        ToolCase{"everyType",
                 "--loader 0x20000000 hex:0102 --firmware 4096 seq:10 --serial-offsets 0x10FC 0x1100 "
                 "--descriptor 4242 2.11.5 0000ABCD MTM-IO --start-address 0x20002000 --block 3 text:xy",
                 image({bs::loader(0x20000000, {1, 2}), bs::firmware(4096, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
                        bs::serialOffsets(0x10FC, 0x1100), bs::descriptor("4242", "2.11.5", "0000ABCD", "MTM-IO"),
                        bs::startAddress(0x20002000), bs::raw(3, {'x', 'y'})})},
        ToolCase{"flagsAndLength", "--flags 5 --length 99 --firmware 0 zero:4",
                 [] {
                   bs::Image i = image({withFlags(bs::firmware(0, bs::Bytes(4, 0)), 5)});
                   i.blocks[0].declaredLength = 99;
                   return i;
                 }()},
        ToolCase{"headerAndBody",
                 "--signature BIRD --version 1 0 --declared-count 3 --checksum 0x12345678 --trailing hex:EE "
                 "--compression raw --firmware 0 zero:2",
                 [] {
                   bs::Image i = image({bs::firmware(0, bs::Bytes(2, 0))});
                   i.signature = "BIRD";
                   i.version[1] = 0;
                   i.declaredCount = 3;
                   i.checksum = 0x12345678;
                   i.trailing = {0xEE};
                   i.compression = bs::Compression::RawDeflate;
                   return i;
                 }()},
        ToolCase{"noChecksumScrambled", "--no-checksum --scramble 1 2 3 0xDEADBEEF --firmware 0 seq:40",
                 [] {
                   bs::Bytes s(40);
                   for (size_t k = 0; k < s.size(); ++k)
                     s[k] = uint8_t(k);
                   bs::Image i = bs::scrambled(image({bs::firmware(0, s)}), kKey);
                   i.omitChecksum = true;
                   return i;
                 }()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, OutputLoadsAndPatchesInTheReader)
{
  std::string out = path("fw.bird");
  ASSERT_EQ(0, run("-o " + out +
                   " --descriptor 17 1.2.3 0000ABCD MTM-IO --firmware 0x1000 zero:256 --serial-offsets 0x1010 0x1020"));
  ASSERT_TRUE(BirdFile::VerifyFile(out));
  BirdFile f(out);
  EXPECT_EQ(3u, f.BlockCount());
  EXPECT_EQ(17u, f.GetBuild());
  EXPECT_TRUE(f.ValidateModel("MTM-IO"));
  EXPECT_TRUE(f.ReplaceSerialNumber(0x0000ABCD));
}

struct RefusedCase {
  const char* name;
  std::string args;
  std::string message;
};

class ToolRefuses : public ToolTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ToolRefuses, ExitsOneNamingTheCause)
{
  std::string err;
  EXPECT_EQ(1, run(GetParam().args, &err));
  EXPECT_NE(std::string::npos, err.find(GetParam().message)) << err;
}

INSTANTIATE_TEST_SUITE_P(
    All, ToolRefuses,
    ::testing::Values(RefusedCase{"noOutput", "--firmware 0 zero:1", "no output file (-o)"},
                      RefusedCase{"badNumber", "-o /dev/null --firmware 12x zero:1", "not a 32-bit number: '12x'"},
                      RefusedCase{"badData", "-o /dev/null --firmware 0 hex:123", "odd number of hex digits"},
                      RefusedCase{"unknownOption", "-o /dev/null --frimware 0 zero:1", "unknown option '--frimware'"},
                      RefusedCase{"missingValue", "-o /dev/null --loader 0", "missing value after"},
                      RefusedCase{"typeTooLarge", "-o /dev/null --block 32 zero:1", "block type above 31"},
                      RefusedCase{"danglingFlags", "-o /dev/null --firmware 0 zero:1 --flags 1",
                                  "after the last block"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
