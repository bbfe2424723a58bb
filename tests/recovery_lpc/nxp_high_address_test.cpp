// Addresses, counts and rates from 0x80000000 up go to the chip as the
// unsigned decimals it reads: a signed rendering would send a minus sign
// and a different number, which the boot ROM refuses or, worse, takes for
// another address.
#include <gtest/gtest.h>

#include <string>

#include "NXPSerialClass.h"
#include "ScriptStream.h"

namespace {

using lpctest::ScriptStream;

// The command line a call sends first, up to and including its CR LF.
std::string commandLine(const std::string& written) {
  const size_t end = written.find("\r\n");
  return end == std::string::npos ? written : written.substr(0, end + 2);
}

TEST(NxpHighNumbers, SentAsUnsignedDecimals) {
  struct Case {
    const char* name;
    aErr (*run)(NXPSerialClass&);
    const char* sent;
  } cases[] = {
      {"write at 0x80000000",
       [](NXPSerialClass& c) {
         unsigned char d[4] = {1, 2, 3, 4};
         return c.Write(0x80000000u, 4, d);
       },
       "W 2147483648 4\r\n"},
      {"read of the top word",
       [](NXPSerialClass& c) {
         unsigned char d[4] = {};
         return c.Read(0xFFFFFFFCu, 4, d);
       },
       "R 4294967292 4\r\n"},
      {"copy between high addresses",
       [](NXPSerialClass& c) { return c.CopyToFlash(0x80000000u, 0xFFFFFF00u, 256); },
       "C 2147483648 4294967040 256\r\n"},
      {"go to the top address", [](NXPSerialClass& c) { return c.ExecuteFrom(0xFFFFFFFFu); }, "G 4294967295 T\r\n"},
      {"prepare high sectors", [](NXPSerialClass& c) { return c.Prepare(0x80000000u, 0xFFFFFFFFu); },
       "P 2147483648 4294967295\r\n"},
      {"erase high sectors", [](NXPSerialClass& c) { return c.Erase(0x80000001u, 0x80000001u); },
       "E 2147483649 2147483649\r\n"},
      {"baud above the signed range", [](NXPSerialClass& c) { return c.SetBaudRate(3000000000u); },
       "B 3000000000 1\r\n"},
  };
  for (const auto& c : cases) {
    ScriptStream chip;
    // The return code, then whatever a data phase waits for: a good
    // checksum answer (write), or one data line and its checksum (read).
    chip.replies = "0\r\nOK\r\n";
    NXPSerialClass client;
    client.stream = chip.open();
    client.echo = false;
    c.run(client);
    const std::string line = commandLine(chip.written);
    EXPECT_EQ(line, c.sent) << c.name;
    EXPECT_EQ(line.find('-'), std::string::npos) << c.name << ": [" << line << "]";
  }
}

}  // namespace
