// The update-server client against the simulated server over loopback HTTP.
#include "Base64.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdateServerSim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using updatesim::Fault;
using updatesim::Op;
using R = UpdateServerRequest;

constexpr uint32_t kSerial = 0x40F5849A;
const std::string kFirmwareId = "FW 1&x=y/2"; // needs encoding to survive the query

updatesim::Config sampleConfig()
{
  updatesim::Config config;
  updatesim::Device& d = config.devices["40F5849A"];
  d.latestBuild = "4242";
  d.firmwareId = kFirmwareId;
  d.builds = {{"4242", "2.10.12"}, {"4100", "2.9.0"}};
  d.birdFiles["4242"] = updatesim::Bytes{'b', 'i', 'r', 'd', 1, 1, 0, 0xFF, '\n', '\r'};
  config.recovery["00000001 00000002 0000000A DEADBEEF"] = {"40F5849A", "0x10"};
  return config;
}

class ServerClient : public ::testing::Test {
protected:
  void SetUp() override
  {
    saved_ = HTTPRequest::GetLimits();
    ASSERT_TRUE(server_.start());
    url_ = server_.url();
  }
  void TearDown() override
  {
    server_.stop();
    HTTPRequest::SetLimits(saved_);
  }

  updatesim::UpdateServer server_{sampleConfig()};
  std::string url_;
  HTTPLimits saved_;
};

struct Call {
  const char* name;
  Op op;
  std::function<bool(const char* url)> run;
  std::string target;
};

const uint32_t kFingerprint[4] = {1, 2, 0xA, 0xDEADBEEF};

std::vector<Call> calls()
{
  return {
      {"ping", Op::Ping, [](const char* u) { return R::ping(u); }, "/cgi/u?op=hi&rv=2&"},
      {"QueryBuild", Op::Query,
       [](const char* u) {
         std::string b, f;
         return R::QueryBuild(kSerial, b, f, u);
       },
       "/cgi/u?op=qu&sn=40F5849A&"},
      {"GetBuildList", Op::Builds,
       [](const char* u) {
         std::map<std::string, std::string> m;
         return R::GetBuildList(kSerial, m, u);
       },
       "/cgi/u?op=builds&sn=40F5849A&"},
      {"GetBuild", Op::Bird,
       [](const char* u) {
         std::string b64;
         return R::GetBuild(kSerial, kFirmwareId, "4242", b64, u, false);
       },
       "/cgi/u?bld=4242&fw=FW%201%26x%3Dy%2F2&no_cal=false&op=bird&sn=40F5849A&"},
      {"GetRecoveryInfo", Op::Fix,
       [](const char* u) {
         uint32_t sn = 0, build = 0;
         return R::GetRecoveryInfo(kFingerprint, sn, build, u);
       },
       "/cgi/u?brief=true&fp=00000001%2000000002%200000000A%20DEADBEEF&op=fix&"},
  };
}

TEST_F(ServerClient, SendsExactQueryStrings)
{
  for (const Call& c : calls()) {
    server_.clearRequests();
    EXPECT_TRUE(c.run(url_.c_str())) << c.name;
    EXPECT_EQ((std::vector<std::string>{c.target}), server_.targets()) << c.name;
  }
  server_.clearRequests();
  std::string b64;
  EXPECT_TRUE(R::GetBuild(kSerial, kFirmwareId, "4242", b64, url_.c_str(), true));
  EXPECT_EQ("GET /cgi/u?bld=4242&fw=FW%201%26x%3Dy%2F2&no_cal=true&op=bird&sn=40F5849A& HTTP/1.1",
            server_.requests().at(0));
}

TEST_F(ServerClient, ReadsAnswers)
{
  std::string build = "x", fw = "x";
  ASSERT_TRUE(R::QueryBuild(kSerial, build, fw, url_.c_str()));
  EXPECT_EQ("4242", build);
  EXPECT_EQ(kFirmwareId, fw);

  std::map<std::string, std::string> builds{{"stale", "0.0.0"}};
  ASSERT_TRUE(R::GetBuildList(kSerial, builds, url_.c_str()));
  EXPECT_EQ((std::map<std::string, std::string>{{"4242", "2.10.12"}, {"4100", "2.9.0"}}), builds);

  std::string b64;
  ASSERT_TRUE(R::GetBuild(kSerial, fw, build, b64, url_.c_str(), false));
  size_t n = 0;
  std::unique_ptr<unsigned char, decltype(&std::free)> bytes(base64_decode(b64.data(), b64.size(), &n), &std::free);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(sampleConfig().devices["40F5849A"].birdFiles["4242"], updatesim::Bytes(bytes.get(), bytes.get() + n));

  uint32_t sn = 0, rb = 0;
  ASSERT_TRUE(R::GetRecoveryInfo(kFingerprint, sn, rb, url_.c_str()));
  EXPECT_EQ(kSerial, sn);
  EXPECT_EQ(16u, rb);

  // An unknown device is answered with a first line that is not "ok".
  builds = {{"stale", "0.0.0"}};
  EXPECT_FALSE(R::GetBuildList(0x1234, builds, url_.c_str()));
  EXPECT_TRUE(builds.empty()) << "the map is cleared before the request";
}

struct FaultCase {
  const char* name;
  Fault fault;
  int param;
  bool succeeds;
};

class ServerFaults : public ServerClient, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ServerFaults, EveryOperationJudgesTheAnswer)
{
  const FaultCase& f = GetParam();
  for (const Call& c : calls()) {
    server_.clearFaults();
    server_.setFault(c.op, f.fault, f.param);
    EXPECT_EQ(f.succeeds, c.run(url_.c_str())) << c.name << " with fault " << f.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ServerFaults,
                         ::testing::Values(FaultCase{"http404", Fault::Http404, 0, false},
                                           FaultCase{"http500", Fault::Http500, 0, false},
                                           FaultCase{"redirect", Fault::Redirect, 0, false},
                                           FaultCase{"emptyBody", Fault::EmptyBody, 0, false},
                                           FaultCase{"notOk", Fault::NotOk, 0, false},
                                           FaultCase{"cutMidBody", Fault::CutMidBody, 0, false},
                                           FaultCase{"okay", Fault::Okay, 0, true},
                                           FaultCase{"crlf", Fault::Crlf, 0, true},
                                           FaultCase{"missingLines", Fault::MissingLines, 0, true},
                                           FaultCase{"shortDelay", Fault::Delay, 300, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerClient, FaultyAnswersLeaveOrMarkOutputs)
{
  std::string build = "keep", fw = "keep";
  server_.setFault(Op::Query, Fault::MissingLines);
  ASSERT_TRUE(R::QueryBuild(kSerial, build, fw, url_.c_str()));
  EXPECT_EQ("keep", build);
  EXPECT_EQ("keep", fw);

  server_.setFault(Op::Query, Fault::Crlf);
  ASSERT_TRUE(R::QueryBuild(kSerial, build, fw, url_.c_str()));
  EXPECT_EQ("4242", build) << "CR LF line ends give the same build";
  EXPECT_EQ(kFirmwareId, fw);

  server_.setFault(Op::Query, Fault::Http500);
  build = fw = "keep";
  EXPECT_FALSE(R::QueryBuild(kSerial, build, fw, url_.c_str()));
  EXPECT_EQ("keep", build);

  std::string b64 = "keep";
  server_.setFault(Op::Bird, Fault::CutMidBody);
  EXPECT_FALSE(R::GetBuild(kSerial, kFirmwareId, "4242", b64, url_.c_str(), false));
  EXPECT_EQ("keep", b64);

  server_.setFault(Op::Bird, Fault::BadBase64);
  ASSERT_TRUE(R::GetBuild(kSerial, kFirmwareId, "4242", b64, url_.c_str(), false));
  size_t n = 0;
  EXPECT_EQ(nullptr, base64_decode(b64.data(), b64.size(), &n)) << "foreign character must be refused";

  server_.setFault(Op::Bird, Fault::Crlf);
  ASSERT_TRUE(R::GetBuild(kSerial, kFirmwareId, "4242", b64, url_.c_str(), false));
  ASSERT_EQ('\r', b64.back());
  unsigned char* bytes = base64_decode(b64.data(), b64.size(), &n);
  EXPECT_NE(nullptr, bytes) << "a trailing CR is tolerated";
  std::free(bytes);
}

TEST_F(ServerClient, SilentServerIsAbandonedByTheLowSpeedLimit)
{
  HTTPLimits limits = saved_;
  limits.lowSpeedBytesPerSec = 1;
  limits.lowSpeedTimeSec = 1;
  HTTPRequest::SetLimits(limits);
  server_.setFault(Op::Ping, Fault::Delay, 20000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(R::ping(url_.c_str()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

// A server that never finishes its answer is left by one bound or the
// other, and the refusal says which.
TEST_F(ServerClient, TricklingServerIsLeftNamingTheBound)
{
  struct Case {
    const char* name;
    int bytesPerSecond;
    std::string cause;
  };
  HTTPLimits limits = saved_;
  limits.connectTimeoutMs = 1000;
  limits.lowSpeedBytesPerSec = 1024;
  limits.lowSpeedTimeSec = 1;
  limits.maxBodyBytes = 1u << 20;
  limits.minAverageBytesPerSec = 1 << 20; // the whole request: 1 s plus the connection's
  HTTPRequest::SetLimits(limits);
  for (const Case& c : {Case{"below the floor", 100, "sent less than 1024 bytes a second for 1 seconds"},
                        Case{"above the floor, endless", 20000, "took longer than 2000 ms"}}) {
    SCOPED_TRACE(c.name);
    server_.setFault(Op::Ping, Fault::Trickle, c.bytesPerSecond);
    std::map<std::string, std::string> params{{"op", "hi"}};
    const auto start = std::chrono::steady_clock::now();
    try {
      HTTPRequest::GET(url_, params);
      ADD_FAILURE() << "the trickle was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.cause)) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
}

TEST_F(ServerClient, BodyBeyondTheCapIsRefused)
{
  updatesim::Config config = sampleConfig();
  config.devices["40F5849A"].birdFiles["4242"] = updatesim::Bytes(3000, 0x5A);
  server_.setConfig(config);
  std::string b64;

  HTTPLimits limits = saved_;
  limits.maxBodyBytes = 4096; // the Base64 text is 4000 characters plus "ok\n" and "\n"
  HTTPRequest::SetLimits(limits);
  EXPECT_TRUE(R::GetBuild(kSerial, kFirmwareId, "4242", b64, url_.c_str(), false));

  limits.maxBodyBytes = 4000;
  HTTPRequest::SetLimits(limits);
  std::map<std::string, std::string> params{{"bld", "4242"}, {"fw", HTTPRequest::Escape(kFirmwareId)},
                                            {"no_cal", "false"}, {"op", "bird"}, {"sn", "40F5849A"}};
  try {
    HTTPRequest::GET(url_, params);
    ADD_FAILURE() << "a body over the cap was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("exceeds 4000 bytes")) << e.what();
  }
  // The same cut short by a server that sends no length up front.
  server_.setFault(Op::Bird, Fault::CutMidBody);
  EXPECT_FALSE(R::GetBuild(kSerial, kFirmwareId, "4242", b64, url_.c_str(), false));
}

TEST_F(ServerClient, TransportFailureRaisesWithCause)
{
  const int port = server_.port();
  server_.stop();
  std::map<std::string, std::string> params{{"op", "hi"}, {"rv", "2"}};
  try {
    HTTPRequest::GET("http://127.0.0.1:" + std::to_string(port) + "/cgi/u", params);
    ADD_FAILURE() << "no exception for a closed port";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("connect")) << e.what();
  }
  EXPECT_FALSE(R::ping(("http://127.0.0.1:" + std::to_string(port) + "/cgi/u").c_str()));
}

TEST_F(ServerClient, ReceiveLogShowsOnlyTheBytesReceived)
{
  char* text = nullptr;
  size_t size = 0;
  std::FILE* mem = open_memstream(&text, &size);
  ASSERT_TRUE(mem);
  Log::SetOutput(mem);
  Log::ActivatePackage(DEBUG_ServerComm);
  const bool ok = R::ping(url_.c_str());
  Log::DeactivatePackage(DEBUG_ServerComm);
  Log::SetOutput(nullptr);
  std::fclose(mem);
  const std::string log(text, size);
  std::free(text);
  ASSERT_TRUE(ok);

  const size_t at = log.find("rcv_data called (..., 1, 3, ");
  ASSERT_NE(std::string::npos, at) << log;
  const size_t open = log.find('[', at);
  EXPECT_EQ("[ok\n]\n", log.substr(open, 6)) << log;
  EXPECT_NE(std::string::npos, log.find("GET(" + url_ + "?op=hi&rv=2&)\n")) << log;
}

// A TLS server whose certificate nobody vouches for must be refused.
TEST(ServerClientTls, UnverifiedPeerIsRefused)
{
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("server-tls-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
  const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                          "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                          key + " -out " + cert + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "openssl cannot make a test certificate";
  }
  updatesim::UpdateServer server(sampleConfig());
  ASSERT_TRUE(server.startTls(cert, key));
  EXPECT_EQ(0u, server.url().rfind("https://", 0));

  std::map<std::string, std::string> params{{"op", "hi"}, {"rv", "2"}};
  try {
    HTTPRequest::GET(server.url(), params);
    ADD_FAILURE() << "answer accepted from an unverified TLS peer";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("certificate")) << e.what();
  }
  EXPECT_FALSE(R::ping(server.url().c_str()));
  server.stop();
  std::filesystem::remove_all(dir);
}

} // namespace

namespace {

TEST(SimConfigFile, DescribesDevicesRecoveryAndFaults)
{
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("server-cfg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  { std::ofstream(dir / "b.bird", std::ios::binary) << "bird\x01\x01zz"; }
  {
    std::ofstream cfg(dir / "cfg");
    cfg << "# sample\ndevice 40f5849a\n latest 4242\n firmware FW-1\n build 4242 2.10.12 b.bird\n"
           " build 4100 2.9.0\nrecovery 1 2 a deadbeef 40F5849A 0x10\nfault bird crlf\n";
  }
  updatesim::FileConfig fc;
  std::string error;
  ASSERT_TRUE(updatesim::loadConfigFile((dir / "cfg").string(), fc, error)) << error;
  updatesim::UpdateServer server(fc.config);
  for (const auto& [op, fault] : fc.faults)
    server.setFault(op, fault.first, fault.second);
  ASSERT_TRUE(server.start());

  std::string build, fw;
  ASSERT_TRUE(R::QueryBuild(kSerial, build, fw, server.url().c_str()));
  EXPECT_EQ("4242", build);
  EXPECT_EQ("FW-1", fw);
  uint32_t sn = 0, rb = 0;
  ASSERT_TRUE(R::GetRecoveryInfo(kFingerprint, sn, rb, server.url().c_str()));
  EXPECT_EQ(kSerial, sn);
  EXPECT_EQ(16u, rb);
  std::string b64;
  ASSERT_TRUE(R::GetBuild(kSerial, "FW-1", "4242", b64, server.url().c_str(), false));
  EXPECT_EQ("YmlyZAEBeno=\r", b64) << "the fault line applies";
  server.stop();

  { std::ofstream(dir / "bad") << "device 1\nbuild 1\n"; }
  updatesim::FileConfig bad;
  EXPECT_FALSE(updatesim::loadConfigFile((dir / "bad").string(), bad, error));
  EXPECT_NE(std::string::npos, error.find("bad:2:")) << error;
  std::filesystem::remove_all(dir);
}

} // namespace
