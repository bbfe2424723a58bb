// Updater operations that talk to the update server, called directly.
#include "BirdFixture.h"
#include "HTTPRequest.h"
#include "Updater.h"
#include "UpdateServerSim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using updatesim::Fault;
using updatesim::Op;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override { ++spins; }
  void info_message(const char* text) override { infos.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> infos, errors;
  int spins = 0;
};

birdsim::Bytes birdFor(uint32_t build, const std::string& version)
{
  birdsim::Image image;
  birdsim::Bytes payload(600);
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<uint8_t>((i * 131 + build) >> 3);
  image.blocks.push_back(birdsim::firmware(0x1000, payload));
  image.blocks.push_back(birdsim::descriptor(build, version, 0x40F5849A, "JV-HUB8"));
  return birdsim::file(image);
}

class UpdaterServerOps : public ::testing::Test {
protected:
  void SetUp() override
  {
    root_ = fs::temp_directory_path() / ("server-updater-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    updatesim::Config c;
    updatesim::Device& d = c.devices["40F5849A"];
    d.latestBuild = "4242";
    d.firmwareId = "FW";
    d.builds = {{"4242", "2.11.5"}, {"4100", "2.10.0"}};
    d.birdFiles["4242"] = birdFor(4242, "2.11.5");
    d.birdFiles["4100"] = birdFor(4100, "2.10.0");
    c.recovery["00000001 00000002 00000003 00000004"] = {"40F5849A", "4100"};
    server_.setConfig(c);
    ASSERT_TRUE(server_.start());
  }
  void TearDown() override
  {
    server_.stop();
    fs::remove_all(root_);
  }

  Updater updater(const std::string& store)
  {
    return Updater(server_.url().c_str(), store.c_str(), display_);
  }
  std::string store() const { return (root_ / "updater").string(); }

  fs::path root_;
  updatesim::UpdateServer server_;
  RecordingDisplay display_;
};

struct Refusal {
  const char* name;
  uint32_t serial;
  const char* build;
  const char* error;
};

class DownloadRefusals : public UpdaterServerOps, public ::testing::WithParamInterface<Refusal> {};

TEST_P(DownloadRefusals, BeforeAnyServerContact)
{
  const Refusal& r = GetParam();
  Updater u = updater(store());
  EXPECT_EQ(0u, u.Download_Firmware(r.serial, r.build, false, false));
  EXPECT_EQ(std::vector<std::string>{r.error}, display_.errors);
  EXPECT_TRUE(server_.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DownloadRefusals,
    ::testing::Values(Refusal{"letters", 0x40F5849A, "abc", "Build number 'abc' must be an number"},
                      Refusal{"beyond32Bits", 0x40F5849A, "4294967296", "Build number '4294967296' must be an number"},
                      Refusal{"negative", 0x40F5849A, "-1", "Build number '-1' must be an number"},
                      Refusal{"serialZero", 0, "4242", "Serial Number must be non-zero"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterServerOps, DownloadsAndReportsInOrder)
{
  Updater u = updater(store());
  EXPECT_EQ(4242u, u.Download_Firmware(0x40F5849A, "", false, false));
  EXPECT_TRUE(display_.errors.empty()) << display_.errors.front();
  EXPECT_EQ((std::vector<std::string>{"Retrieving build 4242", "Validating build 4242 with server",
                                      "Build 4242 is valid"}),
            display_.infos);
  EXPECT_GE(display_.spins, 2) << "spinner turned on and off";
  EXPECT_TRUE(fs::exists(fs::path(store()) / "40F5849A" / "4242.bird"));
}

TEST_F(UpdaterServerOps, FingerprintDownloadsTheRecoveryBuild)
{
  Updater u = updater(store());
  Fingerprint fp;
  fp.word[0] = 1, fp.word[1] = 2, fp.word[2] = 3, fp.word[3] = 4;
  EXPECT_EQ(4100u, u.Download_Firmware(fp, "", false));
  EXPECT_EQ("/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&", server_.targets().at(0));
  EXPECT_EQ("/cgi/u?bld=4100&fw=FW&no_cal=false&op=bird&sn=40F5849A&", server_.targets().back());

  // An explicit build wins over the recovery build.
  EXPECT_EQ(4242u, u.Download_Firmware(fp, "4242", true));

  display_.errors.clear();
  server_.setFault(Op::Fix, Fault::Http500);
  EXPECT_EQ(0u, u.Download_Firmware(fp, "", false));
  EXPECT_EQ(std::vector<std::string>{"Failed to retrieve recovery information from Tovanire update server: "
                                     "the update server answered HTTP status 500"},
            display_.errors);
}

TEST_F(UpdaterServerOps, StoreThatCannotBeMadeIsReportedOnce)
{
  fs::create_directories(root_);
  { std::ofstream(root_ / "updater") << "a file where the store should be"; }
  Updater u = updater(store());
  EXPECT_EQ(0u, u.Download_Firmware(0x40F5849A, "4242", false, false));
  ASSERT_EQ(1u, display_.errors.size());
  EXPECT_EQ(0u, display_.errors[0].rfind("Failed to Create UpdaterStore in: Download_Firmware - Exception: "
                                         "UpdaterStore: ",
                                         0))
      << display_.errors[0];
  display_.errors.clear();
  EXPECT_TRUE(u.Get_BuildListLocal(0x40F5849A).empty());
  ASSERT_EQ(1u, display_.errors.size());
  EXPECT_EQ(0u, display_.errors[0].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal", 0));
}

TEST_F(UpdaterServerOps, LocalListShowsVersionsOnlyOfFilesThatLoad)
{
  Updater u = updater(store());
  ASSERT_EQ(4242u, u.Download_Firmware(0x40F5849A, "", false, false));
  const fs::path dir = fs::path(store()) / "40F5849A";
  // A good header over a body that does not inflate.
  { std::ofstream(dir / "77.bird", std::ios::binary) << std::string("bird\x01\x01garbage", 13); }
  { std::ofstream(dir / "78.bird", std::ios::binary) << "not a bird file"; }
  EXPECT_EQ((BuildMap{{"4242", "2.11.5"}, {"77", ""}, {"78", ""}}), u.Get_BuildListLocal(0x40F5849A));
  EXPECT_TRUE(u.Get_BuildListLocal(0x12345678).empty());
}

TEST_F(UpdaterServerOps, ServerListNeedsAPingFirst)
{
  Updater u = updater(store());
  EXPECT_EQ((BuildMap{{"4242", "2.11.5"}, {"4100", "2.10.0"}}), u.Get_BuildList(0x40F5849A));
  server_.setFault(Op::Ping, Fault::EmptyBody);
  server_.clearRequests();
  EXPECT_TRUE(u.Get_BuildList(0x40F5849A).empty());
  EXPECT_EQ(std::vector<std::string>{"Server request failed for " + server_.url() +
                                     ": the update server's answer is empty"},
            display_.errors);
  EXPECT_EQ(1u, server_.requests().size()) << "no build-list request after a failed ping";
}

struct ListFailure {
  const char* name;
  Op op;          // the operation that misbehaves
  Fault fault;
  int param;
  const char* message;  // the Part's message the error begins with
  const char* cause;    // what the error goes on to name
};

class BuildListFailures : public UpdaterServerOps, public ::testing::WithParamInterface<ListFailure> {
protected:
  void SetUp() override
  {
    UpdaterServerOps::SetUp();
    saved_ = HTTPRequest::GetLimits();
    // A silent server is left within a second, not libcurl's minutes.
    HTTPLimits limits = saved_;
    limits.lowSpeedBytesPerSec = 1;
    limits.lowSpeedTimeSec = 1;
    HTTPRequest::SetLimits(limits);
  }
  void TearDown() override
  {
    HTTPRequest::SetLimits(saved_);
    UpdaterServerOps::TearDown();
  }
  HTTPLimits saved_;
};

// A list the server could not give is a failure that says why, never an
// empty list; an empty list is what a server that answered none gives.
TEST_P(BuildListFailures, AreFailuresThatNameTheCause)
{
  const ListFailure& f = GetParam();
  std::string url = server_.url();
  if (f.op == Op::Ping && f.fault == Fault::None) {
    server_.stop(); // nothing listens on the port any more
  } else {
    server_.setFault(f.op, f.fault, f.param);
  }
  Updater u(url.c_str(), store().c_str(), display_);
  BuildMap builds{{"stale", "entry"}};
  EXPECT_FALSE(u.Get_BuildList(0x40F5849A, builds));
  EXPECT_TRUE(builds.empty());
  ASSERT_EQ(1u, display_.errors.size());
  const std::string& error = display_.errors[0];
  EXPECT_EQ(0u, error.rfind(f.message, 0)) << error;
  EXPECT_NE(std::string::npos, error.find(f.cause)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Server, BuildListFailures,
    ::testing::Values(
        ListFailure{"refused", Op::Ping, Fault::None, 0, "Server request failed for http://127.0.0.1:",
                    "Connection refused"},
        ListFailure{"silent", Op::Ping, Fault::Delay, 20000, "Server request failed for http://127.0.0.1:",
                    "sent less than 1 bytes a second for 1 seconds"},
        ListFailure{"ping500", Op::Ping, Fault::Http500, 0, "Server request failed for http://127.0.0.1:",
                    ": the update server answered HTTP status 500"},
        ListFailure{"builds500", Op::Builds, Fault::Http500, 0, "Failed to retrieve builds for 40F5849A: ",
                    "the update server answered HTTP status 500"},
        ListFailure{"buildsNotOk", Op::Builds, Fault::NotOk, 0, "Failed to retrieve builds for 40F5849A: ",
                    "the update server answered \"error"},
        ListFailure{"buildsEmpty", Op::Builds, Fault::EmptyBody, 0, "Failed to retrieve builds for 40F5849A: ",
                    "the update server's answer is empty"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdaterServerOps, EmptyListIsAnAnswer)
{
  updatesim::Config c = server_.config();
  c.devices["12345678"].latestBuild = "1";
  server_.setConfig(c);
  Updater u = updater(store());
  BuildMap builds{{"stale", "entry"}};
  EXPECT_TRUE(u.Get_BuildList(0x12345678, builds));
  EXPECT_TRUE(builds.empty());
  EXPECT_TRUE(display_.errors.empty());
}

} // namespace
