#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

namespace {

struct ErrorCase {
  uint32_t code;
  const char* text;
  const char* description;
};

class ErrorText : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorText, NameAndDescription) {
  const ErrorCase& c = GetParam();
  EXPECT_STREQ(c.text, aError_GetErrorText(c.code));
  EXPECT_STREQ(c.description, aError_GetErrorDescription(c.code));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorText,
    ::testing::Values(ErrorCase{aErrNone, "aErrNone", "Success, no error"},
                      ErrorCase{aErrParam, "aErrParam", "Invalid parameter"},
                      ErrorCase{aErrShortCommand, "aErrShortCommand", "Jorvanite command to short"},
                      ErrorCase{aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
                      ErrorCase{aErrUnknown, "aErrUnknown", "Unknown error"},
                      ErrorCase{35, "aErrUnknown", "Unknown error"},
                      ErrorCase{0xFFFFFFFFu, "aErrUnknown", "Unknown error"}));

struct ModelCase {
  uint32_t model;
  const char* name;
};

class ModelName : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelName, Lookup) { EXPECT_STREQ(GetParam().name, aDefs_GetModelName(GetParam().model)); }

INSTANTIATE_TEST_SUITE_P(
    Models, ModelName,
    ::testing::Values(ModelCase{4, "Corvel"}, ModelCase{5, "Dranix"}, ModelCase{13, "Halvorn"},
                      ModelCase{19, "Norquil"}, ModelCase{26, "Vexor"}, ModelCase{27, "Ulvarin"},
                      ModelCase{0, "Unknown"}, ModelCase{3, "Unknown"}, ModelCase{6, "Unknown"},
                      ModelCase{12, "Unknown"}, ModelCase{28, "Unknown"},
                      ModelCase{255, "Unknown"}, ModelCase{0xFFFFFFFFu, "Unknown"}));

struct PackCase {
  uint8_t major, minor, patch;
  uint32_t packed;
};

class VersionPack : public ::testing::TestWithParam<PackCase> {};

TEST_P(VersionPack, Word) {
  const PackCase& c = GetParam();
  EXPECT_EQ(c.packed, aVersion_Pack(c.major, c.minor, c.patch));
}

INSTANTIATE_TEST_SUITE_P(
    Words, VersionPack,
    ::testing::Values(PackCase{2, 15, 1, 0x2F020F01u},   // first current-form version
                      PackCase{2, 14, 1, 0x2E000001u},   // last legacy minor
                      PackCase{1, 20, 0, 0x14000000u},   // legacy minor keeps 4 bits
                      PackCase{3, 0, 0, 0x2F030000u},    // any major above 2 is current
                      PackCase{2, 255, 255, 0x2F02FFFFu},
                      PackCase{0, 0, 255, 0x000000FFu}));

struct UnpackCase {
  uint32_t packed;
  bool legacy;
  uint8_t major, minor;
  uint32_t patch;
  const char* text;
};

class VersionUnpack : public ::testing::TestWithParam<UnpackCase> {};

TEST_P(VersionUnpack, Fields) {
  const UnpackCase& c = GetParam();
  EXPECT_EQ(c.legacy, aVersion_IsLegacyFormat(c.packed));
  EXPECT_EQ(c.major, aVersion_ParseMajor(c.packed));
  EXPECT_EQ(c.minor, aVersion_ParseMinor(c.packed));
  EXPECT_EQ(c.patch, aVersion_ParsePatch(c.packed));
  char text[32];
  aVersion_ParseString(c.packed, text, sizeof(text));
  EXPECT_STREQ(c.text, text);
}

INSTANTIATE_TEST_SUITE_P(
    Words, VersionUnpack,
    ::testing::Values(UnpackCase{0x2F020F01u, false, 2, 15, 1, "2.15.1"},
                      UnpackCase{0x2E000001u, true, 2, 14, 1, "2.14.1"},
                      UnpackCase{0x13123456u, true, 1, 3, 0x123456, "1.3.1193046"},
                      UnpackCase{0x1F000002u, true, 1, 15, 2, "1.15.2"},  // minor 15, major 1
                      UnpackCase{0x30010203u, false, 1, 2, 3, "1.2.3"},
                      UnpackCase{0xFFFFFFFFu, false, 255, 255, 255, "255.255.255"},
                      UnpackCase{0x00000000u, true, 0, 0, 0, "0.0.0"}));

TEST(VersionString, CutToBufferAndTerminated) {
  char text[5];
  memset(text, 'x', sizeof(text));
  aVersion_ParseString(0x2F020F01u, text, sizeof(text));
  EXPECT_STREQ("2.15", text);

  char untouched = 'x';
  aVersion_ParseString(0x2F020F01u, &untouched, 0);
  EXPECT_EQ('x', untouched);
  aVersion_ParseString(0x2F020F01u, nullptr, 8);  // must not crash
}

struct CompareCase {
  uint8_t a, b, c, d, e, f;
  bool atLeast;
};

class VersionCompare : public ::testing::TestWithParam<CompareCase> {};

TEST_P(VersionCompare, Lexicographic) {
  const CompareCase& v = GetParam();
  EXPECT_EQ(v.atLeast, aVersion_IsAtLeastCompare(v.a, v.b, v.c, v.d, v.e, v.f));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionCompare,
    ::testing::Values(CompareCase{2, 11, 5, 2, 11, 5, true}, CompareCase{2, 11, 5, 2, 11, 6, false},
                      CompareCase{2, 11, 5, 1, 200, 200, true},
                      CompareCase{2, 11, 5, 2, 12, 0, false}, CompareCase{2, 11, 5, 3, 0, 0, false},
                      CompareCase{2, 12, 0, 2, 11, 255, true},
                      CompareCase{0, 0, 0, 0, 0, 0, true}));

TEST(LibraryVersion, NumbersAndText) {
  EXPECT_EQ(2, aVersion_GetMajor());
  EXPECT_EQ(11, aVersion_GetMinor());
  EXPECT_EQ(5, aVersion_GetPatch());
  const char* first = aVersion_GetString();
  EXPECT_STREQ("2.11.5", first);
  EXPECT_EQ(first, aVersion_GetString());  // the same static text every time
  EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 5));
  EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
  EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 6));
}

TEST(LibraryFeatures, ExactNamesOnly) {
  EXPECT_TRUE(aVersion_HasFeature("VERSION"));
  EXPECT_FALSE(aVersion_HasFeature("version"));
  EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
  EXPECT_FALSE(aVersion_HasFeature(""));
  EXPECT_FALSE(aVersion_HasFeature(nullptr));
}

TEST(LibraryFeatures, ListIsOwnedByCallerAndNulledOnDestroy) {
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(std::string("VERSION - Version Query API"), list);
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(nullptr, list);
  aVersion_DestroyFeatureList(&list);  // a second destroy is harmless
  aVersion_DestroyFeatureList(nullptr);
}

}  // namespace
