#pragma once
// The local firmware store: one directory per module under a base
// directory, named by the module's serial number as "%08X", holding the
// module's ".settings" file and its downloaded BIRD files, each named by its
// build number in decimal followed by ".bird".
//
// Failures to make directories raise std::runtime_error with a message;
// file writes answer an aErr. Names that come from outside (a build's file
// name, a setting) must be "<digits>.bird", so no path leaves the module's
// directory. Every search reads the directory afresh and nothing is cached.
// Nothing the store holds is ever deleted; only the temporaries of writers
// that died before finishing are cleared away when their module's directory
// is opened (UpdaterStore_RemoveStaleTemporaries). Runs that share a store
// are coordinated by UpdaterStoreLock.h. Not thread-safe.
//
// Below the base directory the store opens only what it made: an entry or
// a file that is a symbolic link, or not a directory or regular file as it
// should be, makes the operation that meets it raise UpdaterStoreRefusal
// (UpdaterStorePath.h) before anything is read from it or written there.

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "UpdaterStorePath.h"
#include "aError.h"

enum store_item_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_UNSET = 2,
};

// One entry of the store (a module directory, or a file in one) and the
// settings loaded from <directory>/<name>/.settings. A value: copies copy
// the settings too.
class UpdaterStoreItem {
 public:
  // Empty directory and name, STORE_ITEM_UNSET, settings without a file.
  UpdaterStoreItem();
  // Loads the settings; with createSettings a missing .settings file is
  // created (see KeyValueStore::Load), without it nothing is written.
  UpdaterStoreItem(const std::string& directory, const std::string& name, store_item_t kind,
                   bool createSettings = true);
  UpdaterStoreItem(const UpdaterStoreItem& other);
  UpdaterStoreItem& operator=(const UpdaterStoreItem& other);
  ~UpdaterStoreItem();

  // True when both directory and name are non-empty.
  bool IsValid() const;

  // Replaces <directory>/<name>/<fileName> with length bytes through a
  // synced temporary, so a failed write leaves the old file whole.
  // aErrNone; aErrNotFound for null data or when the file cannot be
  // created; aErrParam for an item that is not valid or a file name that is
  // not "<digits>.bird"; aErrIO when writing or replacing fails.
  // On failure *why (may be null) names the step and the system's reason.
  aErr WriteFile(const std::string& fileName, const uint8_t* data, uint64_t length, std::string* why = nullptr);

  // Loads <directory>/<name>/<fileName>. Raises std::runtime_error "Invalid
  // bird " and the path for a name that is not "<digits>.bird" or a file
  // that fails BirdFile::VerifyFile, "Failed to load bird data" when it
  // cannot be loaded, and BirdFile::Incomplete when its block list does not
  // match its body.
  BirdFile ReadBirdFile(const std::string& fileName) const;

  // True when <directory>/<name> holds an entry named exactly fileName.
  bool FileExists(const std::string& fileName) const;

  const std::string& Directory() const { return m_directory; }
  const std::string& Name() const { return m_name; }
  store_item_t Kind() const { return m_kind; }
  // <directory>/<name>
  std::string Path() const;
  KeyValueStore& Settings() { return m_settings; }
  const KeyValueStore& Settings() const { return m_settings; }

  // True for a file name the store accepts for a build: "<digits>.bird".
  static bool IsBuildFileName(const std::string& fileName);

 private:
  std::string m_directory;
  std::string m_name;
  store_item_t m_kind = STORE_ITEM_UNSET;
  KeyValueStore m_settings;
};

class UpdaterStore {
 public:
  // Makes sure the base directory exists (parents included, mode 0755).
  // Raises std::runtime_error "UpdaterStore: Could not create directory
  // <path> error <code>" or "UpdaterStore: <path> exists and is a file".
  explicit UpdaterStore(const std::string& basePath);
  ~UpdaterStore();

  const std::string& BasePath() const { return m_basePath; }

  // Makes sure the module's directory exists and returns its item, whose
  // settings file is loaded or created; stale temporaries in it are removed.
  // Raises as the constructor does, and
  // "UpdaterStore: invalid device name" for a name that is empty, "." or
  // "..", or holds a "/".
  UpdaterStoreItem AddDevice(uint32_t serialNumber);
  UpdaterStoreItem AddDevice(const std::string& name);

  // True when the base directory has an entry named exactly name; fills
  // *item (when not null) with it and its settings, and removes the stale
  // temporaries of a module directory it finds. A base directory that
  // cannot be listed holds nothing.
  bool FindDevice(const std::string& name, UpdaterStoreItem* item) const;
  bool FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const;

  // Appends one item per entry of the module's directory whose name does not
  // begin with "." (so neither ".settings" nor temporaries), in listing
  // order; nothing when the module has no directory. Writes nothing to disk.
  // Always true.
  bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const;

  // "%08X"
  static std::string DeviceName(uint32_t serialNumber);

 private:
  bool find(const std::string& name, UpdaterStoreItem* item, bool createSettings) const;

  std::string m_basePath;
};
