// Serial_SDPLoader on a pseudo-terminal served by the simulated ROM: the
// report ID stays off the wire, replies are gathered without IDs, and whole
// runs with the ROM's faults. Each init takes the line's one-second settle.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "IMX1050.h"
#include "SDPLoader.h"
#include "SdpPty.h"
#include "SdpRom.h"
#include "SdpTestSupport.h"
#include "Serial_SDPLoader.h"

namespace {

using namespace std::chrono_literals;
using sdptest::Bytes;

struct PtyRom {
  explicit PtyRom(sdpsim::Config config = {}) : rom(config), line(rom) {}
  sdpsim::SdpRom rom;
  sdpsim::SdpPty line;
};

const Bytes kProbe = {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(SdpSerial, StatusWordLiesAfterTheHabWord) {
  Serial_SDPLoader serial("/dev/null");  // never opened
  struct Case {
    const char* name;
    Bytes reply;
    uint32_t index;
    bool ok;
    uint32_t value;
  };
  const Case cases[] = {
      {"HAB then status", {0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88, 0x88}, 0, true, 0x88888888},
      {"seven bytes", {0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88}, 0, false, 0},
      {"trailing bytes allowed", {0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0xFF}, 0, true, 0x12345678},
      {"index 1 needs twelve", Bytes(11, 1), 1, false, 0},
      {"index past 15", Bytes(200, 1), 16, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t value = 0;
    EXPECT_EQ(serial.getDataFromBuffer(c.reply, c.index, value), c.ok);
    EXPECT_EQ(value, c.value);
  }
}

TEST(SdpSerial, InitRefusesWhatIsNotATerminal) {
  char path[] = "/tmp/sdp_serial_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  struct Case {
    const char* name;
    const char* path;
  };
  for (const Case& c : {Case{"regular file", path}, Case{"missing path", "/nonexistent/tty"}, Case{"no path", nullptr}}) {
    SCOPED_TRACE(c.name);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(c.path)));
    EXPECT_EQ(loader.init(), SDPLoader::SDP_OPEN_FAILED);
    // A transport that never opened sends and receives nothing.
    EXPECT_EQ(loader.writeLoader(sdptest::pattern(10), 0x20000000), SDPLoader::SDP_NO_ANSWER);
  }
  unlink(path);
}

TEST(SdpSerial, ReportIdStaysOffTheWire) {
  PtyRom rom;
  Serial_SDPLoader serial(rom.line.slavePath().c_str());
  ASSERT_TRUE(serial.init());
  EXPECT_EQ(serial.writeData(kProbe), 16);
  ASSERT_TRUE(rom.rom.waitFor("ERROR_STATUS", 1, 5s));
  Bytes reply;
  EXPECT_EQ(serial.readData(reply, 100), 8);
  uint32_t value = 0;
  ASSERT_TRUE(serial.getDataFromBuffer(reply, 0, value));
  EXPECT_EQ(value, sdpsim::kStatusAck);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 4), (Bytes{0x56, 0x78, 0x78, 0x56}));

  // A data report of 1025 bytes carries 1024 image bytes.
  Bytes writeFile = {1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0x04, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(serial.writeData(writeFile), 16);
  Bytes data(1025, 0x5C);
  data[0] = 2;
  EXPECT_EQ(serial.writeData(data), 1024);
  ASSERT_TRUE(rom.rom.waitFor("WRITE_DONE 20000000", 1, 5s));
  EXPECT_EQ(rom.rom.memory(0x20000000, 1024), Bytes(1024, 0x5C));
  EXPECT_EQ(rom.rom.count("BAD_COMMAND"), 0u);
}

TEST(SdpSerial, ZeroTimeoutTakesOnlyWhatIsWaiting) {
  PtyRom rom;
  Serial_SDPLoader serial(rom.line.slavePath().c_str());
  ASSERT_TRUE(serial.init());
  Bytes none;
  EXPECT_EQ(serial.readData(none, 0), 0);
  EXPECT_TRUE(none.empty());

  // Once the reply has surely arrived, a zero time-out takes all of it.
  ASSERT_EQ(serial.writeData(kProbe), 16);
  ASSERT_TRUE(rom.rom.waitFor("ERROR_STATUS", 1, 5s));
  Bytes reply;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (reply.size() < 8 && std::chrono::steady_clock::now() < deadline) serial.readData(reply, 10);
  EXPECT_EQ(reply.size(), 8u);
  Bytes after;
  EXPECT_EQ(serial.readData(after, 0), 0);
}

TEST(SdpSerial, LoadAndJumpLeavesTheImageInRam) {
  sdpsim::Config config;
  config.cfg0 = 0x01020304;
  config.cfg1 = 0xA0B0C0D0;
  PtyRom rom(config);
  const Bytes image = sdptest::pattern(20000, 11);
  SDPLoader loader;
  ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(rom.line.slavePath().c_str())));
  ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
  uint64_t value = 0;
  ASSERT_EQ(loader.getFingerprint(value), SDPLoader::SDP_OK);
  EXPECT_EQ(value, 0xA0B0C0D001020304ull);
  ASSERT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
  loader.startLoader(0x20000400);
  ASSERT_TRUE(rom.rom.waitFor("JUMP 20000400", 1, 5s));
  EXPECT_EQ(rom.rom.memory(0x20000000, image.size()), image);
  EXPECT_EQ(rom.rom.count("BAD_COMMAND"), 0u);
}

// Over the serial line too, the ROM's faults never come back as success, and
// a line that drops does not hold the caller.
TEST(SdpSerial, RomFaultsAreReportedAsFailures) {
  struct Case {
    const char* name;
    void (*set)(sdpsim::Faults&);
    uint8_t expected;
  };
  const Case cases[] = {
      {"silent", [](sdpsim::Faults& f) { f.silent = true; }, SDPLoader::SDP_NO_ANSWER},
      {"wrong status", [](sdpsim::Faults& f) { f.writeStatus = 0x12345678; }, SDPLoader::SDP_BAD_STATUS},
      {"short reply", [](sdpsim::Faults& f) { f.shortReply = true; }, SDPLoader::SDP_NO_ANSWER},
      {"line drops at WRITE_FILE", [](sdpsim::Faults& f) { f.dropAfter = 2; }, SDPLoader::SDP_BAD_STATUS},
      {"speaks during transfer", [](sdpsim::Faults& f) { f.chatter = true; }, SDPLoader::SDP_UNEXPECTED_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sdpsim::Config config;
    c.set(config.faults);
    PtyRom rom(config);
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(rom.line.slavePath().c_str())));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    // Large enough that the ROM's early word is seen while data still flows.
    EXPECT_EQ(loader.writeLoader(sdptest::pattern(64 * 1024), 0x20000000), c.expected);
  }
}

// The standalone program as the updater's end-to-end tests use it: it prints
// its line, serves a load and jump, exits after the jump and dumps the RAM.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  // The first line of its standard output, or empty when none comes in time.
  std::string firstLine(std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) != 1) return {};
      char c;
      if (read(out_, &c, 1) != 1) return {};
      line += c;
    }
    return line.substr(0, line.size() - 1);
  }
  // Its exit status once it ends within the limit; -1 when it does not.
  int exitStatus(std::chrono::milliseconds limit) {
    // Its standard output closes when it exits.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) != 1) return -1;
      char buf[256];
      if (read(out_, buf, sizeof buf) <= 0) break;
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

TEST(SdpSerial, StandaloneProgramServesALoadAndDumpsIt) {
  char dir[] = "/tmp/sdprom_dump_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string prefix = std::string(dir) + "/ram";
  Program sim({std::string(JV_BINARY_DIR) + "/sim/sdprom/sdprom", "--pty", "--quiet", "--exit-after-jump", "--dump",
               prefix});
  std::string path = sim.firstLine(10s);
  ASSERT_EQ(path.rfind("pty ", 0), 0u) << path;
  path = path.substr(4);

  const Bytes image = sdptest::pattern(4097, 5);
  {
    SDPLoader loader;
    ASSERT_TRUE(loader.setLoader(new Serial_SDPLoader(path.c_str())));
    ASSERT_EQ(loader.init(), SDPLoader::SDP_OK);
    ASSERT_EQ(loader.writeLoader(image, 0x20000000), SDPLoader::SDP_OK);
    loader.startLoader(0x20000400);
  }
  EXPECT_EQ(sim.exitStatus(20s), 0);
  const std::string dumped = prefix + "-20000000.bin";
  FILE* f = fopen(dumped.c_str(), "rb");
  ASSERT_TRUE(f) << dumped;
  Bytes got(image.size() + 1);
  got.resize(fread(got.data(), 1, got.size(), f));
  fclose(f);
  EXPECT_EQ(got, image);
  unlink(dumped.c_str());
  rmdir(dir);
}

// Closing the port right after the jump must not drop the jump: the ROM may
// not have read it yet.
TEST(SdpSerial, JumpWrittenJustBeforeClosingStillArrives) {
  PtyRom rom;
  {
    Serial_SDPLoader serial(rom.line.slavePath().c_str());
    ASSERT_TRUE(serial.init());
    rom.line.hold(true);
    const Bytes jump = {1, 0x0B, 0x0B, 0x20, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(serial.writeData(jump), 16);
  }
  rom.line.hold(false);
  EXPECT_TRUE(rom.rom.waitFor("JUMP 20000400", 1, 5s));
}

}  // namespace
