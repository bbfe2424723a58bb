#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aPacket.h"

namespace {

struct PacketDeleter {
  void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr make(std::vector<uint8_t> data, uint8_t address = 4)
{
  data.push_back(0);  // a valid pointer also for an empty packet
  return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size() - 1), data.data()));
}

// ---- assembly ----

struct AddByteCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;     // one per byte
  std::vector<bool> complete;    // aPacket_IsComplete after each byte
  uint8_t address;
  uint8_t length;
  std::vector<uint8_t> data;     // expected data[0..length)
};

class AddByte : public ::testing::TestWithParam<AddByteCase> {};

TEST_P(AddByte, Sequence)
{
  const AddByteCase& c = GetParam();
  PacketPtr p(aPacket_Create());
  ASSERT_TRUE(p);
  ASSERT_EQ(c.bytes.size(), c.results.size());
  for (size_t i = 0; i < c.bytes.size(); ++i) {
    EXPECT_EQ(c.results[i], aPacket_AddByte(p.get(), c.bytes[i])) << "byte " << i;
    if (i < c.complete.size()) {
      EXPECT_EQ(c.complete[i], aPacket_IsComplete(p.get())) << "after byte " << i;
    }
  }
  EXPECT_EQ(c.address, p->address);
  EXPECT_EQ(c.length, p->length);
  ASSERT_LE(c.data.size(), sizeof p->data);
  EXPECT_EQ(c.data, std::vector<uint8_t>(p->data, p->data + c.data.size()));
}

std::vector<uint8_t> fullPacket()
{
  std::vector<uint8_t> b{0x04, 28};
  for (uint8_t i = 0; i < 28; ++i)
    b.push_back(static_cast<uint8_t>(0xA0 + i));
  return b;
}

std::vector<uint8_t> fullData()
{
  std::vector<uint8_t> d;
  for (uint8_t i = 0; i < 28; ++i)
    d.push_back(static_cast<uint8_t>(0xA0 + i));
  return d;
}

std::vector<AddByteCase> addByteCases()
{
  std::vector<AddByteCase> cases = {
      {"ThreeDataBytesThenOneTooMany", {0x04, 0x03, 0x01, 0x02, 0x03, 0x09},
       {aErrNone, aErrNone, aErrNone, aErrNone, aErrNone, aErrPacket},
       {false, false, false, false, true}, 4, 3, {1, 2, 3}},
      {"EmptyPacketCompleteAfterLength", {0x04, 0x00}, {aErrNone, aErrNone}, {false, true}, 4, 0, {}},
      {"ZeroAddressRefused", {0x00}, {aErrPacket}, {false}, 0, 0, {}},
      {"OddAddressRefused", {0x05}, {aErrPacket}, {false}, 0, 0, {}},
      {"Length29Refused", {0x04, 29}, {aErrNone, aErrPacket}, {false, false}, 4, 29, {}},
  };
  AddByteCase full{"Length28Accepted", fullPacket(), {}, {}, 4, 28, fullData()};
  full.results.assign(full.bytes.size(), aErrNone);
  full.complete.assign(full.bytes.size(), false);
  full.complete.back() = true;
  cases.push_back(full);

  AddByteCase over{"ThirtyFirstByteOverruns", fullPacket(), {}, {}, 4, 28, fullData()};
  over.bytes.push_back(0x77);
  over.results.assign(over.bytes.size(), aErrNone);
  over.results.back() = aErrOverrun;
  cases.push_back(over);
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Packet, AddByte, ::testing::ValuesIn(addByteCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A sender that never stops must not make the assembler write before or past
// the data, however long it goes on without a reset.
TEST(AddByte, LongRunWithoutResetStaysInside)
{
  PacketPtr p(aPacket_Create());
  ASSERT_TRUE(p);
  const std::vector<uint8_t> head = fullPacket();
  for (uint8_t b : head)
    ASSERT_EQ(aErrNone, aPacket_AddByte(p.get(), b));
  for (int i = 0; i < 300; ++i)
    ASSERT_EQ(aErrOverrun, aPacket_AddByte(p.get(), 0xEE)) << "extra byte " << i;
  EXPECT_EQ(aPACKETCHECK, p->check);
  EXPECT_EQ(4, p->address);
  EXPECT_EQ(28, p->length);
  EXPECT_EQ(0, std::memcmp(fullData().data(), p->data, 28));
  EXPECT_FALSE(aPacket_IsComplete(p.get()));
  ASSERT_EQ(aErrNone, aPacket_Reset(p.get()));
  EXPECT_EQ(aErrNone, aPacket_AddByte(p.get(), 0x06));
  EXPECT_EQ(aErrNone, aPacket_AddByte(p.get(), 0x00));
  EXPECT_TRUE(aPacket_IsComplete(p.get()));
}

// A refused length stays stored; however many bytes follow, the packet
// must never count as complete (its data would be read past the end).
TEST(AddByte, RefusedLengthNeverCompletes)
{
  PacketPtr p(aPacket_Create());
  ASSERT_TRUE(p);
  aPacket_AddByte(p.get(), 0x04);
  EXPECT_EQ(aErrPacket, aPacket_AddByte(p.get(), 29));
  for (int i = 0; i < 300; ++i) {
    aPacket_AddByte(p.get(), 0x01);
    ASSERT_FALSE(aPacket_IsComplete(p.get())) << "after extra byte " << i;
  }
  EXPECT_EQ(nullptr, aPacket_Copy(p.get()));
}

TEST(AddByte, InvalidPacketUntouched)
{
  aPacket p{};
  EXPECT_EQ(aErrParam, aPacket_AddByte(&p, 0x04));
  EXPECT_EQ(0, p.count);
  EXPECT_EQ(aErrParam, aPacket_AddByte(nullptr, 0x04));
  EXPECT_EQ(aErrParam, aPacket_Reset(&p));
  EXPECT_FALSE(aPacket_IsComplete(nullptr));
}

// ---- making, copying, freeing ----

TEST(Packet, CreateWithDataLimits)
{
  const uint8_t bytes[29] = {1, 2, 3};
  PacketPtr ok(aPacket_CreateWithData(0x07, 28, bytes));  // any address byte is taken
  ASSERT_TRUE(ok);
  EXPECT_EQ(30, ok->count);
  EXPECT_EQ(0x07, ok->address);
  EXPECT_TRUE(aPacket_IsComplete(ok.get()));
  EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 29, bytes));
  EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 0, nullptr));
  EXPECT_EQ(nullptr, aPacket_CreateWithData(4, 3, nullptr));
}

TEST(Packet, CopyIsIndependent)
{
  PacketPtr a = make({3, 1, 2});
  PacketPtr b(aPacket_Copy(a.get()));
  ASSERT_TRUE(b);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->address, b->address);
  EXPECT_EQ(5, b->count);
  b->data[0] = 9;
  EXPECT_EQ(3, a->data[0]);
  a->check = 0;
  EXPECT_EQ(nullptr, aPacket_Copy(a.get()));
  a->check = aPACKETCHECK;
}

TEST(Packet, DestroyNullsPointer)
{
  aPacket* p = aPacket_Create();
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(aErrNone, aPacket_Destroy(&p));
  EXPECT_EQ(nullptr, p);
  EXPECT_EQ(aErrParam, aPacket_Destroy(&p));
  EXPECT_EQ(aErrParam, aPacket_Destroy(nullptr));
}

// ---- header fields ----

enum class Field { cmd, option, index };

struct FieldCase {
  const char* name;
  Field field;
  std::vector<uint8_t> data;
  aErr result;
  uint8_t value;
};

class PacketField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(PacketField, Read)
{
  const FieldCase& c = GetParam();
  PacketPtr p = make(c.data);
  ASSERT_TRUE(p);
  uint8_t v = 0xFF;
  aErr e = c.field == Field::cmd      ? aPacket_GetCmd(p.get(), &v)
           : c.field == Field::option ? aPacket_GetOption(p.get(), &v)
                                      : aPacket_GetIndex(p.get(), &v);
  EXPECT_EQ(c.result, e);
  if (c.result == aErrNone) {
    EXPECT_EQ(c.value, v);
  }
  // A null destination is refused before the packet is looked at.
  e = c.field == Field::cmd      ? aPacket_GetCmd(p.get(), nullptr)
      : c.field == Field::option ? aPacket_GetOption(p.get(), nullptr)
                                 : aPacket_GetIndex(p.get(), nullptr);
  EXPECT_EQ(aErrParam, e);
}

INSTANTIATE_TEST_SUITE_P(
    Packet, PacketField,
    ::testing::Values(FieldCase{"Cmd", Field::cmd, {0x5F}, aErrNone, 0x5F},
                      FieldCase{"CmdEmpty", Field::cmd, {}, aErrPacket, 0},
                      FieldCase{"OptionFlagsCleared", Field::option, {0x03, 0xC7}, aErrNone, 7},
                      FieldCase{"OptionShort", Field::option, {0x03}, aErrPacket, 0},
                      FieldCase{"IndexFlagsCleared", Field::index, {0x03, 0x47, 0x61}, aErrNone, 1},
                      FieldCase{"IndexShort", Field::index, {0x03, 0x47}, aErrPacket, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Packet, FieldsOfInvalidPacket)
{
  PacketPtr p = make({3, 4, 5});
  p->check = 0;
  uint8_t v = 0;
  EXPECT_EQ(aErrPacket, aPacket_GetCmd(p.get(), &v));
  EXPECT_EQ(aErrPacket, aPacket_GetIndex(p.get(), &v));
  p->check = aPACKETCHECK;
}

// ---- payload rules ----

struct PayloadCase {
  const char* name;
  std::vector<uint8_t> data;
  bool notUEI;
  bool stream;
};

class Payload : public ::testing::TestWithParam<PayloadCase> {};

TEST_P(Payload, Classify)
{
  const PayloadCase& c = GetParam();
  PacketPtr p = make(c.data);
  ASSERT_TRUE(p);
  EXPECT_EQ(c.notUEI, aUEI_isNotUEIPayload(p.get()));
  EXPECT_EQ(!c.notUEI, aUEI_isUEIPayload(p.get()));
  EXPECT_EQ(c.stream, aUEI_isStreamPacket(p.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Packet, Payload,
    ::testing::Values(PayloadCase{"Upgrade", {0x5F}, true, false},
                      PayloadCase{"Store", {0x04, 0x05, 0x41, 0x00, 0x01}, true, false},
                      PayloadCase{"LastNonUEI", {175}, true, false},
                      PayloadCase{"System", {0x03}, false, false},
                      PayloadCase{"StreamCmd", {0x5D}, false, false},
                      PayloadCase{"StreamSample", {0x03, 0x05, 0x41, 0x00, 0x01}, false, true},
                      PayloadCase{"GetFlagIsNoSample", {0x03, 0x45, 0x41, 0x00, 0x01}, false, false},
                      PayloadCase{"NoStreamFlag", {0x03, 0x05, 0x01, 0x00, 0x01}, false, false},
                      PayloadCase{"FourBytesTooShort", {0x03, 0x05, 0x41, 0x00}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Payload, NullPacket)
{
  EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
  EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
  EXPECT_EQ(0, aUEI_getBytesSequence(nullptr));
  EXPECT_EQ(0, aUEI_getBytesContinue(nullptr));
  EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

struct TrailerCase {
  const char* name;
  std::vector<uint8_t> data;
  uint8_t sequence;
  uint8_t more;
  bool full;
};

class Trailer : public ::testing::TestWithParam<TrailerCase> {};

TEST_P(Trailer, Read)
{
  const TrailerCase& c = GetParam();
  PacketPtr p = make(c.data);
  ASSERT_TRUE(p);
  EXPECT_EQ(c.sequence, aUEI_getBytesSequence(p.get()));
  EXPECT_EQ(c.more, aUEI_getBytesContinue(p.get()));
  EXPECT_EQ(c.full, aUEI_getBytesFullPacket(p.get()));
}

INSTANTIATE_TEST_SUITE_P(
    Packet, Trailer,
    ::testing::Values(TrailerCase{"Continue", {0x03, 0x85}, 5, 1, false},
                      TrailerCase{"Last", {0x03, 0x05}, 5, 0, false},
                      TrailerCase{"Empty", {}, 0, 0, false},
                      TrailerCase{"Full27", std::vector<uint8_t>(27, 0x81), 1, 1, true},
                      TrailerCase{"Full28", std::vector<uint8_t>(28, 0x02), 2, 0, true},
                      TrailerCase{"Short26", std::vector<uint8_t>(26, 0x02), 2, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Numbers, BigEndianWhateverTheHost)
{
  const uint8_t in[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(0x12345678u, aUEI_RetrieveInt(in));
  EXPECT_EQ(0x1234u, aUEI_RetrieveShort(in));
  uint8_t out[4] = {};
  aUEI_StoreInt(out, 0xA1B2C3D4u);
  EXPECT_EQ(0, std::memcmp(out, "\xA1\xB2\xC3\xD4", 4));
  aUEI_StoreShort(out, 0xBEEF);
  EXPECT_EQ(0, std::memcmp(out, "\xBE\xEF\xC3\xD4", 4));

  uint32_t words[2];
  std::memcpy(&words[0], "\x00\x00\x01\x02", 4);
  std::memcpy(&words[1], "\xFF\x00\x00\x01", 4);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(0x0102u, words[0]);
  EXPECT_EQ(0xFF000001u, words[1]);
}

}  // namespace
