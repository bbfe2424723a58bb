// Build lists (the server's and the local store's) and the download of a
// build into the local store.
#include "Updater_Builds.h"

#include "Base64.h"
#include "BirdFile.h"
#include "Log.h"
#include "RunTempFiles.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStoreFile.h"

#include <unistd.h>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

std::string _time_text() {
  const std::time_t now = std::time(nullptr);
  char text[64] = {0};
  if (!ctime_r(&now, text))
    return {};
  std::string out(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
    out.pop_back();
  return out;
}

struct Freer {
  void operator()(void* p) const { std::free(p); }
};

// Fetches the Base64 BIRD text on the download worker thread. Writes only
// its output string and the promise; the caller reads the string after the
// future is ready and the thread is joined.
struct _DownloadWorker {
  Updater* updater;
  std::promise<bool>* result;
  uint32_t serialNumber;
  std::string firmwareId;
  std::string build;
  std::string* birdBase64;
  bool noCalibration;
  std::string* why;

  void operator()() {
    try {
      result->set_value(UpdateServerRequest::GetBuild(serialNumber, firmwareId, build, *birdBase64,
                                                      updater->serverUrl.c_str(), noCalibration, why));
    } catch (...) {
      *why = "the download worker failed";
      result->set_value(false);
    }
  }
};

// Why a loaded download is not the file that was asked for, empty when it is
// or when it has no descriptor to say. It is stored under the build's number
// and installed as that build, so its descriptor must name that build; and,
// unless it takes the module's serial number when installed (serial
// offsets) or the checks are overridden, that module.
std::string _foreign_problem(const BirdFile& file, uint32_t build, uint32_t serialNumber, bool override) {
  if (file.FindBlocks(BirdFile::BLOCK_DESCRIPTOR).empty())
    return {};
  char text[128];
  if (file.GetBuild() != build) {
    std::snprintf(text, sizeof text, "its descriptor is for build %u, not build %u", file.GetBuild(), build);
    return text;
  }
  if (!override && !file.HasSerialOffsets() && !file.ValidateSerialNumber(serialNumber)) {
    std::snprintf(text, sizeof text, "its descriptor is for module %08X, not module %08X", file.GetSerialNumber(),
                  serialNumber);
    return text;
  }
  return {};
}

// Checks the downloaded bytes exactly as the update flow will read them back:
// written to a hidden temporary next to their destination, they must pass
// the header check, load whole and be the build (and module) asked for.
// Answers the reason on failure, empty when sound; *staged is the error of
// writing the temporary (aErrNone when it was written), so a store that
// cannot take the file is not blamed on it.
std::string _check_bird(const UpdaterStoreItem& device, const std::string& fileName, const uint8_t* data, size_t length,
                        uint32_t build, uint32_t serialNumber, bool override, aErr* staged) {
  const std::string temp = device.Path() + "/" + UpdaterStore_StagingName(fileName);
  std::string why;
  RunTempFiles::Expect(temp);
  *staged = UpdaterStore_ReplaceFile(temp, data, length, &why);
  if (*staged != aErrNone) {
    RunTempFiles::Remove(temp);
    return why;
  }
  std::string problem;
  try {
    problem = BirdFile::HeaderProblem(temp, BirdFile::Source::Stored);
  } catch (const UpdaterStoreRefusal& e) {
    problem = e.what();
  }
  if (!problem.empty()) {
    problem = fileName + ": " + problem;
  } else {
    try {
      const std::string foreign =
          _foreign_problem(BirdFile::LoadWhole(temp, BirdFile::Source::Stored), build, serialNumber, override);
      if (!foreign.empty())
        problem = fileName + ": " + foreign;
    } catch (const BirdFile::Incomplete& e) {
      // Named as the store would hold it: the staging file is gone next.
      problem = BirdFile::Incomplete(fileName, e.Problem()).what();
    } catch (const BirdFile::LoadError& e) {
      problem = fileName + ": " + e.Reason();
    } catch (const std::exception& e) {
      problem = e.what();
    }
  }
  RunTempFiles::Remove(temp);
  return problem;
}

}  // namespace

bool _parse_build(const std::string& text, uint32_t& build) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
    ++i;
  if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
    return false;
  uint64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > UINT32_MAX)
      return false;
  }
  build = static_cast<uint32_t>(value);
  return true;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDir,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(storeDir);
  } catch (const std::runtime_error& e) {
    display.message(ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
    return nullptr;
  }
}

void _show_refusal(UpdaterDisplayInterface& display, const UpdaterStoreRefusal& refusal) {
  display.message(ERROR, "Store entry refused: %s", refusal.what());
}

bool _valid_build(uint32_t serialNumber, uint32_t build, const char* serverUrl, std::string* why) {
  BuildMap builds;
  std::string cause;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl, &cause)) {
    if (why)
      *why = "the build list could not be had: " + cause;
    return false;
  }
  // An entry that is no number matches no build; when the build is then
  // missing, those entries are the likelier cause, and are named.
  constexpr size_t kNamed = 3;
  std::string notNumbers;
  size_t unread = 0;
  for (const auto& entry : builds) {
    uint32_t listed = 0;
    if (!_parse_build(entry.first, listed)) {
      Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
      if (unread++ < kNamed)
        notNumbers += (notNumbers.empty() ? "\"" : ", \"") + UpdateServerRequest::ShownText(entry.first) + "\"";
      continue;
    }
    if (listed == build)
      return true;
  }
  if (unread > 0 && why)
    *why = "the server's build list holds " + std::to_string(unread) +
           (unread == 1 ? " entry that is not a build number: " : " entries that are not build numbers: ") +
           notNumbers + (unread > kNamed ? ", ..." : "");
  return false;
}

BuildMap Updater::Get_BuildList(uint32_t serialNumber) {
  BuildMap builds;
  Get_BuildList(serialNumber, builds);
  return builds;
}

bool Updater::Get_BuildList(uint32_t serialNumber, BuildMap& builds) {
  builds.clear();
  std::string why;
  if (!UpdateServerRequest::ping(serverUrl.c_str(), &why)) {
    display.message(ERROR, "Server request failed for %s: %s", serverUrl.c_str(), why.c_str());
    return false;
  }
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str(), &why)) {
    display.message(ERROR, "Failed to retrieve builds for %08X: %s", serialNumber, why.c_str());
    return false;
  }
  return true;
}

// Raises UpdaterStoreRefusal for an entry, or a file in it, that the store
// did not make.
static void _list_local_builds(const UpdaterStore& store, uint32_t serialNumber, BuildMap& builds) {
  std::vector<UpdaterStoreItem> items;
  store.FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string& name = item.Name();
    const std::string key = name.substr(0, name.find(".bird"));
    std::string version;
    if (item.IsValid()) {
      const std::string path = item.Directory() + "/" + name;
      if (BirdFile::VerifyFile(path, BirdFile::Source::Stored)) {
        try {
          version = BirdFile(path, BirdFile::Source::Stored).GetVersion();
          Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
        } catch (const std::exception& e) {
          // Listed all the same, without a version.
          Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
      } else {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
      }
    }
    builds.emplace(key, version);
  }
}

BuildMap Updater::Get_BuildListLocal(uint32_t serialNumber) {
  BuildMap builds;
  Get_BuildListLocal(serialNumber, builds);
  return builds;
}

bool Updater::Get_BuildListLocal(uint32_t serialNumber, BuildMap& builds) {
  builds.clear();
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Get_BuildListLocal");
  if (!store)
    return true;
  try {
    _list_local_builds(*store, serialNumber, builds);
  } catch (const UpdaterStoreRefusal& refusal) {
    builds.clear();
    _show_refusal(display, refusal);
    return false;
  }
  return true;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, std::string buildText, bool override, bool noCalibration) {
  uint32_t build = 0;
  if (!buildText.empty() && !_parse_build(buildText, build)) {
    display.message(ERROR, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(ERROR, "Serial Number must be non-zero");
    return 0;
  }
  std::string why;
  if (!UpdateServerRequest::ping(serverUrl.c_str(), &why)) {
    display.message(ERROR, "Server request failed for %s: %s", serverUrl.c_str(), why.c_str());
    return 0;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Download_Firmware");
  if (!store)
    return 0;

  UpdaterStoreItem device;
  try {
    if (!store->FindDevice(serialNumber, &device)) {
      Log::log(DEBUG_APP, "Could not find device in our update history.\n");
      device = store->AddDevice(serialNumber);
    }
  } catch (const UpdaterStoreRefusal& refusal) {
    _show_refusal(display, refusal);
    return 0;
  } catch (const std::runtime_error& e) {
    display.message(ERROR, "Could not create directory for storing BIRD file: %s", e.what());
    return 0;
  }

  std::string latest, firmwareId;
  if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareId, serverUrl.c_str(), &why)) {
    display.message(ERROR, "No build information for device: %s", why.c_str());
    return 0;
  }
  if (build == 0 && !_parse_build(latest, build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
    if (latest.empty())
      display.message(ERROR, "The update server named no latest build for %08X", serialNumber);
    else
      display.message(ERROR, "The update server's latest build for %08X is not a build number: \"%s\"", serialNumber,
                      UpdateServerRequest::ShownText(latest).c_str());
    return 0;
  }

  display.message(INFO, "Retrieving build %u", build);
  if (override) {
    display.message(INFO, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(INFO, "Validating build %u with server", build);
    std::string listWhy;
    if (!_valid_build(serialNumber, build, serverUrl.c_str(), &listWhy)) {
      if (listWhy.empty())
        display.message(ERROR, "No valid build %u", build);
      else
        display.message(ERROR, "No valid build %u: %s", build, listWhy.c_str());
      return 0;
    }
    display.message(INFO, "Build %u is valid", build);
  }

  buildText = std::to_string(build);
  std::string birdBase64;
  std::promise<bool> promise;
  std::future<bool> done = promise.get_future();
  std::string downloadWhy;
  std::thread worker(
      _DownloadWorker{this, &promise, serialNumber, firmwareId, buildText, &birdBase64, noCalibration, &downloadWhy});
  display.update_spinner(true, "Downloading");
  while (done.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
    display.update_spinner(true, "Downloading");
  display.update_spinner(false, "Downloading");
  const bool fetched = done.get();
  worker.join();
  if (!fetched)
    display.message(ERROR, "Download failed: %s", downloadWhy.c_str());

  size_t length = 0;
  std::unique_ptr<unsigned char, Freer> bytes(
      birdBase64.empty() ? nullptr : base64_decode(birdBase64.data(), birdBase64.size(), &length));
  if (!bytes) {
    display.message(ERROR, "Failed to retrieve a valid BIRD file: %s",
                    birdBase64.empty() ? "the server sent no file" : "the server's text is not valid Base64");
    return 0;
  }

  // Nothing in the store changes unless the whole file is sound and written.
  const std::string fileName = buildText + ".bird";
  aErr staged = aErrNone;
  const std::string problem =
      _check_bird(device, fileName, bytes.get(), length, build, serialNumber, override, &staged);
  if (staged != aErrNone) {
    display.message(ERROR, "Failed to write file with %d: %s", static_cast<int>(staged), problem.c_str());
    return 0;
  }
  if (!problem.empty()) {
    Log::log(DEBUG_Updater, "Download_Firmware: build %u refused: %s\n", build, problem.c_str());
    display.message(ERROR, "Failed to retrieve a valid BIRD file: %s", problem.c_str());
    return 0;
  }
  const std::string timeText = _time_text();
  std::string writeWhy;
  const aErr written = device.WriteFile(fileName, bytes.get(), length, &writeWhy);
  if (written != aErrNone) {
    display.message(ERROR, "Failed to write file with %d: %s", static_cast<int>(written), writeWhy.c_str());
    return 0;
  }

  KeyValueStore& settings = device.Settings();
  settings.Add("LATEST_DOWNLOAD", fileName);
  settings.Add("LAST_DOWNLOAD_DATE", timeText);
  if (!settings.Save(nullptr)) {
    display.message(ERROR, "Failed to record the download in %s/%s", device.Path().c_str(),
                    KeyValueStore::DEFAULT_FILENAME);
    return 0;
  }
  return build;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override) {
  uint32_t build = 0;
  if (!_parse_build(buildText, build)) {
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
    build = 0;
  }
  uint32_t serialNumber = 0, recoveryBuild = 0;
  std::string why;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, serialNumber, recoveryBuild, serverUrl.c_str(), &why)) {
    display.message(ERROR, "Failed to retrieve recovery information from Tovanire update server: %s", why.c_str());
    return 0;
  }
  if (build == 0)
    build = recoveryBuild;
  return Download_Firmware(serialNumber, std::to_string(build), override, false);
}
