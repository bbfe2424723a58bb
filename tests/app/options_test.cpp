// Command-line matching and reading.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"
#include "SimpleOpt.h"
#include "test_support.h"

namespace {

// One word as the matcher returned it.
struct Seen {
  int error;
  std::string text;  // the row's text, or the word for an unknown word
  const char* arg;   // nullptr for none
};

std::vector<Seen> Match(Argv& args, const SOption* table = g_rgOptions)
{
  std::vector<Seen> seen;
  CSimpleOptA parser(args.argc(), args.argv(), table, 0);
  while (parser.Next())
    seen.push_back({parser.LastError(), parser.OptionText() ? parser.OptionText() : "",
                    parser.OptionArg() ? strdup(parser.OptionArg()) : nullptr});
  return seen;
}

struct MatchCase {
  const char* name;
  std::vector<std::string> words;  // after the program name
  std::vector<Seen> expected;
  std::vector<std::string> wordsAfter;  // empty: not checked
};

class MatchTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTest, MatchesWords)
{
  const MatchCase& c = GetParam();
  std::vector<std::string> words = {"prog"};
  words.insert(words.end(), c.words.begin(), c.words.end());
  Argv args(words);
  std::vector<Seen> seen = Match(args);
  ASSERT_EQ(c.expected.size(), seen.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c.expected[i].error, seen[i].error);
    EXPECT_EQ(c.expected[i].text, seen[i].text);
    if (c.expected[i].arg == nullptr) {
      EXPECT_EQ(nullptr, seen[i].arg);
    } else if (seen[i].arg == nullptr) {
      ADD_FAILURE() << "no argument, expected " << c.expected[i].arg;
    } else {
      EXPECT_STREQ(c.expected[i].arg, seen[i].arg);
    }
    free(const_cast<char*>(seen[i].arg));
  }
  if (!c.wordsAfter.empty()) {
    EXPECT_EQ(c.wordsAfter, args.words());
  }
}

const char* const kNone = nullptr;

INSTANTIATE_TEST_SUITE_P(
    Options, MatchTest,
    ::testing::Values(
        MatchCase{"ArgumentInNextWord", {"-d", "A1"}, {{SO_SUCCESS, "-d", "A1"}}, {"prog", "-d", "A1"}},
        MatchCase{"ArgumentAfterEquals", {"-d=A1"}, {{SO_SUCCESS, "-d", "A1"}}, {"prog", "-d"}},
        MatchCase{"AttachedArgumentIsNoOption", {"-dA1"}, {{SO_OPT_INVALID, "-dA1", kNone}}, {}},
        MatchCase{"EmptyArgumentAfterEquals", {"-X="}, {{SO_SUCCESS, "-X", ""}}, {}},
        MatchCase{"AbbreviationOfLongRow", {"-OVER"}, {{SO_SUCCESS, "-OVERRIDE", kNone}}, {}},
        MatchCase{"OneLetterAbbreviation", {"-O"}, {{SO_SUCCESS, "-OVERRIDE", kNone}}, {}},
        MatchCase{"CaseDecides", {"-o", "9600"}, {{SO_SUCCESS, "-o", "9600"}}, {}},
        MatchCase{"LongerThanRow", {"-OVERRIDEX"}, {{SO_OPT_INVALID, "-OVERRIDEX", kNone}}, {}},
        MatchCase{"ValueForOptionWithout", {"-OVERRIDE=1"}, {{SO_ARG_INVALID, "-OVERRIDE", kNone}}, {}},
        MatchCase{"ValueForCommand", {"-D=1"}, {{SO_ARG_INVALID, "-D", kNone}}, {}},
        MatchCase{"DoubleHyphenAbbreviation", {"--he"}, {{SO_SUCCESS, "--help", kNone}}, {}},
        MatchCase{"HyphensMustMatch", {"-he"}, {{SO_OPT_INVALID, "-he", kNone}}, {}},
        MatchCase{"DoubleHyphenAloneIsNoEnd", {"--", "-D"}, {{SO_OPT_INVALID, "--", kNone}, {SO_SUCCESS, "-D", kNone}},
                  {}},
        MatchCase{"LoneHyphen", {"-"}, {{SO_OPT_INVALID, "-", kNone}}, {}},
        MatchCase{"NoClumping", {"-DU"}, {{SO_OPT_INVALID, "-DU", kNone}}, {}},
        MatchCase{"UnknownWithEqualsKeepsIt", {"-q=1"}, {{SO_OPT_INVALID, "-q=1", kNone}}, {"prog", "-q=1"}},
        MatchCase{"HyphenWordIsNoArgument",
                  {"-b", "-1"},
                  {{SO_ARG_MISSING, "-b", kNone}, {SO_OPT_INVALID, "-1", kNone}},
                  {}},
        MatchCase{"MissingLastArgument", {"-d"}, {{SO_ARG_MISSING, "-d", kNone}}, {}},
        MatchCase{"NonOptionsMoveBehindInOrder",
                  {"a", "-D", "b", "-d", "A1", "c"},
                  {{SO_SUCCESS, "-D", kNone}, {SO_SUCCESS, "-d", "A1"}},
                  {"prog", "-D", "-d", "A1", "a", "b", "c"}},
        MatchCase{"SkippedWordIsNoArgument",
                  {"-D", "x", "-d"},
                  {{SO_SUCCESS, "-D", kNone}, {SO_ARG_MISSING, "-d", kNone}},
                  {"prog", "-D", "-d", "x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MatchTest, AbbreviationOfTwoRowsIsAmbiguous)
{
  static const SOption table[] = {
      {1, "--alpha", SO_ARG_NONE}, {2, "--alps", SO_ARG_NONE}, {3, "-a", SO_ARG_REQUIRED}, SO_END_OF_OPTIONS};
  struct {
    const char* word;
    int error;
    const char* text;
  } cases[] = {
      {"--al", SO_OPT_MULTIPLE, "--al"},
      {"--alph", SO_SUCCESS, "--alpha"},
      {"--alps", SO_SUCCESS, "--alps"},
      {"-al", SO_OPT_INVALID, "-al"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    Argv args{"prog", c.word};
    std::vector<Seen> seen = Match(args, table);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(c.error, seen[0].error);
    EXPECT_EQ(c.text, seen[0].text);
  }
}

TEST(MatchTest, ArgcOfZeroOrOneYieldsNothing)
{
  Argv one{"prog"};
  EXPECT_TRUE(Match(one).empty());
  char* none[] = {nullptr};
  CSimpleOptA parser(0, none, g_rgOptions, 0);
  EXPECT_FALSE(parser.Next());
}

TEST(DigitsTest, HexAndDecimal)
{
  struct {
    const char* text;
    uint32_t hex;
    uint32_t dec;
    int consumed;  // -1: end pointer untouched
  } cases[] = {
      {"A1", 0xA1, 0, 2},
      {"a1", 0xA1, 0, 2},
      {"10", 0x10, 10, 2},
      {"", 0, 0, 0},
      {"12G4", 0, 0, -1},
      {" 12", 0, 0, -1},
      {"-1", 0, 0, -1},
      {"1A2B3C4D5", 0xA2B3C4D5, 0, 9},
      {"123456789ABCDEF0123", 0xCDEF0123, 0, 19},
      {"4294967296", 0x94967296, 0, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char* end = nullptr;
    EXPECT_EQ(c.hex, _get_hex_arg(c.text, &end));
    if (c.consumed >= 0) {
      EXPECT_EQ(c.text + c.consumed, end);
    } else {
      EXPECT_EQ(nullptr, end);
    }
    EXPECT_EQ(0u, _get_hex_arg(c.text, nullptr));
    char* decEnd = nullptr;
    EXPECT_EQ(c.dec, _get_int_arg(c.text, &decEnd));
  }
  struct {
    const char* text;
    uint32_t value;
  } decimal[] = {{"115200", 115200}, {"0xA1", 0}, {"abc", 0}, {"4294967297", 1}, {"99999999999999999999", 1661992959u}};
  for (const auto& c : decimal) {
    SCOPED_TRACE(c.text);
    char* end = nullptr;
    EXPECT_EQ(c.value, _get_int_arg(c.text, &end));
  }
}

// Reading the command line into Parameters.
struct ParamCase {
  const char* name;
  std::vector<std::string> words;  // after the program name
  int result;
  std::vector<std::string> errors;
  std::function<void(const Parameters&)> check;
  uint32_t logMask = 0;
};

class ParamsTest : public ::testing::TestWithParam<ParamCase> {
protected:
  void SetUp() override { Log::DeactivatePackage(0xFFFFFFFFu); }
  void TearDown() override { Log::DeactivatePackage(0xFFFFFFFFu); }
};

TEST_P(ParamsTest, Reads)
{
  const ParamCase& c = GetParam();
  std::vector<std::string> words = {"/usr/local/bin/updater"};
  words.insert(words.end(), c.words.begin(), c.words.end());
  Argv args(words);
  RecordingDisplay display;
  Parameters params;
  EXPECT_EQ(c.result, _get_params(display, args.argc(), args.argv(), params));
  EXPECT_EQ(c.errors, display.errors());
  EXPECT_TRUE(display.infos().empty());
  EXPECT_EQ(c.logMask, Log::package_bitmask);
  EXPECT_EQ("updater", params.appName);
  if (c.check) {
    c.check(params);
  }
}

auto Serial(uint32_t v)
{
  return [v](const Parameters& p) { EXPECT_EQ(v, p.serialNumber); };
}

auto Commands(uint32_t bits)
{
  return [bits](const Parameters& p) { EXPECT_EQ(bits, p.commands.Get()); };
}

const std::vector<std::string> kNoErrors;

INSTANTIATE_TEST_SUITE_P(
    Options, ParamsTest,
    ::testing::Values(
        ParamCase{"Defaults", {}, 0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_EQ(0u, p.commands.Get());
                    EXPECT_EQ(0u, p.serialNumber);
                    EXPECT_EQ(0u, p.routerSerialNumber);
                    EXPECT_EQ(1u, p.transport);
                    EXPECT_FALSE(p.transportGiven);
                    EXPECT_EQ(115200u, p.baudRate);
                    EXPECT_EQ("", p.build);
                    EXPECT_EQ(JV_UPDATE_SERVER_URL, p.serverUrl);
                    EXPECT_EQ("a+", p.logMode);
                    EXPECT_EQ("Updater.log", p.logFile);
                    EXPECT_TRUE(p.ueiBytes);
                    EXPECT_FALSE(p.override);
                    EXPECT_FALSE(p.help);
                    EXPECT_FALSE(p.logMaskGiven);
                  }},
        ParamCase{"SerialWithLowerPrefix", {"-d", "0xA1"}, 0, kNoErrors, Serial(0xA1)},
        ParamCase{"SerialWithUpperPrefix", {"-d", "0XA1"}, 0, kNoErrors, Serial(0xA1)},
        ParamCase{"SerialLowerCase", {"-d", "a1"}, 0, kNoErrors, Serial(0xA1)},
        ParamCase{"SerialAfterEquals", {"-d=A1"}, 0, kNoErrors, Serial(0xA1)},
        ParamCase{"SerialAttachedIsRefused", {"-dA1"}, 1, {"Unknown option: [-dA1]"}, Serial(0)},
        // Cut to 32 bits a mistyped serial number names another module.
        ParamCase{"SerialNineDigitsRefused", {"-d", "123456789"}, 1,
                  {"Invalid serial number obtained from argument [123456789]: more than eight hexadecimal digits"},
                  Serial(0)},
        ParamCase{"SerialNineDigitsAfterPrefixRefused", {"-d", "0x1A2B3C4D5"}, 1,
                  {"Invalid serial number obtained from argument [1A2B3C4D5]: more than eight hexadecimal digits"},
                  Serial(0)},
        ParamCase{"SerialEightDigits", {"-d", "FFFFFFFF"}, 0, kNoErrors, Serial(0xFFFFFFFF)},
        ParamCase{"SerialLeadingZerosBeyondEight", {"-d", "0000000040F5849A"}, 0, kNoErrors, Serial(0x40F5849A)},
        ParamCase{"RouterSerialNineDigitsRefused", {"-r", "1D272031D"}, 1,
                  {"Invalid router serial number obtained from argument [1D272031D]: more than eight hexadecimal digits"},
                  [](const Parameters& p) { EXPECT_EQ(0u, p.routerSerialNumber); }},
        ParamCase{"SerialPrefixOnly", {"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
        ParamCase{"SerialZero", {"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
        ParamCase{"SerialNotHex", {"-d", "12G4"}, 1, {"Invalid serial number obtained from argument [12G4]"}, nullptr},
        ParamCase{"RouterSerial", {"-r", "0xD272031D"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ(0xD272031Du, p.routerSerialNumber); }},
        ParamCase{"RouterSerialRefused", {"-r", "zz"}, 1, {"Invalid router serial number obtained from argument [zz]"}, nullptr},
        // Read as 0 (the latest) or cut to 32 bits, a mistyped build fetches
        // or installs one nobody asked for.
        ParamCase{"BuildNotDigitsRefused", {"-b", "abc"}, 1,
                  {"Invalid build number obtained from argument [abc]: not a whole decimal number"},
                  [](const Parameters& p) { EXPECT_EQ("", p.build); }},
        ParamCase{"BuildTrailingLetterRefused", {"-b", "102x"}, 1,
                  {"Invalid build number obtained from argument [102x]: not a whole decimal number"}, nullptr},
        ParamCase{"BuildEmptyRefused", {"-b="}, 1,
                  {"Invalid build number obtained from argument []: not a whole decimal number"}, nullptr},
        ParamCase{"BuildNegativeAfterEqualsRefused", {"-b=-1"}, 1,
                  {"Invalid build number obtained from argument [-1]: not a whole decimal number"}, nullptr},
        ParamCase{"BuildBeyond32BitsRefused", {"-b", "4294967297"}, 1,
                  {"Invalid build number obtained from argument [4294967297]: larger than 4294967295"},
                  [](const Parameters& p) { EXPECT_EQ("", p.build); }},
        ParamCase{"BuildLargest", {"-b", "4294967295"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("4294967295", p.build); }},
        ParamCase{"BuildZeroIsLatest", {"-b", "0"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("0", p.build); }},
        ParamCase{"BuildHyphenWordRefused", {"-b", "-1"}, 1, {"Option [-b] needs a value", "Unknown option: [-1]"},
                  [](const Parameters& p) { EXPECT_EQ("", p.build); }},
        ParamCase{"BuildDecimal", {"-b", "99528558"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("99528558", p.build); }},
        ParamCase{"OverrideAbbreviated", {"-OVER"}, 0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_TRUE(p.override);
                    EXPECT_EQ(0u, p.commands.Get());
                  }},
        ParamCase{"OverrideWithValueRefused", {"-OVERRIDE=1"}, 1, {"Option [-OVERRIDE] takes no value"},
                  [](const Parameters& p) { EXPECT_FALSE(p.override); }},
        ParamCase{"LowerOIsBaudRate", {"-o", "9600"}, 0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_EQ(9600u, p.baudRate);
                    EXPECT_FALSE(p.override);
                  }},
        ParamCase{"BaudRateNotDigits", {"-o", "fast"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ(0u, p.baudRate); }},
        ParamCase{"LongHelpAbbreviated", {"--he"}, 0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_TRUE(p.help);
                    EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
                  }},
        ParamCase{"ShortHelpWordIsRefused", {"-he", "--"}, 1, {"Unknown option: [-he]", "Unknown option: [--]"},
                  [](const Parameters& p) {
                    EXPECT_FALSE(p.help);
                    EXPECT_EQ(0u, p.commands.Get());
                  }},
        ParamCase{"HelpAfterRefusalAccepts", {"-d", "12G4", "-h", "-t", "US"}, 0,
                  {"Invalid serial number obtained from argument [12G4]"},
                  [](const Parameters& p) { EXPECT_TRUE(p.help); }},
        ParamCase{"ClumpedCommandsRefused", {"-DU"}, 1, {"Unknown option: [-DU]"}, Commands(0)},
        // A typo or a long option that does not exist runs nothing.
        ParamCase{"UnknownClumpWithSerialRefused", {"-Ud", "40F5849A"}, 1,
                  {"Unknown option: [-Ud]", "Not an option: [40F5849A]"}, Commands(0)},
        ParamCase{"UnknownLongOptionRefused", {"--update", "-d", "40F5849A"}, 1, {"Unknown option: [--update]"},
                  Commands(0)},
        ParamCase{"StrayWordRefused", {"-U", "now", "-d", "40F5849A"}, 1, {"Not an option: [now]"},
                  Commands(CMD_UPDATE)},
        ParamCase{"HelpAfterUnknownWins", {"-Ud", "40F5849A", "-h"}, 0, {"Unknown option: [-Ud]"},
                  [](const Parameters& p) { EXPECT_TRUE(p.help); }},
        ParamCase{"HelpBeforeUnknownWins", {"-h", "--update"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_TRUE(p.help); }},
        ParamCase{"EveryCommand", {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-Z", "x"}, 0, kNoErrors,
                  Commands(0x2FF)},
        ParamCase{"ZWithoutArgumentIsRefused", {"-Z"}, 1, {"Option [-Z] needs a value"}, Commands(0)},
        ParamCase{"UnhandledCommand", {"-Y", "-D"}, 1, {"Unhandled command: [-Y]"}, Commands(CMD_DISCOVER)},
        ParamCase{"LogMaskHex", {"-X", "0x10000"}, 0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_TRUE(p.logMaskGiven);
                    EXPECT_EQ(0x10000u, p.logMask);
                  },
                  DEBUG_APP},
        ParamCase{"LogMaskLeadingZeroIsDecimal", {"-X", "010"}, 0, kNoErrors, nullptr, 10},
        ParamCase{"LogMasksAccumulate", {"-X", "1", "-X=0x20"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ(0x20u, p.logMask); }, 0x21},
        ParamCase{"LogMaskTrailingCharacters", {"-X", "12abc", "-D"}, 0,
                  {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"}, Commands(CMD_DISCOVER), 0},
        ParamCase{"LogMaskBeforeHelpStays", {"-X", "1", "-h"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_TRUE(p.logMaskGiven); }, 1},
        ParamCase{"HelpEndsReadingBeforeLogMask", {"-h", "-X", "1"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_FALSE(p.logMaskGiven); }, 0},
        ParamCase{"TransportTcpip", {"-t", "TCPIP"}, 0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_EQ(2u, p.transport);
                    EXPECT_TRUE(p.transportGiven);
                  }},
        ParamCase{"TransportTcp", {"-t", "TCP"}, 0, kNoErrors, [](const Parameters& p) { EXPECT_EQ(2u, p.transport); }},
        ParamCase{"TransportUsb", {"-t", "USB"}, 0, kNoErrors, [](const Parameters& p) { EXPECT_EQ(1u, p.transport); }},
        ParamCase{"TransportRecover", {"-t", "RECOVER"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ(255u, p.transport); }},
        ParamCase{"TransportRefused", {"-t", "US"}, 1,
                  {"Invalid transport type:[US]\nMust be one of the following: USB, TCPIP, RECOVER"},
                  [](const Parameters& p) {
                    EXPECT_EQ(0u, p.transport);
                    EXPECT_TRUE(p.transportGiven);
                  }},
        ParamCase{"EveryRefusalIsShown", {"-d", "12G4", "-t", "US"}, 1,
                  {"Invalid serial number obtained from argument [12G4]",
                   "Invalid transport type:[US]\nMust be one of the following: USB, TCPIP, RECOVER"},
                  nullptr},
        // What the usage line promises, "-u <host:port>", reaches the server's /cgi/u.
        ParamCase{"ServerHostPort", {"-u", "127.0.0.1:8080"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("http://127.0.0.1:8080/cgi/u", p.serverUrl); }},
        ParamCase{"ServerHostOnly", {"-u", "updates.example.com"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("http://updates.example.com/cgi/u", p.serverUrl); }},
        ParamCase{"ServerIpv6HostPort", {"-u", "[::1]:8080"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("http://[::1]:8080/cgi/u", p.serverUrl); }},
        ParamCase{"ServerUrlWithoutPath", {"-u", "https://updates.example.com:8443"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("https://updates.example.com:8443/cgi/u", p.serverUrl); }},
        ParamCase{"ServerUrlWithRootPath", {"-u", "http://127.0.0.1:8080/"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("http://127.0.0.1:8080/cgi/u", p.serverUrl); }},
        ParamCase{"ServerUrlWithPathAsGiven", {"-u", "http://127.0.0.1:8080/other/u"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("http://127.0.0.1:8080/other/u", p.serverUrl); }},
        ParamCase{"ServerHostPortWithPathAsGiven", {"-u", "127.0.0.1:8080/other/u"}, 0, kNoErrors,
                  [](const Parameters& p) { EXPECT_EQ("http://127.0.0.1:8080/other/u", p.serverUrl); }},
        ParamCase{"UeiBytesOff", {"-m", "0"}, 0, kNoErrors, [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
        ParamCase{"UeiBytesTrue", {"-m", "true"}, 0, kNoErrors, [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
        ParamCase{"TextParameters",
                  {"-i", "/tmp/s", "-f", "a.bird", "-s", "/dev/ttyS0", "-u", "http://h/cgi/u", "-l", "msg", "-k",
                   "f.log", "-e", "-n"},
                  0, kNoErrors,
                  [](const Parameters& p) {
                    EXPECT_EQ("/tmp/s", p.storeDirectory);
                    EXPECT_EQ("a.bird", p.birdFile);
                    EXPECT_EQ("/dev/ttyS0", p.serialPort);
                    EXPECT_EQ("http://h/cgi/u", p.serverUrl);
                    EXPECT_EQ("msg", p.historyMessage);
                    EXPECT_EQ("f.log", p.logFile);
                    EXPECT_TRUE(p.echo);
                    EXPECT_TRUE(p.nOption);
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParamsLog, ParametersAreLoggedUnderAppPackage)
{
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ASSERT_NE(nullptr, out);
  FILE* previous = Log::fh;
  Log::SetOutput(out);
  Log::DeactivatePackage(0xFFFFFFFFu);
  Argv args{"./updater", "-X", "0x10001", "-d", "0xA1"};
  RecordingDisplay display;
  Parameters params;
  EXPECT_EQ(0, _get_params(display, args.argc(), args.argv(), params));
  Log::SetOutput(previous);
  Log::DeactivatePackage(0xFFFFFFFFu);
  fclose(out);
  EXPECT_EQ(std::string("Discarding '0x' serial number prefix\n"
                        "\nApplication parameters:[updater]\n"
                        "\t[./updater]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0xA1]\n"),
            std::string(text, size));
  free(text);
}

} // namespace
