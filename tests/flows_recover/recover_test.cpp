// The fingerprint and recovery flows against simulated boot ROMs (an LPC
// chip's in-system programming on a pseudo-terminal; an i.MX RT chip's
// serial download protocol as a HID device or on a pseudo-terminal), the
// live loader on the simulated USB bus, and the simulated update server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "LpcRom.h"
#include "RecoverFixture.h"
#include "Updater.h"
#include "Updater_Recover.h"
#include "test_support.h"

namespace {

using namespace recover;

// The LPC chip's serial number, which is its fingerprint.
const uint32_t kLpcId[4] = {0x00000001, 0x00000002, 0x00000003, 0x00000004};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every case table's rows carry a name.
template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

std::string romText(const sdpsim::SdpRom& rom) {
  std::string out;
  for (const auto& line : rom.transcript()) out += line + "\n";
  return out;
}

class RecoverFlows : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = fs::path(dir_.path()) / "store";
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override { server_.stop(); }

  Updater& updater() {
    if (!updater_) updater_ = std::make_unique<Updater>(server_.url().c_str(), store_.c_str(), display_);
    return *updater_;
  }
  bool shown(const std::string& part) const {
    for (const auto& [level, text] : display_.lines) {
      if (contains(text, part)) return true;
    }
    return false;
  }
  std::string allShown() const {
    std::string out;
    for (const auto& [level, text] : display_.lines) out += (level == UpdaterDisplayInterface::LEVEL_ERROR ? "E " : "I ") + text + "\n";
    return out;
  }
  // Nothing that was in the store before is gone or changed.
  void expectStoreKept(const std::map<std::string, std::string>& before) const {
    const auto after = snapshot(store_);
    for (const auto& [name, content] : before) {
      auto found = after.find(name);
      ASSERT_NE(found, after.end()) << name << " is gone";
      EXPECT_EQ(found->second, content) << name << " changed";
    }
  }
  bool serverAsked(const std::string& op) const {
    for (const auto& target : server_.targets()) {
      if (contains(target, "op=" + op + "&")) return true;
    }
    return false;
  }

  TempDir dir_;
  fs::path store_;
  updatesim::UpdateServer server_;
  RecordingDisplay display_;
  std::unique_ptr<Updater> updater_;
};

// --- LPC -------------------------------------------------------------------

lpcsim::Config lpcConfig() {
  lpcsim::Config config;
  for (int i = 0; i < 4; ++i) config.deviceId[i] = kLpcId[i];
  return config;
}

// The chip answers with its serial number; a BIRD path plays no part on
// this path, and the store is not opened.
TEST_F(RecoverFlows, LpcFingerprintIsTheChipSerialNumberInOrder) {
  lpcsim::LpcRom rom(lpcConfig());
  Fingerprint fingerprint;
  ASSERT_TRUE(updater().Get_Fingerprint(fingerprint, rom.path(), DEFAULT_SERIAL_NUMBER, "any.bird", 115200, true))
      << rom.transcript().text();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(fingerprint.word[i], kLpcId[i]) << i;
  EXPECT_EQ(updater().chipType, CHIP_TYPE_LPC);
  EXPECT_FALSE(fs::exists(store_));
  EXPECT_EQ(rom.transcript().count("erase"), 0u);
}

struct LpcRecoveryCase {
  const char* name;
  uint32_t address;
  size_t size;
  uint32_t buildArg;  // the build given to the recovery (0: the server's)
  uint32_t rate;
  std::vector<std::string> transcript;  // ROM events expected, in this order
  std::vector<std::string> shown;
};

void PrintTo(const LpcRecoveryCase& c, std::ostream* os) { *os << c.name; }

class LpcRecovery : public RecoverFlows, public ::testing::WithParamInterface<LpcRecoveryCase> {};

// The server names module and build by the fingerprint; the build's
// firmware, descrambled with the fingerprint, goes through RAM into the
// erased flash piece by piece, and the chip is started from address 0.
TEST_P(LpcRecovery, FlashHoldsThePayload) {
  const LpcRecoveryCase& c = GetParam();
  RecoveryImage image;
  image.build = c.buildArg != 0 ? c.buildArg : kRecoveryBuild;
  image.address = c.address;
  image.size = c.size;
  image.key = kLpcId;
  image.endMarker = true;
  updatesim::Config config;
  addDevice(config, kModule, image.build, image.file());
  config.recovery[fingerprintKey(kLpcId)] = {hex8(kModule), std::to_string(kRecoveryBuild)};
  server_.setConfig(config);
  lpcsim::LpcRom rom(lpcConfig());

  ASSERT_TRUE(updater().Recover_Firmware(rom.path(), c.buildArg, c.rate, 0, "", false))
      << allShown() << rom.transcript().text();

  const std::vector<uint8_t> flash = rom.flash();
  const Bytes payload = image.payload();
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), flash.begin() + c.address)) << "flash differs from payload";
  // Past the image the flash reads erased, not whatever the chip's RAM held.
  for (size_t at = c.address + payload.size(); at < c.address + payload.size() + 1024 && at < flash.size(); ++at) {
    ASSERT_EQ(flash[at], 0xFF) << "at " << at;
  }
  // The start command goes out unanswered: the chip may still be reading it.
  EXPECT_TRUE(rom.transcript().waitFor("go 0", 1, std::chrono::seconds(10)));
  const std::vector<std::string> lines = rom.transcript().lines();
  auto from = lines.begin();
  for (const std::string& event : c.transcript) {
    from = std::find(from, lines.end(), event);
    ASSERT_NE(from, lines.end()) << "missing, or out of order: " << event << "\n" << rom.transcript().text();
  }
  for (const auto& s : c.shown) EXPECT_TRUE(shown(s)) << "missing: " << s << "\n" << allShown();
  EXPECT_TRUE(shown("Update time: ")) << allShown();
  EXPECT_TRUE(rom.echo());
}

INSTANTIATE_TEST_SUITE_P(
    Lpc, LpcRecovery,
    ::testing::Values(
        LpcRecoveryCase{"TwoWholePieces",
                        0x0,
                        8192,
                        0,
                        115200,
                        {"unlock", "prepare 0 29", "erase 0 29", "echo 0", "write 268439552 4096", "prepare 0 0",
                         "copy 0 268439552 4096", "write 268439552 4096", "prepare 1 1", "copy 4096 268439552 4096",
                         "echo 1", "go 0"},
                        {"Transferring firmware block 1 of 1, 8192 bytes", "Transferred 1 blocks, 8192 total bytes",
                         "Rebooting Device"}},
        // A last piece that is not a multiple of 4 bytes is staged and
        // copied whole, padded with the erased value.
        LpcRecoveryCase{"OddLastPiece",
                        0x8000,
                        5002,
                        0,
                        9600,
                        {"erase 0 29", "prepare 8 8", "copy 32768 268439552 4096", "write 268439552 1024",
                         "prepare 9 9", "copy 36864 268439552 1024", "go 0"},
                        {"Transferring firmware block 1 of 1, 5002 bytes"}},
        LpcRecoveryCase{"GivenBuildReplacesTheServers",
                        0x10000,
                        100,
                        kOtherBuild,
                        115200,
                        {"write 268439552 256", "prepare 16 16", "copy 65536 268439552 256", "go 0"},
                        {"Recovering firmware with build: 99500000"}}),
    caseName<LpcRecoveryCase>);

struct LpcFailureCase {
  const char* name;
  std::function<void(lpcsim::Config&, updatesim::Config&, RecoveryImage&)> arrange;
  std::string shown;  // the error the user sees ("" for log lines only)
  bool erased;        // whether the flash was erased before the failure
};

void PrintTo(const LpcFailureCase& c, std::ostream* os) { *os << c.name; }

class LpcRecoveryFailure : public RecoverFlows, public ::testing::WithParamInterface<LpcFailureCase> {};

// Every failure is reported as one, the chip is not started, and the store
// keeps what it held.
TEST_P(LpcRecoveryFailure, FailsAndKeepsTheStore) {
  const LpcFailureCase& c = GetParam();
  lpcsim::Config rom = lpcConfig();
  updatesim::Config config;
  RecoveryImage image;
  image.address = 0;
  image.size = 4096;
  image.key = kLpcId;
  config.recovery[fingerprintKey(kLpcId)] = {hex8(kModule), std::to_string(kRecoveryBuild)};
  c.arrange(rom, config, image);
  server_.setConfig(config);
  // The build is already in the store, so nothing needs downloading.
  storeDownload(store_, kModule, image.build, image.file());
  const auto before = snapshot(store_);

  lpcsim::LpcRom chip(rom);
  EXPECT_FALSE(updater().Recover_Firmware(chip.path(), 0, 115200, 0, "", false));
  if (!c.shown.empty()) {
    EXPECT_TRUE(shown(c.shown)) << "missing: " << c.shown << "\n" << allShown();
  }
  EXPECT_EQ(chip.transcript().count("erase"), c.erased ? 1u : 0u) << chip.transcript().text();
  EXPECT_EQ(chip.transcript().count("go"), 0u);
  expectStoreKept(before);
}

INSTANTIATE_TEST_SUITE_P(
    Lpc, LpcRecoveryFailure,
    ::testing::Values(
        // Neither boot ROM answers: the i.MX path is tried too, and the
        // default image it would need is not on the server.
        LpcFailureCase{"RomSilent", [](auto& rom, auto&, auto&) { rom.faults.silent = true; },
                       "Could not get Device Identifier", false},
        LpcFailureCase{"ServerWithoutRecoveryAnswer", [](auto&, auto& server, auto&) { server.recovery.clear(); },
                       "Failed to retrieve recovery information from Tovanire server", false},
        // Serial number 0 names no module to recover.
        LpcFailureCase{"ServerNamesNoModule",
                       [](auto&, auto& server, auto&) {
                         server.recovery[fingerprintKey(kLpcId)] = {"0", std::to_string(kRecoveryBuild)};
                       },
                       "Failed to retrieve recovery information from Tovanire server", false},
        LpcFailureCase{"GenericImage", [](auto&, auto&, auto& image) { image.serialOffsets = true; },
                       "Updater does not support offline recovery", false},
        LpcFailureCase{"NoFirmware", [](auto&, auto&, auto& image) { image.withFirmware = false; },
                       "The BIRD file holds no firmware", false},
        // A block past the end of the flash would fail only after the erase.
        LpcFailureCase{"BlockBeyondTheFlash", [](auto&, auto&, auto& image) { image.address = 0x7F800; },
                       "cannot be programmed into this chip's flash", false},
        LpcFailureCase{"BlockOffThePageGrid", [](auto&, auto&, auto& image) { image.address = 0x1080; },
                       "cannot be programmed into this chip's flash", false},
        LpcFailureCase{"WriteToRamFails", [](auto& rom, auto&, auto&) { rom.faults.failCommand = 'W'; }, "", true},
        LpcFailureCase{"CopyToFlashFails", [](auto& rom, auto&, auto&) { rom.faults.failCommand = 'C'; }, "", true},
        LpcFailureCase{"EraseFails", [](auto& rom, auto&, auto&) { rom.faults.failCommand = 'E'; }, "", false},
        // Echo switched off, then refused back on.
        LpcFailureCase{"EchoNotRestored",
                       [](auto& rom, auto&, auto&) {
                         rom.faults.failCommand = 'A';
                         rom.faults.failAfter = 1;
                       },
                       "Recovery Error transfering data to device ==> [", true}),
    caseName<LpcFailureCase>);

// --- i.MX RT ---------------------------------------------------------------

enum class ImageFrom { Server, Store, Path };

struct ImxFingerprintCase {
  const char* name;
  ImageFrom image;
  uint32_t serial;       // given to the fingerprint (0: none)
  uint32_t startAddress; // the image's start-address block (0: none)
  bool reset;
};

void PrintTo(const ImxFingerprintCase& c, std::ostream* os) { *os << c.name; }

class ImxFingerprint : public RecoverFlows, public ::testing::WithParamInterface<ImxFingerprintCase> {};

// The loader blocks go to the boot ROM, which jumps to the image's start
// address; the live loader that comes up on USB tells the chip identifier,
// subindex 3 first.
TEST_P(ImxFingerprint, LiveLoaderTellsTheIdentifierLastWordFirst) {
  const ImxFingerprintCase& c = GetParam();
  const uint32_t liveSerial = c.serial != 0 ? c.serial : DEFAULT_SERIAL_NUMBER;
  LoaderImage loader;
  loader.serial = liveSerial;
  loader.startAddress = c.startAddress;
  std::string path;
  if (c.image == ImageFrom::Server) {
    updatesim::Config config;
    addDevice(config, liveSerial, kDefaultImageBuild, loader.file());
    server_.setConfig(config);
  } else if (c.image == ImageFrom::Store) {
    storeDownload(store_, liveSerial, kDefaultImageBuild, loader.file());
  } else {
    path = (fs::path(dir_.path()) / "loader.bird").string();
    writeBird(path, loader.file());
  }
  ImxBench bench(liveSerial);
  bench.liveLoaderComesUp(true);
  server_.clearRequests();

  Fingerprint fingerprint;
  ASSERT_TRUE(updater().Get_Fingerprint(fingerprint, bench.port(false), c.serial, path, 115200, c.reset))
      << allShown() << romText(bench.rom());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(fingerprint.word[i], kChipId[3 - i]) << i;
  EXPECT_EQ(updater().chipType, CHIP_TYPE_IMX);

  const auto transfers = bench.rom().transfers();
  ASSERT_EQ(transfers.size(), 2u);
  EXPECT_EQ(transfers[0].first, kLoaderAddress);
  EXPECT_EQ(transfers[0].second, loader.head());
  EXPECT_EQ(transfers[1].first, kLoaderTailAddress);
  EXPECT_EQ(transfers[1].second, loader.tail());
  EXPECT_EQ(bench.rom().jumpAddress(), c.startAddress != 0 ? c.startAddress : IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  EXPECT_EQ(bench.live().commands->callCount(jvsim::kOptReset), c.reset ? 1u : 0u);
  EXPECT_EQ(serverAsked("bird"), c.image == ImageFrom::Server);
  // The download of the loader image is not the user's business.
  EXPECT_TRUE(display_.lines.empty()) << allShown();
}

INSTANTIATE_TEST_SUITE_P(
    Imx, ImxFingerprint,
    ::testing::Values(ImxFingerprintCase{"DefaultImageDownloaded", ImageFrom::Server, 0, 0, true},
                      ImxFingerprintCase{"StoredImageWithStartAddress", ImageFrom::Store, 0, 0x20002000, false},
                      ImxFingerprintCase{"StoredImageReset", ImageFrom::Store, 0, 0, true},
                      ImxFingerprintCase{"ImageFileForItsModule", ImageFrom::Path, kModule, 0, false}),
    caseName<ImxFingerprintCase>);

struct LoaderTransferCase {
  const char* name;
  bool serialPort;
  bool withLoader;  // the file has loader blocks
  uint32_t startAddress;
};

void PrintTo(const LoaderTransferCase& c, std::ostream* os) { *os << c.name; }

class LoaderTransfer : public RecoverFlows, public ::testing::WithParamInterface<LoaderTransferCase> {};

// Each loader block lands at its address, then the boot ROM jumps; a file
// without loader blocks still gets the jump.
TEST_P(LoaderTransfer, BlocksThenJump) {
  const LoaderTransferCase& c = GetParam();
  LoaderImage loader;
  loader.startAddress = c.startAddress;
  birdsim::Image bird;
  if (c.withLoader) {
    bird.blocks.push_back(birdsim::loader(kLoaderAddress, loader.head()));
    bird.blocks.push_back(birdsim::loader(kLoaderTailAddress, loader.tail()));
  }
  if (c.startAddress != 0) bird.blocks.push_back(birdsim::startAddress(c.startAddress));
  bird.blocks.push_back(birdsim::descriptor(kDefaultImageBuild, "1.0.0", DEFAULT_SERIAL_NUMBER, "Recovery"));
  const std::string path = (fs::path(dir_.path()) / "loader.bird").string();
  writeBird(path, birdsim::file(bird));
  BirdFile file(path);
  ImxBench bench;

  ASSERT_EQ(_transfer_recovery_loader(display_, file, bench.port(c.serialPort)), aErrNone) << romText(bench.rom());
  const auto transfers = bench.rom().transfers();
  if (c.withLoader) {
    ASSERT_EQ(transfers.size(), 2u) << romText(bench.rom());
    EXPECT_EQ(transfers[0], std::make_pair(kLoaderAddress, loader.head()));
    EXPECT_EQ(transfers[1], std::make_pair(kLoaderTailAddress, loader.tail()));
  } else {
    EXPECT_TRUE(transfers.empty());
  }
  ASSERT_TRUE(bench.rom().jumped());
  EXPECT_EQ(bench.rom().jumpAddress(), c.startAddress != 0 ? c.startAddress : IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
}

INSTANTIATE_TEST_SUITE_P(Imx, LoaderTransfer,
                         ::testing::Values(LoaderTransferCase{"SerialPort", true, true, 0},
                                           LoaderTransferCase{"SerialPortStartAddress", true, true, 0x20002000},
                                           LoaderTransferCase{"HidNoLoaderBlocks", false, false, 0}),
    caseName<LoaderTransferCase>);

struct ImxFingerprintFailureCase {
  const char* name;
  std::function<void(sdpsim::Config&)> rom;
  bool imageStored;  // else the store has the default image's directory without a download
  bool partialImage;  // the stored image declares a block more than it holds
  bool withPath;     // a BIRD path with the default serial number
  std::string shown;
  std::string logged;
  bool jumped;
};

void PrintTo(const ImxFingerprintFailureCase& c, std::ostream* os) { *os << c.name; }

class ImxFingerprintFailure : public RecoverFlows, public ::testing::WithParamInterface<ImxFingerprintFailureCase> {};

TEST_P(ImxFingerprintFailure, FailsWithoutTouchingTheStore) {
  const ImxFingerprintFailureCase& c = GetParam();
  const fs::path device = store_ / hex8(DEFAULT_SERIAL_NUMBER);
  LoaderImage loader;
  loader.partial = c.partialImage;
  if (c.imageStored) {
    storeDownload(store_, DEFAULT_SERIAL_NUMBER, kDefaultImageBuild, loader.file());
  } else {
    fs::create_directories(device);
    std::ofstream(device / ".settings") << "LATEST_TRANSFER=4242.bird\n";
  }
  std::string path;
  if (c.withPath) {
    path = (fs::path(dir_.path()) / "loader.bird").string();
    writeBird(path, loader.file());
  }
  const auto before = snapshot(store_);
  sdpsim::Config config;
  c.rom(config);
  ImxBench bench(DEFAULT_SERIAL_NUMBER, config);
  bench.liveLoaderComesUp(true);
  LogCapture log(DEBUG_APP);

  Fingerprint fingerprint;
  EXPECT_FALSE(updater().Get_Fingerprint(fingerprint, bench.port(false), DEFAULT_SERIAL_NUMBER, path, 115200, true));
  if (!c.shown.empty()) {
    EXPECT_TRUE(shown(c.shown)) << "missing: " << c.shown << "\n" << allShown();
  }
  if (!c.logged.empty()) {
    EXPECT_EQ(log.count(c.logged), 1u) << log.text();
  }
  EXPECT_EQ(bench.rom().jumped(), c.jumped);
  EXPECT_EQ(snapshot(store_), before);
  EXPECT_FALSE(serverAsked("bird"));
}

INSTANTIATE_TEST_SUITE_P(
    Imx, ImxFingerprintFailure,
    ::testing::Values(
        ImxFingerprintFailureCase{"BirdPathNeedsARealSerialNumber", [](auto&) {}, true, false, true,
                                  "Add serial number or remove the bird filename to use a default recovery image.", "",
                                  false},
        ImxFingerprintFailureCase{"StoredModuleWithoutDownload", [](auto&) {}, false, false, false, "", "Invalid bird",
                                  false},
        // Part of a live loader is never sent, let alone started.
        ImxFingerprintFailureCase{"StoredImageIncomplete", [](auto&) {}, true, true, false,
                                  "/4242.bird is incomplete: it declares 4 blocks and holds 3", "", false},
        ImxFingerprintFailureCase{"BootRomSilent", [](auto& rom) { rom.faults.silent = true; }, true, false, false, "",
                                  "Error loading liveloader.\n", false},
        // A block the boot ROM does not confirm: the loader is never started.
        ImxFingerprintFailureCase{"LoaderBlockNotConfirmed",
                                  [](auto& rom) { rom.faults.writeStatus = 0x12345678; }, true, false, false, "",
                                  "Error loading liveloader.\n", false}),
    caseName<ImxFingerprintFailureCase>);

// Fifteen tries a second apart, the USB context dropped before every third.
TEST_F(RecoverFlows, LiveLoaderThatNeverComesFailsAfterFifteenTries) {
  storeDownload(store_, DEFAULT_SERIAL_NUMBER, kDefaultImageBuild, LoaderImage{}.file());
  ImxBench bench;
  bench.liveLoaderComesUp(false);
  LogCapture log(DEBUG_APP);

  EXPECT_FALSE(updater().Recover_Firmware(bench.port(false), 0, 115200, 0, "", false));
  EXPECT_TRUE(bench.rom().jumped());
  EXPECT_EQ(log.count("refreshing libusb context"), 5u) << log.text();
  EXPECT_EQ(log.count("Could not connect to device.\n"), 1u) << log.text();
  EXPECT_TRUE(shown("Could not get Device Identifier")) << allShown();
  EXPECT_FALSE(serverAsked("fix"));
}

// The server knows the live loader's fingerprint as the module's, and
// serves the module's recovery build.
updatesim::Config recoveryServer(const RecoveryImage& image) {
  updatesim::Config config;
  addDevice(config, kModule, image.build, image.file());
  const uint32_t words[4] = {kChipId[3], kChipId[2], kChipId[1], kChipId[0]};
  config.recovery[fingerprintKey(words)] = {hex8(kModule), std::to_string(kRecoveryBuild)};
  return config;
}

struct LeavingCase {
  const char* name;
  bool recover;          // else only the fingerprint
  std::set<int> leaving;  // links to the live loader that meet it leaving the bus
  int exits;             // USB context ends the search makes
};

void PrintTo(const LeavingCase& c, std::ostream* os) { *os << c.name; }

class LiveLoaderLeaving : public RecoverFlows, public ::testing::WithParamInterface<LeavingCase> {};

// A try that opens the live loader while it is still leaving the bus (it
// answers the handshake, then is gone) must not keep that link: the next
// try finds it, and the USB context can be refreshed meanwhile.
TEST_P(LiveLoaderLeaving, NextTryFindsIt) {
  const LeavingCase& c = GetParam();
  RecoveryImage image;
  server_.setConfig(recoveryServer(image));
  storeDownload(store_, DEFAULT_SERIAL_NUMBER, kDefaultImageBuild, LoaderImage{}.file());
  ImxBench bench;
  bench.liveLoaderComesUp(true);
  const std::string live = hex8(DEFAULT_SERIAL_NUMBER);
  bench.bus().leaveAfterHandshake(live, c.leaving);
  const int exitsBefore = bench.bus().contextExits();

  if (c.recover) {
    ASSERT_TRUE(updater().Recover_Firmware(bench.port(false), 0, 115200, 0, "", false)) << allShown();
    EXPECT_EQ(bench.live().loader->firmwareImage().begin()->second, image.payload());
  } else {
    Fingerprint fingerprint;
    ASSERT_TRUE(updater().Get_Fingerprint(fingerprint, bench.port(false), DEFAULT_SERIAL_NUMBER, "", 115200, false))
        << allShown();
    EXPECT_EQ(fingerprint.word[0], kChipId[3]);
  }
  // Each leaving link cost one try; the next link found it.
  EXPECT_EQ(bench.bus().links(live), *c.leaving.rbegin() + 1);
  EXPECT_EQ(bench.bus().contextExits() - exitsBefore, c.exits);
}

INSTANTIATE_TEST_SUITE_P(Imx, LiveLoaderLeaving,
                         ::testing::Values(
                             // The third try starts with a fresh USB context.
                             LeavingCase{"FingerprintTwice", false, {1, 2}, 1},
                             // The fingerprint's link works; the recovery's first leaves.
                             LeavingCase{"RecoveryOnce", true, {2}, 0}),
                         caseName<LeavingCase>);

struct ImxRecoveryCase {
  const char* name;
  uint32_t buildArg;
  bool ueiBytes;
  bool withPath;  // the recovery build named by path (with the module's serial number)
};

void PrintTo(const ImxRecoveryCase& c, std::ostream* os) { *os << c.name; }

class ImxRecovery : public RecoverFlows, public ::testing::WithParamInterface<ImxRecoveryCase> {};

// The live loader stays up after the fingerprint and takes the firmware,
// then reboots the module.
TEST_P(ImxRecovery, LiveLoaderHoldsThePayload) {
  const ImxRecoveryCase& c = GetParam();
  RecoveryImage image;
  image.build = c.buildArg != 0 ? c.buildArg : kRecoveryBuild;
  updatesim::Config config;
  addDevice(config, DEFAULT_SERIAL_NUMBER, kDefaultImageBuild, LoaderImage{}.file());
  addDevice(config, kModule, image.build, image.file());
  const uint32_t words[4] = {kChipId[3], kChipId[2], kChipId[1], kChipId[0]};
  config.recovery[fingerprintKey(words)] = {hex8(kModule), std::to_string(kRecoveryBuild)};
  server_.setConfig(config);
  std::string path;
  uint32_t serial = 0;
  if (c.withPath) {
    path = (fs::path(dir_.path()) / "recovery.bird").string();
    writeBird(path, image.file());
    storeDownload(store_, kModule, kDefaultImageBuild, LoaderImage{kModule}.file());
    serial = kModule;
  }
  ImxBench bench(c.withPath ? kModule : DEFAULT_SERIAL_NUMBER);
  bench.liveLoaderComesUp(true);
  updater().Set_UEIBytes_Load(c.ueiBytes);

  ASSERT_TRUE(updater().Recover_Firmware(bench.port(false), c.buildArg, 115200, serial, path, false))
      << allShown();
  const jvsim::MemoryImage written = bench.live().loader->firmwareImage();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written.begin()->first, kImxImageAddress);
  EXPECT_EQ(written.begin()->second, image.payload());
  EXPECT_EQ(bench.live().loader->stats().reboots, 1u);
  EXPECT_EQ(bench.live().loader->stats().ueiPieces > 0, c.ueiBytes);
  // The module stayed in its live loader between fingerprint and transfer.
  EXPECT_EQ(bench.live().commands->callCount(jvsim::kOptReset), 0u);
  EXPECT_EQ(serverAsked("fix"), !c.withPath);
  EXPECT_TRUE(shown("Update time: ")) << allShown();
}

INSTANTIATE_TEST_SUITE_P(Imx, ImxRecovery,
                         ::testing::Values(ImxRecoveryCase{"ServerBuild", 0, true, false},
                                           ImxRecoveryCase{"GivenBuildDataPackets", kOtherBuild, false, false},
                                           ImxRecoveryCase{"BirdPath", 0, true, true}),
    caseName<ImxRecoveryCase>);

struct ImxRecoveryFailureCase {
  const char* name;
  std::function<void(updatesim::Config&, RecoveryImage&, jvsim::LiveLoader&)> arrange;
  std::string shown;
  bool prepared;  // the live loader was sent a block before the failure
};

void PrintTo(const ImxRecoveryFailureCase& c, std::ostream* os) { *os << c.name; }

class ImxRecoveryFailure : public RecoverFlows, public ::testing::WithParamInterface<ImxRecoveryFailureCase> {};

TEST_P(ImxRecoveryFailure, FailsAndKeepsTheStore) {
  const ImxRecoveryFailureCase& c = GetParam();
  RecoveryImage image;
  updatesim::Config config;
  const uint32_t words[4] = {kChipId[3], kChipId[2], kChipId[1], kChipId[0]};
  config.recovery[fingerprintKey(words)] = {hex8(kModule), std::to_string(kRecoveryBuild)};
  ImxBench bench;
  bench.liveLoaderComesUp(true);
  c.arrange(config, image, bench.live());
  server_.setConfig(config);
  storeDownload(store_, DEFAULT_SERIAL_NUMBER, kDefaultImageBuild, LoaderImage{}.file());
  storeDownload(store_, kModule, image.build, image.file());
  const auto before = snapshot(store_);

  EXPECT_FALSE(updater().Recover_Firmware(bench.port(false), 0, 115200, 0, "", false));
  EXPECT_TRUE(shown(c.shown)) << "missing: " << c.shown << "\n" << allShown();
  EXPECT_EQ(bench.live().loader->stats().prepares > 0, c.prepared);
  EXPECT_EQ(bench.live().loader->stats().reboots, 0u);
  EXPECT_EQ(snapshot(store_), before);
}

INSTANTIATE_TEST_SUITE_P(
    Imx, ImxRecoveryFailure,
    ::testing::Values(
        ImxRecoveryFailureCase{"ServerWithoutRecoveryAnswer", [](auto& server, auto&, auto&) { server.recovery.clear(); },
                               "Failed to retrieve recovery information from Tovanire server", false},
        ImxRecoveryFailureCase{"WriteRefused",
                               [](auto&, auto&, auto& live) { live.loader->faults().prepareError = -1; },
                               "Failed to transfer firmware", true},
        ImxRecoveryFailureCase{"SumsNeverAgree", [](auto&, auto&, auto& live) { live.loader->faults().sumMismatch = -1; },
                               "Failed to transfer firmware", true},
        ImxRecoveryFailureCase{"NoFirmware", [](auto&, auto& image, auto&) { image.withFirmware = false; },
                               "The BIRD file holds no firmware", false},
        // Stored incomplete, and the server's copy no better: nothing is sent.
        ImxRecoveryFailureCase{"IncompleteFile",
                               [](auto& server, auto& image, auto&) {
                                 image.partial = true;
                                 addDevice(server, kModule, image.build, image.file());
                               },
                               "/99528558.bird is incomplete: it declares 3 blocks and holds 2", false}),
    caseName<ImxRecoveryFailureCase>);


struct OkOnlyCase {
  const char* name;
  uint32_t serialGiven;  // 0: none
  uint32_t buildGiven;   // 0: none, the latest is downloaded
  bool recovers;
};

void PrintTo(const OkOnlyCase& c, std::ostream* os) { *os << c.name; }

class RecoveryAnswerWithoutLines : public RecoverFlows, public ::testing::WithParamInterface<OkOnlyCase> {};

// A recovery answer of "ok" alone names no module: the serial number given
// stands, and only without one is there nothing to recover.
TEST_P(RecoveryAnswerWithoutLines, KeepsTheSerialNumberGiven) {
  const OkOnlyCase& c = GetParam();
  RecoveryImage image;
  server_.setConfig(recoveryServer(image));
  server_.setFault(updatesim::Op::Fix, updatesim::Fault::MissingLines);
  const uint32_t liveSerial = c.serialGiven != 0 ? c.serialGiven : DEFAULT_SERIAL_NUMBER;
  storeDownload(store_, liveSerial, kDefaultImageBuild, LoaderImage{liveSerial}.file());
  ImxBench bench(liveSerial);
  bench.liveLoaderComesUp(true);

  EXPECT_EQ(updater().Recover_Firmware(bench.port(false), c.buildGiven, 115200, c.serialGiven, "", false),
            c.recovers)
      << allShown();
  EXPECT_TRUE(serverAsked("fix"));
  EXPECT_EQ(shown("Failed to retrieve recovery information from Tovanire server"), !c.recovers) << allShown();
  if (c.recovers) {
    const jvsim::MemoryImage written = bench.live().loader->firmwareImage();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.begin()->second, image.payload());
    EXPECT_EQ(bench.live().loader->stats().reboots, 1u);
  } else {
    EXPECT_EQ(bench.live().loader->stats().prepares, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Imx, RecoveryAnswerWithoutLines,
                         ::testing::Values(OkOnlyCase{"SerialNumberGiven", kModule, kRecoveryBuild, true},
                                           // Neither the answer nor the command line names a build:
                                           // the latest is downloaded, and that file is the one loaded.
                                           OkOnlyCase{"NoBuildLoadsTheDownloadedOne", kModule, 0, true},
                                           OkOnlyCase{"NoSerialNumber", 0, kRecoveryBuild, false}),
                         caseName<OkOnlyCase>);

}  // namespace
