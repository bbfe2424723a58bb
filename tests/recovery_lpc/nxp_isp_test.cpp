// The ISP client against the simulated boot ROM on a real pseudo-terminal:
// connection, the handshake and its failures, the commands, data transfer in
// both directions with resends, and a whole programming run.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "LpcRom.h"
#include "NXPSerialClass.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kStage = NXPSerialClass::WRITE_ADDRESS;

std::vector<unsigned char> pattern(size_t n, unsigned seed) {
  std::vector<unsigned char> d(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : d) {
    x = x * 1103515245u + 12345u;
    b = static_cast<unsigned char>(x >> 16);
  }
  return d;
}

// A ROM and a client connected to it at 115200; synced unless asked not to.
struct Bench {
  lpcsim::LpcRom rom;
  NXPSerialClass client;
  explicit Bench(lpcsim::Config config = {}, bool sync = true) : rom(std::move(config)) {
    EXPECT_EQ(client.Connect(rom.path().c_str(), 115200), aErrNone);
    if (sync) {
      EXPECT_EQ(client.Sync(), aErrNone) << rom.transcript().text();
    }
  }
  std::vector<unsigned char> ram(uint32_t address, size_t n) {
    const auto image = rom.ram();
    const size_t at = address - lpcsim::kRamStart;
    return {image.begin() + at, image.begin() + at + n};
  }
};

// Faults set by a function, since a braced list would name every field.
template <class Set>
lpcsim::Faults faults(Set set) {
  lpcsim::Faults f;
  set(f);
  return f;
}

lpcsim::Config withFaults(lpcsim::Faults f) {
  lpcsim::Config c;
  c.faults = std::move(f);
  return c;
}

TEST(NxpConnect, RateChoiceAndFailure) {
  lpcsim::LpcRom rom;
  struct Case {
    unsigned asked, chosen;
  } cases[] = {{0, 2400}, {2400, 2400}, {9601, 19200}, {100000, 115200}, {115200, 115200}, {230400, 230400},
               {300000, 9600}};
  NXPSerialClass client;
  for (const auto& c : cases) {
    ASSERT_EQ(client.Connect(rom.path().c_str(), c.asked), aErrNone) << c.asked;
    EXPECT_EQ(client.baud, c.chosen) << c.asked;
    EXPECT_NE(client.stream, nullptr);
  }
  EXPECT_EQ(std::string(client.port), rom.path());

  EXPECT_EQ(client.Connect("/dev/no-such-lpc-port", 115200), aErrNotFound);
  EXPECT_EQ(client.stream, nullptr);
  EXPECT_EQ(std::string(client.port), rom.path()) << "a failed connect keeps the last good path";
  EXPECT_EQ(client.Unlock(), aErrConnection);
}

TEST(NxpSync, HandshakeAsTheRomSeesIt) {
  Bench b;
  const auto lines = b.rom.transcript().lines();
  const std::vector<std::string> want{"autobaud",        "out Synchronized", "in Synchronized", "out OK",
                                      "in 14746",        "out OK",           "synced"};
  EXPECT_EQ(lines, want);
  EXPECT_TRUE(b.rom.echo());
}

TEST(NxpSync, FailuresAreReportedAndStopTheHandshake) {
  struct Case {
    const char* name;
    lpcsim::Faults faults;
    aErr result;
  } cases[] = {
      {"silent chip", faults([](lpcsim::Faults& f) { f.silent = true; }), aErrNotReady},
      {"autobaud answer lost", faults([](lpcsim::Faults& f) { f.dropReply = 1; }), aErrNotReady},
      {"first acknowledgement lost", faults([](lpcsim::Faults& f) { f.dropReply = 2; }), aErrNotReady},
      {"crystal acknowledgement lost", faults([](lpcsim::Faults& f) { f.dropReply = 3; }), aErrNotReady},
      {"handshake refused", faults([](lpcsim::Faults& f) { f.syncAck = "NO\r\n"; }), aErrIO},
      {"crystal refused", faults([](lpcsim::Faults& f) { f.crystalAck = "ERR\r\n"; }), aErrIO},
  };
  for (const auto& c : cases) {
    Bench b(withFaults(c.faults), false);
    EXPECT_EQ(b.client.Sync(), c.result) << c.name << "\n" << b.rom.transcript().text();
  }
}

// A silent chip is given up on only after the reply read's budget of empty
// reads, each with its pause: a client that stops pausing takes a chip that
// answers a little late for a silent one.
TEST(NxpSync, SilentChipHearsOnlyTheQuestionMark) {
  constexpr unsigned kEmptyReads = 100;
  Bench b(withFaults(faults([](lpcsim::Faults& f) { f.silent = true; })), false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(b.client.Sync(), aErrNotReady);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kEmptyReads * NXPSerialClass::EMPTY_READ_PAUSE_MS));
  EXPECT_EQ(b.rom.bytesReceived(), 1u);
}

TEST(NxpCommands, RomAcceptsWhatTheClientSends) {
  Bench b;
  EXPECT_EQ(b.client.Unlock(), aErrNone);
  EXPECT_EQ(b.client.SetBaudRate(115200), aErrNone);
  EXPECT_EQ(b.client.Prepare(0, 29), aErrNone);
  EXPECT_EQ(b.client.Erase(0, 29), aErrNone);
  EXPECT_EQ(b.client.Prepare(2, 3), aErrNone);
  EXPECT_EQ(b.client.CopyToFlash(0x2000, kStage, 4096), aErrNone);
  const auto& t = b.rom.transcript();
  EXPECT_EQ(t.count("unlock"), 1u);
  EXPECT_EQ(t.count("erase 0 29"), 1u);
  EXPECT_EQ(t.count("copy 8192 268439552 4096"), 1u);
  EXPECT_EQ(t.count("out 0"), 6u) << t.text();
}

TEST(NxpCommands, RomRefusalsBecomeErrors) {
  struct Case {
    const char* name;
    lpcsim::Faults faults;
    aErr (*run)(NXPSerialClass&);
  } cases[] = {
      {"locked erase", lpcsim::Faults{}, [](NXPSerialClass& c) { c.Prepare(0, 0); return c.Erase(0, 0); }},
      {"erase unprepared", lpcsim::Faults{}, [](NXPSerialClass& c) { c.Unlock(); return c.Erase(0, 0); }},
      {"copy unprepared", lpcsim::Faults{}, [](NXPSerialClass& c) { c.Unlock(); return c.CopyToFlash(0, kStage, 256); }},
      {"sector out of range", lpcsim::Faults{}, [](NXPSerialClass& c) { return c.Prepare(0, 30); }},
      {"wrong rate", lpcsim::Faults{}, [](NXPSerialClass& c) { return c.SetBaudRate(1234); }},
      {"unlock refused", faults([](lpcsim::Faults& f) { f.failCommand = 'U'; f.failCode = lpcsim::kInvalidCode; }), [](NXPSerialClass& c) { return c.Unlock(); }},
      {"prepare busy", faults([](lpcsim::Faults& f) { f.failCommand = 'P'; f.failCode = lpcsim::kBusy; }), [](NXPSerialClass& c) { return c.Prepare(0, 1); }},
      // A two-digit code ending in 0 is no success, echo or not.
      {"compare error", faults([](lpcsim::Faults& f) { f.failCommand = 'C'; f.failCode = lpcsim::kCompareError; }),
       [](NXPSerialClass& c) { c.Unlock(); c.Prepare(0, 0); return c.CopyToFlash(0, kStage, 256); }},
      {"return code lost", faults([](lpcsim::Faults& f) { f.dropReply = 4; }), [](NXPSerialClass& c) { return c.Unlock(); }},
      {"write refused", faults([](lpcsim::Faults& f) { f.failCommand = 'W'; f.failCode = lpcsim::kAddrNotMapped; }),
       [](NXPSerialClass& c) { unsigned char d[4] = {1, 2, 3, 4}; return c.Write(kStage, 4, d); }},
      {"chip gone quiet", faults([](lpcsim::Faults& f) { f.silentAfterSync = true; }), [](NXPSerialClass& c) { return c.Unlock(); }},
  };
  for (const auto& c : cases) {
    Bench b(withFaults(c.faults));
    EXPECT_EQ(c.run(b.client), aErrParam) << c.name << "\n" << b.rom.transcript().text();
  }
}

TEST(NxpDeviceId, WordsInTheChipsOrder) {
  lpcsim::Config config;
  config.deviceId[0] = 1;
  config.deviceId[1] = 2;
  config.deviceId[2] = 3;
  config.deviceId[3] = 0xFFFFFFFF;
  Bench b(config);
  EXPECT_EQ(b.client.GetDeviceID(), aErrNone);
  EXPECT_EQ(std::vector<uint32_t>(b.client.deviceID, b.client.deviceID + 4), (std::vector<uint32_t>{1, 2, 3, 0xFFFFFFFF}));

  long part = 0;
  EXPECT_EQ(b.client.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, static_cast<long>(config.partId));
}

TEST(NxpDeviceId, QuietChipGivesNoFingerprint) {
  for (unsigned drop : {0u, 7u}) {  // silent after the handshake; the third word lost
    lpcsim::Faults f;
    f.silentAfterSync = drop == 0;
    f.dropReply = drop;
    Bench b(withFaults(f));
    EXPECT_NE(b.client.GetDeviceID(), aErrNone) << drop;
    EXPECT_EQ(std::vector<uint32_t>(b.client.deviceID, b.client.deviceID + 4), (std::vector<uint32_t>{0, 0, 0, 0}));
  }
}

TEST(NxpEcho, SwitchedOffAndOnTogether) {
  Bench b;
  ASSERT_EQ(b.client.SetEcho(false), aErrNone);
  EXPECT_FALSE(b.client.echo);
  EXPECT_FALSE(b.rom.echo());
  EXPECT_EQ(b.client.Unlock(), aErrNone);
  ASSERT_EQ(b.client.SetEcho(true), aErrNone);
  EXPECT_TRUE(b.rom.echo());
  EXPECT_EQ(b.client.Prepare(1, 1), aErrNone);

  Bench refused(withFaults(faults([](lpcsim::Faults& f) { f.failCommand = 'A'; })));
  EXPECT_EQ(refused.client.SetEcho(false), aErrParam);
  EXPECT_TRUE(refused.client.echo);
  EXPECT_EQ(refused.client.Unlock(), aErrNone) << "still reading the echo the chip still sends";
}

TEST(NxpWrite, LinesAndChecksumsReachRam) {
  struct Case {
    unsigned count;
    bool echo;
    size_t lines, checksums;
  } cases[] = {{4, true, 1, 1}, {900, true, 20, 1}, {904, true, 21, 2}, {900, false, 20, 1},
               {904, false, 21, 2}, {4096, false, 92, 5}};
  for (const auto& c : cases) {
    Bench b;
    if (!c.echo) {
      ASSERT_EQ(b.client.SetEcho(false), aErrNone);
    }
    auto data = pattern(c.count, c.count);
    ASSERT_EQ(b.client.Write(kStage, c.count, data.data()), aErrNone) << c.count << " echo " << c.echo;
    EXPECT_EQ(b.rom.transcript().count("data "), c.lines) << c.count;
    EXPECT_EQ(b.rom.transcript().count("checksum "), c.checksums) << c.count;
    EXPECT_EQ(b.ram(kStage, c.count), data) << c.count << " echo " << c.echo;
  }
}

TEST(NxpWrite, ChecksumOfRawBytes) {
  Bench b;
  unsigned char abcd[] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(b.client.Write(kStage, 4, abcd), aErrNone);
  EXPECT_EQ(b.rom.transcript().count("checksum 394 OK"), 1u) << b.rom.transcript().text();
}

TEST(NxpWrite, ResendsAndTheirLimit) {
  struct Case {
    const char* name;
    lpcsim::Faults faults;
    aErr result;
    size_t checksums;  // 1800 bytes are two blocks of 900
  } cases[] = {
      {"two resends", faults([](lpcsim::Faults& f) { f.resendCount = 2; }), aErrNone, 4},
      {"three resends", faults([](lpcsim::Faults& f) { f.resendCount = 3; }), aErrTimeout, 3},
      {"line damaged on the way", faults([](lpcsim::Faults& f) { f.corruptWriteLine = 25; }), aErrNone, 3},
      {"unexpected answer", faults([](lpcsim::Faults& f) { f.checksumReply = "BUSY\r\n"; }), aErrIO, 1},
  };
  for (const auto& c : cases) {
    Bench b(withFaults(c.faults));
    ASSERT_EQ(b.client.SetEcho(false), aErrNone);
    auto data = pattern(1800, 3);
    EXPECT_EQ(b.client.Write(kStage, 1800, data.data()), c.result) << c.name << "\n" << b.rom.transcript().text();
    EXPECT_EQ(b.rom.transcript().count("checksum "), c.checksums) << c.name;
    if (c.result == aErrNone) {
      EXPECT_EQ(b.ram(kStage, 1800), data) << c.name;
    }
  }
}

TEST(NxpRead, BackWhatWasWritten) {
  for (bool echo : {true, false}) {
    for (unsigned bad : {0u, 2u}) {
      Bench b(withFaults(faults([&](lpcsim::Faults& f) { f.badReadChecksums = bad; })));
      if (!echo) {
        ASSERT_EQ(b.client.SetEcho(false), aErrNone);
      }
      auto data = pattern(1000, 9);
      ASSERT_EQ(b.client.Write(kStage, 1000, data.data()), aErrNone);
      std::vector<unsigned char> back(1000, 0);
      EXPECT_EQ(b.client.Read(kStage, 1000, back.data()), aErrNone) << "echo " << echo << " bad " << bad;
      EXPECT_EQ(back, data) << "echo " << echo << " bad " << bad;
      EXPECT_EQ(b.rom.transcript().count("in RESEND"), bad);
    }
  }
  Bench b(withFaults(faults([](lpcsim::Faults& f) { f.badReadChecksums = 3; })));
  std::vector<unsigned char> back(8, 0);
  EXPECT_EQ(b.client.Read(0, 8, back.data()), aErrTimeout);
}

// What the recovery flow does with one payload: unlock, prepare and erase
// all sectors, then stage 4096-byte pieces in RAM and copy each to flash.
aErr program(NXPSerialClass& c, unsigned address, std::vector<unsigned char>& payload) {
  for (unsigned offset = 0; offset < payload.size(); offset += 4096) {
    const unsigned piece = std::min<unsigned>(4096, static_cast<unsigned>(payload.size()) - offset);
    if (aErr e = c.Write(kStage, piece, payload.data() + offset)) return e;
    const unsigned to = address + offset;
    if (aErr e = c.Prepare(NXPSerialClass::SectorFromAddress(to), NXPSerialClass::SectorFromAddress(to + piece - 1)))
      return e;
    if (aErr e = c.CopyToFlash(to, kStage, NXPSerialClass::CopyLength(piece))) return e;
  }
  return aErrNone;
}

TEST(NxpProgramming, WholeRunLeavesTheImageInFlash) {
  Bench b;
  ASSERT_EQ(b.client.Unlock(), aErrNone);
  ASSERT_EQ(b.client.Prepare(0, 29), aErrNone);
  ASSERT_EQ(b.client.Erase(0, 29), aErrNone);
  ASSERT_EQ(b.client.SetEcho(false), aErrNone);
  auto low = pattern(8192 + 904, 1);   // sectors 0-2, the last piece short
  auto high = pattern(4096 * 3, 2);    // inside the first 32 KB sector
  ASSERT_EQ(program(b.client, 0, low), aErrNone) << b.rom.transcript().text();
  ASSERT_EQ(program(b.client, 0x10000, high), aErrNone);
  ASSERT_EQ(b.client.SetEcho(true), aErrNone);
  ASSERT_EQ(b.client.ExecuteFrom(0), aErrNone);
  ASSERT_TRUE(b.rom.transcript().waitFor("go 0", 1, 5s)) << b.rom.transcript().text();

  const auto flash = b.rom.flash();
  EXPECT_EQ(std::vector<unsigned char>(flash.begin(), flash.begin() + low.size()), low);
  EXPECT_EQ(std::vector<unsigned char>(flash.begin() + 0x10000, flash.begin() + 0x10000 + high.size()), high);
  EXPECT_EQ(flash[0x18000], 0xFF) << "untouched sectors stay erased";
  EXPECT_EQ(b.rom.transcript().count("copy "), 3u + 3u);
  EXPECT_EQ(b.rom.transcript().count("copy 8192 268439552 1024"), 1u) << "904 bytes go as a copy of 1024";
}

TEST(NxpProgramming, FailedCopyStopsTheRun) {
  Bench b(withFaults(faults([](lpcsim::Faults& f) { f.failCommand = 'C'; f.failCode = lpcsim::kSectorNotPrepared; f.failAfter = 1; })));
  ASSERT_EQ(b.client.Unlock(), aErrNone);
  ASSERT_EQ(b.client.Prepare(0, 29), aErrNone);
  ASSERT_EQ(b.client.Erase(0, 29), aErrNone);
  auto image = pattern(3 * 4096, 5);
  EXPECT_EQ(program(b.client, 0, image), aErrParam);
  EXPECT_EQ(b.rom.transcript().count("write "), 2u) << "nothing is staged after the failed copy";
}

}  // namespace
