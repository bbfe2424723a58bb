// The protocol engine against a scripted transport: the exact command
// reports, how an image is cut into data reports, and every result code.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"
#include "SDPLoader.h"
#include "SdpTestSupport.h"

namespace {

using sdptest::Bytes;
using sdptest::ScriptedTransport;

Bytes hex(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }

// An engine owning a scripted transport the test can still look at.
struct Engine {
  explicit Engine(ScriptedTransport::Answer answer) : transport(new ScriptedTransport(std::move(answer))) {
    EXPECT_TRUE(loader.setLoader(transport));
  }
  SDPLoader loader;
  ScriptedTransport* transport;
};

TEST(SdpEngineCommands, ReportsGoOutByteForByte) {
  const Bytes status = hex({1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes writeFile = hex({1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0x12, 0x34, 0, 0, 0, 0, 0});
  const Bytes jump = hex({1, 0x0B, 0x0B, 0x20, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes cfg0 = hex({1, 1, 1, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0});
  const Bytes cfg1 = hex({1, 1, 1, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0});

  Engine write(sdptest::healthyRom());
  ASSERT_EQ(write.loader.writeLoader(sdptest::pattern(0x1234), 0x20000000), SDPLoader::SDP_OK);
  ASSERT_GE(write.transport->writes.size(), 2u);
  EXPECT_EQ(write.transport->writes[0], status);
  EXPECT_EQ(write.transport->writes[1], writeFile);

  Engine jumpTo(sdptest::healthyRom());
  jumpTo.loader.startLoader(IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS);
  ASSERT_EQ(jumpTo.transport->writes.size(), 1u);
  EXPECT_EQ(jumpTo.transport->writes[0], jump);
  ASSERT_EQ(jumpTo.transport->reads.size(), 1u);
  EXPECT_EQ(jumpTo.transport->reads[0].timeoutMs, 100u);

  Engine fuses(sdptest::healthyRom());
  uint64_t value = 0;
  ASSERT_EQ(fuses.loader.getFingerprint(value), SDPLoader::SDP_OK);
  ASSERT_EQ(fuses.transport->writes.size(), 3u);
  EXPECT_EQ(fuses.transport->writes[0], status);
  EXPECT_EQ(fuses.transport->writes[1], cfg0);
  EXPECT_EQ(fuses.transport->writes[2], cfg1);
}

TEST(SdpEngineCommands, FingerprintPutsCfg0LowAndCfg1HighAndOrsIntoValue) {
  Engine e([](const std::vector<Bytes>& writes, uint32_t) -> Bytes {
    const Bytes& last = writes.back();
    if (last[1] == 0x05) return sdptest::reply(0xF0F0F0F0);
    return sdptest::reply(last[6] == 0x10 ? 0x89ABCDEF : 0x01234567);
  });
  uint64_t value = 0x100;  // the caller's bits stay: words are ORed in
  ASSERT_EQ(e.loader.getFingerprint(value), SDPLoader::SDP_OK);
  EXPECT_EQ(value, 0x0123456789ABCDEFull | 0x100);
}

TEST(SdpEngineCommands, FingerprintMalformedReplyIsSeven) {
  struct Case {
    const char* name;
    int badRead;  // which register read answers in the wrong shape (1 or 2)
    size_t writes;
  };
  for (const Case& c : {Case{"cfg0", 1, 2}, Case{"cfg1", 2, 3}}) {
    SCOPED_TRACE(c.name);
    Engine e([&c](const std::vector<Bytes>& writes, uint32_t) -> Bytes {
      if (writes.back()[1] == 0x05) return sdptest::reply(0xF0F0F0F0);
      if (int(writes.size()) - 1 == c.badRead) return Bytes(7, 0x11);
      return sdptest::reply(0x22222222);
    });
    uint64_t value = 0;
    EXPECT_EQ(e.loader.getFingerprint(value), SDPLoader::SDP_MALFORMED_REPLY);
    EXPECT_EQ(e.transport->writes.size(), c.writes);
  }
}

// Sizes of the data reports an image goes out in; each carries report ID 2
// and the reports together carry the image unchanged, in order.
TEST(SdpEngineChunking, ImageIsCutInto1025ByteReports) {
  struct Case {
    size_t image;
    std::vector<size_t> reports;
  };
  const Case cases[] = {
      {0, {}},
      {1, {2}},
      {1024, {1025}},
      {1025, {1025, 2}},
      {2048, {1025, 1025}},
      {2049, {1025, 1025, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    Engine e(sdptest::healthyRom());
    const Bytes image = sdptest::pattern(c.image, uint32_t(c.image));
    ASSERT_EQ(e.loader.writeLoader(image, 0x20001000), SDPLoader::SDP_OK);
    std::vector<Bytes> data = e.transport->reportsWithId(2);
    std::vector<size_t> sizes;
    Bytes joined;
    for (const Bytes& d : data) {
      sizes.push_back(d.size());
      joined.insert(joined.end(), d.begin() + 1, d.end());
    }
    EXPECT_EQ(sizes, c.reports);
    EXPECT_EQ(joined, image);
    // WRITE_FILE names the whole image's size.
    const Bytes& writeFile = e.transport->writes[1];
    EXPECT_EQ(uint32_t(writeFile[8]) << 24 | uint32_t(writeFile[9]) << 16 | uint32_t(writeFile[10]) << 8 | writeFile[11],
              c.image);
  }
}

TEST(SdpEngineChunking, EachDataReportIsPrecededByAPeekAndTheEndByAWait) {
  Engine e(sdptest::healthyRom());
  ASSERT_EQ(e.loader.writeLoader(sdptest::pattern(3000), 0x20000000), SDPLoader::SDP_OK);
  // probe read, then one peek (timeout 0) before each of the three data
  // reports, then the final status read.
  const auto& reads = e.transport->reads;
  ASSERT_EQ(reads.size(), 5u);
  EXPECT_EQ(reads[0].timeoutMs, 100u);
  for (size_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(reads[i].timeoutMs, 0u);
    EXPECT_EQ(reads[i].writesBefore, i + 1);  // probe, WRITE_FILE, earlier data reports
  }
  EXPECT_EQ(reads[4].timeoutMs, 100u);
  EXPECT_EQ(reads[4].writesBefore, 5u);
}

TEST(SdpEngineResults, FinalStatusDecidesTheWrite) {
  struct Case {
    const char* name;
    std::function<Bytes()> last;
    uint8_t expected;
  };
  const Case cases[] = {
      {"complete", [] { return sdptest::reply(0x88888888); }, SDPLoader::SDP_OK},
      {"other word", [] { return sdptest::reply(0x12345678); }, SDPLoader::SDP_BAD_STATUS},
      {"ack is not completion", [] { return sdptest::reply(0xF0F0F0F0); }, SDPLoader::SDP_BAD_STATUS},
      {"nothing", [] { return Bytes{}; }, SDPLoader::SDP_BAD_STATUS},
      {"HAB only", [] { return Bytes{0x56, 0x78, 0x78, 0x56}; }, SDPLoader::SDP_BAD_STATUS},
      {"two replies", [] { Bytes b = sdptest::reply(0x88888888); Bytes c = b; b.insert(b.end(), c.begin(), c.end()); return b; },
       SDPLoader::SDP_BAD_STATUS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Engine e([&c](const std::vector<Bytes>& writes, uint32_t timeoutMs) -> Bytes {
      if (timeoutMs == 0) return {};
      if (writes.back()[0] == 1 && writes.back()[1] == 0x05) return sdptest::reply(0xF0F0F0F0);
      return c.last();
    });
    EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(1500), 0x20000000), c.expected);
  }
}

TEST(SdpEngineResults, SilentRomGetsFiveProbesAndNothingElse) {
  Engine e([](const std::vector<Bytes>&, uint32_t) { return Bytes{}; });
  EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(100), 0x20000000), SDPLoader::SDP_NO_ANSWER);
  ASSERT_EQ(e.transport->writes.size(), 5u);
  for (const Bytes& w : e.transport->writes) EXPECT_EQ(w[1], 0x05);
  for (const auto& r : e.transport->reads) EXPECT_EQ(r.timeoutMs, 100u);

  Engine f([](const std::vector<Bytes>&, uint32_t) { return Bytes{}; });
  uint64_t value = 0;
  EXPECT_EQ(f.loader.getFingerprint(value), SDPLoader::SDP_NO_ANSWER);
  EXPECT_EQ(f.transport->writes.size(), 5u);
  EXPECT_EQ(value, 0u);
}

TEST(SdpEngineResults, ProbeAnsweredOnLastAttemptProceeds) {
  Engine e([](const std::vector<Bytes>& writes, uint32_t timeoutMs) -> Bytes {
    if (timeoutMs == 0) return {};
    if (writes.back()[1] == 0x05) return writes.size() == 5 ? sdptest::reply(0xF0F0F0F0) : Bytes{};
    return sdptest::reply(0x88888888);
  });
  EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(10), 0x20000000), SDPLoader::SDP_OK);
  EXPECT_EQ(e.transport->writes.size(), 7u);  // five probes, WRITE_FILE, one data report
}

TEST(SdpEngineResults, DeviceSpeakingDuringTransferAbortsWithThree) {
  // The ROM speaks before the third data report: two went out, no more.
  Engine e([](const std::vector<Bytes>& writes, uint32_t timeoutMs) -> Bytes {
    if (writes.back()[1] == 0x05 && writes.back()[0] == 1) return sdptest::reply(0xF0F0F0F0);
    if (timeoutMs == 0 && writes.size() == 4) return sdptest::reply(0xAAAAAAAA);
    if (timeoutMs == 0) return {};
    return sdptest::reply(0x88888888);
  });
  EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(5000), 0x20000000), SDPLoader::SDP_UNEXPECTED_DATA);
  EXPECT_EQ(e.transport->reportsWithId(2).size(), 2u);
}

TEST(SdpEngineResults, FailedDataWritesAreNotSuccessUnlessTheRomConfirms) {
  // Every write fails; a ROM that never saw the image does not confirm it.
  Engine e([](const std::vector<Bytes>& writes, uint32_t timeoutMs) -> Bytes {
    if (timeoutMs == 0) return {};
    if (writes.size() == 1) return sdptest::reply(0xF0F0F0F0);
    return {};
  });
  e.transport->writeResult = -1;
  EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(3000), 0x20000000), SDPLoader::SDP_BAD_STATUS);
}

TEST(SdpEngineLifecycle, TransportOwnershipAndInit) {
  SDPLoader empty;
  EXPECT_EQ(empty.init(), SDPLoader::SDP_NO_TRANSPORT);
  EXPECT_FALSE(empty.setLoader(nullptr));
  // Without a transport nothing can be sent; that is no success either.
  EXPECT_EQ(empty.writeLoader(sdptest::pattern(10), 0x20000000), SDPLoader::SDP_NO_TRANSPORT);
  uint64_t value = 0;
  EXPECT_EQ(empty.getFingerprint(value), SDPLoader::SDP_NO_TRANSPORT);
  empty.startLoader(0x20000400);

  bool firstGone = false, secondGone = false;
  auto* second = new ScriptedTransport(sdptest::healthyRom(), &secondGone);
  {
    SDPLoader loader;
    auto* first = new ScriptedTransport(sdptest::healthyRom(), &firstGone);
    first->initResult = false;
    EXPECT_TRUE(loader.setLoader(first));
    EXPECT_FALSE(loader.setLoader(second));  // refused: stays with the caller
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OPEN_FAILED);
    first->initResult = true;
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OK);
  }
  EXPECT_TRUE(firstGone);
  EXPECT_FALSE(secondGone);
  delete second;
  EXPECT_TRUE(secondGone);
}

}  // namespace

namespace {

// Captures what the engine logs under DEBUG_iMXSerial for one run.
class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : saved_(Log::package_bitmask), savedOut_(Log::fh) {
    out_ = open_memstream(&text_, &size_);
    Log::SetOutput(out_);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::ActivatePackage(packages);
  }
  ~LogCapture() {
    Log::SetOutput(savedOut_);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::ActivatePackage(saved_);
    fclose(out_);
    free(text_);
  }
  std::string text() {
    fflush(out_);
    return std::string(text_, size_);
  }

 private:
  uint32_t saved_;
  FILE* savedOut_;
  FILE* out_ = nullptr;
  char* text_ = nullptr;
  size_t size_ = 0;
};

TEST(SdpEngineLog, TransferIsTracedUnderItsPackageOnly) {
  {
    LogCapture log(DEBUG_iMXSerial);
    Engine e(sdptest::healthyRom());
    ASSERT_EQ(e.loader.writeLoader(sdptest::pattern(2049), 0x20000000), SDPLoader::SDP_OK);
    const std::string text = log.text();
    for (const char* line : {"bytesWritten: 17\n", "1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n", "Read Data: 8\n",
                             "Write Res: 1025 , Total: 1025, Loop: 0, tell: 1024, size: 1025\n",
                             "Write Res: 2 , Total: 2052, Loop: 2, tell: 2049, size: 2\n", "Written Bytes: 2052\n",
                             "Data Read: \n", "Loader Transfer Successful\n"}) {
      EXPECT_NE(text.find(line), std::string::npos) << line;
    }
  }
  {
    LogCapture log(DEBUG_iMXSerial);
    Engine e([](const std::vector<Bytes>&, uint32_t) { return Bytes{}; });
    EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(10), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    EXPECT_NE(log.text().find("Error: No ack from iMX device\n"), std::string::npos);
  }
  {
    LogCapture log(DEBUG_Updater);
    Engine e(sdptest::healthyRom(0x12345678));
    EXPECT_EQ(e.loader.writeLoader(sdptest::pattern(3000), 0x20000000), SDPLoader::SDP_BAD_STATUS);
    EXPECT_EQ(log.text(), "");
  }
}

}  // namespace
