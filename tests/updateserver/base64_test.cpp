#include "Base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Freer {
  void operator()(void* p) const { std::free(p); }
};

std::unique_ptr<unsigned char, Freer> decode(const std::string& text, size_t* n)
{
  return std::unique_ptr<unsigned char, Freer>(base64_decode(text.data(), text.size(), n));
}

struct Vector {
  std::string plain;
  std::string encoded;
};

// RFC 4648 section 10 vectors: every padding case.
const Vector kVectors[] = {
    {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

class Base64Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Base64Vectors, EncodesAndDecodes)
{
  const Vector& v = GetParam();
  size_t n = 99;
  std::unique_ptr<char, Freer> text(
      base64_encode(reinterpret_cast<const unsigned char*>(v.plain.data()), v.plain.size(), &n));
  ASSERT_TRUE(text);
  EXPECT_EQ(v.encoded.size(), n);
  EXPECT_EQ(v.encoded, std::string(text.get()));

  n = 99;
  auto bytes = decode(v.encoded, &n);
  ASSERT_TRUE(bytes);
  ASSERT_EQ(v.plain.size(), n);
  EXPECT_EQ(v.plain, std::string(reinterpret_cast<char*>(bytes.get()), n));
  EXPECT_EQ(0, bytes.get()[n]) << "decoded bytes are followed by a NUL";
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors, ::testing::ValuesIn(kVectors));

struct DecodeCase {
  const char* name;
  std::string text;
  bool ok;
  std::string plain; // when ok
};

class Base64Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decode, AcceptsOrRefuses)
{
  const DecodeCase& c = GetParam();
  size_t n = 12345;
  auto bytes = decode(c.text, &n);
  if (!c.ok) {
    EXPECT_FALSE(bytes) << "accepted " << c.text;
    EXPECT_EQ(12345u, n) << "length must not be touched on failure";
    return;
  }
  ASSERT_TRUE(bytes) << "refused " << c.text;
  EXPECT_EQ(c.plain, std::string(reinterpret_cast<char*>(bytes.get()), n));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64Decode,
    ::testing::Values(DecodeCase{"length5", "Zm9vY", false, ""},
                      DecodeCase{"length1", "Z", false, ""},
                      DecodeCase{"oneByteFromDoublePad", "Zg==", true, "f"},
                      DecodeCase{"trailingCR", "Zm9vYmFy\r", true, "foobar"},
                      DecodeCase{"trailingCRLF", "Zm8=\r\n", true, "fo"},
                      DecodeCase{"onlyCR", "\r", true, ""},
                      DecodeCase{"innerCR", "Zm\r9v", false, ""},
                      DecodeCase{"asterisk", "Zm9*", false, ""},
                      DecodeCase{"blank", "Zm 9", false, ""},
                      DecodeCase{"urlSafeAlphabet", "-_-_", false, ""},
                      DecodeCase{"highByte", "Zm9\xC3", false, ""},
                      DecodeCase{"nulByte", std::string("Zm\0v", 4), false, ""},
                      DecodeCase{"padInMiddle", "Zg==Zm9v", false, ""},
                      DecodeCase{"padBeforeData", "Zg=v", false, ""},
                      DecodeCase{"triplePad", "Z===", false, ""},
                      DecodeCase{"allPad", "====", false, ""},
                      DecodeCase{"plusSlash", "+/+/", true, "\xfb\xff\xbf"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64, EveryByteValueAndLengthRoundTrips)
{
  std::vector<unsigned char> data(256 * 3 + 2);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<unsigned char>(i * 7 + 3);
  for (size_t len : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(255), size_t(256), data.size()}) {
    size_t tn = 0, bn = 0;
    std::unique_ptr<char, Freer> text(base64_encode(data.data(), len, &tn));
    ASSERT_TRUE(text);
    ASSERT_EQ(4 * ((len + 2) / 3), tn);
    std::unique_ptr<unsigned char, Freer> back(base64_decode(text.get(), tn, &bn));
    ASSERT_TRUE(back);
    ASSERT_EQ(len, bn);
    EXPECT_EQ(0, std::memcmp(data.data(), back.get(), len)) << "length " << len;
  }
}

} // namespace
