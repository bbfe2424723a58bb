// The run: command order, preconditions, result tables, usage text and exit
// status, over a mock Updater.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AppMain.h"
#include "BuildPath.h"
#include "Log.h"
#include "test_support.h"

using ::testing::_;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::Return;
using ::testing::SetArgReferee;
using ::testing::StrictMock;

namespace {

class MockUpdater : public UpdaterCommands {
public:
  MOCK_METHOD(void, Set_UEIBytes_Load, (bool), (override));
  MOCK_METHOD(std::vector<DeviceInfo>, Discover_Devices, (linkType), (override));
  MOCK_METHOD(std::vector<DeviceInfo>, Discover_JVNetwork_Devices, (uint32_t, linkType), (override));
  MOCK_METHOD(bool, Get_BuildList, (uint32_t, BuildMap&), (override));
  MOCK_METHOD(bool, Get_BuildListLocal, (uint32_t, BuildMap&), (override));
  MOCK_METHOD(uint32_t, Download_Firmware, (uint32_t, std::string, bool, bool), (override));
  MOCK_METHOD(bool, Update_Firmware, (uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool), (override));
  MOCK_METHOD(bool, Get_Fingerprint, (Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool), (override));
  MOCK_METHOD(bool, Recover_Firmware, (std::string, uint32_t, uint32_t, uint32_t, std::string, bool), (override));
};

const std::string kVersionLine = "Updater (Version: 2.11.5 Oct 13 2025)";
const std::string kRightsLine = "Copyright (c) the Jorvanite updater authors.";

std::string Golden(const char* name)
{
  std::string text = ReadFile(std::string(JV_SOURCE_DIR) + "/tests/app/data/" + name);
  const std::string marker = "@DEFAULT_SERVER@";
  size_t at = text.find(marker);
  if (at != std::string::npos)
    text.replace(at, marker.size(), _server_host_port(JV_UPDATE_SERVER_URL));
  return text;
}

// One run of AppMain over a strict mock; the store lives in a temporary
// directory unless the words name one themselves.
class RunTest : public ::testing::Test {
protected:
  void SetUp() override { Log::DeactivatePackage(0xFFFFFFFFu); }
  void TearDown() override { Log::DeactivatePackage(0xFFFFFFFFu); }

  int Run(std::vector<std::string> words, bool withStore = true)
  {
    words.insert(words.begin(), "updater");
    if (withStore) {
      words.push_back("-i");
      words.push_back(store.path());
    }
    Argv args(words);
    char* text = nullptr;
    size_t size = 0;
    FILE* usageOut = open_memstream(&text, &size);
    UpdaterFactory factory = [this](const char* url, const char* dir, UpdaterDisplayInterface& d) {
      ++made;
      madeUrl = url;
      madeDir = dir;
      EXPECT_EQ(&display, &d);
      return std::unique_ptr<UpdaterCommands>(std::move(mock));
    };
    int status = AppMain(args.argc(), args.argv(), display, factory, usageOut);
    fclose(usageOut);
    usage.assign(text, size);
    free(text);
    return status;
  }

  TempDir store;
  std::unique_ptr<StrictMock<MockUpdater>> mock = std::make_unique<StrictMock<MockUpdater>>();
  StrictMock<MockUpdater>& updater = *mock;
  RecordingDisplay display;
  std::string usage;
  int made = 0;
  std::string madeUrl;
  std::string madeDir;
};

struct UsageCase {
  const char* name;
  std::vector<std::string> words;
  int status;
  std::vector<std::string> errors;
  const char* golden;
};

class UsageTest : public RunTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageTest, ShowsUsageWithoutUpdater)
{
  const UsageCase& c = GetParam();
  EXPECT_EQ(c.status, Run(c.words, false));
  EXPECT_EQ(std::vector<std::string>({kVersionLine, kRightsLine}), display.infos());
  EXPECT_EQ(c.errors, display.errors());
  EXPECT_EQ(Golden(c.golden), usage);
  EXPECT_EQ(0, made);
}

INSTANTIATE_TEST_SUITE_P(
    Run, UsageTest,
    ::testing::Values(
        UsageCase{"NoArguments", {}, 0, {}, "usage_short.txt"},
        UsageCase{"OnlyOverride", {"-OVERRIDE"}, 0, {}, "usage_short.txt"},
        UsageCase{"OnlyParameters", {"-d", "A1", "-b", "5"}, 0, {}, "usage_short.txt"},
        UsageCase{"RefusedSerial", {"-d", "12G4", "-U"}, 1, {"Invalid serial number obtained from argument [12G4]"},
                  "usage_short.txt"},
        UsageCase{"RefusedTransport", {"-D", "-t", "US"}, 1,
                  {"Invalid transport type:[US]\nMust be one of the following: USB, TCPIP, RECOVER"},
                  "usage_short.txt"},
        UsageCase{"UnhandledCommand", {"-Y"}, 1, {"Unhandled command: [-Y]"}, "usage_short.txt"},
        UsageCase{"Help", {"-h"}, 0, {}, "usage_full.txt"},
        UsageCase{"HelpWinsOverCommands", {"-U", "-d", "A1", "--help"}, 0, {}, "usage_full.txt"},
        UsageCase{"HelpAfterRefusal", {"-d", "12G4", "-h"}, 0,
                  {"Invalid serial number obtained from argument [12G4]"}, "usage_full.txt"},
        UsageCase{"ExtendedHelp", {"-X", "1", "-H"}, 0, {}, "usage_extended.txt"},
        UsageCase{"LogMaskAfterHelpIgnored", {"--he", "-X", "1"}, 0, {}, "usage_full.txt"},
        UsageCase{"LogMaskWithoutHelpShort", {"-X", "1"}, 0, {}, "usage_short.txt"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, CommandsWithoutActionOnlyMakeTheStore)
{
  for (const char* command : {"-I", "-C"}) {
    SCOPED_TRACE(command);
    TempDir base;
    RecordingDisplay quiet;
    Argv args{"updater", command, "-i", (base.path() + "/a/b").c_str()};
    int calls = 0;
    UpdaterFactory factory = [&](const char*, const char*, UpdaterDisplayInterface&) {
      ++calls;
      return std::unique_ptr<UpdaterCommands>(std::make_unique<StrictMock<MockUpdater>>());
    };
    EXPECT_EQ(0, AppMain(args.argc(), args.argv(), quiet, factory, stderr));
    EXPECT_EQ(std::vector<std::string>({kVersionLine}), quiet.infos());
    EXPECT_TRUE(quiet.errors().empty());
    EXPECT_TRUE(std::filesystem::is_directory(base.path() + "/a/b/updater"));
    EXPECT_EQ(1, calls);
  }
}

TEST_F(RunTest, ZWithArgumentOnlyMakesTheStore)
{
  EXPECT_EQ(0, Run({"-Z", "anything"}));
  EXPECT_EQ(std::vector<std::string>({kVersionLine}), display.infos());
  EXPECT_EQ(store.path() + "/updater", madeDir);
  EXPECT_EQ(JV_UPDATE_SERVER_URL, madeUrl);
}

TEST_F(RunTest, ServerUrlFromCommandLine)
{
  EXPECT_EQ(0, Run({"-I", "-u", "http://127.0.0.1:8080/cgi/u"}));
  EXPECT_EQ("http://127.0.0.1:8080/cgi/u", madeUrl);
}

TEST_F(RunTest, StoreThatCannotBeMade)
{
  std::string blocker = store.path() + "/file";
  std::ofstream(blocker) << "x";
  Argv args{"updater", "-I", "-i", (blocker + "/sub").c_str()};
  UpdaterFactory factory = [&](const char*, const char*, UpdaterDisplayInterface&) {
    ADD_FAILURE() << "no Updater without a store";
    return std::unique_ptr<UpdaterCommands>();
  };
  EXPECT_EQ(1, AppMain(args.argc(), args.argv(), display, factory, stderr));
  EXPECT_EQ(std::vector<std::string>({"Could not find updater directory at " + blocker + "/sub/updater"}),
            display.errors());
}

DeviceInfo Device(linkType type, uint32_t serial, uint32_t module, uint32_t model, int error = 0)
{
  DeviceInfo d;
  d.spec.type = type;
  d.spec.serialNumber = serial;
  d.spec.module = module;
  d.spec.router = module;
  d.spec.model = model;
  d.build = 1234567;
  d.major = 2;
  d.minor = 11;
  d.patch = 5;
  d.name = "bench";
  d.error = error;
  return d;
}

struct DiscoverCase {
  const char* name;
  std::vector<std::string> words;
  bool router;
  linkType searched;
  std::string heading;  // the "Discovered Devices" line
};

class DiscoverTest : public RunTest, public ::testing::WithParamInterface<DiscoverCase> {};

TEST_P(DiscoverTest, SearchesTheRightWay)
{
  const DiscoverCase& c = GetParam();
  if (c.router) {
    EXPECT_CALL(updater, Discover_JVNetwork_Devices(0xD272031Du, c.searched))
        .WillOnce(Return(std::vector<DeviceInfo>{}));
  } else {
    EXPECT_CALL(updater, Discover_Devices(c.searched)).WillOnce(Return(std::vector<DeviceInfo>{}));
  }
  EXPECT_EQ(0, Run(c.words));
  std::vector<std::string> infos = display.infos();
  ASSERT_EQ(4u, infos.size());
  EXPECT_EQ(c.router ? "Searching for Jorvanite Network devices connected to D272031D"
                     : "Searching for Jorvanite devices",
            infos[1]);
  EXPECT_EQ(c.heading, infos[2]);
  EXPECT_EQ("    No devices found.", infos[3]);
}

INSTANTIATE_TEST_SUITE_P(
    Run, DiscoverTest,
    ::testing::Values(
        DiscoverCase{"UsbOnlyByDefault", {"-D"}, false, LINK_USB, "Discovered Devices: (USB)"},
        DiscoverCase{"Tcpip", {"-D", "-t", "TCPIP"}, false, LINK_TCPIP, "Discovered Devices: (TCPIP)"},
        DiscoverCase{"RecoverTransportSearchesUsb", {"-D", "-t", "RECOVER"}, false, LINK_USB,
                     "Discovered Devices: (USB)"},
        DiscoverCase{"RouterWithoutTransport", {"-D", "-r", "D272031D"}, true, LINK_STREAM,
                     "Discovered Devices: (Unknown)"},
        DiscoverCase{"RouterOverUsb", {"-D", "-r", "D272031D", "-t", "USB"}, true, LINK_USB,
                     "Discovered Devices: (USB)"},
        DiscoverCase{"DiscoverWinsOverUpdate", {"-D", "-U", "-d", "A1", "-B", "-L"}, false, LINK_USB,
                     "Discovered Devices: (USB)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeviceTable, Lines)
{
  DeviceInfo net = Device(LINK_TCPIP, 0x40F5849A, 4, 4);
  const unsigned char ip[4] = {192, 168, 7, 21};
  memcpy(&net.spec.address, ip, 4);
  const std::vector<DeviceInfo> devices = {Device(LINK_USB, 0x2181F0EE, 2, 4),
                                           Device(LINK_USB, 0xA1, 6, 3, 25), net};
  struct {
    linkType type;
    std::vector<std::string> expected;
  } cases[] = {
      {LINK_USB,
       {"Discovered Devices: (USB)",
        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
        "    2181F0EE  02       02      Corvel         2.11.5 (   1234567)         bench",
        "    000000A1  [Error (25): Is someone else connected to this device?]",
        "    40F5849A  04       04      Corvel         2.11.5 (   1234567)        [192.168.7.21]     bench"}},
      {LINK_STREAM,
       {"Discovered Devices: (Unknown)",
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name",
        "    2181F0EE  02       02      Corvel         2.11.5 (   1234567)         bench",
        "    000000A1  [Error (25): Is someone else connected to this device?]",
        "    40F5849A  04       04      Corvel         2.11.5 (   1234567)        [192.168.7.21]     bench"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    RecordingDisplay d;
    _display_device_list(d, devices, c.type);
    EXPECT_EQ(c.expected, d.infos());
  }
}

TEST(DeviceTable, UnknownModelAndTcpipErrorIgnored)
{
  DeviceInfo net = Device(LINK_TCPIP, 0x12345678, 0x10, 255, 25);
  RecordingDisplay d;
  _display_device_list(d, {net}, LINK_TCPIP);
  ASSERT_EQ(3u, d.infos().size());
  EXPECT_EQ("    12345678  10       10      Unknown        2.11.5 (   1234567)        [0.0.0.0]          bench",
            d.infos()[2]);
}

// A module that a run on this host is updating was not connected to: its row
// says so, with what its discovery answer gave, whatever the error field.
TEST(DeviceTable, ModuleBeingUpdatedIsMarked)
{
  DeviceInfo usb = Device(LINK_USB, 0x2181F0EE, 2, 4, 25);
  usb.heldBy = 4242;
  DeviceInfo net = Device(LINK_TCPIP, 0x40F5849A, 6, 4);
  const unsigned char ip[4] = {10, 0, 0, 9};
  memcpy(&net.spec.address, ip, 4);
  net.heldBy = -1;
  RecordingDisplay d;
  _display_device_list(d, {usb, net}, LINK_STREAM);
  EXPECT_EQ(std::vector<std::string>(
                {"Discovered Devices: (Unknown)",
                 "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name",
                 "    2181F0EE  02       02      Corvel       [Being updated by process 4242]",
                 "    40F5849A  06       06      Corvel       [Being updated by another process]  [10.0.0.9]"}),
            d.infos());
}

TEST(BuildTable, NewestVersionFirstAndCut)
{
  struct {
    const char* name;
    BuildMap builds;
    std::vector<std::string> expected;
  } cases[] = {
      {"Empty", {}, {"No builds found for device [000000A1]"}},
      {"ByVersion",
       {{"100", "2.1.0"}, {"99", "2.10.0"}, {"7", "1.0.0"}},
       {"Build List for device [000000A1]:\n", "Build          \tVersion        ", "99             \t2.10.0         ",
        "100            \t2.1.0          ", "7              \t1.0.0          "}},
      {"LongFieldsCut",
       {{"12345678901234567890", "1.2.3-with-a-long-tail"}},
       {"Build List for device [000000A1]:\n", "Build          \tVersion        ",
        "123456789012345\t1.2.3-with-a-lo"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingDisplay d;
    _display_builds(d, c.builds, 0xA1);
    EXPECT_EQ(c.expected, d.infos());
  }
}

TEST_F(RunTest, ListBuilds)
{
  struct {
    const char* command;
    bool local;
  } cases[] = {{"-B", false}, {"-L", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    mock = std::make_unique<StrictMock<MockUpdater>>();
    display.lines.clear();
    BuildMap builds = {{"4242", "2.11.5"}};
    if (c.local) {
      EXPECT_CALL(*mock, Get_BuildListLocal(0x40F5849Au, _)).WillOnce(DoAll(SetArgReferee<1>(builds), Return(true)));
    } else {
      EXPECT_CALL(*mock, Get_BuildList(0x40F5849Au, _)).WillOnce(DoAll(SetArgReferee<1>(builds), Return(true)));
    }
    EXPECT_EQ(0, Run({c.command, "-d", "40F5849A"}));
    EXPECT_EQ(std::vector<std::string>({kVersionLine, "Build List for device [40F5849A]:\n",
                                        "Build          \tVersion        ", "4242           \t2.11.5         "}),
              display.infos());
  }
}

// A server that could not be asked (or answered an error) has not said it
// holds no builds: no table, no "No builds found", exit status 1. A server
// that answered an empty list is told as such, with 0.
TEST_F(RunTest, ListBuildsStatusFollowsTheServersAnswer)
{
  struct {
    const char* name;
    bool answered;
    int status;
    std::vector<std::string> infos;
  } cases[] = {
      {"failed", false, 1, {kVersionLine}},
      {"emptyList", true, 0, {kVersionLine, "No builds found for device [40F5849A]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mock = std::make_unique<StrictMock<MockUpdater>>();
    display.lines.clear();
    EXPECT_CALL(*mock, Get_BuildList(0x40F5849Au, _)).WillOnce(Return(c.answered));
    EXPECT_EQ(c.status, Run({"-B", "-d", "40F5849A"}));
    EXPECT_EQ(c.infos, display.infos());
  }
}

TEST_F(RunTest, ListWithoutSerialNumber)
{
  struct {
    const char* command;
    const char* error;
  } cases[] = {{"-B", "Error must supply a serial number for the List Builds command"},
               {"-L", "Error must supply a serial number for the List Local Builds command"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    display.lines.clear();
    EXPECT_EQ(1, Run({c.command}));
    EXPECT_EQ(std::vector<std::string>({c.error}), display.errors());
    EXPECT_EQ(Golden("usage_short.txt"), usage);
  }
}

TEST_F(RunTest, UpdateNeedsSerialNumber)
{
  EXPECT_CALL(updater, Set_UEIBytes_Load(true));
  EXPECT_EQ(1, Run({"-U"}));
  EXPECT_EQ(std::vector<std::string>({"Must specify the specific device to be updated"}), display.errors());
}

struct UpdateCase {
  const char* name;
  std::vector<std::string> words;
  bool result;
};

class UpdateTest : public RunTest, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateTest, StatusFollowsResult)
{
  const UpdateCase& c = GetParam();
  InSequence order;
  EXPECT_CALL(updater, Set_UEIBytes_Load(false));
  EXPECT_CALL(updater, Update_Firmware(0x2181F0EEu, 77u, std::string("fw.bird"), 0, 0xD272031Du, true))
      .WillOnce(Return(c.result));
  EXPECT_EQ(c.result ? 0 : 1, Run(c.words));
}

INSTANTIATE_TEST_SUITE_P(
    Run, UpdateTest,
    ::testing::Values(
        UpdateCase{"Success", {"-U", "-d", "2181F0EE", "-b", "77", "-f", "fw.bird", "-r", "D272031D", "-O", "-m", "0"},
                   true},
        UpdateCase{"Failure", {"-U", "-d", "2181F0EE", "-b", "77", "-f", "fw.bird", "-r", "D272031D", "-O", "-m", "0"},
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunTest, RecoverOverSerialPort)
{
  for (bool result : {true, false}) {
    SCOPED_TRACE(result);
    mock = std::make_unique<StrictMock<MockUpdater>>();
    EXPECT_CALL(*mock, Set_UEIBytes_Load(true));
    EXPECT_CALL(*mock, Recover_Firmware(std::string("/dev/ttyUSB0"), 0u, 9600u, 0u, std::string(""), false))
        .WillOnce(Return(result));
    EXPECT_EQ(result ? 0 : 1, Run({"-U", "-t", "RECOVER", "-s", "/dev/ttyUSB0", "-o", "9600"}));
  }
}

TEST_F(RunTest, DownloadFeedsUpdate)
{
  struct {
    const char* name;
    uint32_t downloaded;
    std::vector<std::string> buildWords;
    std::string buildAsked;
    uint32_t installed;
    std::string infoAboutBuild;
  } cases[] = {
      {"InstallsDownloadedBuild", 4242, {}, "", 4242, "No build specified"},
      {"FailedDownloadKeepsGivenBuild", 0, {"-b", "5"}, "5", 5, "Retrieving firmware build 5"},
      {"FailedDownloadLatest", 0, {}, "", 0, "No build specified"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mock = std::make_unique<StrictMock<MockUpdater>>();
    display.lines.clear();
    {
      InSequence order;
      EXPECT_CALL(*mock, Download_Firmware(0xA1u, c.buildAsked, false, false)).WillOnce(Return(c.downloaded));
      EXPECT_CALL(*mock, Set_UEIBytes_Load(true));
      EXPECT_CALL(*mock, Update_Firmware(0xA1u, c.installed, std::string(""), 0, 0u, false)).WillOnce(Return(true));
    }
    std::vector<std::string> words = {"-U", "-G", "-d", "A1"};
    words.insert(words.end(), c.buildWords.begin(), c.buildWords.end());
    EXPECT_EQ(0, Run(words));
    std::vector<std::string> infos = display.infos();
    ASSERT_LE(3u, infos.size());
    EXPECT_EQ("Retrieving firmware for device with serial number 000000A1", infos[1]);
    EXPECT_EQ(c.infoAboutBuild, infos[2]);
  }
}

TEST_F(RunTest, GetBuildNeedsSerialNumber)
{
  EXPECT_EQ(1, Run({"-G", "-U"}));
  EXPECT_EQ(std::vector<std::string>({"-G must specify a specific device via -d", "--help for usage information"}),
            display.errors());
}

TEST_F(RunTest, FingerprintNeedsSerialPortAndStopsRun)
{
  EXPECT_EQ(1, Run({"-N", "-D", "-G", "-d", "A1"}));
  EXPECT_EQ(std::vector<std::string>({"Must specify the serial port used for connecting"}), display.errors());
}

TEST_F(RunTest, FingerprintShown)
{
  Fingerprint fp;
  fp.word[0] = 0x01020304;
  fp.word[1] = 0xA0B0C0D0;
  fp.word[2] = 0;
  fp.word[3] = 0xFFFFFFFF;
  EXPECT_CALL(updater, Get_Fingerprint(_, std::string("/dev/ttyS1"), DEFAULT_SERIAL_NUMBER, std::string("r.bird"),
                                       57600u, true))
      .WillOnce(DoAll(SetArgReferee<0>(fp), Return(true)));
  EXPECT_EQ(0, Run({"-N", "-s", "/dev/ttyS1", "-f", "r.bird", "-o", "57600"}));
  EXPECT_EQ(std::vector<std::string>({kVersionLine, "[ 01020304 A0B0C0D0 00000000 FFFFFFFF ]"}), display.infos());
}

// The later of fingerprint and download decides when nothing else runs;
// discover and the lists end with 0 whatever came before.
TEST_F(RunTest, StatusOfEarlierSteps)
{
  struct {
    const char* name;
    std::vector<std::string> words;
    bool fingerprint;
    uint32_t download;  // -1: not asked
    bool discover;
    int status;
  } cases[] = {
      {"FingerprintFails", {"-N", "-s", "p"}, false, UINT32_MAX, false, 1},
      {"FingerprintFailsDownloadWorks", {"-N", "-s", "p", "-G", "-d", "A1"}, false, 9, false, 0},
      {"FingerprintWorksDownloadFails", {"-N", "-s", "p", "-G", "-d", "A1"}, true, 0, false, 1},
      {"DownloadFailsDiscoverRuns", {"-G", "-d", "A1", "-D"}, true, 0, true, 0},
      {"FingerprintFailsDiscoverRuns", {"-N", "-s", "p", "-D"}, false, UINT32_MAX, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mock = std::make_unique<StrictMock<MockUpdater>>();
    display.lines.clear();
    if (std::find(c.words.begin(), c.words.end(), "-N") != c.words.end()) {
      EXPECT_CALL(*mock, Get_Fingerprint(_, std::string("p"), DEFAULT_SERIAL_NUMBER, std::string(""), 115200u, true))
          .WillOnce(Return(c.fingerprint));
    }
    if (c.download != UINT32_MAX)
      EXPECT_CALL(*mock, Download_Firmware(0xA1u, std::string(""), false, false)).WillOnce(Return(c.download));
    if (c.discover)
      EXPECT_CALL(*mock, Discover_Devices(LINK_USB)).WillOnce(Return(std::vector<DeviceInfo>{}));
    EXPECT_EQ(c.status, Run(c.words));
    bool noResponse = false;
    for (const std::string& e : display.errors())
      noResponse |= e == "Got no response from chip";
    EXPECT_EQ(std::find(c.words.begin(), c.words.end(), "-N") != c.words.end() && !c.fingerprint, noResponse);
  }
}

TEST(Usage, DefaultServerHostAndPort)
{
  struct {
    const char* url;
    const char* expected;
  } cases[] = {
      {"http://update-server.invalid/cgi/u", "update-server.invalid:80"},
      {"https://update-server.invalid/cgi/u", "update-server.invalid:443"},
      {"http://127.0.0.1:8080/cgi/u", "127.0.0.1:8080"},
      {"http://user@host.example:81/cgi/u?x=1", "host.example:81"},
      {"http://[::1]/cgi/u", "[::1]:80"},
      {"http://[::1]:9000/cgi/u", "[::1]:9000"},
      {"host.example", "host.example:80"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, _server_host_port(c.url)) << c.url;
}

TEST(Usage, GoldenTexts)
{
  struct {
    bool extended;
    bool full;
    const char* golden;
  } cases[] = {
      {false, false, "usage_short.txt"},
      {true, false, "usage_short.txt"},
      {false, true, "usage_full.txt"},
      {true, true, "usage_extended.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.golden);
    EXPECT_EQ(Golden(c.golden), _usage_text(c.extended, c.full));
  }
}

TEST(BuildPathTest, Joins)
{
  const std::string longPart(5000, 'p');
  struct {
    const char* name;
    std::string got;
    std::string expected;
  } cases[] = {
      {"TwoParts", BuildPath("/home/u", ".tovanire", nullptr), "/home/u/.tovanire"},
      {"ThreeParts", BuildPath("a", "b", "c", nullptr), "a/b/c"},
      {"NothingCollapsed", BuildPath("a/", "/b", nullptr), "a///b"},
      {"EmptyPartsKept", BuildPath("", "", nullptr), "/"},
      {"OnlyFirst", BuildPath("x", nullptr), "x"},
      {"NoLengthLimit", BuildPath(longPart.c_str(), longPart.c_str(), "updater", nullptr),
       longPart + "/" + longPart + "/updater"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, c.got) << c.name;
}

} // namespace
