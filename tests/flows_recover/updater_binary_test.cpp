// The shipped updater program against a simulated LPC chip on a
// pseudo-terminal and the simulated update server: the fingerprint command
// and a recovery through the RECOVER transport, as a user runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "LpcRom.h"
#include "RecoverFixture.h"
#include "test_support.h"

namespace {

using namespace recover;

const uint32_t kChip[4] = {0x00000001, 0x00000002, 0x00000003, 0x00000004};

struct BinaryCase {
  const char* name;
  std::vector<std::string> args;  // after the store and server options; "PORT" is the chip's path
  bool romSilent;
  int status;
  std::string shown;  // on standard output or standard error
  bool flashed;       // the chip ends up holding the recovery build
};

void PrintTo(const BinaryCase& c, std::ostream* os) { *os << c.name; }

class UpdaterBinary : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(UpdaterBinary, RunsAgainstTheChip) {
  const BinaryCase& c = GetParam();
  TempDir dir;
  RecoveryImage image;
  image.address = 0;
  image.size = 6000;
  image.key = kChip;
  updatesim::UpdateServer server(lpcRecoveryServer(image, kChip));
  ASSERT_TRUE(server.start());
  lpcsim::Config chip;
  std::copy(kChip, kChip + 4, chip.deviceId);
  chip.faults.silent = c.romSilent;
  lpcsim::LpcRom rom(chip);

  std::vector<std::string> argv{UPDATER_BIN, "-i", dir.path(), "-u", server.url()};
  for (const std::string& a : c.args) argv.push_back(a == "PORT" ? rom.path() : a);
  const ProcessResult r = runProcess(argv);
  server.stop();

  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  EXPECT_NE((r.out + r.err).find(c.shown), std::string::npos) << "missing: " << c.shown << "\n" << r.out << r.err;
  const std::vector<uint8_t> flash = rom.flash();
  const Bytes payload = image.payload();
  EXPECT_EQ(std::equal(payload.begin(), payload.end(), flash.begin()), c.flashed);
  // The start command goes out unanswered: the chip may still be reading it.
  if (c.flashed) {
    EXPECT_TRUE(rom.transcript().waitFor("go 0", 1, std::chrono::seconds(10)));
  }
  EXPECT_EQ(rom.transcript().count("go 0"), c.flashed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lpc, UpdaterBinary,
    ::testing::Values(BinaryCase{"FingerprintCommand", {"-N", "-s", "PORT"}, false, 0,
                                 "[ 00000001 00000002 00000003 00000004 ]", false},
                      BinaryCase{"RecoverTransport", {"-U", "-t", "RECOVER", "-s", "PORT", "-o", "57600"}, false, 0,
                                 "Update time: ", true},
                      BinaryCase{"RecoveryWithoutAnAnswer", {"-U", "-t", "RECOVER", "-s", "PORT"}, true, 1,
                                 "Could not get Device Identifier", false}),
    [](const ::testing::TestParamInfo<BinaryCase>& info) { return std::string(info.param.name); });

}  // namespace
