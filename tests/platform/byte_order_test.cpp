#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "aByteOrder.h"

namespace {

// Each row reads the same bytes in both orders, and writes the value read
// back in that order: a swapped shift, a missing byte or a sign carried in
// from a high byte shows in one of the four columns.
struct OrderCase {
  const char* name;
  std::array<uint8_t, 4> bytes;
  uint16_t be16;
  uint16_t le16;
  uint32_t be32;
  uint32_t le32;
};

class ByteOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ByteOrder, ReadsAndWritesBackTheSameBytes) {
  const OrderCase& c = GetParam();
  const uint8_t* in = c.bytes.data();
  EXPECT_EQ(c.be16, aByteOrder::be16(in));
  EXPECT_EQ(c.le16, aByteOrder::le16(in));
  EXPECT_EQ(c.be32, aByteOrder::be32(in));
  EXPECT_EQ(c.le32, aByteOrder::le32(in));

  // Writers touch only their own width: the byte after stays.
  std::array<uint8_t, 5> out{};
  out.fill(0x5A);
  aByteOrder::putBE16(out.data(), c.be16);
  EXPECT_EQ((std::array<uint8_t, 5>{in[0], in[1], 0x5A, 0x5A, 0x5A}), out);
  out.fill(0x5A);
  aByteOrder::putLE16(out.data(), c.le16);
  EXPECT_EQ((std::array<uint8_t, 5>{in[0], in[1], 0x5A, 0x5A, 0x5A}), out);
  out.fill(0x5A);
  aByteOrder::putBE32(out.data(), c.be32);
  EXPECT_EQ((std::array<uint8_t, 5>{in[0], in[1], in[2], in[3], 0x5A}), out);
  out.fill(0x5A);
  aByteOrder::putLE32(out.data(), c.le32);
  EXPECT_EQ((std::array<uint8_t, 5>{in[0], in[1], in[2], in[3], 0x5A}), out);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ByteOrder,
    ::testing::Values(OrderCase{"Ascending", {0x12, 0x34, 0x56, 0x78}, 0x1234, 0x3412, 0x12345678u, 0x78563412u},
                      OrderCase{"HighBitsSet", {0xFE, 0xDC, 0xBA, 0x98}, 0xFEDC, 0xDCFE, 0xFEDCBA98u, 0x98BADCFEu},
                      OrderCase{"OnlyFirstByte", {0x80, 0x00, 0x00, 0x00}, 0x8000, 0x0080, 0x80000000u, 0x00000080u},
                      OrderCase{"OnlyLastByte", {0x00, 0x00, 0x00, 0xFF}, 0x0000, 0x0000, 0x000000FFu, 0xFF000000u}),
    [](const auto& info) { return std::string(info.param.name); });

// The readers serve constant tables too.
constexpr uint8_t kMagic[4] = {0x01, 0x02, 0x03, 0x04};
static_assert(aByteOrder::be32(kMagic) == 0x01020304u);
static_assert(aByteOrder::le32(kMagic) == 0x04030201u);

}  // namespace
