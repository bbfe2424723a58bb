#pragma once
// Packed firmware version words and the library's own version.
//
// A packed word has two forms. Legacy (versions below 2.15): major in bits
// 28-31, minor in bits 24-27, patch in bits 0-23. Current (2.15 on): the
// marker 0x2F in bits 24-31, then major, minor and patch one byte each.
//
// No function keeps state between calls; any thread may call any of them.

#include <cstddef>
#include <cstdint>

#define aVERSION_PHASE "."

// True when the word is in the legacy form (its top two nibbles, read as
// major.minor, are below 2.15).
bool aVersion_IsLegacyFormat(uint32_t packed);

uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);

// Writes "major.minor.patch" into buf, cut to size and always terminated
// when size > 0. A null buf or size 0 writes nothing.
void aVersion_ParseString(uint32_t packed, char* buf, size_t size);

// Current form when major.minor is 2.15 or above, else legacy form (the
// minor keeps its low 4 bits, the patch only bits 0-7).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// The library's version: 2.11.5.
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();

// "2.11.5": static text owned by the library, valid for the life of the
// process. Safe to call from several threads at once.
const char* aVersion_GetString();

// True when the library's version is at least major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when version a.b.c is at least version d.e.f (lexicographic).
bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f);

// True when a feature of exactly that name (case-sensitive) exists.
bool aVersion_HasFeature(const char* name);

// Newly allocated text, one "NAME - description" line per feature, lines
// separated by '\n' (none after the last). The caller owns it and frees it
// with aVersion_DestroyFeatureList. Null when memory runs out.
char* aVersion_GetFeatureList();

// Frees a list from aVersion_GetFeatureList and sets *list to null.
void aVersion_DestroyFeatureList(char** list);
