#include "UpdaterStore.h"

#include <cstdio>
#include <stdexcept>

#include "BuildPath.h"
#include "Log.h"
#include "UpdaterStoreFile.h"
#include "UpdaterStorePath.h"
#include "aDirectory.h"

#include <unistd.h>
#include "aFile.h"

namespace {

constexpr uint16_t kDirectoryMode = 0755;
constexpr const char* kBirdSuffix = ".bird";

// State of one directory search.
struct result_t {
  bool found = false;
  std::string name;
  UpdaterStoreItem* item = nullptr;
  bool createSettings = false;
  // Raised once the listing is over: a throw from inside it would leave
  // the directory open.
  std::string refusal;
};

// The items of a module's directory, and a refusal met while listing it.
struct items_t {
  std::vector<UpdaterStoreItem>* items = nullptr;
  std::string refusal;
};

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string leafOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void _ensure_directory(const std::string& path) {
  if (aDirectory_Exists(path.c_str())) {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  if (aFile_Exists(path.c_str()))
    throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  aErr err = aDirectory_Ensure(path.c_str(), kDirectoryMode);
  if (err == aErrNone && !aDirectory_Exists(path.c_str()))
    err = aErrPermission;  // something other than a directory appeared there
  if (err != aErrNone)
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(unsigned(err)));
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool isDotName(const std::string& name) {
  return name == "." || name == "..";
}

store_item_t kindOf(const aDirectoryListData* data) {
  return data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
}

bool _find_item(const aDirectoryListData* data, void* ref) {
  auto* result = static_cast<result_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path, int(data->isDirectory),
           int(data->size), result->name.c_str());
  std::string path = data->path;
  std::string name = leafOf(path);
  if (isDotName(name) || name != result->name)
    return true;
  result->found = true;
  if (result->item) {
    // A module's entry must be the directory the store made; its settings
    // are read from below it only then.
    const UpdaterStoreOpen entry = UpdaterStorePath_OpenDirectory(path);
    if (entry.fd >= 0)
      ::close(entry.fd);
    if (entry.Refused()) {
      result->refusal = entry.refusal;
      return false;
    }
    try {
      *result->item = UpdaterStoreItem(parentOf(path), name, kindOf(data), result->createSettings);
    } catch (const UpdaterStoreRefusal& e) {
      result->refusal = e.what();
    }
  }
  return false;
}

bool _find_items(const aDirectoryListData* data, void* ref) {
  auto* found = static_cast<items_t*>(ref);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, int(data->isDirectory), int(data->size));
  std::string path = data->path;
  std::string name = leafOf(path);
  if (name.empty() || name[0] == '.')
    return true;
  // A listing reads; it must not leave settings files behind.
  try {
    found->items->emplace_back(parentOf(path), name, kindOf(data), false);
  } catch (const UpdaterStoreRefusal& e) {
    found->refusal = e.what();
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// UpdaterStoreItem

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const std::string& directory, const std::string& name, store_item_t kind,
                                   bool createSettings)
    : m_directory(directory), m_name(name), m_kind(kind) {
  std::string settings = BuildPath(m_directory.c_str(), m_name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
  m_settings.Load(settings.c_str(), createSettings);
  // Below a file there are no settings to refuse; a module's must be its own.
  if (m_kind == STORE_ITEM_DIRECTORY && !m_settings.Refusal().empty())
    throw UpdaterStoreRefusal(m_settings.Refusal());
}

UpdaterStoreItem::UpdaterStoreItem(const UpdaterStoreItem& other) = default;
UpdaterStoreItem& UpdaterStoreItem::operator=(const UpdaterStoreItem& other) = default;
UpdaterStoreItem::~UpdaterStoreItem() = default;

bool UpdaterStoreItem::IsValid() const {
  return !m_directory.empty() && !m_name.empty();
}

std::string UpdaterStoreItem::Path() const {
  return BuildPath(m_directory.c_str(), m_name.c_str(), nullptr);
}

bool UpdaterStoreItem::IsBuildFileName(const std::string& fileName) {
  const std::string suffix = kBirdSuffix;
  if (fileName.size() <= suffix.size() || fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  for (size_t i = 0; i < fileName.size() - suffix.size(); ++i)
    if (fileName[i] < '0' || fileName[i] > '9')
      return false;
  return true;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data, uint64_t length,
                                 std::string* whyOut) {
  if (!data)
    return aErrNotFound;
  if (!IsValid() || !IsBuildFileName(fileName)) {
    Log::log(DEBUG_Updater, "UpdaterStore: refusing to write [%s] into [%s]: not a build file name\n", fileName.c_str(),
             Path().c_str());
    if (whyOut)
      *whyOut = fileName + " is not a build's file name";
    return aErrParam;
  }
  std::string path = BuildPath(Path().c_str(), fileName.c_str(), nullptr);
  std::string why;
  aErr err = UpdaterStore_ReplaceFile(path, data, size_t(length), &why);
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "UpdaterStore: WriteFile %s failed: %s\n", path.c_str(), why.c_str());
    if (whyOut)
      *whyOut = why;
  }
  return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  std::string path = BuildPath(Path().c_str(), fileName.c_str(), nullptr);
  if (!IsBuildFileName(fileName))
    throw std::runtime_error("Invalid bird " + path + ": not a build's file name");
  const std::string problem = BirdFile::HeaderProblem(path, BirdFile::Source::Stored);
  if (!problem.empty())
    throw std::runtime_error("Invalid bird " + path + ": " + problem);
  return BirdFile::LoadWhole(path, BirdFile::Source::Stored);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
  result_t result;
  result.name = fileName;
  aDirectory_List(Path().c_str(), _find_item, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found", fileName.c_str());
  return result.found;
}

// ---------------------------------------------------------------------------
// UpdaterStore

UpdaterStore::UpdaterStore(const std::string& basePath) : m_basePath(basePath) {
  _ensure_directory(m_basePath);
}

UpdaterStore::~UpdaterStore() = default;

std::string UpdaterStore::DeviceName(uint32_t serialNumber) {
  char name[9];
  std::snprintf(name, sizeof name, "%08X", serialNumber);
  return name;
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber) {
  return AddDevice(DeviceName(serialNumber));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
  if (name.empty() || isDotName(name) || name.find('/') != std::string::npos)
    throw std::runtime_error("UpdaterStore: invalid device name [" + name + "]");
  const std::string entry = BuildPath(m_basePath.c_str(), name.c_str(), nullptr);
  const UpdaterStoreOpen opened = UpdaterStorePath_OpenDirectory(entry, true, kDirectoryMode);
  if (opened.Refused())
    throw UpdaterStoreRefusal(opened.refusal);
  if (opened.fd < 0)
    throw std::runtime_error("UpdaterStore: Could not create directory " + entry + " error " +
                             std::to_string(unsigned(aErrPermission)));
  ::close(opened.fd);
  Log::log(DEBUG_Updater, "UpdaterStore: [%s] is ready.\n", entry.c_str());
  UpdaterStore_RemoveStaleTemporaries(entry);
  return UpdaterStoreItem(m_basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::find(const std::string& name, UpdaterStoreItem* item, bool createSettings) const {
  // A module directory opened to be written to loses the temporaries of
  // runs that died in it first, so its settings are read without them.
  if (createSettings && !name.empty() && !isDotName(name) && name.find('/') == std::string::npos)
    UpdaterStore_RemoveStaleTemporaries(BuildPath(m_basePath.c_str(), name.c_str(), nullptr));
  result_t result;
  result.name = name;
  result.item = item;
  result.createSettings = createSettings;
  aDirectory_List(m_basePath.c_str(), _find_item, &result);
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found", name.c_str());
  if (!result.refusal.empty())
    throw UpdaterStoreRefusal(result.refusal);
  return result.found;
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) const {
  return find(name, item, true);
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem* item) const {
  return FindDevice(DeviceName(serialNumber), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const {
  UpdaterStoreItem device;
  if (!find(DeviceName(serialNumber), &device, false))
    return true;
  items_t found;
  found.items = &items;
  aDirectory_List(device.Path().c_str(), _find_items, &found);
  if (!found.refusal.empty())
    throw UpdaterStoreRefusal(found.refusal);
  return true;
}
