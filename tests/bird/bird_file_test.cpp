// BirdFile against files made by the independent fixture writer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>

#include "BirdFile.h"
#include "BirdFixture.h"
#include "BirdTestSupport.h"

namespace bs = birdsim;
using bs::Bytes;

namespace {

Bytes seq(size_t n, uint8_t start = 0)
{
  Bytes b(n);
  for (size_t i = 0; i < n; ++i)
    b[i] = uint8_t(start + i * 7);
  return b;
}

Bytes blockBytes(const BirdBlock& b)
{
  return Bytes(b.data, b.data + b.length);
}

Bytes payloadOf(const BirdBlock& b)
{
  return Bytes(b.data + 4, b.data + b.length);
}

uint32_t le32(const uint8_t* p)
{
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

class BirdFileTest : public ScratchDirTest {
protected:
  std::string save(const bs::Image& image, const std::string& name = "f.bird")
  {
    return write(name, bs::file(image));
  }
  BirdFile load(const bs::Image& image)
  {
    return BirdFile(save(image));
  }
};

// ---------------------------------------------------------------------------
// Blocks of every type come back as written.

struct BlockCase {
  const char* name;
  bs::Block block;
  uint32_t address;
};

class BlockTypes : public BirdFileTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(BlockTypes, LoadsBlockAsWritten)
{
  const BlockCase& c = GetParam();
  bs::Image image;
  image.blocks = {c.block};
  BirdFile f = load(image);
  ASSERT_EQ(1u, f.BlockCount());
  const BirdBlock& b = f.Blocks()[0];
  EXPECT_EQ(c.block.type, b.type);
  EXPECT_EQ(c.block.flags, b.flags);
  EXPECT_EQ(c.block.data.size(), b.length);
  EXPECT_EQ(c.address, b.address);
  EXPECT_EQ(c.block.data, blockBytes(b));
  Bytes body = bs::body(image);
  EXPECT_EQ(bs::defaultChecksum(Bytes(body.begin(), body.end() - 4)), f.FileChecksum());
  EXPECT_EQ(1u, f.FindBlocks(c.block.type).size());
  EXPECT_EQ(BirdFile::BIRD_FILE_SIGNATURE, f.Signature());
  EXPECT_EQ(0x0101u, f.Version());
}

INSTANTIATE_TEST_SUITE_P(
    All, BlockTypes,
    ::testing::Values(BlockCase{"loader", bs::loader(0x20000000, seq(100), 3), 0x20000000},
                      BlockCase{"firmware", bs::firmware(0x00001000, seq(300), 7), 0x1000},
                      BlockCase{"firmwareEmptyPayload", bs::firmware(0xFFFFFFFF, {}), 0xFFFFFFFF},
                      BlockCase{"serialOffsets", bs::serialOffsets(0x10FC, 0x2000), 0},
                      BlockCase{"descriptor", bs::descriptor(4242, "2.11.5", 0xABCD, "MTM-IO"), 0},
                      BlockCase{"startAddress", bs::startAddress(0x20002000), 0},
                      BlockCase{"unusedType3", bs::raw(3, seq(5)), 0},
                      BlockCase{"type31Flags7", bs::raw(31, seq(2), 7), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, KeepsFileOrderAndAnswersFromFirstBlockOfAType)
{
  bs::Image image;
  image.blocks = {bs::firmware(0x2000, seq(16, 1)),
                  bs::descriptor(11, "1.0.0", 0x11, "FIRST"),
                  bs::raw(3, seq(3)),
                  bs::loader(0x100, seq(8)),
                  bs::firmware(0x1000, seq(16, 2)),
                  bs::descriptor(22, "2.0.0", 0x22, "SECOND"),
                  bs::raw(3, seq(4))};
  BirdFile f = load(image);
  ASSERT_EQ(7u, f.BlockCount());
  auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(2u, fw.size());
  EXPECT_EQ(0x2000u, fw[0].address);
  EXPECT_EQ(0x1000u, fw[1].address);
  EXPECT_EQ(2u, f.FindBlocks(3).size());
  EXPECT_EQ(11u, f.GetBuild());
  EXPECT_EQ("1.0.0", f.GetVersion());
  EXPECT_TRUE(f.ValidateSerialNumber(0x11));
  EXPECT_TRUE(f.ValidateModel("FIRST"));
  EXPECT_FALSE(f.ValidateModel("SECOND"));
}

// ---------------------------------------------------------------------------
// Header: VerifyFile checks it, Load does not.

struct HeaderCase {
  const char* name;
  std::string signature;
  uint8_t v0, v1;
  bool verifies;
};

class Headers : public BirdFileTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(Headers, VerifyChecksHeaderLoadDoesNot)
{
  const HeaderCase& c = GetParam();
  bs::Image image;
  image.blocks = {bs::firmware(0, seq(8))};
  image.signature = c.signature;
  image.version[0] = c.v0;
  image.version[1] = c.v1;
  std::string p = save(image);
  EXPECT_EQ(c.verifies, BirdFile::VerifyFile(p));
  BirdFile f(p);
  EXPECT_EQ(1u, f.BlockCount());
}

INSTANTIATE_TEST_SUITE_P(All, Headers,
                         ::testing::Values(HeaderCase{"current", "bird", 1, 1, true},
                                           HeaderCase{"laterVersion", "bird", 2, 9, true},
                                           HeaderCase{"version1_0", "bird", 1, 0, false},
                                           HeaderCase{"version0_1", "bird", 0, 1, false},
                                           HeaderCase{"upperCase", "BIRD", 1, 1, false},
                                           HeaderCase{"otherMagic", "bir\x01", 1, 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ShortFileCase {
  const char* name;
  std::string bytes;
  bool verifies;
  const char* reason;
};

class ShortFiles : public BirdFileTest, public ::testing::WithParamInterface<ShortFileCase> {};

TEST_P(ShortFiles, FilesOfSixBytesOrFewerDoNotLoad)
{
  std::string p = write("short.bird", GetParam().bytes);
  EXPECT_EQ(GetParam().verifies, BirdFile::VerifyFile(p));
  EXPECT_THROW(
      {
        try {
          BirdFile g(p);
        } catch (const std::runtime_error& e) {
          EXPECT_EQ("Failed to load bird data: " + p + ": " + GetParam().reason, e.what());
          throw;
        }
      },
      std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(All, ShortFiles,
                         ::testing::Values(ShortFileCase{"empty", "", false, "is empty"},
                                           ShortFileCase{"fiveBytes", std::string("bird\x01", 5), false,
                                                         "holds only 5 bytes, no body after its 6-byte header"},
                                           ShortFileCase{"headerOnly", std::string("bird\x01\x01", 6), true,
                                                         "holds only 6 bytes, no body after its 6-byte header"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, MissingFileFailsVerifyAndLoadWithItsReason)
{
  LogCapture log(DEBUG_BirdFile);
  EXPECT_FALSE(BirdFile::VerifyFile(path("none.bird")));
  EXPECT_THROW(BirdFile f(path("none.bird")), std::runtime_error);
  EXPECT_TRUE(log.has("BIRDFILE: BIRD file not found [" + path("none.bird") + "]"));
}

// What is not a regular file is refused at once, and every refusal carries
// its cause for the user: a FIFO would otherwise hold the open until some
// writer came, and /dev/zero would read as a file of nothing.
TEST_F(BirdFileTest, OnlyRegularFilesLoadAndRefusalsSayWhy)
{
  const std::string fifo = path("fifo.bird");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(64))};
  Bytes whole = bs::file(image);
  const std::string cut = write("cut.bird", Bytes(whole.begin(), whole.begin() + whole.size() / 2));
  image.compression = bs::Compression::Corrupt;
  const std::string corrupt = save(image, "corrupt.bird");
  const std::string notBird = write("text.bird", std::string("hello, this is no firmware"));
  // 64 KiB of zeros squeeze far below an eighth of their size.
  bs::Image zeros;
  const std::string squeezed = write("zeros.bird", bs::fileFromBody(zeros, Bytes(65536, 0)));
  struct {
    std::string path;
    std::string reason;
    std::string headerProblem;
  } cases[] = {
      {path("."), "Is a directory", "Is a directory"},
      {fifo, "not a regular file", "not a regular file"},
      {"/dev/zero", "not a regular file", "not a regular file"},
      {path("none.bird"), "No such file or directory", "No such file or directory"},
      {write("empty.bird", std::string()), "is empty", "is empty"},
      {cut, "its compressed body is cut short or corrupt", ""},
      {corrupt, "its compressed body is cut short or corrupt", ""},
      {squeezed, "its body inflates to more than 8 times its compressed size", ""},
      {notBird, "not a BIRD file (it does not begin with \"bird\")", "not a BIRD file (it does not begin with \"bird\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.headerProblem, BirdFile::HeaderProblem(c.path));
    EXPECT_EQ(c.headerProblem.empty(), BirdFile::VerifyFile(c.path));
    try {
      BirdFile::LoadWhole(c.path);
      ADD_FAILURE() << "loaded";
    } catch (const BirdFile::LoadError& e) {
      EXPECT_EQ("Failed to load bird data: " + c.path + ": " + c.reason, e.what());
      EXPECT_EQ(c.path + ": " + c.reason, BirdFile::FailureText(e));
    }
  }
}

// ---------------------------------------------------------------------------
// Bodies that cannot be used refuse the whole file.

struct BodyCase {
  const char* name;
  bs::Compression compression;
  Bytes body;  // empty: the default image's body
  const char* logged;
};

class BadBodies : public BirdFileTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BadBodies, RefusedWithReason)
{
  const BodyCase& c = GetParam();
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(64))};
  image.compression = c.compression;
  Bytes body = c.body.empty() ? bs::body(image) : c.body;
  std::string p = write("bad.bird", bs::fileFromBody(image, body));
  LogCapture log(DEBUG_BirdFile);
  EXPECT_TRUE(BirdFile::VerifyFile(p));
  EXPECT_THROW(BirdFile f(p), std::runtime_error);
  EXPECT_TRUE(log.has(c.logged)) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    All, BadBodies,
    ::testing::Values(
        BodyCase{"corruptZlib", bs::Compression::Corrupt, {}, "decompressing bird file."},
        BodyCase{"rawDeflate", bs::Compression::RawDeflate, {}, "BIRDFILE: Error (-3) decompressing bird file."},
        BodyCase{"notCompressed", bs::Compression::Stored, {}, "decompressing bird file."},
        // 64 KiB of zeros squeeze far below an eighth of their size.
        BodyCase{"inflatesPast8x", bs::Compression::Zlib, Bytes(65536, 0),
                 "BIRDFILE: Error (-5) decompressing bird file."},
        BodyCase{"bodyUnder4Bytes", bs::Compression::Zlib, Bytes{0, 0, 1}, "no room for its block count"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Block list mismatches load what was found and say why; loading a file
// whole (for installing it) refuses them, naming the file and the mismatch.

struct ListCase {
  const char* name;
  std::optional<uint32_t> declared;
  bool omitChecksum;
  Bytes trailing;
  uint32_t expectBlocks;
  uint32_t expectChecksum;
  std::vector<std::string> logged;
  std::string problem;  // empty: the file is whole
};

class ListMismatch : public BirdFileTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListMismatch, LoadsFoundBlocksAndLogsMismatch)
{
  const ListCase& c = GetParam();
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(32)), bs::descriptor(7, "1.2.3", 0x55, "M")};
  image.declaredCount = c.declared;
  image.omitChecksum = c.omitChecksum;
  image.checksum = 0xFFFFFFFFu;  // read as a block header it claims a huge length
  image.trailing = c.trailing;
  LogCapture log(DEBUG_BirdFile);
  BirdFile f = load(image);
  EXPECT_EQ(c.expectBlocks, f.BlockCount());
  EXPECT_EQ(c.expectChecksum, f.FileChecksum());
  EXPECT_EQ(7u, f.GetBuild());
  for (const std::string& line : c.logged)
    EXPECT_TRUE(log.has(line)) << line << "\n" << log.text();
  EXPECT_EQ(c.problem, f.ScanProblem());
  EXPECT_EQ(c.problem.empty(), f.IsWhole());

  const std::string path = save(image);
  if (c.problem.empty()) {
    EXPECT_EQ(c.expectBlocks, BirdFile::LoadWhole(path).BlockCount());
    return;
  }
  try {
    BirdFile::LoadWhole(path);
    ADD_FAILURE() << "loaded whole";
  } catch (const BirdFile::Incomplete& e) {
    EXPECT_EQ("BIRD file " + path + " is incomplete: " + c.problem, e.what());
    EXPECT_EQ(c.problem, e.Problem());
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, ListMismatch,
    ::testing::Values(
        ListCase{"consistent", std::nullopt, false, {}, 2, 0xFFFFFFFF, {"File checksum FFFFFFFF"}, ""},
        ListCase{"declared3Found2", 3u, false, {}, 2, 0xFFFFFFFF,
                 {"BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)"},
                 "it declares 3 blocks and holds 2"},
        ListCase{"declared1Found2", 1u, false, {}, 2, 0xFFFFFFFF,
                 {"BIRDFILE: Block parsing mismatch in number of blocks. (2 != 1)"},
                 "it declares 1 blocks and holds 2"},
        ListCase{"noRoomForChecksum", std::nullopt, true, {}, 2, 0,
                 {"BIRDFILE: Block parsing mismatch in data size. (0 bytes remaining)"},
                 "its body ends without the file checksum"},
        // The trailing byte makes the checksum read as a block header whose
        // length runs past the body.
        ListCase{"oneTrailingByte", std::nullopt, false, {0xEE}, 2, 0,
                 {"BIRDFILE: Block parsing mismatch in data size. (5 bytes remaining)"},
                 "a block of type 31 at body offset 114 runs past the end of the body"},
        ListCase{"nineTrailingBytes", std::nullopt, false, Bytes(9, 0x00), 2, 0,
                 {"BIRDFILE: Block parsing mismatch in data size. (13 bytes remaining)"},
                 "a block of type 31 at body offset 114 runs past the end of the body"},
        ListCase{"shortChecksum", std::nullopt, true, {1, 2, 3}, 2, 0,
                 {"BIRDFILE: Block parsing mismatch in data size. (3 bytes remaining)"},
                 "its body ends without the file checksum"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, BlockRunningPastTheEndIsNotKept)
{
  bs::Image image;
  bs::Block tooLong = bs::firmware(0x3000, seq(16));
  tooLong.declaredLength = 25;  // five bytes more than follow
  image.blocks = {bs::firmware(0x1000, seq(16)), tooLong};
  image.omitChecksum = true;
  LogCapture log(DEBUG_BirdFile);
  BirdFile f = load(image);
  ASSERT_EQ(1u, f.BlockCount());
  EXPECT_EQ(0x1000u, f.Blocks()[0].address);
  EXPECT_TRUE(log.has("needs 25 bytes, 20 remain")) << log.text();
}

TEST_F(BirdFileTest, BlockLengthNearFourGigabytesDoesNotWrap)
{
  bs::Image image;
  bs::Block huge = bs::raw(3, seq(4));
  huge.declaredLength = 0xFFFFFFFF;
  image.blocks = {bs::firmware(0x1000, seq(16)), huge};
  BirdFile f = load(image);
  EXPECT_EQ(1u, f.BlockCount());
}

// ---------------------------------------------------------------------------
// Loader and firmware blocks that cannot be put on a module: a listing still
// reads the file, what installs it refuses it naming the block.

struct PlacementCase {
  const char* name;
  std::vector<bs::Block> blocks;
  std::string problem;  // empty: the file installs
};

class Placement : public BirdFileTest, public ::testing::WithParamInterface<PlacementCase> {};

TEST_P(Placement, BlockThatCannotLandIsNamed)
{
  const PlacementCase& c = GetParam();
  bs::Image image;
  image.blocks = c.blocks;
  const std::string file = write("placement.bird", bs::file(image));
  EXPECT_EQ(c.problem, BirdFile(file).PlacementProblem());
  if (c.problem.empty()) {
    EXPECT_NO_THROW(BirdFile::LoadWhole(file));
    return;
  }
  try {
    BirdFile::LoadWhole(file);
    ADD_FAILURE() << "loaded whole";
  } catch (const BirdFile::LoadError& e) {
    EXPECT_EQ(file + ": " + c.problem, e.Cause());
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, Placement,
    ::testing::Values(
        PlacementCase{"EndsAtTheTop", {bs::firmware(0xFFFFFF00, seq(256))}, ""},
        PlacementCase{"OneBytePastTheTop", {bs::firmware(0xFFFFFF00, seq(257))},
                      "firmware block 1 of 1 (at 0xFFFFFF00, 257 bytes) runs past the 4 GiB address space"},
        PlacementCase{"LoaderPastTheTop", {bs::loader(0xFFFFFFFF, seq(2)), bs::firmware(0x1000, seq(8))},
                      "loader block 1 of 1 (at 0xFFFFFFFF, 2 bytes) runs past the 4 GiB address space"},
        PlacementCase{"OneByteAtZero", {bs::firmware(0, seq(1))}, ""},
        PlacementCase{"AddressOnly", {bs::firmware(0x1000, {})},
                      "firmware block 1 of 1 (at 0x00001000) holds no bytes"},
        PlacementCase{"SecondOfThreeEmpty",
                      {bs::firmware(0x1000, seq(8)), bs::firmware(0x2000, {}), bs::firmware(0x3000, seq(8))},
                      "firmware block 2 of 3 (at 0x00002000) holds no bytes"},
        PlacementCase{"EmptyLoader", {bs::loader(0x100, {}), bs::firmware(0x1000, seq(8))},
                      "loader block 1 of 1 (at 0x00000100) holds no bytes"},
        // Blocks of other kinds are not put on a module.
        PlacementCase{"EmptyOtherKind", {bs::firmware(0x1000, seq(8)), bs::raw(3, {})}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Blocks too short for what their readers take are refused.

struct ShortBlockCase {
  const char* name;
  uint8_t type;
  size_t length;
  bool kept;
};

class ShortBlocks : public BirdFileTest, public ::testing::WithParamInterface<ShortBlockCase> {};

TEST_P(ShortBlocks, RefusedBelowTheirMinimumKeptAtIt)
{
  const ShortBlockCase& c = GetParam();
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(8)), bs::raw(c.type, seq(c.length)), bs::loader(0x100, seq(8))};
  LogCapture log(DEBUG_BirdFile);
  BirdFile f = load(image);
  size_t same = (c.type == BirdFile::BLOCK_FIRMWARE || c.type == BirdFile::BLOCK_LOADER) ? 1 : 0;
  EXPECT_EQ(c.kept ? 3u : 2u, f.BlockCount());
  EXPECT_EQ(same + (c.kept ? 1 : 0), f.FindBlocks(c.type).size());
  EXPECT_EQ(!c.kept, log.has("refused")) << log.text();
  if (!c.kept) {
    EXPECT_TRUE(log.has("mismatch in number of blocks. (2 != 3)"));
    // Queries on what was refused answer as if it were absent.
    EXPECT_EQ(0u, f.GetBuild());
    EXPECT_EQ("", f.GetVersion());
    EXPECT_EQ(0u, f.GetSerialNumber());
    EXPECT_FALSE(f.ValidateModel(""));
    EXPECT_FALSE(f.HasSerialOffsets());
    EXPECT_FALSE(f.ReplaceSerialNumber(1));
  }
  // Payload arithmetic on every kept block stays inside it.
  f.DecodeFirmwareBlocks(std::array<uint32_t, 4>{1, 2, 3, 4}.data());
  f.ReplaceVectorChecksum();
  EXPECT_FALSE(f.ValidateData(reinterpret_cast<const uint8_t*>("zz"), 2));
}

INSTANTIATE_TEST_SUITE_P(All, ShortBlocks,
                         ::testing::Values(ShortBlockCase{"firmware3", BirdFile::BLOCK_FIRMWARE, 3, false},
                                           ShortBlockCase{"firmware4", BirdFile::BLOCK_FIRMWARE, 4, true},
                                           ShortBlockCase{"loader0", BirdFile::BLOCK_LOADER, 0, false},
                                           ShortBlockCase{"descriptor63", BirdFile::BLOCK_DESCRIPTOR, 63, false},
                                           ShortBlockCase{"descriptor64", BirdFile::BLOCK_DESCRIPTOR, 64, true},
                                           ShortBlockCase{"serialOffsets7", BirdFile::BLOCK_SERIAL_OFFSETS, 7, false},
                                           ShortBlockCase{"serialOffsets8", BirdFile::BLOCK_SERIAL_OFFSETS, 8, true},
                                           ShortBlockCase{"startAddress3", BirdFile::BLOCK_START_ADDRESS, 3, false},
                                           ShortBlockCase{"otherType0", 3, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Descriptor queries.

struct DescriptorCase {
  const char* name;
  std::string build, version, serial, model;
  uint32_t expectBuild;
  std::string expectVersion;
  uint32_t expectSerial;
};

class Descriptors : public BirdFileTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(Descriptors, FieldsReadAsDocumented)
{
  const DescriptorCase& c = GetParam();
  bs::Image image;
  image.blocks = {bs::descriptor(c.build, c.version, c.serial, c.model)};
  BirdFile f = load(image);
  EXPECT_EQ(c.expectBuild, f.GetBuild());
  EXPECT_EQ(c.expectVersion, f.GetVersion());
  EXPECT_EQ(c.expectSerial, f.GetSerialNumber());
  EXPECT_TRUE(f.ValidateSerialNumber(c.expectSerial));
}

INSTANTIATE_TEST_SUITE_P(
    All, Descriptors,
    ::testing::Values(DescriptorCase{"plain", "4242", "2.11.5", "0000ABCD", "M", 4242, "2.11.5", 0xABCD},
                      DescriptorCase{"leadingBlanks", "   77", "1.0.0", "DEADBEEF", "M", 77, "1.0.0", 0xDEADBEEF},
                      DescriptorCase{"stopsAtNonDigit", "12ab", "3.4.5 beta", "1234", "M", 12, "3.4.5", 0x1234},
                      // Only 15 characters count: the 16th digit is ignored.
                      DescriptorCase{"sixteenDigits", "0000000000000129", "123456789012345X", "000000019", "M", 12,
                                     "123456789012345", 1},
                      DescriptorCase{"beyond32Bits", "99999999999", "", "", "M", 0, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct ModelCase {
  const char* name;
  std::string field;
  std::string asked;
  bool matches;
};

class Models : public BirdFileTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(Models, ModelFieldMustBeginWithName)
{
  bs::Image image;
  image.blocks = {bs::descriptor("1", "1.0.0", "1", GetParam().field)};
  EXPECT_EQ(GetParam().matches, load(image).ValidateModel(GetParam().asked));
}

INSTANTIATE_TEST_SUITE_P(All, Models,
                         ::testing::Values(ModelCase{"whole", "MTM-IO-SERIAL", "MTM-IO-SERIAL", true},
                                           ModelCase{"prefix", "MTM-IO-SERIAL", "MTM-IO", true},
                                           ModelCase{"fieldPlusOne", "MTM-IO-SERIAL", "MTM-IO-SERIALX", false},
                                           ModelCase{"empty", "MTM-IO-SERIAL", "", true},
                                           ModelCase{"sixteenChars", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},
                                           ModelCase{"seventeen", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", false},
                                           ModelCase{"other", "USBHub3p", "USBHub2x4", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, WithoutDescriptorQueriesGiveDefaults)
{
  bs::Image image;
  image.blocks = {bs::firmware(0, seq(8))};
  BirdFile f = load(image);
  EXPECT_EQ(0u, f.GetBuild());
  EXPECT_EQ("", f.GetVersion());
  EXPECT_EQ(0u, f.GetSerialNumber());
  EXPECT_FALSE(f.ValidateModel(""));
  BirdFile empty;
  EXPECT_EQ(0u, empty.BlockCount());
  EXPECT_EQ(nullptr, empty.Data());
  EXPECT_FALSE(empty.ValidateModel(""));
}

// ---------------------------------------------------------------------------
// Serial number patch.

struct PatchCase {
  const char* name;
  uint32_t serialOffset;
  uint32_t descriptorOffset;
  bool answer;
  int serialAt;  // payload index of the patched word in the first block, -1 none
  int textAt;    // payload index of the patched text in the first block, -1 none
};

class SerialPatch : public BirdFileTest, public ::testing::WithParamInterface<PatchCase> {};

TEST_P(SerialPatch, WritesOnlyWhereTheBlockCoversAllBytes)
{
  const PatchCase& c = GetParam();
  // 0x1000..0x10FF and 0x2000..0x20FF: 0x104 bytes of data each.
  Bytes first = seq(0x100, 1), second = seq(0x100, 2);
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, first), bs::serialOffsets(c.serialOffset, c.descriptorOffset),
                  bs::firmware(0x2000, second)};
  BirdFile f = load(image);
  ASSERT_TRUE(f.HasSerialOffsets());
  EXPECT_EQ(c.answer, f.ReplaceSerialNumber(0x1234ABCD));

  Bytes expect = first;
  if (c.serialAt >= 0) {
    const uint8_t word[4] = {0xCD, 0xAB, 0x34, 0x12};
    std::memcpy(expect.data() + c.serialAt, word, 4);
  }
  if (c.textAt >= 0)
    for (int i = 0; i < 8; ++i)
      expect[size_t(c.textAt + 2 * i)] = uint8_t("1234ABCD"[i]);
  auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(expect, payloadOf(fw[0]));
  EXPECT_EQ(second, payloadOf(fw[1])) << "a block the offsets do not fall in is never written";
}

INSTANTIATE_TEST_SUITE_P(All, SerialPatch,
                         ::testing::Values(PatchCase{"lastFittingOffset", 0x10FC, 0, true, 0xFC, -1},
                                           PatchCase{"oneBytePast", 0x10FD, 0, false, -1, -1},
                                           PatchCase{"firstByte", 0x1000, 0, true, 0, -1},
                                           PatchCase{"beforeBlock", 0x0FFF, 0, false, -1, -1},
                                           PatchCase{"gapBetweenBlocks", 0x1800, 0, false, -1, -1},
                                           PatchCase{"textLastFitting", 0, 0x10F0, true, -1, 0xF0},
                                           PatchCase{"textOnePast", 0, 0x10F1, false, -1, -1},
                                           PatchCase{"both", 0x1010, 0x1020, true, 0x10, 0x20},
                                           PatchCase{"wordYesTextOutside", 0x1010, 0x5000, false, 0x10, -1},
                                           PatchCase{"noOffsets", 0, 0, false, -1, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, SerialPatchAtTopOfAddressSpaceDoesNotWrap)
{
  bs::Image image;
  // Covers 0xFFFFFF00..0xFFFFFFFF; its end is 2^32, which 32 bits wrap to 0.
  image.blocks = {bs::firmware(0xFFFFFF00, seq(0x100)), bs::serialOffsets(0xFFFFFFFC, 0)};
  BirdFile f = load(image);
  EXPECT_TRUE(f.ReplaceSerialNumber(0xA1B2C3D4));
  EXPECT_EQ(0xA1B2C3D4u, le32(f.Blocks()[0].data + 4 + 0xFC));

  bs::Image past;
  past.blocks = {bs::firmware(0xFFFFFF00, seq(0x100)), bs::serialOffsets(0xFFFFFFFD, 0)};
  BirdFile g = BirdFile(write("past.bird", bs::file(past)));
  EXPECT_FALSE(g.ReplaceSerialNumber(0xA1B2C3D4));
}

TEST_F(BirdFileTest, SerialPatchWithoutOffsetsBlockAnswersFalse)
{
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(16))};
  BirdFile f = load(image);
  EXPECT_FALSE(f.HasSerialOffsets());
  EXPECT_FALSE(f.ReplaceSerialNumber(5));
  EXPECT_EQ(seq(16), payloadOf(f.Blocks()[0]));
}

// ---------------------------------------------------------------------------
// Descrambling with the chip fingerprint.

TEST_F(BirdFileTest, DescramblesWhatTheWriterScrambled)
{
  const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
  Bytes a = seq(1000, 3), b = seq(17, 9), code = seq(40, 5);
  bs::Image plain;
  plain.blocks = {bs::loader(0x100, code), bs::firmware(0x0, a), bs::descriptor(1, "1.0.0", 1, "M"),
                  bs::firmware(0x8000, b)};
  bs::Image mixed = bs::scrambled(plain, key);
  ASSERT_NE(bs::body(plain), bs::body(mixed));
  BirdFile f = load(mixed);
  EXPECT_TRUE(f.DecodeFirmwareBlocks(key));
  auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(2u, fw.size());
  EXPECT_EQ(a, payloadOf(fw[0]));
  EXPECT_EQ(b, payloadOf(fw[1]));
  EXPECT_EQ(0x8000u, fw[1].address);
  EXPECT_EQ(code, payloadOf(f.FindBlocks(BirdFile::BLOCK_LOADER)[0])) << "loader blocks are not scrambled";

  const uint32_t wrong[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543211};
  BirdFile g(path("f.bird"));
  g.DecodeFirmwareBlocks(wrong);
  EXPECT_NE(a, payloadOf(g.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0]));
}

// ---------------------------------------------------------------------------
// Vector checksum, pattern search, dump.

TEST_F(BirdFileTest, VectorChecksumMakesFirstEightWordsSumToZero)
{
  Bytes table = seq(64, 0x40);
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, table), bs::firmware(0, table), bs::firmware(0, seq(16))};
  BirdFile f = load(image);
  EXPECT_TRUE(f.ReplaceVectorChecksum());
  auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  uint32_t sum = 0;
  for (int w = 0; w < 8; ++w)
    sum += le32(fw[1].data + 4 + 4 * w);
  EXPECT_EQ(0u, sum);
  EXPECT_EQ(Bytes(table.begin() + 32, table.end()), Bytes(fw[1].data + 4 + 32, fw[1].data + 4 + 64));
  EXPECT_EQ(table, payloadOf(fw[0])) << "only blocks at address 0 hold the vector table";
  EXPECT_EQ(seq(16), payloadOf(fw[2])) << "a block too short for a table is left alone";
}

struct PatternCase {
  const char* name;
  Bytes pattern;
  bool found;
};

class Patterns : public BirdFileTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(Patterns, SearchesFirmwareDataAddressIncluded)
{
  bs::Image image;
  image.blocks = {bs::loader(0, Bytes{0x77, 0x77, 0x77}), bs::firmware(0x0A0B0C0D, Bytes{1, 2, 3, 4, 5})};
  EXPECT_EQ(GetParam().found, load(image).ValidateData(GetParam().pattern.data(), uint32_t(GetParam().pattern.size())));
}

INSTANTIATE_TEST_SUITE_P(All, Patterns,
                         ::testing::Values(PatternCase{"atStart", {0x0A, 0x0B}, true},
                                           PatternCase{"acrossAddress", {0x0D, 1, 2}, true},
                                           PatternCase{"atVeryEnd", {4, 5}, true},
                                           PatternCase{"wholeBlock", {0x0A, 0x0B, 0x0C, 0x0D, 1, 2, 3, 4, 5}, true},
                                           PatternCase{"longerThanBlock", Bytes(10, 1), false},
                                           PatternCase{"onlyInLoader", {0x77, 0x77}, false},
                                           PatternCase{"empty", {}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BirdFileTest, DumpPrintsHexAndTextInRowsOfFifty)
{
  Bytes data(51, 'A');
  data[1] = 0x01;
  bs::Image image;
  image.blocks = {bs::raw(3, data), bs::raw(3, {'h', 'i'}), bs::raw(6, {'x'})};
  std::string p = save(image);
  BirdFile f(p);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(f.DumpBlocks(3));
  std::string out = testing::internal::GetCapturedStdout();

  std::string row1 = "41 01 ";
  std::string text1 = "A ";
  for (int i = 2; i < 50; ++i) {
    row1 += "41 ";
    text1 += "A";
  }
  std::string expect = "BIRDFILE: BLOCK DUMP [" + p + "]\n" + " \r\n000000: " + row1 + " " + text1 +
                       "\r\n000050: 41  A\n" + " \r\n000000: 68 69  hi\n" + "\n";
  EXPECT_EQ(expect, out);
}

// ---------------------------------------------------------------------------
// Ownership.

TEST_F(BirdFileTest, MovedFileKeepsBlocksValidAndLeavesSourceEmpty)
{
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(64)), bs::serialOffsets(0x1004, 0)};
  BirdFile a = load(image);
  std::vector<BirdBlock> before = a.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  BirdFile b(std::move(a));
  BirdFile c;
  c = std::move(b);
  EXPECT_EQ(seq(64), payloadOf(before[0])) << "block data must survive moves";
  EXPECT_TRUE(c.ReplaceSerialNumber(0xCAFE));
  EXPECT_EQ(0xCAFEu, le32(before[0].data + 4 + 4));
  EXPECT_EQ(path("f.bird"), c.Path());
  for (const BirdFile* gone : {&a, &b}) {
    EXPECT_EQ(0u, gone->BlockCount());
    EXPECT_TRUE(gone->Blocks().empty());
    EXPECT_EQ(nullptr, gone->Data());
    EXPECT_FALSE(gone->HasSerialOffsets());
    EXPECT_EQ("", gone->Path());
  }
}

TEST_F(BirdFileTest, DecompressingAgainDropsBlocksOfTheOldBody)
{
  bs::Image image;
  image.blocks = {bs::firmware(0x1000, seq(64)), bs::serialOffsets(0x1004, 0)};
  BirdFile f = load(image);
  EXPECT_FALSE(f.DecompressData(reinterpret_cast<const uint8_t*>("junk"), 4));
  EXPECT_EQ(0u, f.BlockCount());
  EXPECT_FALSE(f.HasSerialOffsets());
  EXPECT_FALSE(f.ReplaceSerialNumber(1));
}

}  // namespace
