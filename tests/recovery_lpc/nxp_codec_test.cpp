// The ISP client's pure helpers: reply timing, copy sizes, the sector map,
// return-code names, uuencoding and checksums.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "NXPSerialClass.h"

namespace {

TEST(NxpWaitTime, TransferTimePlusSlack) {
  struct Case {
    uint64_t n;
    uint32_t rate;
    uint32_t ms;
  } cases[] = {{14, 115200, 2}, {14, 9600, 16}, {4, 9600, 6}, {100, 0, 1}, {0, 0, 1}, {1000, 2400, 3758}};
  for (const auto& c : cases) EXPECT_EQ(WAIT_TIME_MS(c.n, c.rate), c.ms) << c.n << " bytes at " << c.rate;
}

TEST(NxpCopyLength, SmallestCopySizeThatHolds) {
  struct Case {
    unsigned n, size;
  } cases[] = {{0, 256}, {1, 256}, {256, 256}, {257, 512}, {904, 1024}, {1025, 4096}, {4096, 4096}, {5000, 5000}};
  for (const auto& c : cases) EXPECT_EQ(NXPSerialClass::CopyLength(c.n), c.size) << c.n;
}

TEST(NxpSectorMap, AddressToSector) {
  struct Case {
    unsigned address, sector;
  } cases[] = {{0, 0},        {0x0FFF, 0},   {0x1000, 1},      {0xFFFF, 15},    {0x10000, 16}, {0x17FFF, 16},
               {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30},    {0xFFFFFFFF, 30}};
  for (const auto& c : cases) EXPECT_EQ(NXPSerialClass::SectorFromAddress(c.address), c.sector) << std::hex << c.address;
}

TEST(NxpSectorMap, RowsTileTheFlashWithoutGaps) {
  uint32_t next = 0;
  unsigned row = 0;
  for (; NXP_LPC17XX_sectors[row].size != 0; ++row) {
    EXPECT_EQ(NXP_LPC17XX_sectors[row].start, next) << "row " << row;
    EXPECT_EQ(NXP_LPC17XX_sectors[row].sector, row);
    EXPECT_EQ(NXP_LPC17XX_sectors[row].size, row < 16 ? 0x1000u : 0x8000u);
    next += NXP_LPC17XX_sectors[row].size;
  }
  EXPECT_EQ(row, 30u);
  EXPECT_EQ(next, 0x80000u);
  EXPECT_EQ(NXP_LPC17XX_sectors[row].start, 0xFFFFFFFFu);
}

TEST(NxpErrorText, ReplyLineToName) {
  struct Case {
    const char* line;
    const char* name;
  } cases[] = {{"0\r\n", "CMD_SUCCESS"},
               {"7\r\n", "INVALID_SECTOR"},
               {"9\r\n", "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
               {"10\r\n", "COMPARE_ERROR"},
               {"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
               {"20", "Unknown error"},
               {"25\r\n", "Unknown error"},
               {"-1\r\n", "Unknown error"},
               {"RESEND\r\n", "CMD_SUCCESS"},
               {"", "CMD_SUCCESS"}};
  for (const auto& c : cases) EXPECT_STREQ(NXPSerialClass::GetErrorText(c.line), c.name) << c.line;
}

TEST(NxpUuencode, KnownLines) {
  struct Case {
    std::string data;
    std::string line;
  } cases[] = {{"abc", "#86)C"},
               {std::string(3, '\0'), "#````"},
               {"abcd", "$86)C9```"},
               {std::string(1, '\xFF'), "!_P``"}};
  for (const auto& c : cases) {
    char out[80];
    const auto* bytes = reinterpret_cast<const unsigned char*>(c.data.data());
    EXPECT_EQ(NXPSerialClass::uuencode(out, bytes, static_cast<unsigned>(c.data.size())), c.data.size());
    EXPECT_EQ(std::string(out), c.line);
  }
}

TEST(NxpUuencode, FullLineIsSixtyOneCharactersLedByM) {
  unsigned char data[45];
  for (unsigned i = 0; i < 45; ++i) data[i] = static_cast<unsigned char>(i * 37);
  char out[80];
  NXPSerialClass::uuencode(out, data, 45);
  EXPECT_EQ(std::strlen(out), 61u);
  EXPECT_EQ(out[0], 'M');
  for (size_t i = 0; i < 61; ++i) EXPECT_TRUE(out[i] > ' ' && out[i] <= '`') << "character " << i << " is " << int(out[i]);
}

TEST(NxpUudecode, EveryLineLengthRoundTrips) {
  for (unsigned n = 1; n <= NXPSerialClass::MAX_BYTES_PER_LINE; ++n) {
    std::vector<unsigned char> data(n);
    for (unsigned i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i % 3 == 0 ? 0 : 0xFF - i * 11);
    char line[80];
    NXPSerialClass::uuencode(line, data.data(), n);
    std::strcat(line, "\r\n");
    std::vector<unsigned char> back(n + 4, 0xA5);
    ASSERT_EQ(NXPSerialClass::uudecode(back.data(), n, line), n);
    EXPECT_EQ(std::vector<unsigned char>(back.begin(), back.begin() + n), data) << n << " bytes";
    EXPECT_EQ(back[n], 0xA5) << "wrote past " << n << " bytes";
  }
}

TEST(NxpUudecode, MalformedLinesStoreOnlyWhatTheyHold) {
  struct Case {
    const char* line;
    unsigned room;
    unsigned stored;
  } cases[] = {
      {"#86)C", 2, 0},      // says 3 bytes, room for 2: nothing stored
      {"M86)C", 44, 0},     // says 45 bytes, room for 44
      {"#86", 3, 0},        // ends inside the first group
      {"&86)C", 6, 3},      // says 6 bytes, holds one group
      {"&86)C\r\n", 6, 3},  // the line end is no data
      {"", 45, 0},
      {"`", 45, 0},  // an empty data line
  };
  for (const auto& c : cases) {
    unsigned char out[64];
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(NXPSerialClass::uudecode(out, c.room, c.line), c.stored) << "[" << c.line << "]";
    for (unsigned i = c.stored; i < sizeof out; ++i) ASSERT_EQ(out[i], 0xA5) << "[" << c.line << "] byte " << i;
  }
}

TEST(NxpChecksum, SumOfRawBytes) {
  const unsigned char text[] = "abcd";
  EXPECT_EQ(NXPSerialClass::sum(text, 4), 394);
  const unsigned char high[] = {0xFF, 0xFF, 0x80, 0x00};
  EXPECT_EQ(NXPSerialClass::sum(high, 4), 0x27E);  // bytes count as unsigned
  EXPECT_EQ(NXPSerialClass::sum(high, 0), 0);
}

}  // namespace
