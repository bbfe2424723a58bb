// The ISP client's byte layer against a scripted chip: how its reads pause
// for a slow chip (and that a scripted chip can be read without the
// pauses, to the same result), and what its failure log lines name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Log.h"
#include "NXPSerialClass.h"
#include "ScriptStream.h"

namespace {

using lpctest::ScriptStream;

struct Scripted {
  ScriptStream chip;
  NXPSerialClass client;
  explicit Scripted(std::string replies, unsigned pauseMs) {
    chip.replies = std::move(replies);
    client.stream = chip.open();
    client.echo = false;
    client.readPauseMs = pauseMs;
  }
};

struct LineCase {
  const char* name;
  std::string replies;
  std::string line;  // what GetLine keeps
  aErr result;
};

class NxpLinePacing : public ::testing::TestWithParam<unsigned> {};

// Leading line feeds and empty reads both spend the budget of 100, with or
// without their pauses: the pause changes when a line is read, never what.
TEST_P(NxpLinePacing, SameLineWhateverThePause) {
  const LineCase cases[] = {
      {"plain", "0\r\n", "0\r\n", aErrNone},
      {"line feeds ahead", std::string(99, '\n') + "0\r\n", "0\r\n", aErrNone},
      {"budget spent on line feeds", std::string(100, '\n') + "0\r\n", "", aErrNone},
      {"silent chip", "", "", aErrNotReady},
      {"cut short", "0\r", "0\r", aErrNotReady},
  };
  for (const auto& c : cases) {
    Scripted s(c.replies, GetParam());
    char line[64];
    uint64_t length = 99;
    EXPECT_EQ(s.client.GetLine(line, sizeof line, &length, 100), c.result) << c.name;
    EXPECT_EQ(std::string(line), c.line) << c.name;
    EXPECT_EQ(length, c.line.size()) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Pauses, NxpLinePacing, ::testing::Values(NXPSerialClass::EMPTY_READ_PAUSE_MS, 0u));

std::vector<uint64_t> gWaits;

aErr sRecordWait(uint64_t ms, void*) {
  gWaits.push_back(ms);
  return aErrTimeout;
}

// A stream that can wait is asked to, for the pause, after each empty read;
// with the pause at 0 it is never asked.
TEST(NxpReadPause, EmptyReadsWaitOnTheStreamForThePause) {
  const struct {
    unsigned pauseMs;
    std::vector<uint64_t> waits;
  } cases[] = {
      {NXPSerialClass::EMPTY_READ_PAUSE_MS, std::vector<uint64_t>(100, NXPSerialClass::EMPTY_READ_PAUSE_MS)},
      {0, {}},
  };
  for (const auto& c : cases) {
    Scripted s("", c.pauseMs);
    ASSERT_EQ(aStream_SetWaitProc(s.client.stream, sRecordWait), aErrNone);
    gWaits.clear();
    char line[16];
    uint64_t length = 0;
    EXPECT_EQ(s.client.GetLine(line, sizeof line, &length, 100), aErrNotReady);
    EXPECT_EQ(gWaits, c.waits) << "pause " << c.pauseMs;
  }
}

// On a real port each line feed ahead of a line still costs its pause.
TEST(NxpReadPause, LineFeedsAheadOfALinePauseByDefault) {
  constexpr unsigned kLineFeeds = 50;
  Scripted s(std::string(kLineFeeds, '\n') + "0\r\n", NXPSerialClass::EMPTY_READ_PAUSE_MS);
  char line[16];
  uint64_t length = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(s.client.GetLine(line, sizeof line, &length, 100), aErrNone);
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kLineFeeds * NXPSerialClass::EMPTY_READ_PAUSE_MS));
  EXPECT_STREQ(line, "0\r\n");
}

// Captures the client's log lines for one test and puts the log back after.
class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()), previous_(Log::fh), packages_(Log::package_bitmask) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_NXPSerial | DEBUG_NXPSerial_E);
  }
  ~LogCapture() {
    Log::SetOutput(previous_);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(packages_);
    std::fclose(file_);
  }
  std::string text() {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  FILE* file_;
  FILE* previous_;
  uint32_t packages_;
};

// A failure's log line names the operation it happened in, one a reader can
// find in the code.
TEST(NxpLog, FailuresNameTheOperation) {
  const struct {
    const char* name;
    std::string replies;
    aErr writeFault;
    void (*run)(NXPSerialClass&);
    const char* logged;
  } cases[] = {
      {"send", "", aErrIO, [](NXPSerialClass& c) { c.Send("?", false); }, "Error Send() [aErrIO]\n"},
      {"command", "", aErrIO, [](NXPSerialClass& c) { c.Unlock(); }, "Error SendCommand() [aErrIO]\n"},
      {"reply", "Synchronizeq\r\n", aErrNone,
       [](NXPSerialClass& c) {
         char buf[32];
         uint64_t length = 0;
         c.Response(buf, sizeof buf, &length, "Synchronized\r\n", 14);
       },
       "Error Response() Expected byte 11 does not match"},
  };
  for (const auto& c : cases) {
    Scripted s(c.replies, 0);
    s.chip.writeFault = c.writeFault;
    LogCapture log;
    c.run(s.client);
    const std::string text = log.text();
    EXPECT_NE(text.find(c.logged), std::string::npos) << c.name << ":\n" << text;
    EXPECT_EQ(text.find("Test_Serial"), std::string::npos) << c.name << ":\n" << text;
  }
}

}  // namespace
