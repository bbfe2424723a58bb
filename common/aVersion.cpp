#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr uint8_t VERSION_MAJOR = 2;
constexpr uint8_t VERSION_MINOR = 11;
constexpr uint8_t VERSION_PATCH = 5;

// The first version written in the current form; its marker byte 0x2F reads
// as this major.minor in the legacy form.
constexpr uint8_t CURRENT_FORM_MAJOR = 2;
constexpr uint8_t CURRENT_FORM_MINOR = 15;

struct Feature {
  const char* name;
  const char* description;
};

constexpr Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);

constexpr const char* FEATURE_SEPARATOR = " - ";

char version_string[15];
std::once_flag version_inited;

}  // namespace

bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  if (a != d)
    return a > d;
  if (b != e)
    return b > e;
  return c >= f;
}

bool aVersion_IsLegacyFormat(uint32_t packed) {
  const uint8_t major = static_cast<uint8_t>(packed >> 28);
  const uint8_t minor = static_cast<uint8_t>((packed >> 24) & 0xF);
  // major.minor is below 2.15 exactly when 2.15.0 is at least major.minor.255.
  return aVersion_IsAtLeastCompare(CURRENT_FORM_MAJOR, CURRENT_FORM_MINOR, 0, major, minor, 255);
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(packed) ? packed >> 28 : packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
  return static_cast<uint8_t>(aVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0xF : packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
  return aVersion_IsLegacyFormat(packed) ? packed & 0xFFFFFF : packed & 0xFF;
}

void aVersion_ParseString(uint32_t packed, char* buf, size_t size) {
  if (buf == nullptr || size == 0)
    return;
  snprintf(buf, size, "%d.%d.%d", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
           static_cast<int>(aVersion_ParsePatch(packed)));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (aVersion_IsAtLeastCompare(major, minor, 0, CURRENT_FORM_MAJOR, CURRENT_FORM_MINOR, 0)) {
    return 0x2F000000u | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | patch;
  }
  return (uint32_t{major} << 28) | (uint32_t{minor & 0xFu} << 24) | patch;
}

uint8_t aVersion_GetMajor() {
  return VERSION_MAJOR;
}
uint8_t aVersion_GetMinor() {
  return VERSION_MINOR;
}
uint8_t aVersion_GetPatch() {
  return VERSION_PATCH;
}

const char* aVersion_GetString() {
  // Two first callers on different threads must not write the text at once.
  std::call_once(version_inited, [] {
    memset(version_string, 0, sizeof(version_string));
    snprintf(version_string, sizeof(version_string), "%d.%d%s%d", VERSION_MAJOR, VERSION_MINOR, aVERSION_PHASE,
             VERSION_PATCH);
  });
  return version_string;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr)
    return false;
  for (const Feature& feat : FEATS) {
    if (strcmp(feat.name, name) == 0)
      return true;
  }
  return false;
}

char* aVersion_GetFeatureList() {
  size_t size = 1;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    size += strlen(FEATS[i].name) + strlen(FEATURE_SEPARATOR) + strlen(FEATS[i].description);
    if (i + 1 < NUM_FEATS)
      size += 1;
  }
  char* list = static_cast<char*>(calloc(size, 1));
  if (list == nullptr)
    return nullptr;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    strcat(list, FEATS[i].name);
    strcat(list, FEATURE_SEPARATOR);
    strcat(list, FEATS[i].description);
    if (i + 1 < NUM_FEATS)
      strcat(list, "\n");
  }
  list[size - 1] = '\0';
  return list;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr)
    return;
  free(*list);
  *list = nullptr;
}
