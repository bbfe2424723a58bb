// How the ISP client reads and judges what the chip answers, byte-exact,
// against a scripted chip: return-code lines, number lines, checksum answers
// of a write and the data lines of a read, each well-formed and malformed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "ScriptStream.h"

namespace {

using lpctest::ScriptStream;

// A client talking to a scripted chip.
struct Scripted {
  ScriptStream chip;
  NXPSerialClass client;
  explicit Scripted(std::string replies, bool echo = false) {
    chip.replies = std::move(replies);
    client.stream = chip.open();
    client.echo = echo;
  }
};

TEST(NxpReturnCode, WholeCodeDecidesSuccess) {
  struct Case {
    bool echo;
    std::string reply;
    aErr result;
  } cases[] = {
      {false, "0\r\n", aErrNone},   {false, "19\r\n", aErrParam}, {false, "1\r\n", aErrParam},
      {false, "10\r\n", aErrParam}, {false, "", aErrParam},       {false, "x\r\n", aErrParam},
      {true, "0\r\n", aErrNone},    {true, "19\r\n", aErrParam},  {true, "15\r\n", aErrParam},
      // COMPARE_ERROR ends in 0: the code before the line end is read whole.
      {true, "10\r\n", aErrParam},  {true, "", aErrParam},
      // The chip's echo leaves the command's line feed in front of the code.
      {true, "\n0\r\n", aErrNone},
      // A long garbled line whose code position, cut to 8 bits, would fall on a 0.
      {true, "x0" + std::string(256, 'x') + "\r\n", aErrParam},
  };
  for (const auto& c : cases) {
    Scripted s((c.echo ? std::string("U 23130\r") : std::string()) + c.reply, c.echo);
    EXPECT_EQ(s.client.Unlock(), c.result) << "echo " << c.echo << " reply [" << c.reply << "]";
    EXPECT_EQ(s.chip.written, "U 23130\r\n");
  }
}

TEST(NxpCommands, TextsSentAndArgumentChecks) {
  struct Case {
    const char* name;
    aErr (*run)(NXPSerialClass&);
    const char* sent;  // null: refused before sending
  } cases[] = {
      {"unlock", [](NXPSerialClass& c) { return c.Unlock(); }, "U 23130\r\n"},
      {"baud", [](NXPSerialClass& c) { return c.SetBaudRate(57600); }, "B 57600 1\r\n"},
      {"echo off", [](NXPSerialClass& c) { return c.SetEcho(false); }, "A 0\r\n"},
      {"prepare", [](NXPSerialClass& c) { return c.Prepare(0, 29); }, "P 0 29\r\n"},
      {"erase", [](NXPSerialClass& c) { return c.Erase(3, 3); }, "E 3 3\r\n"},
      {"copy", [](NXPSerialClass& c) { return c.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 256); },
       "C 256 268439552 256\r\n"},
      {"copy high", [](NXPSerialClass& c) { return c.CopyToFlash(0x7F000, 0x10000200, 4096); },
       "C 520192 268435968 4096\r\n"},
      {"prepare backwards", [](NXPSerialClass& c) { return c.Prepare(5, 4); }, nullptr},
      {"erase backwards", [](NXPSerialClass& c) { return c.Erase(5, 4); }, nullptr},
      {"copy unaligned", [](NXPSerialClass& c) { return c.CopyToFlash(0x180, NXPSerialClass::WRITE_ADDRESS, 256); },
       nullptr},
      {"copy 2048", [](NXPSerialClass& c) { return c.CopyToFlash(0x100, NXPSerialClass::WRITE_ADDRESS, 2048); },
       nullptr},
      {"write 0", [](NXPSerialClass& c) { unsigned char d[8] = {}; return c.Write(NXPSerialClass::WRITE_ADDRESS, 0, d); },
       nullptr},
      {"write 6", [](NXPSerialClass& c) { unsigned char d[8] = {}; return c.Write(NXPSerialClass::WRITE_ADDRESS, 6, d); },
       nullptr},
      {"read 0", [](NXPSerialClass& c) { unsigned char d[8]; return c.Read(0, 0, d); }, nullptr},
      {"read 6", [](NXPSerialClass& c) { unsigned char d[8]; return c.Read(0, 6, d); }, nullptr},
  };
  for (const auto& c : cases) {
    Scripted s("0\r\n");
    EXPECT_EQ(c.run(s.client), c.sent ? aErrNone : aErrParam) << c.name;
    EXPECT_EQ(s.chip.written, c.sent ? c.sent : "") << c.name;
  }
}

TEST(NxpCommands, GoReadsNoReplyAndWriteFailuresComeBack) {
  Scripted go("");
  EXPECT_EQ(go.client.ExecuteFrom(0), aErrNone);
  EXPECT_EQ(go.chip.written, "G 0 T\r\n");

  Scripted broken("0\r\n");
  broken.chip.writeFault = aErrIO;
  EXPECT_EQ(broken.client.Unlock(), aErrIO);
  EXPECT_EQ(broken.client.ExecuteFrom(0), aErrIO);
  EXPECT_EQ(broken.client.Sync(), aErrIO);

  NXPSerialClass unconnected;
  EXPECT_EQ(unconnected.Unlock(), aErrConnection);
  EXPECT_EQ(unconnected.Sync(), aErrConnection);
  EXPECT_EQ(unconnected.Disconnect(), aErrNone);
}

TEST(NxpCommands, EchoChangesOnlyWhenTheChipAccepts) {
  Scripted refused("A 0\r12\r\n", true);
  EXPECT_EQ(refused.client.SetEcho(false), aErrParam);
  EXPECT_TRUE(refused.client.echo);

  // The change itself is still echoed: the chip switches after answering.
  Scripted accepted("A 0\r\n0\r\n", true);
  EXPECT_EQ(accepted.client.SetEcho(false), aErrNone);
  EXPECT_FALSE(accepted.client.echo);
  accepted.chip.replies += "0\r\n";  // no echo of the next command any more
  EXPECT_EQ(accepted.client.Unlock(), aErrNone);
}

TEST(NxpDeviceId, NumberLinesFillTheWordsOnlyWhenAllArrive) {
  struct Case {
    const char* name;
    std::string reply;
    aErr result;
    std::vector<uint32_t> words;
  } cases[] = {
      {"four words", "0\r\n1\r\n2\r\n3\r\n4\r\n", aErrNone, {1, 2, 3, 4}},
      {"full range", "0\r\n4294967295\r\n0\r\n0x10\r\n305419896\r\n", aErrNone, {0xFFFFFFFF, 0, 16, 0x12345678}},
      {"nothing", "", aErrParam, {0, 0, 0, 0}},
      {"refused", "19\r\n", aErrParam, {0, 0, 0, 0}},
      {"three words", "0\r\n1\r\n2\r\n3\r\n", aErrNotReady, {0, 0, 0, 0}},
      {"garbled word", "0\r\n1\r\n2x\r\n3\r\n4\r\n", aErrIO, {0, 0, 0, 0}},
      {"empty word", "0\r\n1\r\n\r\n3\r\n4\r\n", aErrIO, {0, 0, 0, 0}},
      {"negative word", "0\r\n1\r\n-2\r\n3\r\n4\r\n", aErrIO, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    Scripted s(c.reply);
    EXPECT_EQ(s.client.GetDeviceID(), c.result) << c.name;
    EXPECT_EQ(s.chip.written, "N\r\n") << c.name;
    EXPECT_EQ(std::vector<uint32_t>(s.client.deviceID, s.client.deviceID + 4), c.words) << c.name;
  }
}

TEST(NxpDeviceId, PartNumberAndBootVersion) {
  Scripted part("0\r\n637615927\r\n");
  long number = -1;
  EXPECT_EQ(part.client.GetPartNumber(&number), aErrNone);
  EXPECT_EQ(number, 637615927);
  EXPECT_EQ(part.chip.written, "J\r\n");

  Scripted silent("");
  number = -1;
  EXPECT_NE(silent.client.GetPartNumber(&number), aErrNone);
  EXPECT_EQ(number, -1);

  Scripted version("0\r\n4\r\n1\r\n");
  unsigned char major = 0, minor = 0;
  EXPECT_EQ(version.client.GetBootLoaderVersion(&major, &minor), aErrNone);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 1);
  EXPECT_EQ(version.chip.written, "K\r\n");

  Scripted half("0\r\n4\r\n");
  major = minor = 99;
  EXPECT_EQ(half.client.GetBootLoaderVersion(&major, &minor), aErrNotReady);
  EXPECT_EQ(major, 99);
}

// Lines of what the client wrote, split at CR LF.
std::vector<std::string> sentLines(const std::string& written) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = written.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(written.substr(at, end - at));
  return lines;
}

TEST(NxpWrite, ChecksumAnswersDecide) {
  struct Case {
    const char* name;
    std::string answers;
    aErr result;
    size_t blocksSent;
  } cases[] = {
      {"ok", "OK\r\n", aErrNone, 1},
      {"two resends then ok", "RESEND\r\nRESEND\r\nOK\r\n", aErrNone, 3},
      {"three resends", "RESEND\r\nRESEND\r\nRESEND\r\n", aErrTimeout, 3},
      {"other answer", "WHAT\r\n", aErrIO, 1},
      {"ok without line end", "OK", aErrIO, 1},
      {"no answer", "", aErrIO, 1},
  };
  for (const auto& c : cases) {
    Scripted s("0\r\n" + c.answers);
    unsigned char data[] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(s.client.Write(NXPSerialClass::WRITE_ADDRESS, 4, data), c.result) << c.name;
    std::vector<std::string> expected{"W 268439552 4"};
    for (size_t i = 0; i < c.blocksSent; ++i) {
      expected.push_back("$86)C9```");
      expected.push_back("394");
    }
    EXPECT_EQ(sentLines(s.chip.written), expected) << c.name;
  }
}

TEST(NxpWrite, ResendRepeatsOnlyTheBlockSinceTheLastGoodChecksum) {
  // 904 bytes: a checksum after line 20 (900 bytes) and after the last line.
  std::vector<unsigned char> data(904);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
  Scripted s("0\r\nOK\r\nRESEND\r\nOK\r\n");
  ASSERT_EQ(s.client.Write(NXPSerialClass::WRITE_ADDRESS, 904, data.data()), aErrNone);
  const auto lines = sentLines(s.chip.written);
  const int first = NXPSerialClass::sum(data.data(), 900);
  const int last = NXPSerialClass::sum(data.data() + 900, 4);
  ASSERT_EQ(lines.size(), 1u + 20 + 1 + 2 * 2);  // command, block of 20, two tries of the last line
  EXPECT_EQ(lines[21], std::to_string(first));
  EXPECT_EQ(lines[22], lines[24]) << "the last block is sent again as it was";
  EXPECT_EQ(lines[23], std::to_string(last));
  EXPECT_EQ(lines[25], std::to_string(last));
  for (size_t i = 1; i <= 20; ++i) EXPECT_EQ(lines[i].size(), 61u) << "line " << i;
}

std::string encoded(const std::vector<unsigned char>& d, size_t at, size_t n) {
  char line[80];
  NXPSerialClass::uuencode(line, d.data() + at, static_cast<unsigned>(n));
  return std::string(line) + "\r\n";
}

TEST(NxpRead, DataLinesAndChecksums) {
  std::vector<unsigned char> chip(48);
  for (size_t i = 0; i < chip.size(); ++i) chip[i] = static_cast<unsigned char>(0xF0 - i * 5);
  // 48 bytes come as a full line of 45 and one of 3.
  const std::string good = encoded(chip, 0, 45) + encoded(chip, 45, 3);
  const std::string sumLine = std::to_string(NXPSerialClass::sum(chip.data(), 48)) + "\r\n";

  struct Case {
    const char* name;
    std::string reply;
    aErr result;
    std::string sentAfterCommand;
  } cases[] = {
      {"good", "0\r\n" + good + sumLine, aErrNone, "OK\r\n"},
      {"one bad checksum", "0\r\n" + good + "1\r\n" + good + sumLine, aErrNone,
       "RESEND\r\nOK\r\n"},
      {"bad checksums", "0\r\n" + good + "1\r\n" + good + "1\r\n" + good + "1\r\n", aErrTimeout,
       "RESEND\r\nRESEND\r\n"},
      {"no data", "0\r\n", aErrNotReady, ""},
      {"cut data line", "0\r\n" + encoded(chip, 0, 45).substr(0, 30), aErrNotReady, ""},
      {"line says too much", "0\r\n" + encoded(chip, 0, 45) + encoded(chip, 0, 45), aErrIO, ""},
      {"short line", "0\r\n" + encoded(chip, 0, 45) + "#86\r\n", aErrIO, ""},
      {"empty data line", "0\r\n`\r\n", aErrIO, ""},
      {"no checksum", "0\r\n" + good, aErrNotReady, ""},
      {"refused", "14\r\n", aErrParam, ""},
  };
  for (const auto& c : cases) {
    Scripted s(c.reply);
    std::vector<unsigned char> dest(48, 0);
    EXPECT_EQ(s.client.Read(0x2000, 48, dest.data()), c.result) << c.name;
    EXPECT_EQ(s.chip.written, "R 8192 48\r\n" + c.sentAfterCommand) << c.name;
    if (c.result == aErrNone) {
      EXPECT_EQ(dest, chip) << c.name;
    }
  }
}

}  // namespace
