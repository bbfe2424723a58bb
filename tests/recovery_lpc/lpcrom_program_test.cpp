// The standalone lpcrom program as end-to-end tests of the updater use it:
// it announces its pty, serves the ISP client there, prints its transcript,
// and dumps its flash after the start command and when stopped.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "run_process.h"

namespace {

TEST(LpcRomProgram, ServesTheClientAndDumpsWhatItWasProgrammedWith) {
  const auto dump = std::filesystem::temp_directory_path() / ("lpcrom-dump-" + std::to_string(::getpid()));
  std::filesystem::remove(dump);
  Background rom = startBackground({LPCROM_BIN, "--device-id", "1,2,3,4", "--dump-flash", dump.string()});
  const std::string first = readLine(rom);
  ASSERT_EQ(first.rfind("pty /dev/", 0), 0u) << first;

  std::vector<unsigned char> image(1024);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 13 + 7);
  {
    NXPSerialClass c;
    ASSERT_EQ(c.Connect(first.substr(4).c_str(), 115200), aErrNone);
    ASSERT_EQ(c.Sync(), aErrNone);
    ASSERT_EQ(c.GetDeviceID(), aErrNone);
    EXPECT_EQ(std::vector<uint32_t>(c.deviceID, c.deviceID + 4), (std::vector<uint32_t>{1, 2, 3, 4}));
    ASSERT_EQ(c.Unlock(), aErrNone);
    ASSERT_EQ(c.Prepare(0, 0), aErrNone);
    ASSERT_EQ(c.Erase(0, 0), aErrNone);
    ASSERT_EQ(c.Write(NXPSerialClass::WRITE_ADDRESS, 1024, image.data()), aErrNone);
    ASSERT_EQ(c.Prepare(0, 0), aErrNone);
    ASSERT_EQ(c.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 1024), aErrNone);
    ASSERT_EQ(c.ExecuteFrom(0), aErrNone);
  }
  // The transcript reaches the start command once the ROM took it.
  std::string line;
  do {
    line = readLine(rom);
  } while (!line.empty() && line != "go 0");
  EXPECT_EQ(line, "go 0");
  EXPECT_EQ(stopBackground(rom), 0);

  const std::string flash = readFile(dump);
  ASSERT_EQ(flash.size(), 0x80000u);
  EXPECT_EQ(std::vector<unsigned char>(flash.begin(), flash.begin() + 1024), image);
  EXPECT_EQ(static_cast<unsigned char>(flash[1024]), 0xFF);
  std::filesystem::remove(dump);
}

TEST(LpcRomProgram, RefusesUnknownOptions) {
  const ProcessResult r = runProcess({LPCROM_BIN, "--no-such-option"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("usage: lpcrom"), std::string::npos) << r.err;
}

}  // namespace
