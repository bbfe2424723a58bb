// The rate an LPC recovery runs at, as the port's own terminal settings show
// it to the simulated chip: the fingerprint always talks at 115200 (the rate
// the boot ROM's autobaud is known to take), the programming at the rate the
// user gave.
#include <gtest/gtest.h>

#include <termios.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LpcRom.h"
#include "RecoverFixture.h"
#include "Updater.h"
#include "test_support.h"

namespace {

using namespace recover;

const uint32_t kChip[4] = {0x11, 0x22, 0x33, 0x44};

// Each line the chip received, with the output rate its port was set to.
class RateLog {
 public:
  void add(const std::string& line, int tty) {
    termios t{};
    const speed_t speed = ::tcgetattr(tty, &t) == 0 ? ::cfgetospeed(&t) : B0;
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back({line, speed});
  }
  std::vector<std::pair<std::string, speed_t>> seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, speed_t>> seen_;
};

struct RateCase {
  const char* name;
  uint32_t rate;  // given to the recovery
  speed_t programming;
};

void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class LpcRecoveryRate : public ::testing::TestWithParam<RateCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.start()); }
  void TearDown() override { server_.stop(); }

  TempDir dir_;
  updatesim::UpdateServer server_;
  RecordingDisplay display_;
};

TEST_P(LpcRecoveryRate, FingerprintAt115200ThenProgrammingAtTheGivenRate) {
  const RateCase& c = GetParam();
  RecoveryImage image;
  image.address = 0x10000;
  image.size = 100;
  image.key = kChip;
  server_.setConfig(lpcRecoveryServer(image, kChip));

  RateLog rates;
  lpcsim::Config chip;
  for (int i = 0; i < 4; ++i) chip.deviceId[i] = kChip[i];
  chip.onReceive = [&rates](const std::string& line, int tty) { rates.add(line, tty); };
  lpcsim::LpcRom rom(chip);

  const std::string store = dir_.path() + "/store";
  Updater updater(server_.url().c_str(), store.c_str(), display_);
  ASSERT_TRUE(updater.Recover_Firmware(rom.path(), 0, c.rate, 0, "", false)) << rom.transcript().text();
  // The start command goes out unanswered: the chip may still be reading it.
  ASSERT_TRUE(rom.transcript().waitFor("go 0", 1, std::chrono::seconds(10))) << rom.transcript().text();

  const auto seen = rates.seen();
  size_t programming = 0;
  while (programming < seen.size() && seen[programming].first != "U 23130") ++programming;
  ASSERT_LT(programming, seen.size()) << "the chip was never unlocked\n" << rom.transcript().text();
  bool autobaud = false, identity = false;
  for (size_t i = 0; i < programming; ++i) {
    EXPECT_EQ(seen[i].second, static_cast<speed_t>(B115200)) << "fingerprint line [" << seen[i].first << "]";
    autobaud = autobaud || seen[i].first == "?";
    identity = identity || seen[i].first == "N";
  }
  EXPECT_TRUE(autobaud && identity) << rom.transcript().text();
  // The start command is the last line and goes unanswered: the host may
  // have closed the port, and put back its old settings, before the chip
  // reads it.
  ASSERT_EQ(seen.back().first, "G 0 T");
  for (size_t i = programming; i + 1 < seen.size(); ++i) {
    EXPECT_EQ(seen[i].second, c.programming) << "programming line [" << seen[i].first << "]";
  }
}

INSTANTIATE_TEST_SUITE_P(Lpc, LpcRecoveryRate,
                         ::testing::Values(RateCase{"At9600", 9600, B9600}, RateCase{"At57600", 57600, B57600},
                                           RateCase{"At230400", 230400, B230400},
                                           // Rates between the table's go up to the next one.
                                           RateCase{"At30000", 30000, B38400}),
                         [](const ::testing::TestParamInfo<RateCase>& info) { return std::string(info.param.name); });

}  // namespace
