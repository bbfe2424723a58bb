// The updater binary's -B, -L and -G commands against the simulated update
// server: what it prints, what it stores, what it asks.
#include "BirdFixture.h"
#include "UpdateServerSim.h"
#include "run_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using updatesim::Fault;
using updatesim::Op;

namespace {

const std::string kSerial = "40F5849A";
const std::string kFirmwareId = "FW-7 a&b"; // reaches the server only if encoded

updatesim::Bytes birdFor(uint32_t build, const std::string& version)
{
  birdsim::Image image;
  image.blocks.push_back(birdsim::loader(0x20000000, birdsim::Bytes(64, 0xA5)));
  image.blocks.push_back(birdsim::firmware(0x1000, noise(3000, build)));
  image.blocks.push_back(birdsim::descriptor(build, version, 0x40F5849A, "JV-HUB8"));
  return birdsim::file(image);
}

std::string asText(const updatesim::Bytes& b)
{
  return std::string(b.begin(), b.end());
}

class UpdaterAgainstServer : public ::testing::Test {
protected:
  void SetUp() override
  {
    root_ = fs::temp_directory_path() / ("server-e2e-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
    server_.setConfig(config());
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override
  {
    server_.stop();
    fs::remove_all(root_);
  }

  static updatesim::Config config()
  {
    updatesim::Config c;
    updatesim::Device& d = c.devices[kSerial];
    d.latestBuild = "99528558";
    d.firmwareId = kFirmwareId;
    d.builds = {{"99400000", "2.9.0"},  {"99528558", "2.10.12"}, {"99450000", "2.10.4"},
                {"99000001", "beta"},   {"99500000", "2.10.4"}};
    d.birdFiles["99528558"] = birdFor(99528558, "2.10.12");
    d.birdFiles["99500000"] = birdFor(99500000, "2.10.4");
    return c;
  }

  ProcessResult run(std::vector<std::string> args, bool pty = false)
  {
    std::vector<std::string> argv{UPDATER_BIN, "-u", server_.url(), "-i", root_.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, pty);
  }

  fs::path device() const { return root_ / "updater" / kSerial; }

  std::map<std::string, std::string> settings() const
  {
    std::map<std::string, std::string> pairs;
    std::ifstream in(device() / ".settings");
    for (std::string line; std::getline(in, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos)
        pairs[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return pairs;
  }

  fs::path root_;
  updatesim::UpdateServer server_;
};

const std::string kPing = "/cgi/u?op=hi&rv=2&";
const std::string kQuery = "/cgi/u?op=qu&sn=40F5849A&";
const std::string kBuilds = "/cgi/u?op=builds&sn=40F5849A&";
std::string birdTarget(const std::string& build)
{
  return "/cgi/u?bld=" + build + "&fw=FW-7%20a%26b&no_cal=false&op=bird&sn=40F5849A&";
}

TEST_F(UpdaterAgainstServer, ListBuildsPrintsTheSortedTable)
{
  const ProcessResult r = run({"-B", "-d", kSerial});
  ASSERT_EQ(0, r.status) << r.err;
  const std::string table = "Build List for device [40F5849A]:\n\n"
                            "Build          \tVersion        \n"
                            "99528558       \t2.10.12        \n"
                            "99500000       \t2.10.4         \n"
                            "99450000       \t2.10.4         \n"
                            "99400000       \t2.9.0          \n"
                            "99000001       \tbeta           \n";
  EXPECT_NE(std::string::npos, r.out.find(table)) << r.out;
  EXPECT_EQ((std::vector<std::string>{kPing, kBuilds}), server_.targets());
  EXPECT_EQ("GET " + kPing + " HTTP/1.1", server_.requests().at(0));
}

TEST_F(UpdaterAgainstServer, GetLatestStoresTheServedFileAndRecordsIt)
{
  const ProcessResult r = run({"-G", "-d", kSerial});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Retrieving build 99528558\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Build 99528558 is valid\n")) << r.out;
  EXPECT_EQ(asText(config().devices[kSerial].birdFiles["99528558"]), readFile(device() / "99528558.bird"));

  auto s = settings();
  EXPECT_EQ("99528558.bird", s["LATEST_DOWNLOAD"]);
  EXPECT_TRUE(std::regex_match(s["LAST_DOWNLOAD_DATE"],
                               std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}")))
      << s["LAST_DOWNLOAD_DATE"];
  EXPECT_EQ((std::vector<std::string>{kPing, kQuery, kBuilds, birdTarget("99528558")}), server_.targets());
  for (const auto& entry : fs::directory_iterator(device())) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name[0] != '.' || name == ".settings") << "temporary left behind: " << name;
  }
}

TEST_F(UpdaterAgainstServer, GetNamedBuildAndListLocal)
{
  ASSERT_EQ(0, run({"-G", "-d", kSerial}).status);
  ProcessResult r = run({"-G", "-d", kSerial, "-b", "99500000"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(asText(config().devices[kSerial].birdFiles["99500000"]), readFile(device() / "99500000.bird"));
  EXPECT_EQ("99500000.bird", settings()["LATEST_DOWNLOAD"]);

  { std::ofstream(device() / "notes.txt") << "not firmware\n"; }
  server_.clearRequests();
  r = run({"-L", "-d", kSerial});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("99528558       \t2.10.12        \n"
                                          "99500000       \t2.10.4         \n"
                                          "notes.txt      \t               \n"))
      << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(".settings"));
  EXPECT_TRUE(server_.targets().empty()) << "the local list asks no server";

  r = run({"-L", "-d", "12345678"});
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.out.find("No builds found for device [12345678]")) << r.out;
}

TEST_F(UpdaterAgainstServer, OverrideSkipsTheBuildList)
{
  const ProcessResult r = run({"-G", "-d", kSerial, "-b", "99500000", "-OVERRIDE"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Override specified, skipping validation of build 99500000"));
  EXPECT_EQ((std::vector<std::string>{kPing, kQuery, birdTarget("99500000")}), server_.targets());
}

TEST_F(UpdaterAgainstServer, UnlistedBuildIsRefusedBeforeDownload)
{
  const ProcessResult r = run({"-G", "-d", kSerial, "-b", "12345"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("No valid build 12345\n")) << r.err;
  EXPECT_EQ((std::vector<std::string>{kPing, kQuery, kBuilds}), server_.targets());
  EXPECT_FALSE(fs::exists(device() / "12345.bird"));
  EXPECT_TRUE(fs::exists(device() / ".settings")) << "the device directory is made before the query";
}

struct FaultCase {
  const char* name;
  Op op;
  Fault fault;
  int status;           // exit status of -G
  const char* message;  // on standard error, or null for success
};

class GetBuildFaults : public UpdaterAgainstServer, public ::testing::WithParamInterface<FaultCase> {};

// A good download first, then the same command against a misbehaving server:
// the Part's message and status, and the stored file and record untouched.
TEST_P(GetBuildFaults, ReportsAndKeepsTheEarlierDownload)
{
  const FaultCase& f = GetParam();
  ASSERT_EQ(0, run({"-G", "-d", kSerial}).status);
  const std::string goodFile = readFile(device() / "99528558.bird");
  const std::string goodSettings = readFile(device() / ".settings");
  ASSERT_FALSE(goodFile.empty());

  server_.setFault(f.op, f.fault, f.fault == Fault::Delay ? 600 : 0);
  sleep(1); // a changed record would show a different time stamp
  const ProcessResult r = run({"-G", "-d", kSerial});
  EXPECT_EQ(f.status, r.status) << r.out << r.err;
  if (f.message) {
    EXPECT_NE(std::string::npos, r.err.find(f.message)) << r.err;
    EXPECT_EQ(goodSettings, readFile(device() / ".settings"));
  }
  EXPECT_EQ(goodFile, readFile(device() / "99528558.bird"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, GetBuildFaults,
    ::testing::Values(
        FaultCase{"ping404", Op::Ping, Fault::Http404, 1, "Server request failed for http://127.0.0.1:"},
        FaultCase{"ping500", Op::Ping, Fault::Http500, 1, "/cgi/u: the update server answered HTTP status 500"},
        FaultCase{"pingRedirect", Op::Ping, Fault::Redirect, 1, "Server request failed for http://127.0.0.1:"},
        FaultCase{"pingEmpty", Op::Ping, Fault::EmptyBody, 1, "Server request failed for http://127.0.0.1:"},
        FaultCase{"pingNotOk", Op::Ping, Fault::NotOk, 1, "Server request failed for http://127.0.0.1:"},
        FaultCase{"query404", Op::Query, Fault::Http404, 1, "No build information for device"},
        FaultCase{"queryRedirect", Op::Query, Fault::Redirect, 1, "No build information for device"},
        FaultCase{"queryEmpty", Op::Query, Fault::EmptyBody, 1, "No build information for device"},
        FaultCase{"queryCut", Op::Query, Fault::CutMidBody, 1, "No build information for device"},
        FaultCase{"query500", Op::Query, Fault::Http500, 1, "No build information for device: the update server answered HTTP status 500"},
        FaultCase{"queryNotOk", Op::Query, Fault::NotOk, 1, "No build information for device"},
        FaultCase{"queryMissingLines", Op::Query, Fault::MissingLines, 1,
                  "The update server named no latest build for 40F5849A"},
        FaultCase{"builds404", Op::Builds, Fault::Http404, 1, "No valid build 99528558"},
        FaultCase{"buildsEmpty", Op::Builds, Fault::EmptyBody, 1, "No valid build 99528558"},
        FaultCase{"builds500", Op::Builds, Fault::Http500, 1, "No valid build 99528558: the build list could not be had: the update server answered HTTP status 500"},
        FaultCase{"buildsRedirect", Op::Builds, Fault::Redirect, 1, "No valid build 99528558"},
        FaultCase{"buildsNotOk", Op::Builds, Fault::NotOk, 1, "No valid build 99528558"},
        FaultCase{"buildsCut", Op::Builds, Fault::CutMidBody, 1, "No valid build 99528558"},
        FaultCase{"buildsMissingLines", Op::Builds, Fault::MissingLines, 1, "No valid build 99528558"},
        FaultCase{"bird500", Op::Bird, Fault::Http500, 1, "Download failed: the update server answered HTTP status 500\nFailed to retrieve a valid BIRD file"},
        FaultCase{"bird404", Op::Bird, Fault::Http404, 1, "Download failed: the update server answered HTTP status 404\nFailed to retrieve a valid BIRD file"},
        FaultCase{"birdRedirect", Op::Bird, Fault::Redirect, 1, "Download failed: the update server answered HTTP status 302\nFailed to retrieve a valid BIRD file"},
        FaultCase{"birdEmpty", Op::Bird, Fault::EmptyBody, 1, "Download failed: the update server's answer is empty\nFailed to retrieve a valid BIRD file"},
        FaultCase{"birdNotOk", Op::Bird, Fault::NotOk, 1, "Download failed: the update server answered \"error\" instead of \"ok\"\nFailed to retrieve a valid BIRD file"},
        FaultCase{"birdCut", Op::Bird, Fault::CutMidBody, 1, "Download failed: "},
        FaultCase{"birdMissingLine", Op::Bird, Fault::MissingLines, 1, "Failed to retrieve a valid BIRD file"},
        FaultCase{"birdBadBase64", Op::Bird, Fault::BadBase64, 1, "Failed to retrieve a valid BIRD file"},
        FaultCase{"birdCrlf", Op::Bird, Fault::Crlf, 0, nullptr},
        FaultCase{"queryCrlf", Op::Query, Fault::Crlf, 0, nullptr},
        FaultCase{"pingOkay", Op::Ping, Fault::Okay, 0, nullptr},
        FaultCase{"queryOkay", Op::Query, Fault::Okay, 0, nullptr},
        FaultCase{"buildsOkay", Op::Builds, Fault::Okay, 0, nullptr},
        FaultCase{"birdOkay", Op::Bird, Fault::Okay, 0, nullptr},
        FaultCase{"buildsCrlf", Op::Builds, Fault::Crlf, 0, nullptr},
        FaultCase{"queryDelayed", Op::Query, Fault::Delay, 0, nullptr},
        FaultCase{"birdDelayed", Op::Bird, Fault::Delay, 0, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterAgainstServer, UnsoundFileIsNeverStored)
{
  struct Case {
    const char* name;
    updatesim::Bytes bytes;
    const char* cause;
  };
  updatesim::Bytes truncated = birdFor(99528558, "2.10.12");
  truncated.resize(truncated.size() / 2);
  birdsim::Image corrupt;
  corrupt.blocks.push_back(birdsim::firmware(0, birdsim::Bytes(100, 1)));
  corrupt.compression = birdsim::Compression::Corrupt;
  const Case cases[] = {
      {"notBird", {'h', 'e', 'l', 'l', 'o', '!', '!'}, ": 99528558.bird: not a BIRD file"},
      {"truncated", truncated, ": 99528558.bird: its compressed body is cut short or corrupt"},
      {"corruptBody", birdsim::file(corrupt), ": 99528558.bird: its compressed body is cut short or corrupt"},
      {"empty", {}, ": the server sent no file"}};
  for (const Case& c : cases) {
    updatesim::Config cfg = config();
    cfg.devices[kSerial].birdFiles["99528558"] = c.bytes;
    server_.setConfig(cfg);
    const ProcessResult r = run({"-G", "-d", kSerial});
    EXPECT_EQ(1, r.status) << c.name;
    EXPECT_NE(std::string::npos, r.err.find(std::string("Failed to retrieve a valid BIRD file") + c.cause))
        << c.name << r.err;
    EXPECT_FALSE(fs::exists(device() / "99528558.bird")) << c.name;
    EXPECT_EQ(0u, settings().count("LATEST_DOWNLOAD")) << c.name;
  }
}

// A download is kept only when its descriptor says it is the build that was
// asked for (or answered as the latest) and, unless the file takes the
// module's serial number at install time, that module's.
TEST_F(UpdaterAgainstServer, FileOfAnotherBuildOrModuleIsNeverStored)
{
  struct Case {
    const char* name;
    std::vector<birdsim::Block> extra;  // beside a loader and a firmware block
    std::vector<std::string> args;
    const char* cause;  // after "Failed to retrieve a valid BIRD file: ", or null when kept
  };
  const std::vector<std::string> latest{"-G", "-d", kSerial};
  const std::vector<std::string> named{"-G", "-d", kSerial, "-b", "99500000"};
  const Case cases[] = {
      {"otherBuild", {birdsim::descriptor(50, "2.10.12", 0x40F5849A, "JV-HUB8")}, latest,
       "99528558.bird: its descriptor is for build 50, not build 99528558"},
      {"otherBuildNamed", {birdsim::descriptor(99528558, "2.10.12", 0x40F5849A, "JV-HUB8")}, named,
       "99500000.bird: its descriptor is for build 99528558, not build 99500000"},
      {"buildNotANumber", {birdsim::descriptor("beta", "2.10.12", "40F5849A", "JV-HUB8")}, latest,
       "99528558.bird: its descriptor is for build 0, not build 99528558"},
      {"otherModule", {birdsim::descriptor(99528558, "2.10.12", 0x11111111, "JV-HUB8")}, latest,
       "99528558.bird: its descriptor is for module 11111111, not module 40F5849A"},
      // A file with serial offsets is made for any module: it gets the
      // module's number written in when it is installed.
      {"otherModuleWithOffsets",
       {birdsim::descriptor(99528558, "2.10.12", 0x11111111, "JV-HUB8"), birdsim::serialOffsets(0x1100, 0x1200)},
       latest, nullptr},
      // The model and module checks are what -OVERRIDE sets aside; the build
      // a file is stored under is not.
      {"otherModuleOverridden", {birdsim::descriptor(99528558, "2.10.12", 0x11111111, "JV-HUB8")},
       {"-G", "-d", kSerial, "-OVERRIDE"}, nullptr},
      {"otherBuildOverridden", {birdsim::descriptor(50, "2.10.12", 0x40F5849A, "JV-HUB8")},
       {"-G", "-d", kSerial, "-OVERRIDE"}, "99528558.bird: its descriptor is for build 50, not build 99528558"},
      {"noDescriptor", {}, latest, nullptr},
  };
  for (const Case& c : cases) {
    fs::remove_all(device());
    birdsim::Image image;
    image.blocks.push_back(birdsim::loader(0x20000000, birdsim::Bytes(64, 0xA5)));
    image.blocks.push_back(birdsim::firmware(0x1000, noise(3000, 7)));
    image.blocks.insert(image.blocks.end(), c.extra.begin(), c.extra.end());
    updatesim::Config cfg = config();
    const std::string build = c.args == named ? "99500000" : "99528558";
    cfg.devices[kSerial].birdFiles[build] = birdsim::file(image);
    server_.setConfig(cfg);
    const ProcessResult r = run(c.args);
    if (c.cause) {
      EXPECT_EQ(1, r.status) << c.name << r.out << r.err;
      EXPECT_NE(std::string::npos, r.err.find(std::string("Failed to retrieve a valid BIRD file: ") + c.cause + "\n"))
          << c.name << r.err;
      EXPECT_FALSE(fs::exists(device() / (build + ".bird"))) << c.name;
      EXPECT_EQ(0u, settings().count("LATEST_DOWNLOAD")) << c.name;
    } else {
      EXPECT_EQ(0, r.status) << c.name << r.out << r.err;
      EXPECT_EQ(asText(cfg.devices[kSerial].birdFiles[build]), readFile(device() / (build + ".bird"))) << c.name;
      EXPECT_EQ(build + ".bird", settings()["LATEST_DOWNLOAD"]) << c.name;
    }
  }
}

// Text from the server or the store reaches the terminal as text: control
// characters show as escapes, the columns stay where they were.
TEST_F(UpdaterAgainstServer, OutsideTextInTheTablesIsShownAsText)
{
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string rows;
  };
  updatesim::Config cfg = config();
  cfg.devices[kSerial].builds = {{"99400001", "\x1b[2J"}, {"99400002", "\x1b" "c"},
                                 {"99400003", "\x1b[?1049h"}, {"9940\x1b[31m", "2.9.0"}};
  server_.setConfig(cfg);
  fs::create_directories(device());
  ASSERT_TRUE(birdsim::writeFile((device() / "99528558.bird").string(), birdFor(99528558, "\x1b]52;c;aGk=\x07"),
                                 nullptr));
  { std::ofstream(device() / "\x1b[2J\x1b[31m.bird") << "not firmware\n"; }
  const Case cases[] = {
      {"buildListBuild", {"-B", "-d", kSerial},
       "\n9940\\x1b[31m   \t2.9.0          \n"},
      {"buildListVersions", {"-B", "-d", kSerial},
       "\n99400001       \t\\x1b[2J        \n"},
      {"buildListAltScreen", {"-B", "-d", kSerial},
       "\n99400003       \t\\x1b[?1049h    \n"},
      {"buildListOneByte", {"-B", "-d", kSerial},
       "\n99400002       \t\\x1bc          \n"},
      {"localVersion", {"-L", "-d", kSerial},
       "\n99528558       \t\\x1b]52;c;aGk= \n"},
      {"localFileName", {"-L", "-d", kSerial},
       "\n\\x1b[2J\\x1b[31m\t               \n"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = run(c.args);
    EXPECT_EQ(0, r.status) << c.name << r.err;
    EXPECT_NE(std::string::npos, r.out.find(c.rows)) << c.name << "\n" << r.out;
    for (char control : {'\x1b', '\x07'}) {
      EXPECT_EQ(std::string::npos, r.out.find(control)) << c.name << "\n" << r.out;
      EXPECT_EQ(std::string::npos, r.err.find(control)) << c.name << "\n" << r.err;
    }
  }
}

TEST_F(UpdaterAgainstServer, FailedWriteRecordsNothing)
{
  ASSERT_EQ(0, run({"-G", "-d", kSerial, "-b", "99500000"}).status);
  const std::string goodSettings = readFile(device() / ".settings");
  // A directory where the file must go: the replacement cannot land.
  fs::create_directories(device() / "99528558.bird" / "blocker");
  const ProcessResult r = run({"-G", "-d", kSerial});
  EXPECT_EQ(1, r.status);
  const size_t at = r.err.find("Failed to write file with ");
  ASSERT_NE(std::string::npos, at) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("/99528558.bird: Is a directory\n", at)) << r.err;
  EXPECT_EQ(goodSettings, readFile(device() / ".settings"));
}

// A latest build or a list entry that is not a number is named as the
// cause; nothing is fetched or stored for it.
TEST_F(UpdaterAgainstServer, BuildNumbersThatAreNotNumbersAreNamed)
{
  struct Case {
    const char* name;
    const char* latest;
    std::vector<std::pair<std::string, std::string>> builds;
    std::vector<std::string> args;
    std::string shown;
  } cases[] = {
      {"latest", "latest", {{"99528558", "2.10.12"}}, {},
       "The update server's latest build for 40F5849A is not a build number: \"latest\""},
      {"latestAndList", "next\x1b[2J", {{"next", "2.10.12"}}, {},
       "The update server's latest build for 40F5849A is not a build number: \"next\\x1b[2J\""},
      {"listEntry", "99528558", {{"build-99528558", "2.10.12"}}, {},
       "No valid build 99528558: the server's build list holds 1 entry that is not a build number: "
       "\"build-99528558\""},
      {"listEntries", "99528558", {{"a", "1.0.0"}, {"b", "1.0.0"}, {"c", "1.0.0"}, {"d", "1.0.0"}, {"99400000", "2.9.0"}},
       {"-b", "99528558"},
       "No valid build 99528558: the server's build list holds 4 entries that are not build numbers: \"a\", \"b\", "
       "\"c\", ..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_ / "updater");
    updatesim::Config config = UpdaterAgainstServer::config();
    config.devices[kSerial].latestBuild = c.latest;
    config.devices[kSerial].builds = c.builds;
    server_.setConfig(config);
    server_.clearRequests();
    std::vector<std::string> args{"-G", "-d", kSerial};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = run(args);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find(c.shown + "\n")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("Build 0 is valid")) << r.out;
    for (const std::string& target : server_.targets())
      EXPECT_EQ(std::string::npos, target.find("op=bird")) << target;
    EXPECT_TRUE(settings().count("LATEST_DOWNLOAD") == 0);
  }
}

// A list the server could not give ends the run with status 1 and the
// cause; "No builds found" is kept for a server that answered so.
// Where the child of a store test mounts a small file system; set before
// the child is made.
std::string g_smallStore;
// Room for the device directory and its settings, not for the BIRD file.
constexpr size_t kSmallStoreBytes = 64 * 1024;

// A store that cannot take the downloaded file says what stopped it, in the
// user's words, and records nothing.
TEST_F(UpdaterAgainstServer, StoreThatCannotTakeTheFileSaysWhy)
{
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root: to run as another user, and to mount a small file system";
  struct Case {
    const char* name;
    void (*inChild)();
    const char* command;  // -G, or -U (whose update flow makes the directory too)
    bool deviceMade;      // the device directory exists already, made by root
    const char* message;  // the Part's message
    const char* cause;    // what follows it on its line
  };
  void (*asOtherUser)() = [] {
    if (::setresgid(54321, 54321, 54321) != 0 || ::setresuid(54321, 54321, 54321) != 0)
      _exit(126);
  };
  const Case cases[] = {
      {"permissionDenied", asOtherUser, "-G", true, "Failed to write file with ", ": Permission denied"},
      {"noSpace",
       [] {
         if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("tmpfs", g_smallStore.c_str(), "tmpfs", 0, "size=64k") != 0)
           _exit(126);
       },
       "-G", true, "Failed to write file with ", ": No space left on device"},
      {"noDeviceDirectory", asOtherUser, "-G", false, "Could not create directory for storing BIRD file: ",
       "UpdaterStore: Could not create directory "},
      {"updateWithoutDeviceDirectory", asOtherUser, "-U", false, "Could not create directory for storing BIRD file: ",
       "UpdaterStore: Could not create directory "},
  };
  // Large enough not to fit the small store.
  updatesim::Config cfg = config();
  birdsim::Image big;
  big.blocks.push_back(birdsim::firmware(0x1000, noise(4 * kSmallStoreBytes, 7)));
  big.blocks.push_back(birdsim::descriptor(99528558, "2.10.12", 0x40F5849A, "JV-HUB8"));
  cfg.devices[kSerial].birdFiles["99528558"] = birdsim::file(big);
  server_.setConfig(cfg);
  // A copy every user may run: the build tree may be out of their reach.
  const fs::path program = root_ / "updater-copy";
  fs::copy_file(UPDATER_BIN, program);
  fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root_ / "updater");
    fs::create_directories(c.deviceMade ? device() : root_ / "updater");
    g_smallStore = (root_ / "updater").string();
    const ProcessResult r =
        runProcess({program.string(), "-u", server_.url(), "-i", root_.string(), c.command, "-d", kSerial}, false,
                   c.inChild);
    if (r.status == 126)
      GTEST_SKIP() << c.name << ": the child could not be set up";
    EXPECT_EQ(1, r.status) << r.out << r.err;
    const size_t at = r.err.find(c.message);
    ASSERT_NE(std::string::npos, at) << r.err;
    const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
    EXPECT_NE(std::string::npos, line.find(c.cause)) << line;
    EXPECT_EQ(std::string::npos, r.err.find("Failed to retrieve a valid BIRD file")) << r.err;
  }
}

// Whatever -f names that cannot be loaded is refused with its cause; a FIFO
// or a device at once.
TEST_F(UpdaterAgainstServer, BirdFileThatCannotBeLoadedIsNamedWithItsCause)
{
  const fs::path fifo = root_ / "fifo.bird";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const fs::path empty = root_ / "empty.bird";
  { std::ofstream(empty.string()); }
  updatesim::Bytes whole = birdFor(99528558, "2.10.12");
  const fs::path cut = root_ / "cut.bird";
  { std::ofstream(cut.string(), std::ios::binary) << asText(updatesim::Bytes(whole.begin(), whole.begin() + 100)); }
  struct Case {
    fs::path path;
    const char* cause;
  };
  const Case cases[] = {
      {root_, "Is a directory"},
      {fifo, "not a regular file"},
      {"/dev/zero", "not a regular file"},
      {root_ / "missing.bird", "No such file or directory"},
      {empty, "is empty"},
      {cut, "its compressed body is cut short or corrupt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    // A run that waits on the FIFO is ended rather than held forever.
    const ProcessResult r = runProcess({UPDATER_BIN, "-u", server_.url(), "-i", root_.string(), "-U", "-d", kSerial,
                                        "-f", c.path.string()},
                                       false, [] { ::alarm(20); });
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("Failed to load bird file: " + c.path.string() + ": " + c.cause + "\n"))
        << r.err;
  }
}

TEST_F(UpdaterAgainstServer, ListBuildsReportsServerFailures)
{
  server_.setFault(Op::Builds, Fault::Http500);
  ProcessResult r = run({"-B", "-d", kSerial});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("Failed to retrieve builds for 40F5849A: the update server answered HTTP status 500\n"))
      << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("No builds found")) << r.out;

  server_.setFault(Op::Ping, Fault::Http404);
  server_.clearRequests();
  r = run({"-B", "-d", kSerial});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("Server request failed for " + server_.url() + ": the update server answered HTTP status 404\n"))
      << r.err;
  EXPECT_EQ((std::vector<std::string>{kPing}), server_.targets());

  // Nothing listening on the server's port.
  const std::string url = server_.url();
  server_.stop();
  r = runProcess({UPDATER_BIN, "-u", url, "-i", root_.string(), "-B", "-d", kSerial});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Server request failed for " + url + ": ")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Connection refused")) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("No builds found")) << r.out;
}

TEST_F(UpdaterAgainstServer, ListBuildsOfADeviceWithNoneSaysSo)
{
  updatesim::Config c = config();
  c.devices["12345678"].latestBuild = "1";
  server_.setConfig(c);
  const ProcessResult r = run({"-B", "-d", "12345678"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("No builds found for device [12345678]\n")) << r.out;
}

// "-u <host:port>", as the usage line has it, and a URL without a path both
// reach the server's /cgi/u.
TEST_F(UpdaterAgainstServer, ServerGivenAsHostPortReachesItsCgiPath)
{
  const std::string hostPort = "127.0.0.1:" + std::to_string(server_.port());
  for (const std::string& given : {hostPort, "http://" + hostPort}) {
    SCOPED_TRACE(given);
    server_.clearRequests();
    const ProcessResult r = runProcess({UPDATER_BIN, "-u", given, "-i", root_.string(), "-B", "-d", kSerial});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Build List for device [40F5849A]:")) << r.out;
    EXPECT_EQ((std::vector<std::string>{kPing, kBuilds}), server_.targets());
  }
}

// A mistyped device or build stops the run before any server is asked or
// anything is stored.
TEST_F(UpdaterAgainstServer, MistypedArgumentsAreRefusedBeforeAnythingRuns)
{
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"-L", "-d", "123456789"},
       "Invalid serial number obtained from argument [123456789]: more than eight hexadecimal digits\n"},
      {{"-G", "-d", "140F5849A"},
       "Invalid serial number obtained from argument [140F5849A]: more than eight hexadecimal digits\n"},
      {{"-G", "-d", kSerial, "-b", "102x"},
       "Invalid build number obtained from argument [102x]: not a whole decimal number\n"},
      {{"-G", "-d", kSerial, "-b", "abc"},
       "Invalid build number obtained from argument [abc]: not a whole decimal number\n"},
      {{"-G", "-d", kSerial, "-b", "4294967297"},
       "Invalid build number obtained from argument [4294967297]: larger than 4294967295\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[c.args.size() - 1]);
    server_.clearRequests();
    const ProcessResult r = run(c.args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.rfind(c.error, 0)) << r.err;
    EXPECT_TRUE(server_.targets().empty());
    EXPECT_FALSE(fs::exists(root_ / "updater" / "40F5849A"));
    EXPECT_FALSE(fs::exists(root_ / "updater" / "23456789"));
  }
}

TEST_F(UpdaterAgainstServer, SlowDownloadTurnsTheSpinnerOnATerminal)
{
  server_.setFault(Op::Bird, Fault::Delay, 1000);
  const ProcessResult r = run({"-G", "-d", kSerial}, true);
  ASSERT_EQ(0, r.status) << r.out << r.err;
  size_t frames = 0;
  for (size_t at = r.out.find("\r (Downloading) "); at != std::string::npos;
       at = r.out.find("\r (Downloading) ", at + 1))
    ++frames;
  // One frame per 100 ms of waiting; allow for a loaded machine.
  EXPECT_GE(frames, 5u) << r.out;
  EXPECT_LE(frames, 40u) << r.out;
}

} // namespace
