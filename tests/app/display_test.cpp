// Console display and diagnostic log.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "test_support.h"

namespace {

struct Captured {
  std::string out;
  std::string err;
};

std::string ReadAll(int fd)
{
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
      text.append(buf, static_cast<size_t>(n));
    else if (n < 0 && errno == EINTR)
      continue;
    else
      break;  // end of file, or EIO once the terminal's last writer is gone
  }
  return text;
}

// Runs calls on a fresh CLI_Display in a child process whose standard
// output is a raw pseudo-terminal (terminal true) or a pipe; standard error
// is always a pipe.
Captured RunDisplay(bool terminal, const std::function<void(CLI_Display&)>& calls)
{
  int outRead = -1, outWrite = -1;
  if (terminal) {
    if (openpty(&outRead, &outWrite, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << strerror(errno);
      return {};
    }
    struct termios raw;
    tcgetattr(outWrite, &raw);
    cfmakeraw(&raw);
    tcsetattr(outWrite, TCSANOW, &raw);
  } else {
    int fds[2];
    if (pipe(fds) != 0) {
      ADD_FAILURE() << "pipe: " << strerror(errno);
      return {};
    }
    outRead = fds[0];
    outWrite = fds[1];
  }
  int errFds[2];
  if (pipe(errFds) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outWrite, STDOUT_FILENO);
    dup2(errFds[1], STDERR_FILENO);
    close(outRead);
    close(outWrite);
    close(errFds[0]);
    close(errFds[1]);
    CLI_Display display;
    calls(display);
    _exit(0);
  }
  close(outWrite);
  close(errFds[1]);
  Captured c;
  c.out = ReadAll(outRead);
  c.err = ReadAll(errFds[0]);
  close(outRead);
  close(errFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return c;
}

std::string Bar(int filled, int blanks)
{
  return std::string(static_cast<size_t>(filled), '=') + ">" + std::string(static_cast<size_t>(blanks), ' ');
}

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

struct DrawCase {
  const char* name;
  std::function<void(CLI_Display&)> calls;
  std::string onTerminal;
  std::string onPipe;
};

class DrawTest : public ::testing::TestWithParam<DrawCase> {};

TEST_P(DrawTest, OnTerminal)
{
  EXPECT_EQ(GetParam().onTerminal, RunDisplay(true, GetParam().calls).out);
}

TEST_P(DrawTest, OnPipeNoCarriageReturn)
{
  Captured c = RunDisplay(false, GetParam().calls);
  EXPECT_EQ(GetParam().onPipe, c.out);
  EXPECT_EQ(std::string::npos, c.out.find('\r'));
}

const std::string kLongLabel(80, 'L');

INSTANTIATE_TEST_SUITE_P(
    Display, DrawTest,
    ::testing::Values(
        DrawCase{"BarEmpty", [](CLI_Display& d) { d.update_progress(0.0, nullptr); },
                 "\r[" + Bar(0, 68) + "] (  0% ) ", ""},
        DrawCase{"BarHalf", [](CLI_Display& d) { d.update_progress(0.5, nullptr); },
                 "\r[" + Bar(34, 34) + "] ( 50% ) ", ""},
        DrawCase{"BarFull", [](CLI_Display& d) { d.update_progress(1.0, nullptr); },
                 "\r[" + Bar(69, 1) + "] (100% ) ", ""},
        DrawCase{"BarTruncatesFraction", [](CLI_Display& d) { d.update_progress(0.999, nullptr); },
                 "\r[" + Bar(68, 0) + "] ( 99% ) ", ""},
        DrawCase{"BarWithLabel", [](CLI_Display& d) { d.update_progress(0.5, "abc"); },
                 "\r (abc) [" + Bar(31, 30) + "] ( 50% ) ", ""},
        DrawCase{"BarLabelWiderThanBar", [](CLI_Display& d) { d.update_progress(0.5, kLongLabel.c_str()); },
                 "\r (" + kLongLabel + ") [" + Bar(0, 1) + "] ( 50% ) ", ""},
        DrawCase{"BarFractionAboveOne", [](CLI_Display& d) { d.update_progress(7.0, nullptr); },
                 "\r[" + Bar(69, 1) + "] (100% ) ", ""},
        DrawCase{"BarFractionBelowZero", [](CLI_Display& d) { d.update_progress(-1.0, nullptr); },
                 "\r[" + Bar(0, 68) + "] (  0% ) ", ""},
        DrawCase{"SpinnerTurns",
                 [](CLI_Display& d) {
                   for (int i = 0; i < 10; ++i)
                     d.update_spinner(true, nullptr);
                 },
                 "\r .      \r\r ..      \r\r ...      \r\r ....      \r\r .....      \r"
                 "\r ....      \r\r ...      \r\r ..      \r\r .      \r\r ..      \r",
                 ""},
        DrawCase{"SpinnerWithLabelAndOff",
                 [](CLI_Display& d) {
                   d.update_spinner(true, "Downloading");
                   d.update_spinner(false, "Downloading");
                   d.update_spinner(true, "Downloading");
                 },
                 "\r (Downloading) .      \r" + kClear + "\r (Downloading) ..      \r", ""},
        DrawCase{"ProgressOnAndOff",
                 [](CLI_Display& d) {
                   d.display_progress(true);
                   d.display_progress(false);
                 },
                 kClear, ""},
        DrawCase{"MessagesAlwaysWritten",
                 [](CLI_Display& d) {
                   d.update_spinner(true, nullptr);
                   d.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", 7u);
                   d.update_progress(0.0, nullptr);
                 },
                 "\r .      \rBuild 7 is valid\n\r[" + Bar(0, 68) + "] (  0% ) ", "Build 7 is valid\n"},
        DrawCase{"MutedStillDraws",
                 [](CLI_Display& d) {
                   d.mute_messages(true);
                   d.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
                   d.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
                   d.update_progress(1.0, nullptr);
                   d.info_message("direct");
                 },
                 "\r[" + Bar(69, 1) + "] (100% ) direct\n", "direct\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DisplayStreams, ErrorsGoToStandardError)
{
  for (bool terminal : {true, false}) {
    SCOPED_TRACE(terminal);
    Captured c = RunDisplay(terminal, [](CLI_Display& d) {
      d.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
      d.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", 5u);
    });
    EXPECT_EQ("Retrieving build 5\n", c.out);
    EXPECT_EQ("Download failed\n", c.err);
  }
}

// Whatever a caller passes on, the terminal is given no control character
// but the line ends and tabs of the program's own formats.
TEST(DisplayStreams, ControlsReachNeitherStreamRaw)
{
  struct {
    const char* name;
    const char* format;
    const char* arg;
    std::string shown;
  } cases[] = {
      {"Clipboard", "Module [%s]", "\x1b]52;c;aGk=\x07", "Module [\\x1b]52;c;aGk=\\x07]\n"},
      {"StrayCsiAndCarriageReturn", "%s", "\x9b" "2J\rok", "\\x9b2J\\x0dok\n"},
      {"OwnLineEndsAndTabs", "Build List for device [%s]:\n", "40F5849A", "Build List for device [40F5849A]:\n\n"},
      {"Utf8", "%s\tv", "Pr\xC3\xBC" "fstand", "Pr\xC3\xBC" "fstand\tv\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Captured got = RunDisplay(false, [&](CLI_Display& d) {
      d.message(UpdaterDisplayInterface::LEVEL_INFO, c.format, c.arg);
      d.message(UpdaterDisplayInterface::LEVEL_ERROR, c.format, c.arg);
    });
    EXPECT_EQ(c.shown, got.out);
    EXPECT_EQ(c.shown, got.err);
  }
}

TEST(DisplayMessage, LevelsMutingAndLength)
{
  const std::string longText(3000, 'x');
  struct {
    const char* name;
    bool muted;
    int level;
    std::string text;
    std::vector<std::pair<UpdaterDisplayInterface::Level, std::string>> expected;
  } cases[] = {
      {"Info", false, 0, "a", {{UpdaterDisplayInterface::LEVEL_INFO, "a"}}},
      {"Error", false, 1, "b", {{UpdaterDisplayInterface::LEVEL_ERROR, "b"}}},
      {"OtherLevelIsInfo", false, 7, "c", {{UpdaterDisplayInterface::LEVEL_INFO, "c"}}},
      {"Muted", true, 1, "d", {}},
      {"CutTo2047", false, 0, longText, {{UpdaterDisplayInterface::LEVEL_INFO, longText.substr(0, 2047)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingDisplay d;
    d.mute_messages(c.muted);
    d.message(static_cast<UpdaterDisplayInterface::Level>(c.level), "%s", c.text.c_str());
    EXPECT_EQ(c.expected, d.lines);
  }
}

class LogTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    previous = Log::fh;
    out = open_memstream(&text, &size);
    ASSERT_NE(nullptr, out);
    Log::SetOutput(out);
    Log::DeactivatePackage(0xFFFFFFFFu);
  }
  void TearDown() override
  {
    Log::SetOutput(previous);
    Log::DeactivatePackage(0xFFFFFFFFu);
    if (out != nullptr)
      fclose(out);
    free(text);
  }
  std::string Written()
  {
    fflush(out);
    return std::string(text, size);
  }

  FILE* previous = nullptr;
  FILE* out = nullptr;
  char* text = nullptr;
  size_t size = 0;
};

TEST_F(LogTest, PackagesDecideWhatIsWritten)
{
  struct {
    uint32_t enabled;
    uint32_t package;
    bool written;
  } cases[] = {
      {0, 0, true},
      {0, DEBUG_Updater, false},
      {DEBUG_History | DEBUG_Network_Legacy | DEBUG_Network_SR, DEBUG_Updater, false},
      {DEBUG_History | DEBUG_Network_Legacy | DEBUG_Network_SR, 0, true},
      {DEBUG_APP, DEBUG_APP, true},
      {DEBUG_APP | DEBUG_Updater, DEBUG_Updater, true},
      {DEBUG_APP, DEBUG_Network, false},
      {DEBUG_iMXSerial, DEBUG_iMXSerial | DEBUG_Updater, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.enabled << " " << c.package);
    Log::DeactivatePackage(0xFFFFFFFFu);
    Log::ActivatePackage(c.enabled);
    size_t before = Written().size();
    Log::log(c.package, "line %d\n", 1);
    EXPECT_EQ(c.written ? std::string("line 1\n") : std::string(), Written().substr(before));
  }
}

TEST_F(LogTest, DeactivateClearsOnlyItsBits)
{
  Log::ActivatePackage(DEBUG_Updater | DEBUG_APP);
  Log::DeactivatePackage(DEBUG_APP);
  Log::log(DEBUG_APP, "app\n");
  Log::log(DEBUG_Updater, "updater\n");
  EXPECT_EQ("updater\n", Written());
}

TEST_F(LogTest, LongLineCutTo2047AndNoLineEndAdded)
{
  const std::string longText(5000, 'y');
  Log::log(0, "%s", longText.c_str());
  EXPECT_EQ(longText.substr(0, 2047), Written());
}

// Diagnostic lines quote what modules, servers and files said.
TEST_F(LogTest, ControlsInALineAreShownAsEscapes)
{
  Log::log(0, "rcv_data [%s]\n", "ok\x1b[2J\x07\tx\r");
  EXPECT_EQ("rcv_data [ok\\x1b[2J\\x07\tx\\x0d]\n", Written());
}

TEST_F(LogTest, NoOutputWritesNothing)
{
  Log::SetOutput(nullptr);
  Log::log(0, "dropped\n");
  Log::SetOutput(out);
  EXPECT_EQ("", Written());
}

} // namespace
