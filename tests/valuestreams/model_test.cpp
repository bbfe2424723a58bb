// Stream keys, the generic key masks and the decoding of stream packets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Link.h"

using namespace Tovanire::Jorvanite;

namespace {

TEST(StreamKey, PacksEachElementIntoItsByte) {
  const uint64_t key = Link::createStreamKey(2, 3, 4, 5, 6);
  EXPECT_EQ(key, 0x0602030405ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE_ADDRESS), 2);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD), 3);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION), 4);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX), 5);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX), 6);
  EXPECT_EQ(Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(5)), 0);
  // Nothing of the elements leaks above bit 39, even with every bit set.
  EXPECT_EQ(Link::createStreamKey(0xFF, 0xFF, 0xFF, 0xFF, 0xFF), 0xFFFFFFFFFFull);
}

TEST(StreamKey, GenericMasksSelectIndexOptionCommandSubindexNeverAddress) {
  // Bit 0 of i + 1 index, bit 1 option, bit 2 command, bit 3 subindex.
  const uint64_t expected[15] = {
      0xFFull,          0xFF00ull,        0xFFFFull,         0xFF0000ull,       0xFF00FFull,
      0xFFFF00ull,      0xFFFFFFull,      0xFF00000000ull,   0xFF000000FFull,   0xFF0000FF00ull,
      0xFF0000FFFFull,  0xFF00FF0000ull,  0xFF00FF00FFull,   0xFF00FFFF00ull,   0xFF00FFFFFFull,
  };
  for (uint8_t i = 0; i < 15; ++i) {
    EXPECT_EQ(Link::_getGenericStreamKeyMask(i), expected[i]) << "mask " << int(i);
    EXPECT_EQ(Link::_getGenericStreamKeyMask(i) & 0xFF000000ull, 0u) << "mask " << int(i) << " masks the address";
  }
  for (uint8_t i : {15, 16, 255}) EXPECT_EQ(Link::_getGenericStreamKeyMask(i), 0u) << int(i);
}

TEST(StreamKey, MaskTurnsASampleKeyIntoTheSubscriptionCoveringIt) {
  const uint64_t subscription = Link::createStreamKey(2, 0x12, 0xFF, 0, 0xFF);
  EXPECT_EQ(subscription, 0xFF0212FF00ull);
  const uint64_t sample = Link::createStreamKey(2, 0x12, 3, 0, 0);
  EXPECT_EQ(sample, 0x0002120300ull);
  EXPECT_EQ(sample | Link::_getGenericStreamKeyMask(9), subscription);
}

TEST(StreamKey, TimestampSplitsIntoItsHalves) {
  uint32_t upper = 0, lower = 0;
  Link::getTimestampParts(0x0123456789ABCDEFull, &upper, &lower);
  EXPECT_EQ(upper, 0x01234567u);
  EXPECT_EQ(lower, 0x89ABCDEFu);
  Link::getTimestampParts(1, nullptr, &lower);  // each half is optional
  EXPECT_EQ(lower, 1u);
}

struct DecodeCase {
  std::string name;
  uint8_t address;
  std::vector<uint8_t> data;
  Link::STREAM_PACKET type;  // what getStreamPacketType writes
  bool sample;               // isStreamSample
  aErr result;               // getStreamSample
  uint64_t timestamp;
  uint32_t value;
  uint8_t subindex;
};

// Header: command 0x12, option 3, index 1 with the stream bit; then the type.
const std::vector<DecodeCase>& decodeCases() {
  static const std::vector<DecodeCase> cases = {
      {"U8", 4, {0x12, 0x03, 0x41, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0xAB, 0}, Link::STREAM_PACKET_U8, true, aErrNone,
       0x100000002ull, 0xAB, 0},
      {"U16", 4, {0x12, 0x03, 0x41, 2, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0xBE, 0xEF, 0},
       Link::STREAM_PACKET_U16, true, aErrNone, 0x1122334455667788ull, 0xBEEF, 0},
      {"U32", 4, {0x12, 0x03, 0x41, 3, 0, 0, 0, 0, 0, 0, 0, 9, 0xDE, 0xAD, 0xBE, 0xEF, 0}, Link::STREAM_PACKET_U32,
       true, aErrNone, 9, 0xDEADBEEF, 0},
      {"U8Subindex", 4, {0x12, 0x03, 0x41, 5, 7, 0, 0, 0, 0, 0, 0, 0, 3, 0x80, 0}, Link::STREAM_PACKET_U8_SUBINDEX,
       true, aErrNone, 3, 0x80, 7},
      {"U16Subindex", 4, {0x12, 0x03, 0x41, 6, 2, 0, 0, 0, 0, 0, 0, 0, 4, 0x01, 0x02, 0},
       Link::STREAM_PACKET_U16_SUBINDEX, true, aErrNone, 4, 0x0102, 2},
      {"U32Subindex", 4, {0x12, 0x03, 0x41, 7, 0xFF, 0, 0, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4, 0},
       Link::STREAM_PACKET_U32_SUBINDEX, true, aErrNone, 0x100000000ull, 0x01020304, 0xFF},
      // Option and index bytes carry flags the key leaves out; still a sample.
      {"U8FlagsInIndexByte", 4, {0x12, 0x3F, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, Link::STREAM_PACKET_U8, true,
       aErrNone, 0, 5, 0},
      // Length that fits no value of the type: a stream packet with a type, not a sample.
      {"U8OneShort", 4, {0x12, 0x03, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Link::STREAM_PACKET_U8, false, aErrPacket,
       0, 0, 0},
      {"U16AsLongAsU32", 4, {0x12, 0x03, 0x41, 2, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0}, Link::STREAM_PACKET_U16,
       false, aErrPacket, 0, 0, 0},
      {"U32Short", 4, {0x12, 0x03, 0x41, 3, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0}, Link::STREAM_PACKET_U32, false,
       aErrPacket, 0, 0, 0},
      {"SubindexTypeWithoutSubindexByte", 4, {0x12, 0x03, 0x41, 5, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0},
       Link::STREAM_PACKET_U8_SUBINDEX, false, aErrPacket, 0, 0, 0},
      // A nonzero trailer makes a byte block whatever byte 3 holds.
      {"TrailerSequence", 4, {0x12, 0x03, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0x01}, Link::STREAM_PACKET_BYTES,
       false, aErrSize, 0, 0, 0},
      {"TrailerContinue", 4, {0x12, 0x03, 0x41, 3, 1, 2, 3, 0x80}, Link::STREAM_PACKET_BYTES, false, aErrSize, 0, 0,
       0},
      {"TypeFourZeroTrailer", 4, {0x12, 0x03, 0x41, 4, 1, 2, 3, 0}, Link::STREAM_PACKET_BYTES, false, aErrSize, 0,
       0, 0},
      // No type at all.
      {"TypeZero", 4, {0x12, 0x03, 0x41, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, Link::STREAM_PACKET_UNKNOWN, false,
       aErrPacket, 0, 0, 0},
      {"TypeEight", 4, {0x12, 0x03, 0x41, 8, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, Link::STREAM_PACKET_UNKNOWN, false,
       aErrPacket, 0, 0, 0},
      // Not stream packets: too short, a get or set flag, no stream bit, a raw command.
      {"FourBytes", 4, {0x12, 0x03, 0x41, 1}, Link::STREAM_PACKET_UNKNOWN, false, aErrPacket, 0, 0, 0},
      {"GetFlag", 4, {0x12, 0x43, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, Link::STREAM_PACKET_UNKNOWN, false,
       aErrPacket, 0, 0, 0},
      {"NoStreamBit", 4, {0x12, 0x03, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, Link::STREAM_PACKET_UNKNOWN, false,
       aErrPacket, 0, 0, 0},
      {"RawCommand", 4, {0x5F, 0x03, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, Link::STREAM_PACKET_UNKNOWN, false,
       aErrPacket, 0, 0, 0},
  };
  return cases;
}

class StreamDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(StreamDecode, TypeSampleAndFields) {
  const DecodeCase& c = GetParam();
  aPacket* packet = aPacket_CreateWithData(c.address, static_cast<uint8_t>(c.data.size()), c.data.data());
  ASSERT_NE(packet, nullptr);
  Link::STREAM_PACKET type = Link::STREAM_PACKET_U32;
  EXPECT_EQ(Link::getStreamPacketType(packet, &type), c.type != Link::STREAM_PACKET_UNKNOWN);
  EXPECT_EQ(type, c.type);
  EXPECT_EQ(Link::isStreamSample(packet), c.sample);
  uint64_t timestamp = 0xAAAA;
  uint32_t value = 0xBBBB;
  uint8_t subindex = 0xCC;
  EXPECT_EQ(Link::getStreamSample(packet, &timestamp, &value, &subindex), c.result);
  if (c.result == aErrNone) {
    EXPECT_EQ(timestamp, c.timestamp);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(subindex, c.subindex);
    // Every output is optional.
    EXPECT_EQ(Link::getStreamSample(packet, nullptr, nullptr, nullptr), aErrNone);
  } else {
    EXPECT_EQ(timestamp, 0xAAAAu) << "a refused packet wrote the timestamp";
    EXPECT_EQ(value, 0xBBBBu);
    EXPECT_EQ(subindex, 0xCC);
  }
  aPacket_Destroy(&packet);
}

INSTANTIATE_TEST_SUITE_P(Packets, StreamDecode, ::testing::ValuesIn(decodeCases()),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

TEST(StreamDecode, NullPacketIsNoStreamPacket) {
  Link::STREAM_PACKET type = Link::STREAM_PACKET_U8;
  EXPECT_FALSE(Link::getStreamPacketType(nullptr, &type));
  EXPECT_EQ(type, Link::STREAM_PACKET_UNKNOWN);
  EXPECT_FALSE(Link::isStreamSample(nullptr));
  EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), aErrPacket);
}

TEST(StreamDecode, SubindexTypesAreFiveToSeven) {
  for (int t = 0; t < 9; ++t) {
    EXPECT_EQ(Link::isSubindexType(static_cast<Link::STREAM_PACKET>(t)), t >= 5 && t <= 7) << t;
  }
}

}  // namespace
