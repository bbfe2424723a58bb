// The updater's USB test variant (its USB seam on an in-process simulated
// module) against the simulated update server: discovery and updates over
// USB, including the module leaving the bus when its loader starts.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "FlowsFixture.h"

namespace {

using namespace flows;

constexpr uint32_t kModule = 0x40F5849A;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

uint32_t word(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

// The runs of bytes the module's loader committed, as updater_usbsim
// writes them: address and length (little-endian u32), then the bytes.
std::map<uint32_t, birdsim::Bytes> readImage(const fs::path& path) {
  std::map<uint32_t, birdsim::Bytes> runs;
  const std::string all = readFile(path);
  for (size_t at = 0; at + 8 <= all.size();) {
    const uint32_t address = word(all, at);
    const uint32_t length = word(all, at + 4);
    at += 8;
    if (at + length > all.size()) break;
    runs[address] = birdsim::Bytes(all.begin() + at, all.begin() + at + length);
    at += length;
  }
  return runs;
}

std::map<std::string, uint32_t> readStats(const fs::path& path) {
  std::map<std::string, uint32_t> out;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = static_cast<uint32_t>(std::stoul(line.substr(eq + 1)));
  }
  return out;
}

class UsbFlows : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = freshRoot(std::string("usb-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    firmware_.serial = kModule;
    server_.setConfig(serverConfig({firmware_}));
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override {
    server_.stop();
    fs::remove_all(root_);
  }

  ProcessResult updater(std::vector<std::string> simArgs, const std::vector<std::string>& args) {
    const std::vector<std::string> base{"--serial", hex8(kModule), "--address", "6", "--name", "Usb module",
                                        "--build", std::to_string(kOldBuild), "--image-out", image().string(),
                                        "--stats-out", stats().string()};
    simArgs.insert(simArgs.begin(), base.begin(), base.end());
    return runUpdater(USBSIM_BIN, simArgs, server_.url(), root_, args);
  }
  fs::path image() const { return root_ / "image.bin"; }
  fs::path stats() const { return root_ / "stats.txt"; }

  fs::path root_;
  Firmware firmware_;
  updatesim::UpdateServer server_;
};

TEST_F(UsbFlows, DiscoveryListsTheUsbModule) {
  ProcessResult r = updater({}, {"-D"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "Discovered Devices: (USB)")) << r.out;
  EXPECT_TRUE(contains(r.out, "    40F5849A  06       06      Norquil        2.15.3 (     61000)         Usb module"))
      << r.out;
}

struct UsbCase {
  const char* name;
  std::vector<std::string> simArgs;
  std::vector<std::string> updaterArgs;
  std::vector<std::string> shown;
  bool uei;  // firmware pieces went as UEI byte blocks
};

void PrintTo(const UsbCase& c, std::ostream* os) { *os << c.name; }

class UsbUpdates : public UsbFlows, public ::testing::WithParamInterface<UsbCase> {};

// A USB module may leave the bus when its loader starts and come back (its
// old handle then fails as an unplugged device's does): the update finds it
// again and finishes.
TEST_P(UsbUpdates, GetAndUpdateInstallsThePatchedImage) {
  const UsbCase& c = GetParam();
  std::vector<std::string> args{"-G", "-U", "-d", hex8(kModule), "-X", "0x501"};
  args.insert(args.end(), c.updaterArgs.begin(), c.updaterArgs.end());
  ProcessResult r = updater(c.simArgs, args);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Update time: ")) << r.out;
  for (const auto& s : c.shown) EXPECT_TRUE(contains(r.out + r.err, s)) << "missing: " << s << "\n" << r.err;

  const auto runs = readImage(image());
  ASSERT_EQ(runs.size(), 1u);
  ASSERT_EQ(runs.begin()->first, kImageAddress);
  EXPECT_EQ(runs.begin()->second, firmware_.patchedImage(kModule));
  auto s = readStats(stats());
  EXPECT_EQ(s["reboots"], 1u);
  EXPECT_EQ(s["ueiPieces"] > 0, c.uei);
  EXPECT_EQ(settingsOf(root_, kModule)["LATEST_TRANSFER"], "99528558.bird");
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbUpdates,
    ::testing::Values(UsbCase{"LoaderKeepsTheLink", {}, {}, {}, true},
                      UsbCase{"LoaderRestartLeavesTheBus", {"--restart-drops"}, {}, {"Reconnected to device"}, true},
                      UsbCase{"NoLoadEcho", {"--fault-no-load-echo"}, {}, {"Loader validated start (Reconnect)"}, true},
                      // The first reconnection meets the module still leaving the bus.
                      UsbCase{"FirstReconnectMeetsItLeaving",
                              {"--restart-drops", "--leave-after-handshake", "2"},
                              {},
                              {"Reconnected to device"},
                              true},
                      // Every reconnection meets it leaving, and so does the first try
                      // to find it again; the second finds it.
                      UsbCase{"FoundAgainAfterMeetingItLeaving",
                              {"--restart-drops", "--leave-after-handshake", "2,3,4,5,6,7"},
                              {},
                              {"Invalid or reply when starting loader"},
                              true},
                      UsbCase{"DataPackets", {}, {"-m", "0"}, {}, false}),
    [](const ::testing::TestParamInfo<UsbCase>& info) { return std::string(info.param.name); });

// A file with nothing to install is refused before the module is touched,
// even with the checks overridden: an update of nothing is no update.
TEST_F(UsbFlows, BirdFileWithoutFirmwareIsRefused) {
  birdsim::Image bird;
  bird.blocks.push_back(birdsim::loader(0x20000000, noise(300, 7)));
  bird.blocks.push_back(birdsim::descriptor(firmware_.build, "2.16.0", kModule, "Norquil"));
  const fs::path file = root_ / "loader-only.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), birdsim::file(bird), &why)) << why;
  ProcessResult r = updater({}, {"-U", "-d", hex8(kModule), "-f", file.string(), "-OVERRIDE"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "The BIRD file holds no firmware")) << r.err;
  EXPECT_EQ(readStats(stats())["inits"], 0u);
  EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_TRANSFER"].empty());
}

struct ClaimCase {
  const char* name;
  int claimResult;  // LIBUSB_ERROR_* of every claim of the module's interface
  std::string shown;
};

void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class UsbClaimRefused : public UsbFlows, public ::testing::WithParamInterface<ClaimCase> {};

// A module found on the bus whose interface cannot be claimed: the user is
// told why its link did not open, not only that it did not.
TEST_P(UsbClaimRefused, ConnectFailureSaysWhy) {
  const ClaimCase& c = GetParam();
  ProcessResult r = updater({"--claim-result", std::to_string(c.claimResult)}, {"-G", "-U", "-d", hex8(kModule)});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Failed to connect to module [" + hex8(kModule) + "]: " + c.shown + "\n")) << r.err;
  EXPECT_EQ(readStats(stats())["inits"], 0u);
  EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_TRANSFER"].empty());
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbClaimRefused,
    ::testing::Values(ClaimCase{"ClaimedByAnotherProcess", -6, "the device is busy (another process has claimed it)"},
                      ClaimCase{"NoAccess", -3, "permission denied (no access to the device node)"},
                      ClaimCase{"Unplugged", -4, "the device is gone"}),
    [](const ::testing::TestParamInfo<ClaimCase>& info) { return std::string(info.param.name); });

struct SerialPlaceCase {
  const char* name;
  uint32_t wordAddress;  // the serial-number word's offset in the image
  uint32_t textAddress;  // the serial-number text's
  std::string shown;     // the cause the user is told
};

void PrintTo(const SerialPlaceCase& c, std::ostream* os) { *os << c.name; }

class UsbSerialPlace : public UsbFlows, public ::testing::WithParamInterface<SerialPlaceCase> {};

// A file that asks for the serial number at a place its image does not
// hold cannot be made the module's: the update stops before the module is
// touched, and says why.
TEST_P(UsbSerialPlace, UpdateStopsAndSaysWhy) {
  const SerialPlaceCase& c = GetParam();
  birdsim::Image bird;
  bird.blocks.push_back(birdsim::loader(0x20000000, firmware_.loader()));
  bird.blocks.push_back(birdsim::firmware(kImageAddress, firmware_.image()));
  bird.blocks.push_back(birdsim::serialOffsets(c.wordAddress, c.textAddress));
  bird.blocks.push_back(birdsim::descriptor(firmware_.build, "2.16.0", 0, "Norquil"));
  const fs::path file = root_ / "misplaced.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), birdsim::file(bird), &why)) << why;
  ProcessResult r = updater({}, {"-U", "-d", hex8(kModule), "-f", file.string()});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Unable to write the serial number into " + file.string() + ": " + c.shown)) << r.err;
  EXPECT_EQ(readStats(stats())["inits"], 0u);
  EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_TRANSFER"].empty());
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbSerialPlace,
    ::testing::Values(
        SerialPlaceCase{"WordPastTheImage", 0x000A0000, kSerialTextAddress,
                        "the serial-number word at 0x000A0000 lies in no firmware block"},
        // The word's last byte one past the image's end.
        SerialPlaceCase{"WordAcrossTheImageEnd", kImageAddress + 3000 - 3, kSerialTextAddress,
                        "the serial-number word at 0x00008BB5 lies in no firmware block"},
        SerialPlaceCase{"TextPastTheImage", kSerialWordAddress, 0x000B0000,
                        "the serial-number text at 0x000B0000 lies in no firmware block"},
        SerialPlaceCase{"NoPlaceGiven", 0, 0, "the file gives no place for it"}),
    [](const ::testing::TestParamInfo<SerialPlaceCase>& info) { return std::string(info.param.name); });

struct PartialCase {
  const char* name;
  std::function<void(birdsim::Image&)> spoil;
};

void PrintTo(const PartialCase& c, std::ostream* os) { *os << c.name; }

class UsbPartialFile : public UsbFlows, public ::testing::WithParamInterface<PartialCase> {};

// A file whose body does not hold what its block list declares would put
// part of a firmware on the module: the update refuses it, named by -f or
// taken from the store, and so does the download; -L still lists it.
TEST_P(UsbPartialFile, IsNeverInstalledNorStored) {
  birdsim::Image bird = firmware_.bird();
  GetParam().spoil(bird);
  const birdsim::Bytes partial = birdsim::file(bird);
  const std::string build = std::to_string(firmware_.build);
  const fs::path device = root_ / "updater" / hex8(kModule);

  const fs::path named = root_ / "partial.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(named.string(), partial, &why)) << why;
  ProcessResult r = updater({}, {"-U", "-d", hex8(kModule), "-f", named.string()});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "BIRD file " + named.string() + " is incomplete: ")) << r.err;

  const fs::path stored = device / (build + ".bird");
  fs::create_directories(device);
  ASSERT_TRUE(birdsim::writeFile(stored.string(), partial, &why)) << why;
  std::ofstream(device / ".settings") << "LATEST_DOWNLOAD=" << build << ".bird\n";
  r = updater({}, {"-U", "-d", hex8(kModule), "-b", build});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "BIRD file " + stored.string() + " is incomplete: ")) << r.err;
  EXPECT_EQ(readStats(stats())["inits"], 0u);
  EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_TRANSFER"].empty());

  r = updater({}, {"-L", "-d", hex8(kModule)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, build)) << r.out;

  fs::remove_all(device);
  updatesim::Config config = serverConfig({firmware_});
  config.devices[hex8(kModule)].birdFiles[build] = partial;
  server_.setConfig(config);
  r = updater({}, {"-G", "-d", hex8(kModule)});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "BIRD file " + build + ".bird is incomplete: ")) << r.err;
  EXPECT_FALSE(fs::exists(stored));
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbPartialFile,
    ::testing::Values(PartialCase{"DeclaresMoreBlocks", [](auto& bird) { bird.declaredCount = 5; }},
                      PartialCase{"DeclaresFewerBlocks", [](auto& bird) { bird.declaredCount = 3; }},
                      // The image block claims more bytes than the body holds.
                      PartialCase{"BlockRunsPastTheBody",
                                  [](auto& bird) {
                                    birdsim::Block image = bird.blocks[1];
                                    bird.blocks.erase(bird.blocks.begin() + 1);
                                    image.declaredLength = static_cast<uint32_t>(image.data.size() + 64);
                                    bird.blocks.push_back(image);
                                  }},
                      PartialCase{"BytesAfterTheChecksum", [](auto& bird) { bird.trailing = {1, 2, 3}; }}),
    [](const ::testing::TestParamInfo<PartialCase>& info) { return std::string(info.param.name); });

struct UnplaceableCase {
  const char* name;
  std::function<void(birdsim::Image&)> change;
  std::string cause;  // on standard error, after the file's path
};

void PrintTo(const UnplaceableCase& c, std::ostream* os) { *os << c.name; }

class UsbUnplaceableFile : public UsbFlows, public ::testing::WithParamInterface<UnplaceableCase> {};

// A file whose firmware cannot land on the module (a block with nothing in
// it, or one whose addresses run past the 32-bit address space) is refused
// before the module is sent into its loader, even with the checks
// overridden, and nothing is recorded.
TEST_P(UsbUnplaceableFile, IsRefusedBeforeTheModuleIsTouched) {
  birdsim::Image bird = firmware_.bird();
  GetParam().change(bird);
  const fs::path file = root_ / "unplaceable.bird";
  std::string why;
  ASSERT_TRUE(birdsim::writeFile(file.string(), birdsim::file(bird), &why)) << why;
  for (bool override : {false, true}) {
    std::vector<std::string> args{"-U", "-d", hex8(kModule), "-f", file.string()};
    if (override) args.push_back("-OVERRIDE");
    ProcessResult r = updater({}, args);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Failed to load bird file: " + file.string() + ": " + GetParam().cause + "\n"))
        << r.err;
    EXPECT_FALSE(contains(r.out, "Transferred")) << r.out;
    EXPECT_EQ(readStats(stats())["inits"], 0u);
    EXPECT_TRUE(readImage(image()).empty());
    EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_TRANSFER"].empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbUnplaceableFile,
    ::testing::Values(
        // Its only firmware block holds an address and no bytes (and no
        // serial-number place, which would stop it for another reason).
        UnplaceableCase{"OnlyFirmwareBlockEmpty",
                        [](auto& bird) {
                          bird.blocks[1] = birdsim::firmware(kImageAddress, {});
                          bird.blocks.erase(bird.blocks.begin() + 2);
                        },
                        "firmware block 1 of 1 (at 0x00008000) holds no bytes"},
        UnplaceableCase{"LaterFirmwareBlockEmpty",
                        [](auto& bird) { bird.blocks.push_back(birdsim::firmware(0x00010000, {})); },
                        "firmware block 2 of 2 (at 0x00010000) holds no bytes"},
        UnplaceableCase{"FirmwareBlockPast4GiB",
                        [](auto& bird) { bird.blocks.push_back(birdsim::firmware(0xFFFFFF00, noise(512, 3))); },
                        "firmware block 2 of 2 (at 0xFFFFFF00, 512 bytes) runs past the 4 GiB address space"},
        UnplaceableCase{"LoaderBlockPast4GiB",
                        [](auto& bird) { bird.blocks[0] = birdsim::loader(0xFFFFFF00, noise(300, 5)); },
                        "loader block 1 of 1 (at 0xFFFFFF00, 300 bytes) runs past the 4 GiB address space"},
        UnplaceableCase{"LoaderBlockEmpty",
                        [](auto& bird) { bird.blocks[0] = birdsim::loader(0x20000000, {}); },
                        "loader block 1 of 1 (at 0x20000000) holds no bytes"}),
    [](const ::testing::TestParamInfo<UnplaceableCase>& info) { return std::string(info.param.name); });

struct ForeignDownloadCase {
  const char* name;
  std::function<void(birdsim::Image&)> change;
  std::string cause;
};

void PrintTo(const ForeignDownloadCase& c, std::ostream* os) { *os << c.name; }

class UsbForeignDownload : public UsbFlows, public ::testing::WithParamInterface<ForeignDownloadCase> {};

// The server answers the latest build with a file made for another build,
// or for another module without a place for the serial number: the file is
// neither stored under the build asked for nor installed.
TEST_P(UsbForeignDownload, IsNeitherStoredNorInstalled) {
  birdsim::Image bird = firmware_.bird();
  GetParam().change(bird);
  updatesim::Config config = serverConfig({firmware_});
  config.devices[hex8(kModule)].birdFiles[std::to_string(firmware_.build)] = birdsim::file(bird);
  server_.setConfig(config);
  ProcessResult r = updater({}, {"-G", "-U", "-d", hex8(kModule)});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "Failed to retrieve a valid BIRD file: " + std::to_string(firmware_.build) +
                                  ".bird: " + GetParam().cause + "\n"))
      << r.err;
  EXPECT_FALSE(fs::exists(root_ / "updater" / hex8(kModule) / (std::to_string(firmware_.build) + ".bird")));
  EXPECT_EQ(readStats(stats())["inits"], 0u);
  EXPECT_TRUE(readImage(image()).empty());
  EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_DOWNLOAD"].empty());
  EXPECT_TRUE(settingsOf(root_, kModule)["LATEST_TRANSFER"].empty());
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbForeignDownload,
    ::testing::Values(ForeignDownloadCase{"OtherBuild",
                                          [](auto& bird) {
                                            bird.blocks[3] = birdsim::descriptor(50, "2.16.0", kModule, "Norquil");
                                          },
                                          "its descriptor is for build 50, not build 99528558"},
                      ForeignDownloadCase{"OtherModuleWithoutSerialPlace",
                                          [](auto& bird) {
                                            bird.blocks[3] =
                                                birdsim::descriptor(99528558, "2.16.0", 0x11111111, "Norquil");
                                            bird.blocks.erase(bird.blocks.begin() + 2);
                                          },
                                          "its descriptor is for module 11111111, not module 40F5849A"}),
    [](const ::testing::TestParamInfo<ForeignDownloadCase>& info) { return std::string(info.param.name); });

struct ShownNameCase {
  const char* name;
  std::string moduleName;
  std::string shown;
};

void PrintTo(const ShownNameCase& c, std::ostream* os) { *os << c.name; }

class UsbShownName : public UsbFlows, public ::testing::WithParamInterface<ShownNameCase> {};

// The module's name reaches the table as text: control sequences in it (a
// cleared screen, a clipboard write, a forged line) show as escapes in the
// name's place.
TEST_P(UsbShownName, NameIsShownAsText) {
  ProcessResult r = updater({"--name", GetParam().moduleName}, {"-D"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "\n    40F5849A  06       06      Norquil        2.15.3 (     61000)         " +
                                  GetParam().shown + "\n"))
      << r.out;
  for (char control : {'\x1b', '\x07', '\r'}) EXPECT_FALSE(contains(r.out + r.err, std::string(1, control))) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Usb, UsbShownName,
    ::testing::Values(ShownNameCase{"ScreenAndClipboard", "\x1b[2J\x1b]52;c;aGk=\x07", "\\x1b[2J\\x1b]52;c;aGk=\\x07"},
                      ShownNameCase{"ForgedLine", "Lab\r\n    FFFFFFFF  01", "Lab\\x0d\\x0a    FFFFFFFF  01"},
                      ShownNameCase{"Utf8", "Pr\xC3\xBC" "fstand \xE2\x84\x96" "3", "Pr\xC3\xBC" "fstand \xE2\x84\x96" "3"}),
    [](const ::testing::TestParamInfo<ShownNameCase>& info) { return std::string(info.param.name); });

TEST_F(UsbFlows, ModuleThatNeverComesBackFailsWithinBoundsAndRecordsNothing) {
  ASSERT_EQ(updater({}, {"-G", "-d", hex8(kModule)}).status, 0);
  const fs::path settings = root_ / "updater" / hex8(kModule) / ".settings";
  const std::string before = readFile(settings);
  ProcessResult r = updater({"--fault-never-back"}, {"-U", "-d", hex8(kModule), "-X", "0x10000"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  // Fifteen tries to find it again, the USB context refreshed before every third.
  size_t refreshes = 0;
  for (size_t at = 0; (at = r.err.find("refreshing libusb context", at)) != std::string::npos; ++at) ++refreshes;
  EXPECT_EQ(refreshes, 5u) << r.err;
  EXPECT_FALSE(contains(r.out, "Update time: "));
  EXPECT_EQ(readFile(settings), before);
  EXPECT_TRUE(readImage(image()).empty());
}

}  // namespace

namespace {

constexpr uint32_t kEarlierBuild = 99500000;

struct ChoiceCase {
  const char* name;
  std::vector<uint32_t> storedBuilds;  // BIRD files already in the module's store directory
  std::string settings;                // its .settings text
  std::vector<std::string> args;       // after -U -d SN
  bool serverReachable;
  int status;
  uint32_t installed;  // the build whose image the module ends up with; 0 for none
  std::vector<std::string> shown;
  std::vector<std::string> notShown;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class UsbBuildChoice : public UsbFlows, public ::testing::WithParamInterface<ChoiceCase> {};

// Without -f or -b the update takes the server's latest build when its file
// is already stored, else the latest download, else the latest transfer;
// a build given on the command line is never downloaded by the update.
TEST_P(UsbBuildChoice, UpdateTakesTheBuildItShould) {
  const ChoiceCase& c = GetParam();
  const fs::path device = root_ / "updater" / hex8(kModule);
  fs::create_directories(device);
  std::map<uint32_t, Firmware> builds;
  for (uint32_t build : {kEarlierBuild, firmware_.build}) {
    Firmware f = firmware_;
    f.build = build;
    builds[build] = f;
  }
  std::string why;
  for (uint32_t build : c.storedBuilds) {
    ASSERT_TRUE(birdsim::writeFile((device / (std::to_string(build) + ".bird")).string(), builds[build].file(), &why));
  }
  std::ofstream(device / ".settings", std::ios::trunc) << c.settings;
  if (!c.serverReachable) server_.stop();
  server_.clearRequests();

  std::vector<std::string> args{"-U", "-d", hex8(kModule)};
  args.insert(args.end(), c.args.begin(), c.args.end());
  ProcessResult r = updater({}, args);
  const std::string all = r.out + r.err;
  EXPECT_EQ(r.status, c.status) << all;
  for (const auto& s : c.shown) EXPECT_TRUE(contains(all, s)) << "missing: " << s << "\n" << all;
  for (const auto& s : c.notShown) EXPECT_FALSE(contains(all, s)) << "unexpected: " << s << "\n" << all;
  const auto runs = readImage(image());
  if (c.installed == 0) {
    EXPECT_TRUE(runs.empty());
  } else {
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs.begin()->second, builds[c.installed].patchedImage(kModule));
  }
  for (const auto& target : server_.targets()) EXPECT_FALSE(contains(target, "op=bird")) << target;
  // Looking for a build adds nothing to the module's settings.
  for (const auto& [key, value] : settingsOf(root_, kModule)) EXPECT_FALSE(value.empty()) << key;
}

const std::string kLatest = "99528558";
const std::string kEarlier = std::to_string(kEarlierBuild);

INSTANTIATE_TEST_SUITE_P(
    Choice, UsbBuildChoice,
    ::testing::Values(
        ChoiceCase{"ServerLatestAlreadyStored", {99528558}, "", {}, true, 0, 99528558,
                   {"Updating firmware with build: " + kLatest}, {"New firmware is available", "Latest Download"}},
        ChoiceCase{"ServerLatestMissingTakesLatestDownload",
                   {kEarlierBuild},
                   "LATEST_DOWNLOAD=" + kEarlier + ".bird\n",
                   {},
                   true,
                   0,
                   kEarlierBuild,
                   {"New firmware is available.  Updater will proceed if valid firmware is found locally.",
                    "Updating with the Latest Download", "Updating firmware with build: " + kEarlier},
                   {}},
        ChoiceCase{"ServerUnreachableTakesLatestDownloadBeforeTransfer",
                   {kEarlierBuild, 99528558},
                   "LATEST_DOWNLOAD=" + kEarlier + ".bird\nLATEST_TRANSFER=" + kLatest + ".bird\n",
                   {},
                   false,
                   0,
                   kEarlierBuild,
                   {"Updating with the Latest Download"},
                   {"New firmware is available"}},
        ChoiceCase{"LatestTransferLast",
                   {kEarlierBuild},
                   "LATEST_TRANSFER=" + kEarlier + ".bird\n",
                   {},
                   false,
                   0,
                   kEarlierBuild,
                   {"Updating with the Latest Transfer"},
                   {"Latest Download"}},
        ChoiceCase{"NoBuildAnywhere", {}, "", {}, false, 1, 0, {"Could not find valid build for this device."}, {}},
        ChoiceCase{"GivenBuildMissingIsNotDownloaded", {99528558}, "", {"-b", "12345"}, true, 1, 0,
                   {"Failed to load bird file"}, {"Downloading firmware build"}}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

struct NameCase {
  const char* version;
  bool named;
};

class UsbDeviceName : public UsbFlows, public ::testing::WithParamInterface<NameCase> {};

// The module's name is read from firmware 2.10.4 on, the patch counted
// modulo 256.
TEST_P(UsbDeviceName, NameIsReadFromFirmwareThatHasIt) {
  ProcessResult r = updater({"--version", GetParam().version}, {"-D"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(contains(r.out, "Usb module"), GetParam().named) << r.out;
  EXPECT_FALSE(contains(r.out, "Error (")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Versions, UsbDeviceName,
                         ::testing::Values(NameCase{"2.10.3", false}, NameCase{"2.10.4", true},
                                           NameCase{"2.11.0", true}, NameCase{"2.10.260", true}, NameCase{"2.10.256", false},
                                           NameCase{"1.15.9", false}),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                           std::string name = std::string("v") + info.param.version;
                           for (char& ch : name) {
                             if (ch == '.') ch = '_';
                           }
                           return name;
                         });

}  // namespace
