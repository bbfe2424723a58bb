#pragma once
// Helpers shared by the Updater operations that touch the local store or
// check a build against the update server.

#include <cstdint>
#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"

// Opens the store for one operation. On failure shows "Failed to Create
// UpdaterStore in: <caller> - Exception: <why>" and answers null; the caller
// then fails without a further message.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* caller);

// Says that the store holds something it did not make and that the
// operation stops there: "Store entry refused: <path> is a symbolic link".
void _show_refusal(UpdaterDisplayInterface& display, const UpdaterStoreRefusal& refusal);

// True when the server's build list for the module holds the build. When
// the list itself could not be had, *why (may be null) says why; when it
// came but lacks the build, *why names the entries that are not build
// numbers (none matches a build), and is left alone when there are none.
bool _valid_build(uint32_t serialNumber, uint32_t build, const char* serverUrl, std::string* why = nullptr);

// Decimal build text as the updater reads it: leading blanks allowed, digits
// up to the first non-digit. False for text without a leading digit or a
// value beyond 32 bits.
bool _parse_build(const std::string& text, uint32_t& build);
