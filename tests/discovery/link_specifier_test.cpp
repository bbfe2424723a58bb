// The link specifier's fixed layout and lifetime, and the transports that
// enumeration does not serve.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "aDiscovery.h"
#include "aLinkSpecifier.h"

namespace {

// Discovery answers carry the record as raw bytes: every field stays where
// the peers expect it.
TEST(LinkSpec, FixedLayout) {
  struct Field {
    size_t offset;
    size_t expected;
  } fields[] = {
      {offsetof(linkSpec, type), 0},     {offsetof(linkSpec, serialNumber), 4},
      {offsetof(linkSpec, module), 8},   {offsetof(linkSpec, router), 12},
      {offsetof(linkSpec, routerSerialNumber), 16},
      {offsetof(linkSpec, model), 20},   {offsetof(linkSpec, address), 24},
      {offsetof(linkSpec, port), 28},    {offsetof(linkSpec, portName), 28},
  };
  for (const auto& f : fields) EXPECT_EQ(f.expected, f.offset);
  EXPECT_EQ(128u, sizeof(linkSpec));

  linkSpec spec{};
  spec.type = LINK_TCPIP;
  spec.serialNumber = 0x40F5849A;
  spec.port = 8000;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&spec);
  const uint8_t head[] = {2, 0, 0, 0, 0x9A, 0x84, 0xF5, 0x40};
  EXPECT_EQ(0, std::memcmp(head, bytes, sizeof head));
  EXPECT_EQ(0x40, bytes[28]);
  EXPECT_EQ(0x1F, bytes[29]);
}

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(LINK_SERIAL);
  ASSERT_NE(nullptr, spec);
  EXPECT_EQ(LINK_SERIAL, spec->type);
  const auto* bytes = reinterpret_cast<const uint8_t*>(spec);
  for (size_t i = 4; i < sizeof(linkSpec); ++i) ASSERT_EQ(0, bytes[i]) << "byte " << i;

  // A serial-form specifier: its device path runs to the record's end.
  const std::string path = "/dev/" + std::string(94, 'p');
  ASSERT_EQ(99u, path.size());
  std::memcpy(spec->portName, path.c_str(), path.size() + 1);
  spec->address = 115200;
  linkSpec* copy = aLinkSpec_Copy(*spec);
  ASSERT_NE(nullptr, copy);
  EXPECT_EQ(0, std::memcmp(spec, copy, sizeof(linkSpec)));
  EXPECT_EQ(path, copy->portName);

  EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&spec));
  EXPECT_EQ(nullptr, spec);
  EXPECT_EQ(aErrParam, aLinkSpec_Destroy(&spec));
  EXPECT_EQ(aErrParam, aLinkSpec_Destroy(nullptr));
  EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&copy));
}

class EnumerationUnserved : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EnumerationUnserved, NoCallbackAndZero) {
  int calls = 0;
  EXPECT_EQ(0, aDiscovery_EnumerateModules(
                   static_cast<linkType>(GetParam()),
                   [](const linkSpec*, bool* success, void* ref) {
                     ++*static_cast<int*>(ref);
                     *success = true;
                     return true;
                   },
                   &calls, 0));
  EXPECT_EQ(0, calls);
  EXPECT_EQ(nullptr, aDiscovery_FindFirstModule(static_cast<linkType>(GetParam()), 0));
}

// Serial ports are not enumerated and other values name no transport.
// (Shared links are searched for on the network; their tests run in namespaces.)
INSTANTIATE_TEST_SUITE_P(Types, EnumerationUnserved,
                         ::testing::Values(LINK_STREAM, LINK_SERIAL, 5u, 0xFFFFFFFFu));

TEST(Enumeration, NullCallbackFindsNothing) {
  EXPECT_EQ(0, aDiscovery_EnumerateModules(LINK_USB, nullptr, nullptr, 0));
}

}  // namespace
